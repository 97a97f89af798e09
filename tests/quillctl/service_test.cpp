// quillctl check, log, status and reload, and the two documents made from
// the tables: docs/configuration.md and the manual page.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/text.h"
#include "platform/sockets.h"
#include "ctl_test_support.h"
#include "quillctl/ctl_cli.h"
#include "quillctl/ctl_settings_doc.h"
#include "support/fake_dns_server.h"

namespace quillctl {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

using Words = std::vector<std::string>;

class ServiceCommandTest : public CtlTest {};

TEST_F(ServiceCommandTest, CheckFailsOnAPlantedOversizedList) {
  ASSERT_EQ(Ctl({"account", "passwd", "admin", "--password-stdin"}, "pw\n").code, kExitOk);
  {
    // Two ports nobody holds now (other tests of the machine run beside this one).
    const platform::Socket pop3 = platform::Socket::Listen(0, 1);
    const platform::Socket smtp = platform::Socket::Listen(0, 1);
    ASSERT_TRUE(pop3.IsValid() && smtp.IsValid());
    ASSERT_EQ(Ctl({"set", "Port", std::to_string(pop3.LocalPort())}).code, kExitOk);
    ASSERT_EQ(Ctl({"set", "SmtpPort", std::to_string(smtp.LocalPort())}).code, kExitOk);
  }
  const CtlResult sound = Ctl({"check"});
  EXPECT_EQ(sound.code, kExitOk) << sound.out;
  EXPECT_EQ(sound.out, "The stored configuration is in order.\n");

  const serial_list::Bytes large = serial_list::WriteTexts(std::vector<std::string>(50, std::string(100, 'r')));
  ASSERT_TRUE(WriteRegBinary("BlockMailFrom", "Rules", large.data(), large.size()));
  const CtlResult found = Ctl({"check"});
  EXPECT_EQ(found.code, kExitFailed);
  EXPECT_EQ(found.out,
            "error: BlockMailFrom\\Rules: takes 5052 bytes; the service ignores lists larger than 4095 bytes and "
            "keeps the one it had\n");
  EXPECT_EQ(Ctl({"check", "--json"}).out,
            "{\n  \"ok\": false,\n  \"findings\": [\n    {\n      \"severity\": \"error\",\n"
            "      \"subject\": \"BlockMailFrom\\\\Rules\",\n      \"text\": \"takes 5052 bytes; the service ignores "
            "lists larger than 4095 bytes and keeps the one it had\"\n    }\n  ]\n}\n");
}

TEST_F(ServiceCommandTest, LogPrintsItsLastLines) {
  fs::create_directories(Native("c:\\Logs"));
  std::ofstream(Native("c:\\Logs") + "/Mailtrace.log", std::ios::binary) << "one\r\ntwo\r\nthree\r\nfour\r\n";
  EXPECT_EQ(Ctl({"log"}).code, kExitFailed) << "no LogPath and no service: no log";
  ASSERT_EQ(Ctl({"set", "LogPath", "c:\\Logs"}).code, kExitOk);
  struct Case {
    Words args;
    const char* out;
  };
  const Case cases[] = {
      {{"log"}, "one\ntwo\nthree\nfour\n"},
      {{"log", "-n", "2"}, "three\nfour\n"},
      {{"log", "-n0"}, ""},
      {{"log", "-f", "--lines", "1"}, "four\n"},  // following ends when the test's pause says so
  };
  for (const Case& c : cases) EXPECT_EQ(Ctl(c.args).out, c.out) << testing::PrintToString(c.args);
}

TEST_F(ServiceCommandTest, StatusAndReloadWithoutAService) {
  ASSERT_EQ(Ctl({"set", "MailFolder", "c:\\Mail"}).code, kExitOk);
  fs::create_directories(Native("c:\\Mail\\queue"));
  std::ofstream(Native("c:\\Mail\\queue") + "/A.eml") << "x-sender: <a@b>\r\n\r\n";
  ReloadSignalled();
  const CtlResult status = Ctl({"status"});
  EXPECT_EQ(status.code, kExitOk);
  EXPECT_EQ(status.out.rfind("Service:      Not Installed\n", 0), 0u) << status.out;
  EXPECT_NE(status.out.find("Mail folder:  c:\\Mail\ndrop:         0\nqueue:        1 (oldest "), std::string::npos)
      << status.out;
  EXPECT_NE(Ctl({"status", "--json"}).out.find("\"queue\": {\n      \"count\": 1,"), std::string::npos);
  EXPECT_EQ(Ctl({"reload"}).code, kExitOk);
  EXPECT_TRUE(ReloadSignalled());
}

// The applet's Test DNS: the records of the address's domain, or the
// resolver's error text; the DNS server of the setting or of --server.
TEST_F(ServiceCommandTest, TestDnsShowsTheRecordsOrTheResolversError) {
  struct Case {
    const char* label;
    bool malformed;
    int code;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"records", false, kExitOk, "10 mx.example.test\n20 backup.example.test\n", ""},
      {"a malformed reply", true, kExitFailed, "", "quillctl: Invalid response from DNS server\n"},
  };
  for (const Case& c : cases) {
    FakeDnsServer dns;
    dns.m_arrAnswers = {{10, "mx.example.test"}, {20, "backup.example.test"}};
    dns.m_bMalformed = c.malformed;
    ASSERT_TRUE(dns.Start("127.0.0.1", 0));
    const std::string server = "127.0.0.1:" + std::to_string(dns.Port());
    const CtlResult result = Ctl({"test-dns", "Joe <joe@Example.TEST>", "--server", server});
    EXPECT_EQ(result.code, c.code) << c.label;
    EXPECT_EQ(result.out, c.out) << c.label;
    EXPECT_EQ(result.err, c.err) << c.label;
    EXPECT_EQ(dns.QueriedNames(), std::vector<std::string>{"example.test"}) << c.label;
  }
  EXPECT_EQ(Ctl({"test-dns", "a.test", "--server", "127.0.0.1:0"}).err,
            "quillctl: the DNS server's port is a number from 1 to 65535\n");
}

// The committed reference is what the settings table makes.
TEST(DocumentsTest, ConfigurationReferenceIsUpToDate) {
  const std::string committed = ReadFile(fs::path(QP_SOURCE_DIR) / "docs" / "configuration.md");
  EXPECT_TRUE(committed == ConfigurationMarkdown())
      << "docs/configuration.md is not what the settings table makes. Regenerate it with:\n  "
      << kRegenerateConfigurationDoc;
}

// The manual page describes every command and option of the table.
TEST(DocumentsTest, ManualPageNamesEveryCommandAndOption) {
  const std::string page = ReadFile(fs::path(QP_SOURCE_DIR) / "docs" / "quillctl.8");
  ASSERT_FALSE(page.empty());
  const auto roff = [](std::string_view text) { return text::ReplaceAll(text, "-", "\\-"); };
  for (const Command& command : Commands()) {
    const std::string entry = "\n.B quillctl " + roff(command.name);
    EXPECT_TRUE(page.find(entry + " ") != std::string::npos || page.find(entry + "\n") != std::string::npos)
        << "docs/quillctl.8 has no entry \"" << entry.substr(1) << "\"";
  }
  for (const OptionDef& option : Options())
    EXPECT_NE(page.find("\\-\\-" + roff(option.long_name)), std::string::npos)
        << "docs/quillctl.8 does not describe --" << option.long_name;
}

}  // namespace
}  // namespace quillctl
