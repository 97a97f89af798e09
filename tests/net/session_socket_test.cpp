// The receive path and reply path that SMTP and POP3 sessions share.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/session_socket.h"
#include "support/fake_connection.h"

namespace {

// A session that records the command lines it is given.
struct LineSession : CSessionSocket {
  std::vector<std::string> lines;
  void ProcessCommand() override {
    lines.push_back(m_lstLines.front());
    m_lstLines.pop_front();
  }
};

std::vector<std::string> Feed(const std::vector<std::string>& chunks) {
  LineSession session;
  FakeConnection r;
  session.Attach(&r, &r);
  for (const std::string& chunk : chunks) session.OnReceivedText(chunk);
  return session.lines;
}

TEST(CutLines, WholeAndByteByByteGiveTheSameLines) {
  const std::string input = "HELO a\r\n\r\nMAIL FROM:<x>\r\nbare\nLF\r\npartial";
  const std::vector<std::string> expected = {"HELO a", "MAIL FROM:<x>", "bare\nLF"};
  EXPECT_EQ(Feed({input}), expected) << "whole";
  std::vector<std::string> bytes;
  for (char c : input) bytes.emplace_back(1, c);
  EXPECT_EQ(Feed(bytes), expected) << "one byte at a time";
  EXPECT_EQ(Feed({"NOOP\r", "\nQUIT\r\n"}), (std::vector<std::string>{"NOOP", "QUIT"})) << "CR LF split";
}

// A NUL byte anywhere in command text is dropped alone: the lines after it in
// the same read still come.
TEST(CutLines, NulBytesAreDroppedAndWhatFollowsIsKept) {
  const std::string input("\0NO\0OP\r\0\nUSER a\r\n\0\r\nQUIT\r\n\0", 27);
  const std::vector<std::string> expected = {"NOOP", "USER a", "QUIT"};
  EXPECT_EQ(Feed({input}), expected) << "whole";
  std::vector<std::string> bytes;
  for (char c : input) bytes.emplace_back(1, c);
  EXPECT_EQ(Feed(bytes), expected) << "one byte at a time";
}

TEST(ReceiveLimit, ExactlyTheLimitFitsOneMoreByteOverflows) {
  LineSession session;
  FakeConnection r;
  session.Attach(&r, &r);
  const std::string chunk(4096, 'a');
  ASSERT_FALSE(session.WouldOverflow(chunk.size()));
  session.OnReceivedText(chunk);
  ASSERT_FALSE(session.WouldOverflow(chunk.size()));
  session.OnReceivedText(chunk);
  EXPECT_EQ(session.m_strReceived.size(), CSessionSocket::kMaxReceived);
  EXPECT_TRUE(session.WouldOverflow(1));
}

TEST(SendReply, FormatsSendsWithCrLfAndLogsWithout) {
  LineSession session;
  FakeConnection r;
  session.Attach(&r, &r);
  EXPECT_TRUE(session.SendReply("250 OK: Queued as: %s", "ABC"));
  EXPECT_TRUE(session.SendReplyText("100% literal"));
  EXPECT_EQ(r.sent, "250 OK: Queued as: ABC\r\n100% literal\r\n");
  EXPECT_EQ(r.sends, 2) << "one send per reply";
  EXPECT_EQ(r.log, (std::vector<std::string>{"250 OK: Queued as: ABC", "100% literal"}));
}

TEST(SendReply, LostConnectionOrFailedSendEndsTheSession) {
  for (bool lost : {true, false}) {
    LineSession session;
    FakeConnection r;
    session.Attach(&r, &r);
    r.lost = lost;
    r.fail_send = !lost;
    EXPECT_FALSE(session.SendReply("221 Bye"));
    EXPECT_TRUE(r.sent.empty());
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.quits, 1);
    EXPECT_EQ(r.log, (std::vector<std::string>{"Could not send reply, disconnected."}));
  }
}

}  // namespace
