// RETR and TOP through the session: the exact bytes on the wire, what the
// trace log gets, streaming of large messages in bounded pieces, and failed
// sends.
#include "pop3_test_support.h"
#include "store/envelope_run.h"

namespace pop3_test {
namespace {

std::string Retr(const std::string& octets, const std::string& text) {
  return "+OK " + octets + " octets\r\n" + text + "\r\n.\r\n";
}

// The largest single send a streamed reply may use: one chunk of the file
// in wire form (a dot added for every other byte at most), an envelope line
// held back from the chunk before, and the reply's first line.
constexpr std::size_t kLargestSend =
    CPop3Socket::kSendChunk + CPop3Socket::kSendChunk / 2 + CEnvelopeRun::kMaxLine + 64;

TEST_F(Pop3Test, RetrSendsTheTrimmedTextWithTheFileLength) {
  struct Case {
    const char* label;
    std::string file;
    std::string text;  // what follows "+OK n octets" CR LF
  };
  const Case cases[] = {
      {"plain message", "Subject: x\r\n\r\nHello\r\n", "Subject: x\r\n\r\nHello"},
      {"dot line at the end", "body\r\n.\r\n", "body\r\n"},
      {"percent intact", "100% sure %s %d %%\r\n", "100% sure %s %d %%"},
      {"lines after CR LF as stored", ".dot\r\n..two\r\nend", ".dot\r\n..two\r\nend"},
      {"dot line after a bare LF", "a\n.\nMAIL FROM:<x>\r\n", "a\n..\nMAIL FROM:<x>"},
      {"dot text after a bare LF", "a\n.b\r\n", "a\n..b"},
      {"dot after a bare CR", "a\r.b\r\n", "a\r..b"},
      {"lone dot after CR LF ended by a bare LF", "a\r\n.\nb\r\n", "a\r\n..\nb"},
      {"lone dot line inside the text", "a\r\n.\r\nb\r\n", "a\r\n..\r\nb"},
      {"recipients of the envelope left out",
       "x-sender: <a@x.test>\r\nx-receiver: <bob@d1.test>\r\nx-receiver: <bcc@d2.test>\r\nReceived: x\r\n\r\nHi\r\n",
       "x-sender: <a@x.test>\r\nReceived: x\r\n\r\nHi"},
      {"only envelope recipients", "x-receiver: <bob@d1.test>\r\n", ""},
      {"text ends at NUL", std::string("text\0after\r\n", 12), "text"},
      {"white space before NUL", std::string("text \r\n\0tail", 12), "text"},
      {"empty file", "", ""},
      {"dots then blanks", "a. . \r\n", "a. "},
      {"only dots and blanks", "...\r\n", ""},
      {"blanks after dots stay", "a \t..", "a \t"},
  };
  for (const Case& c : cases) {
    WriteFileBytes(Mailbox() / "m.eml", c.file);
    LoginBob();
    EXPECT_EQ(Say("RETR 1"), Retr(std::to_string(c.file.size()), c.text)) << c.label;
    EXPECT_EQ(m_session.GetState(), CPop3Socket::kStateTransaction) << c.label;
  }
}

TEST_F(Pop3Test, RetrIsLoggedShortenedAndOtherRepliesInFull) {
  const std::string body = "Subject: " + std::string(200, 's') + "\r\n\r\nbody\r\n";
  WriteFileBytes(Mailbox() / "long.eml", body);
  WriteFileBytes(Mailbox() / "short.eml", "Hi\r\n");
  LoginBob();
  Say("RETR " + std::to_string(NumberOf("long.eml")));
  const std::string long_reply = "+OK " + std::to_string(body.size()) + " octets\r\n" + body;
  EXPECT_EQ(m_conn.log.back(), long_reply.substr(0, 100) + "...");
  Say("RETR " + std::to_string(NumberOf("short.eml")));
  EXPECT_EQ(m_conn.log.back(), "+OK 4 octets\r\nHi\r\n....");
  Say("TOP " + std::to_string(NumberOf("long.eml")) + " 0");
  EXPECT_EQ(m_conn.log.back(), "+OK\r\nSubject: " + std::string(200, 's') + "\r\n\r\n.");
}

TEST_F(Pop3Test, TopSendsHeadAndCountedLines) {
  const std::string message =
      "\r\n   \r\n  Subject: 100% a\r\nFrom: b\r\n\r\nline 1\r\n50% off\r\nline 3\r\n";
  WriteFileBytes(Mailbox() / "m.eml", message);
  LoginBob();
  const std::string head = "+OK\r\nSubject: 100% a\r\nFrom: b\r\n\r\n";
  struct Case {
    const char* line;
    std::string reply;
  };
  const Case cases[] = {
      {"TOP 1 0", head + ".\r\n"},
      {"TOP 1 -3", head + ".\r\n"},
      {"TOP 1 2", head + "line 1\r\n50% off\r\n.\r\n"},
      {"top 1 99", head + "line 1\r\n50% off\r\nline 3\r\n.\r\n"},
      {"TOP 1 x", head + ".\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Say(c.line), c.reply) << c.line;
}

TEST_F(Pop3Test, TopLeavesOutEnvelopeRecipientsAndStuffsWhatNoClientStuffed) {
  WriteFileBytes(Mailbox() / "m.eml",
                 "x-sender: <a@x.test>\r\nx-receiver: <bob@d1.test>\r\nx-receiver: <bcc@d2.test>\r\n"
                 "Subject: s\r\n\r\none\n.\ntwo\r\n.\nthree\r\n..four\r\n");
  LoginBob();
  EXPECT_EQ(Say("TOP 1 9"),
            "+OK\r\nx-sender: <a@x.test>\r\nSubject: s\r\n\r\none\r\n..\r\ntwo\r\n..\r\nthree\r\n..four\r\n.\r\n");
}

TEST_F(Pop3Test, MessageFileGoneAfterLoginIsNoSuchMessage) {
  WriteFileBytes(Mailbox() / "m.eml", "x\r\n");
  LoginBob();
  fs::remove(Mailbox() / "m.eml");
  EXPECT_EQ(Say("RETR 1"), "-ERR no such message\r\n");
  EXPECT_EQ(Say("TOP 1 0"), "-ERR no such message\r\n");
  EXPECT_EQ(Say("LIST"), "+OK scan listing follows\r\n1 3\r\n.\r\n") << "it stays listed";
  EXPECT_EQ(Say("LAST"), "+OK 1\r\n");
}

// Builds a large message of numbered lines, some with dots and percent signs.
std::string LargeBody(std::size_t size) {
  std::string body = "Subject: large\r\nX-Percent: 100%\r\n\r\n";
  for (int i = 0; body.size() < size; ++i) {
    body += (i % 7 == 0 ? "." : "") + std::to_string(i) + " %d line of text\r\n";
  }
  body += "Z";
  return body;
}

TEST_F(Pop3Test, LargeMessagesStreamByteExactInBoundedPieces) {
  const std::string body = LargeBody(5 << 20);
  std::string ws_run;
  for (int i = 0; i < 30000; ++i) ws_run += " \t\r\n";
  std::string crlf_run;
  for (int i = 0; i < 100000; ++i) crlf_run += "\r\n";
  std::string with_nul = body;
  const std::size_t nul_at = 3 << 20;
  with_nul[nul_at] = '\0';
  with_nul[nul_at - 1] = 'Q';
  std::string envelope = "x-sender: <a@x.test>\r\n";
  for (int i = 0; i < 3000; ++i) envelope += "x-receiver: <user" + std::to_string(i) + "@d1.test>\r\n";
  const std::string shown_envelope = "x-sender: <a@x.test>\r\n";
  std::string bare_lf_body;
  std::string bare_lf_wire;
  for (int i = 0; bare_lf_body.size() < (3 << 20); ++i) {
    bare_lf_body += "line " + std::to_string(i) + "\n." + std::to_string(i) + "\r\n.\n";
    bare_lf_wire += "line " + std::to_string(i) + "\n.." + std::to_string(i) + "\r\n..\n";
  }
  bare_lf_body += "Z";
  bare_lf_wire += "Z";

  struct Case {
    const char* label;
    std::string file;
    std::string text;
  };
  const Case cases[] = {
      {"plain", body, body},
      {"trailing blank lines across chunks", body + crlf_run, body},
      {"dots stop at blanks", body + crlf_run + ". ." + ws_run + "..." + crlf_run,
       body + crlf_run + ". ." + ws_run},
      {"NUL in the middle", with_nul, with_nul.substr(0, nul_at)},
      {"NUL in the first chunk", std::string("early\0", 6) + body, "early"},
      {"only white space", crlf_run + ws_run, ""},
      {"envelope recipients and bare LF dot lines", envelope + bare_lf_body, shown_envelope + bare_lf_wire},
  };
  for (const Case& c : cases) {
    WriteFileBytes(Mailbox() / "m.eml", c.file);
    LoginBob();
    m_conn.largest_send = 0;
    const std::string sent = Say("RETR 1");
    const std::string expected = Retr(std::to_string(c.file.size()), c.text);
    EXPECT_EQ(sent.size(), expected.size()) << c.label;
    EXPECT_TRUE(sent == expected) << c.label;
    EXPECT_LE(m_conn.largest_send, kLargestSend) << c.label;
    EXPECT_EQ(m_conn.log.back(),
              expected.substr(0, std::min<std::size_t>(100, expected.size() - 2)) + "...")
        << c.label;
    EXPECT_EQ(Say("NOOP"), "+OK\r\n") << c.label;
  }
}

TEST_F(Pop3Test, LargeTopStreamsAndIsLoggedUpToItsLimit) {
  const std::string body = LargeBody(3 << 20);
  WriteFileBytes(Mailbox() / "m.eml", body);
  LoginBob();
  m_conn.largest_send = 0;
  const std::string sent = Say("TOP 1 2147483647");
  const std::string expected = "+OK\r\n" + body + "\r\n.\r\n";
  EXPECT_EQ(sent.size(), expected.size());
  EXPECT_TRUE(sent == expected);
  EXPECT_LE(m_conn.largest_send, 3 * CPop3Socket::kSendChunk);
  EXPECT_EQ(m_conn.log.back(), expected.substr(0, CPop3Socket::kMaxLoggedReply) + "...");

  const std::string first_lines = Say("TOP 1 3");
  EXPECT_EQ(first_lines, "+OK\r\nSubject: large\r\nX-Percent: 100%\r\n\r\n.0 %d line of text\r\n"
                         "1 %d line of text\r\n2 %d line of text\r\n.\r\n");
}

TEST_F(Pop3Test, LostConnectionBeforeRetrSendsNothingAndEndsTheSession) {
  for (const std::size_t size : {std::size_t{100}, std::size_t{1} << 20}) {
    WriteFileBytes(Mailbox() / "m.eml", LargeBody(size));
    LoginBob();
    m_conn.lost = true;
    m_conn.quits = 0;
    EXPECT_EQ(Say("RETR 1"), "") << size;
    EXPECT_EQ(Say("TOP 1 5"), "") << size;
    EXPECT_EQ(m_conn.log.back(), "Could not send reply, disconnected.") << size;
    EXPECT_TRUE(m_conn.closed);
    EXPECT_GE(m_conn.quits, 2);
    EXPECT_EQ(m_session.GetState(), CPop3Socket::kStateTransaction);
    m_conn.lost = false;
  }
}

TEST_F(Pop3Test, SendFailingMidStreamEndsTheSessionWithoutLoggingTheReply) {
  WriteFileBytes(Mailbox() / "m.eml", LargeBody(1 << 20));
  LoginBob();
  m_conn.fail_after = m_conn.sends + 3;
  Say("RETR 1");
  EXPECT_EQ(m_conn.log.back(), "Could not send reply, disconnected.");
  EXPECT_TRUE(m_conn.closed);
  EXPECT_GE(m_conn.quits, 1);
  EXPECT_EQ(m_session.GetState(), CPop3Socket::kStateTransaction);
  for (const std::string& line : m_conn.log) EXPECT_FALSE(line.starts_with("+OK 1"));
}

}  // namespace
}  // namespace pop3_test
