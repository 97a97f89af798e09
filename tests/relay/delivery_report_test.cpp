// The delivery report sent back to a sender: whom it goes to, and that no
// text from outside changes its structure.
#include "relay/delivery_report.h"

#include <gtest/gtest.h>

namespace {

TEST(DeliveryReport, AddressTheReportGoesTo) {
  const struct {
    const char* sender;
    const char* address;
  } cases[] = {
      {"<alice@example.org>", "alice@example.org"},
      {"<alice@example.org> SIZE=1200", "alice@example.org"},
      {"alice@example.org", "alice@example.org"},
      {"<>", ""},  // a report itself: never one about it
      {"", ""},
      {"<alice>", ""},  // no domain
      {"<@relay.test:alice@example.org>", ""},  // a source route
      {"<alice@example.org", ""},
      {"<al\"ice@example.org>", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ReportAddress(c.sender), c.address) << c.sender;
}

// The lines of the report's text (CR LF ends every line).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (std::size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
    lines.push_back(text.substr(pos, end - pos));
  EXPECT_EQ(pos, text.size()) << "text after the last line end";
  return lines;
}

TEST(DeliveryReport, OutsideTextsStayWithinTheirFieldsAndPart) {
  DeliveryReport report;
  report.host_name = "relay.example.org";
  report.recipient = "alice@example.org";
  report.date = "Wed, 09 Dec 2026 01:00:00 GMT";
  report.report_id = "ID1";
  // Headers that hold the boundary the report would first pick, a bare CR,
  // an empty line and a byte outside ASCII.
  report.original_headers = "Subject: --=_report_ID1\r\nX-A: a\rb\r\n\r\nX-B: \xE9t\xE9\n";
  report.failed = {{"<bob@example.net>", "550-5.1.1 No such user\n550 \r\nX-Injected: yes", false},
                   {"<carol@example.net>", "Cannot connect to mx.example.net.", true}};
  const std::vector<std::string> lines = Lines(BuildDeliveryReport(report));

  std::string boundary;
  for (const std::string& line : lines)
    if (line.starts_with("\tboundary=\"")) boundary = line.substr(11, line.size() - 12);
  ASSERT_EQ(boundary, "=_report_ID1_");
  int parts = 0;
  bool injected = false;
  for (const std::string& line : lines) {
    parts += line == "--" + boundary;
    injected = injected || line.starts_with("X-Injected");
    for (const char c : line) EXPECT_TRUE(c == '\t' || (c >= 0x20 && c < 0x7F)) << line;
  }
  EXPECT_EQ(parts, 3);
  EXPECT_FALSE(injected);
  EXPECT_EQ(lines.back(), "--" + boundary + "--");

  auto has = [&lines](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  EXPECT_TRUE(has("Diagnostic-Code: smtp; 550-5.1.1 No such user 550 X-Injected: yes"));
  EXPECT_TRUE(has("Status: 5.1.1"));
  EXPECT_TRUE(has("Final-Recipient: rfc822; carol@example.net"));
  EXPECT_TRUE(has("Diagnostic-Code: x-local; Cannot connect to mx.example.net."));
  EXPECT_TRUE(has("Status: 4.4.7"));  // the retry time ran out
  EXPECT_TRUE(has("X-A: a b"));
  EXPECT_TRUE(has("X-B: ?t?"));
}

}  // namespace
