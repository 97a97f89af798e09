// The data phase: end detection, the stored bytes of the spool file, the
// commit before the reply, bounded memory for large messages, and the 451
// reply when the spool file cannot be written. Every message is fed whole
// and one byte per read.
#include <gtest/gtest.h>

#include <regex>

#include "net/connection_thread.h"
#include "platform/paths.h"
#include "smtp_test_support.h"
#include "store/spool_file.h"

namespace fs = std::filesystem;

namespace {

using Replies = std::vector<std::string>;

const char* const kLocalError = "451 Requested action aborted: local error in processing";
const std::regex kQueuedReply("250 OK: Queued as: ([0-9A-F]{32})");
// The second line of the Received header.
const std::regex kDateLine(
    "\t(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9] (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\r\n");

class SmtpData : public SmtpSessionTest {
 protected:
  // The queue id of a "250 OK: Queued as" reply (empty when it is none).
  static std::string QueueId(const Replies& replies) {
    std::smatch match;
    if (replies.size() != 1 || !std::regex_match(replies[0], match, kQueuedReply)) return {};
    return match[1];
  }
  std::string SpoolText(const std::string& id) const { return ReadFileBytes(Folder("drop") / (id + ".eml")); }
  // The spool file with its date line replaced by "\t<date>\r\n".
  std::string SpoolWithoutDate(const std::string& id) const {
    const std::string spool = SpoolText(id);
    std::smatch match;
    EXPECT_TRUE(std::regex_search(spool, match, kDateLine)) << spool.substr(0, 400);
    return match.prefix().str() + "\t<date>\r\n" + match.suffix().str();
  }
  void ExpectNoTemporaryFiles() { EXPECT_EQ(FilesIn(Folder(".tmp")), std::vector<std::string>{}); }
};

TEST_F(SmtpData, StoredBytes) {
  struct Case {
    const char* label;
    std::string data;    // sent after "354"
    std::string stored;  // the message text in the spool file
  };
  const Case cases[] = {
      {"header, empty line, body", "Subject: hi\r\n\r\nbody\r\n.\r\n", "Subject: hi\r\n\r\nbody\r\n"},
      {"dot-stuffed line keeps both dots", "a\r\n..b\r\n...\r\n.\r\n", "a\r\n..b\r\n...\r\n"},
      {"white space at the end of the last line stays", "a \t\r\n.\r\n", "a \t\r\n"},
      {"empty lines at the end stay", "a\r\n\r\n\r\n.\r\n", "a\r\n\r\n\r\n"},
      {"only the terminator after an empty line", "\r\n.\r\n", "\r\n"},
      {"empty message", ".\r\n", ""},
      {"bare LF and CR inside the text", "a\nb\rc\r\n.\r\n", "a\nb\rc\r\n"},
  };
  for (const Case& c : cases) {
    for (bool bytewise : {false, true}) {
      SCOPED_TRACE(std::string(c.label) + (bytewise ? ", byte by byte" : ", whole"));
      StartMessage("<a@d1.test>", {"<joe@d1.test>"});
      const Replies replies = Feed(c.data, bytewise);
      const std::string id = QueueId(replies);
      ASSERT_FALSE(id.empty()) << (replies.empty() ? "no reply" : replies[0]);
      EXPECT_EQ(SpoolWithoutDate(id),
                "x-sender: <a@d1.test>\r\nx-receiver: <joe@d1.test>\r\n"
                "Received: from client.test ([127.0.0.1]) by d1.test with Kestrune Mail Server SMTP (1.0.0.0);\r\n"
                "\t<date>\r\n" + c.stored);
      ASSERT_FALSE(m_conn.delivered.empty());
      EXPECT_EQ(m_conn.delivered.back(), m_server->GetMailFolder() + "drop\\" + id + ".eml");
      EXPECT_EQ(m_session->GetState(), SMTP_STATE_READY);
    }
  }
  ExpectNoTemporaryFiles();
}

// A stored message goes to delivery once its reply is out, so that the
// delivery's log lines follow the reply's; when the client left before the
// reply, the message is stored all the same and must still be delivered.
TEST_F(SmtpData, StoredMessageIsHandedOverAfterItsReply) {
  for (const bool client_left : {false, true}) {
    SCOPED_TRACE(client_left ? "client left before the reply" : "reply sent");
    m_conn.lost = false;
    m_conn.delivered.clear();
    StartMessage("<a@d1.test>", {"<joe@d1.test>"});
    const std::size_t replies_before = m_conn.replies.size();
    std::vector<std::string> log_at_hand_over;
    m_conn.on_deliver = [&](const std::string&) { log_at_hand_over = m_conn.log; };
    m_conn.lost = client_left;
    Feed("x\r\n.\r\n");
    m_conn.on_deliver = nullptr;
    ASSERT_EQ(m_conn.delivered.size(), 1u);
    EXPECT_TRUE(fs::exists(Folder("drop") / platform::FileNamePart(m_conn.delivered[0])));
    ASSERT_FALSE(log_at_hand_over.empty());
    if (client_left) {
      EXPECT_EQ(m_conn.replies.size(), replies_before);
      EXPECT_EQ(log_at_hand_over.back(), "Could not send reply, disconnected.");
    } else {
      ASSERT_EQ(m_conn.replies.size(), replies_before + 1);
      EXPECT_TRUE(std::regex_match(m_conn.replies.back(), kQueuedReply));
      EXPECT_EQ(log_at_hand_over.back(), m_conn.replies.back()) << "the reply is logged before the hand-over";
    }
  }
}

TEST_F(SmtpData, EnvelopeOfTheSession) {
  m_session->m_arrDomains.clear();
  m_session->m_strServerID = "Test Server 9";
  m_conn.peer = "127.0.0.9";
  m_session->m_bAuthRemote = 0;
  StartMessage(" <s@x.test> ", {"<two@remote.test>", "<one@d1.test>"});
  const std::string id = QueueId(Feed("x\r\n.\r\n"));
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(SpoolWithoutDate(id),
            "x-sender: <s@x.test>\r\nx-receiver: <two@remote.test>\r\nx-receiver: <one@d1.test>\r\n"
            "Received: from client.test ([127.0.0.9]) by localhost with Test Server 9;\r\n\t<date>\r\nx\r\n");
}

TEST_F(SmtpData, EndDetection) {
  StartMessage("<a@d1.test>", {"<joe@d1.test>"});
  EXPECT_EQ(Feed("a\r\n."), Replies{});
  EXPECT_EQ(QueueId(Feed("\r\n")).size(), 32u) << "terminator split over two reads";

  StartMessage("<a@d1.test>", {"<joe@d1.test>"});
  EXPECT_EQ(Feed("x.\r\n"), Replies{}) << "a dot that ends a line is no terminator";
  EXPECT_EQ(Feed(". \r\n"), Replies{});
  EXPECT_EQ(Feed(".\r\n").size(), 1u);
}

// The text ends at the first CR LF "." CR LF wherever it falls; what
// follows is command lines. Each case is sent after "354" in one read, one
// byte per read, and in two reads split at every place.
TEST_F(SmtpData, TextEndsAtTheFirstTerminator) {
  struct Case {
    const char* label;
    std::string data;
    std::string stored;  // the text of the message
    Replies after;       // the replies after its "Queued as"
  };
  const std::string nul(1, '\0');
  const Case cases[] = {
      {"QUIT in the same write", "a\r\n.\r\nQUIT\r\n", "a\r\n", {"221 Bye"}},
      {"two commands after the text", "a\r\n.\r\nNOOP\r\nRSET\r\n", "a\r\n", {"250 OK", "250 OK"}},
      {"terminator as the first line", ".\r\nNOOP\r\n", "", {"250 OK"}},
      {"a transaction hidden in the text is the client's own",
       "a\r\n.\r\nMAIL FROM:<b@d1.test>\r\nRCPT TO:<ann@d1.test>\r\nDATA\r\n",
       "a\r\n", {"250 OK", "250 OK", "354 End with <CRLF>.<CRLF>"}},
      {"a command line cut by the end of the read waits", "a\r\n.\r\nNOO", "a\r\n", {}},
      {"NUL bytes in the text are kept", "a" + nul + "b\r\n" + nul + "\r\n.\r\nNOOP\r\n",
       "a" + nul + "b\r\n" + nul + "\r\n", {"250 OK"}},
      {"a NUL byte makes no terminator", "a\r\n." + nul + "\r\nb\r\n.\r\n", "a\r\n." + nul + "\r\nb\r\n", {}},
      {"a NUL byte in a command after the text is dropped", "a\r\n.\r\nNO" + nul + "OP\r\n", "a\r\n",
       {"250 OK"}},
      {"LF . LF is text", "hello\n.\nMAIL FROM:<x@d1.test>\r\n.\r\n", "hello\n.\nMAIL FROM:<x@d1.test>\r\n", {}},
      {"LF . CR LF is text", "a\n.\r\nNOOP\r\n.\r\n", "a\n.\r\nNOOP\r\n", {}},
      {"CR LF . LF is text", "a\r\n.\nNOOP\r\n.\r\n", "a\r\n.\nNOOP\r\n", {}},
      {"CR LF . CR is text", "a\r\n.\rNOOP\r\n.\r\n", "a\r\n.\rNOOP\r\n", {}},
      {"stuffed dot line is text", "a\r\n..\r\nNOOP\r\n.\r\n", "a\r\n..\r\nNOOP\r\n", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<std::string_view>> ways = {{c.data}};
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < c.data.size(); ++i) bytes.push_back(std::string_view(c.data).substr(i, 1));
    ways.push_back(bytes);
    for (std::size_t split = 1; split < c.data.size(); ++split)
      ways.push_back({std::string_view(c.data).substr(0, split), std::string_view(c.data).substr(split)});
    for (std::size_t way = 0; way < ways.size(); ++way) {
      SCOPED_TRACE(std::string(c.label) + (way == 0 ? ", one read" : way == 1 ? ", byte by byte" : ", two reads"));
      TearDown();
      SetUp();
      StartMessage("<a@d1.test>", {"<joe@d1.test>"});
      Replies replies;
      for (std::string_view read : ways[way])
        for (std::string& reply : Feed(read)) replies.push_back(std::move(reply));
      ASSERT_FALSE(replies.empty());
      const std::string id = QueueId({replies[0]});
      ASSERT_FALSE(id.empty()) << replies[0];
      const std::string spool = SpoolText(id);
      EXPECT_EQ(spool.substr(spool.find(" GMT\r\n") + 6), c.stored);
      EXPECT_EQ(Replies(replies.begin() + 1, replies.end()), c.after);
      EXPECT_EQ(spool.find("\r\n.\r\n"), std::string::npos);
    }
  }
}

// The line limit holds for what follows the text as for any command text.
TEST_F(SmtpData, CommandTextAfterTheTerminatorIsBounded) {
  StartMessage("<a@d1.test>", {"<joe@d1.test>"});
  ASSERT_EQ(QueueId(Feed("a\r\n.\r\n" + std::string(4000, 'x'))).size(), 32u);
  EXPECT_FALSE(m_session->WouldOverflow(4096));
  Feed(std::string(4096, 'x'));
  EXPECT_TRUE(m_session->WouldOverflow(200));
}

TEST_F(SmtpData, TextInTheSameReadAsDataIsCommands) {
  Lines({"HELO x", "MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>"});
  EXPECT_EQ(Feed("DATA\r\nSubject: x\r\n"),
            (Replies{"354 End with <CRLF>.<CRLF>", "500 Command not implemented."}));
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_DATA);
}

TEST_F(SmtpData, TransactionEndsWithTheStoredMessage) {
  StartMessage("<a@d1.test>", {"<joe@d1.test>"});
  ASSERT_EQ(QueueId(Feed("one\r\n.\r\n")).size(), 32u);
  EXPECT_EQ(Lines({"RCPT TO:<ann@d1.test>"}), Replies{"503 Need MAIL FROM: first"});
  EXPECT_EQ(Lines({"MAIL FROM:<b@d1.test>", "RCPT TO:<ann@d1.test>", "DATA"}),
            (Replies{"250 OK", "250 OK", "354 End with <CRLF>.<CRLF>"}));
  const std::string second = QueueId(Feed("two\r\n.\r\n"));
  ASSERT_EQ(second.size(), 32u);
  const std::string spool = SpoolText(second);
  EXPECT_EQ(spool.find("x-sender: <b@d1.test>\r\nx-receiver: <ann@d1.test>\r\nReceived: "), 0u) << spool;
  EXPECT_EQ(m_conn.delivered.size(), 2u);
  EXPECT_NE(m_conn.delivered[0], m_conn.delivered[1]);
}

TEST_F(SmtpData, SecondMailBeforeDataKeepsOnlyItsRecipients) {
  Lines({"HELO x", "MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>", "MAIL FROM:<b@d1.test>",
         "RCPT TO:<ann@d1.test>", "DATA"});
  const std::string id = QueueId(Feed("m\r\n.\r\n"));
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(SpoolText(id).find("x-sender: <b@d1.test>\r\nx-receiver: <ann@d1.test>\r\nReceived: "), 0u);
}

// A message far larger than the in-memory limit is written as it arrives;
// the stored text is the same as for a small one.
TEST_F(SmtpData, LargeMessageIsStreamedWithBoundedMemory) {
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) {
    body += (i % 97 == 0 ? ".." : "") + std::string("line ") + std::to_string(i) + std::string(i % 61, 'x') + "\r\n";
  }
  for (bool bytewise : {false, true}) {
    SCOPED_TRACE(bytewise ? "byte by byte" : "whole");
    fs::remove_all(Folder("drop"));
    const std::string data = bytewise ? body.substr(0, body.rfind("\r\n", 300 * 1024) + 2) : body;
    StartMessage("<a@d1.test>", {"<joe@d1.test>"});
    const std::size_t chunk = bytewise ? 1 : CConnectionThread::kReceiveChunk;
    std::size_t peak = 0;
    for (std::size_t pos = 0; pos < data.size(); pos += chunk) {
      m_session->OnReceivedText(std::string_view(data).substr(pos, chunk));
      peak = std::max(peak, m_session->m_strMessage.size());
    }
    EXPECT_LE(peak, CSmtpSocket::kMessageFlushSize + CConnectionThread::kReceiveChunk);
    EXPECT_EQ(FilesIn(Folder("drop")), std::vector<std::string>{}) << "nothing visible before the end";
    const std::string id = QueueId(Feed(".\r\n", bytewise));
    ASSERT_EQ(id.size(), 32u);
    const std::string spool = SpoolText(id);
    const std::size_t text_start = spool.find(" GMT\r\n") + 6;
    EXPECT_TRUE(spool.compare(text_start, std::string::npos, data) == 0) << "stored text differs";
    EXPECT_EQ(spool.size() - text_start, data.size());
  }
  ExpectNoTemporaryFiles();
}

TEST_F(SmtpData, SpoolFileThatCannotBeWritten) {
  struct Case {
    const char* label;
    const char* blocker;  // a plain file where a folder is needed
    std::size_t size;     // message text size
  };
  const Case cases[] = {
      {"no temporary folder, small message", ".tmp", 100},
      {"no temporary folder, large message", ".tmp", 1024 * 1024},
      {"no drop folder, small message", "drop", 100},
      {"no drop folder, large message", "drop", 1024 * 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // No spool file made ahead of time: the session makes its own.
    ReleaseSpoolFolder();
    fs::remove_all(Folder(".tmp"));
    fs::remove_all(Folder("drop"));
    WriteFileBytes(Folder(c.blocker), "in the way");
    m_conn.delivered.clear();
    StartMessage("<a@d1.test>", {"<joe@d1.test>"});
    const std::string data = std::string(c.size, 'x') + "\r\n.\r\n";
    EXPECT_EQ(Feed(data), Replies{kLocalError});
    EXPECT_EQ(m_conn.delivered, std::vector<std::string>{}) << "nothing posted";
    EXPECT_EQ(m_session->GetState(), SMTP_STATE_READY);
    EXPECT_EQ(Lines({"RCPT TO:<joe@d1.test>"}), Replies{"503 Need MAIL FROM: first"}) << "transaction reset";
    if (std::string(c.blocker) == "drop") ExpectNoTemporaryFiles();
    fs::remove(Folder(c.blocker));
    // The next message goes through again.
    StartMessage("<a@d1.test>", {"<joe@d1.test>"});
    EXPECT_EQ(QueueId(Feed("ok\r\n.\r\n")).size(), 32u);
    EXPECT_EQ(FilesIn(Folder("drop")).size(), 1u) << "only the good message";
    fs::remove_all(Folder("drop"));
  }
}

TEST_F(SmtpData, SessionEndingMidMessageLeavesNoFile) {
  StartMessage("<a@d1.test>", {"<joe@d1.test>"});
  Feed(std::string(CSmtpSocket::kMessageFlushSize * 3, 'y'));
  EXPECT_EQ(FilesIn(Folder(".tmp")).size(), 1u) << "the text is being written";
  m_session.reset();
  ExpectNoTemporaryFiles();
  EXPECT_EQ(FilesIn(Folder("drop")), std::vector<std::string>{});
}

// With MaxMessageSize the limit is announced, a larger declared SIZE is
// refused at MAIL, and a larger text is dropped as it arrives and refused at
// its end; text up to the limit (its CR LFs counted) is stored as always.
TEST_F(SmtpData, SizeLimit) {
  const std::string kTooLarge = "552 5.3.4 Message size exceeds fixed maximum message size";
  m_session->m_nMaxMessageSize = 100;
  EXPECT_EQ(Lines({"EHLO x"}), Replies{"250-Supported extensions:\r\n250-AUTH PLAIN LOGIN\r\n250-VRFY\r\n"
                                       "250-SIZE 100\r\n250 OK"});
  const struct {
    const char* mail;
    const char* reply;
  } declared[] = {
      {"MAIL FROM:<a@d1.test> SIZE=100", "250 OK"},
      {"MAIL FROM:<a@d1.test> BODY=8BITMIME size=101", kTooLarge.c_str()},
      {"MAIL FROM:<a@d1.test> SIZE=99999999999999999999999", kTooLarge.c_str()},
      {"MAIL FROM:<a@d1.test> SIZE=12x", "250 OK"},  // no number: the text decides
      {"MAIL FROM:<a@d1.test>", "250 OK"},
  };
  for (const auto& d : declared) EXPECT_EQ(Lines({d.mail}), Replies{d.reply}) << d.mail;
  EXPECT_EQ(Lines({"RCPT TO:<joe@d1.test>"}), Replies{"250 OK"}) << "the last MAIL started a transaction";

  for (bool bytewise : {false, true}) {
    SCOPED_TRACE(bytewise ? "byte by byte" : "whole");
    const std::string at_limit = std::string(98, 'a') + "\r\n";
    StartMessage("<a@d1.test>", {"<joe@d1.test>"});
    EXPECT_EQ(QueueId(Feed(at_limit + ".\r\n", bytewise)).size(), 32u) << "exactly the limit is taken";
    fs::remove_all(Folder("drop"));

    StartMessage("<a@d1.test>", {"<joe@d1.test>"});
    EXPECT_EQ(Feed("b" + at_limit + ".\r\n", bytewise), Replies{kTooLarge});
    EXPECT_EQ(m_conn.delivered.size(), 1u) << "only the message at the limit was posted";
    m_conn.delivered.clear();
  }

  // A text far larger than the limit keeps neither memory nor a file while
  // it arrives, and the session goes on.
  StartMessage("<a@d1.test>", {"<joe@d1.test>"});
  const std::string chunk(CConnectionThread::kReceiveChunk, 'z');
  std::size_t peak = 0;
  for (int i = 0; i < 64; ++i) {
    m_session->OnReceivedText(chunk);
    peak = std::max(peak, m_session->m_strMessage.size());
  }
  EXPECT_LE(peak, CConnectionThread::kReceiveChunk + 4);
  ExpectNoTemporaryFiles();
  EXPECT_EQ(Feed("\r\n.\r\nNOOP\r\n"), (Replies{kTooLarge, "250 OK"}));
  EXPECT_EQ(FilesIn(Folder("drop")), std::vector<std::string>{});
  EXPECT_EQ(m_conn.delivered, std::vector<std::string>{});
}

TEST_F(SmtpData, RsetBeforeTheMessageDropsIt) {
  Lines({"HELO x", "MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>"});
  // RSET pipelined after DATA is taken as a command and leaves the data state.
  EXPECT_EQ(Feed("DATA\r\nRSET\r\n"), (Replies{"354 End with <CRLF>.<CRLF>", "250 OK"}));
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_READY);
  EXPECT_EQ(Lines({"NOOP"}), Replies{"250 OK"});
}

TEST(SpoolFormat, QueueIdAndDate) {
  const std::string a = CreateQueueId();
  const std::string b = CreateQueueId();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{32}"))) << a;
  EXPECT_NE(a, b);

  struct Case {
    std::int64_t unix_time;
    const char* text;
  };
  const Case cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {1735689599, "Tue, 31 Dec 2024 23:59:59 GMT"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatGmtDate(UtcTimeFromUnix(c.unix_time)), c.text);
}

}  // namespace
