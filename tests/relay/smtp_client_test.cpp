// CSmtpClient against a scripted SMTP server on 127.0.0.1 (a thread of the
// test): what the client sends, what its sink is told, and whether the
// message counts as delivered, for good dialogues and for servers that
// refuse, stall, trickle or hang up.
#include "relay/smtp_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/messages.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr DWORD kPeerWaitMs = 5000;  // the peer gives up on a client this slow

struct Step {
  enum Kind {
    kSend,        // text at once
    kSendSlowly,  // text one byte per `delayMs`
    kExpectLine,  // read one line (recorded)
    kReadBody,    // read lines up to and including "." (recorded)
    kReadToEnd,   // record lines until the client closes
    kClose,
    kSignal,   // set `event`
    kWaitFor,  // wait for `event`
  } kind;
  std::string text;
  DWORD delayMs = 0;
  platform::Event* event = nullptr;
};

Step Send(std::string text) { return {Step::kSend, std::move(text)}; }
Step SendSlowly(std::string text, DWORD delay) {
  return {Step::kSendSlowly, std::move(text), delay};
}
Step Expect() { return {Step::kExpectLine, ""}; }
Step ReadBody() { return {Step::kReadBody, ""}; }
Step ReadToEnd() { return {Step::kReadToEnd, ""}; }
Step Close() { return {Step::kClose, ""}; }
Step Signal(platform::Event& e) { return {Step::kSignal, "", 0, &e}; }
Step WaitFor(platform::Event& e) { return {Step::kWaitFor, "", 0, &e}; }

// One connection, served by a script.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<Step> steps)
      : m_listener(platform::Socket::Listen(0, 4)), m_steps(std::move(steps)) {
    EXPECT_TRUE(m_listener.IsValid());
    m_thread = std::thread([this] { Run(); });
  }
  ~ScriptedPeer() { Join(); }
  int Port() const { return m_listener.LocalPort(); }
  // The lines the client sent (after Join, all of them).
  std::vector<std::string> Lines() {
    Join();
    return m_lines;
  }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  // A CR LF line from the client; false on close or when the peer's
  // patience ends.
  bool ReadLine(std::string& line) {
    const std::uint64_t deadline = platform::TickCountMs() + kPeerWaitMs;
    for (;;) {
      const std::size_t end = m_buffer.find("\r\n");
      if (end != std::string::npos) {
        line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 2);
        return true;
      }
      if (platform::TickCountMs() >= deadline) return false;
      if (m_peer.PollReadable(20) != 1) continue;
      char chunk[1024];
      const long n = m_peer.Receive(chunk, sizeof chunk);
      if (n <= 0) return false;
      m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  void Run() {
    const std::uint64_t deadline = platform::TickCountMs() + kPeerWaitMs;
    while (!m_peer.IsValid() && platform::TickCountMs() < deadline)
      if (m_listener.PollReadable(20) == 1) m_peer = m_listener.Accept();
    std::string line;
    for (const Step& step : m_steps) {
      switch (step.kind) {
        case Step::kSend:
          m_peer.SendAll(step.text);
          break;
        case Step::kSendSlowly:
          for (char c : step.text) {
            if (!m_peer.SendAll(&c, 1)) break;
            platform::SleepMs(step.delayMs);
          }
          break;
        case Step::kExpectLine:
          if (!ReadLine(line)) return;
          m_lines.push_back(line);
          break;
        case Step::kReadBody:
          while (ReadLine(line)) {
            m_lines.push_back(line);
            if (line == ".") break;
          }
          break;
        case Step::kReadToEnd:
          while (ReadLine(line)) m_lines.push_back(line);
          break;
        case Step::kClose:
          m_peer.Close();
          break;
        case Step::kSignal:
          step.event->Set();
          break;
        case Step::kWaitFor:
          if (!step.event->Wait(kPeerWaitMs)) return;
          break;
      }
    }
  }

  platform::Socket m_listener;
  platform::Socket m_peer;
  std::vector<Step> m_steps;
  std::string m_buffer;
  std::vector<std::string> m_lines;
  std::thread m_thread;
};

// Everything the client tells its owner, in order; events as "[connected]",
// "[disconnected]" and "[accepted]".
class RecordingSink : public CSmtpClientSink {
 public:
  void OnLog(const std::string& text) override { log.push_back(text); }
  void OnConnected() override { log.push_back("[connected]"); }
  void OnDisconnected() override { log.push_back("[disconnected]"); }
  void OnAccepted() override { log.push_back("[accepted]"); }
  std::vector<std::string> log;
};

// The message text as the relay prepares it: transfer form, ending "\r\n.".
const std::string kMessage = "Subject: test\r\n\r\n.x stays as it is\r\nsecret body\r\n.";

// Hands out a text in pieces of a few bytes (a piece may end inside a line);
// with `fail_after` pieces > 0 it fails instead of giving the next one.
class PiecesSource : public CMessageSource {
 public:
  explicit PiecesSource(std::string text, std::size_t fail_after = 0)
      : m_strText(std::move(text)), m_nFailAfter(fail_after) {}
  bool ReadText(std::string& out, bool& done) override {
    if (m_nFailAfter > 0 && m_nPieces == m_nFailAfter) return false;
    ++m_nPieces;
    out += m_strText.substr(m_nPos, kPieceSize);
    m_nPos = std::min(m_strText.size(), m_nPos + kPieceSize);
    done = m_nPos == m_strText.size();
    return true;
  }

 private:
  static constexpr std::size_t kPieceSize = 7;
  std::string m_strText;
  std::size_t m_nFailAfter;
  std::size_t m_nPieces = 0;
  std::size_t m_nPos = 0;
};

template <typename T>
std::vector<T> Concat(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
using Lines = std::vector<std::string>;

// The steps of a server that accepts everything up to the reply to QUIT.
std::vector<Step> AcceptingServer(const std::string& greeting) {
  return {Send(greeting),
          Expect(),
          Send("250 hello\r\n"),
          Expect(),
          Send("250 sender ok\r\n"),
          Expect(),
          Send("250 rcpt ok\r\n"),
          Expect(),
          Send("354 go ahead\r\n"),
          ReadBody(),
          Send("250 queued\r\n"),
          Expect()};
}

const std::vector<std::string> kDialogueLog = {"HELO relay.test",
                                               "250 hello",
                                               "MAIL FROM: <a@here.test>",
                                               "250 sender ok",
                                               "RCPT TO: <b@there.test>",
                                               "250 rcpt ok",
                                               "DATA",
                                               "354 go ahead",
                                               "250 queued",
                                               "[accepted]",
                                               "QUIT"};

struct Outcome {
  bool transmitted = false;
  bool delivered = false;
  bool connected = false;
  bool text_sent = false;
  std::vector<std::string> log;
  std::vector<std::string> received;
};

Outcome Transmit(std::vector<Step> steps, int timeout = 5,
                 const std::string& recipients = "<b@there.test>", std::size_t fail_after = 0,
                 const std::string& text = kMessage) {
  ScriptedPeer peer(std::move(steps));
  RecordingSink sink;
  Outcome run;
  {
    CSmtpClient client(&sink);
    client.SetHeloName("relay.test");
    client.SetTimeout(timeout);
    PiecesSource message(text, fail_after);
    run.transmitted =
        client.TransmitMessage(kLoopback, peer.Port(), "<a@here.test>", recipients, message);
    run.delivered = client.IsDelivered();
    run.connected = client.IsConnected();
    run.text_sent = client.IsTextSent();
  }  // closes a connection that is still open, as the relay's delete does
  run.received = peer.Lines();
  run.log = sink.log;
  return run;
}

TEST(SmtpClient, WholeDialogueWithMultiLineGreeting) {
  // A continuation line with another code does not end the greeting.
  Outcome run =
      Transmit(Concat(AcceptingServer("220-first line\r\n250 other code\r\n220 ready\r\n"),
                      std::vector<Step>{Send("221 bye\r\n"), ReadToEnd()}));
  EXPECT_TRUE(run.transmitted);
  EXPECT_TRUE(run.delivered);
  EXPECT_FALSE(run.connected);
  EXPECT_EQ(run.log, Concat(Lines{"[connected]", "Connected to SMTP host", "220-first line",
                                  "250 other code", "220 ready"},
                            Concat(kDialogueLog, Lines{"221 bye", "[disconnected]"})));
  // The text goes out unchanged (no dot doubling), its pieces joined, and
  // never into the log.
  EXPECT_TRUE(run.text_sent);
  EXPECT_EQ(run.received,
            (std::vector<std::string>{"HELO relay.test", "MAIL FROM: <a@here.test>",
                                      "RCPT TO: <b@there.test>", "DATA", "Subject: test", "",
                                      ".x stays as it is", "secret body", ".", "QUIT"}));
  EXPECT_EQ(std::count(run.log.begin(), run.log.end(), "secret body"), 0);
}

TEST(SmtpClient, RejectedSecondRecipientEndsTheTransaction) {
  Outcome run =
      Transmit({Send("220 hi\r\n"), Expect(), Send("250 hello\r\n"), Expect(), Send("250 ok\r\n"),
                Expect(), Send("250 ok\r\n"), Expect(), Send("550 no such user\r\n"), ReadToEnd()},
               5, "<r1@x.test>, <r2@x.test>,<r3@x.test>");
  EXPECT_TRUE(run.transmitted);
  EXPECT_FALSE(run.delivered);
  EXPECT_TRUE(run.connected);  // no QUIT; the owner's delete closes it
  EXPECT_EQ(run.received,
            (std::vector<std::string>{"HELO relay.test", "MAIL FROM: <a@here.test>",
                                      "RCPT TO: <r1@x.test>", "RCPT TO: <r2@x.test>"}));
  ASSERT_GE(run.log.size(), 2u);
  EXPECT_EQ(run.log[run.log.size() - 2], "550 no such user");
  EXPECT_EQ(run.log.back(), "Invalid response, expecting 250.");
}

TEST(SmtpClient, UnexpectedRepliesByState) {
  std::vector<Step> textRefused = AcceptingServer("220 hi\r\n");
  textRefused[10] = Send("552 too big\r\n");  // the reply to the message text
  textRefused.back() = ReadToEnd();
  struct Case {
    const char* label;
    std::vector<Step> steps;
    const char* lastLog;
    bool bTextSent;
  } cases[] = {
      {"greeting not 220",
       {Send("554 go away\r\n"), ReadToEnd()},
       "Invalid response, expecting 220.", false},
      {"HELO refused",
       {Send("220 hi\r\n"), Expect(), Send("501 bad\r\n"), ReadToEnd()},
       "Invalid response, expecting 250.", false},
      {"DATA refused",
       {Send("220 hi\r\n"), Expect(), Send("250 a\r\n"), Expect(), Send("250 b\r\n"), Expect(),
        Send("250 c\r\n"), Expect(), Send("451 later\r\n"), ReadToEnd()},
       "Invalid response, expecting 354.", false},
      {"message text refused", textRefused, "Invalid response, expecting 250.", true},
  };
  for (Case& c : cases) {
    Outcome run = Transmit(std::move(c.steps));
    EXPECT_TRUE(run.transmitted) << c.label;
    EXPECT_FALSE(run.delivered) << c.label;
    EXPECT_EQ(run.text_sent, c.bTextSent) << c.label;
    ASSERT_FALSE(run.log.empty()) << c.label;
    EXPECT_EQ(run.log.back(), c.lastLog) << c.label;
    EXPECT_EQ(std::count(run.received.begin(), run.received.end(), "QUIT"), 0) << c.label;
  }
}

// Once the text was accepted the message is delivered, whatever becomes of QUIT.
TEST(SmtpClient, QuitNotAnswered221StillDelivered) {
  struct Case {
    const char* label;
    std::vector<Step> end;
    std::vector<std::string> logTail;
  } cases[] = {
      {"QUIT answered 250",
       {Send("250 what\r\n"), ReadToEnd()},
       {"250 what", "Invalid response, expecting 221."}},
      {"QUIT not answered", {ReadToEnd()}, {"Invalid response, expecting 221."}},
      {"server hangs up",
       {Close()},
       {"[disconnected]", "Connection closed.", "Invalid response, expecting 221."}},
  };
  for (const Case& c : cases) {
    Outcome run = Transmit(Concat(AcceptingServer("220 hi\r\n"), c.end), 1);
    EXPECT_TRUE(run.delivered) << c.label;
    const Lines expected =
        Concat(Lines{"[connected]", "Connected to SMTP host", "220 hi"}, kDialogueLog);
    EXPECT_EQ(run.log, Concat(expected, c.logTail)) << c.label;
  }
}

TEST(SmtpClient, TimeLimitHoldsPerLineNotPerReply) {
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  int ticks = 0;
  const UINT timer = queue.SetTimer(50, [&ticks](UINT) { ++ticks; });
  // Three greeting lines of 0.5 s each: 1.5 s for the reply, within 1 s per line.
  Outcome slow =
      Transmit({SendSlowly("220-aaaa\r\n", 50), SendSlowly("220-bbbb\r\n", 50),
                SendSlowly("220 cccc\r\n", 50), Expect(), Send("554 enough\r\n"), ReadToEnd()},
               1);
  queue.KillTimer(timer);
  EXPECT_EQ(slow.received, std::vector<std::string>{"HELO relay.test"});
  EXPECT_EQ(slow.log.back(), "Invalid response, expecting 250.");
  EXPECT_GE(ticks, 10);  // the thread's timers ran while the client waited

  // One line taking 1.6 s: the read fails, the partial line is not logged.
  Outcome stalled = Transmit({SendSlowly("220 very slow line\r\n", 80), ReadToEnd()}, 1);
  EXPECT_TRUE(stalled.received.empty());
  EXPECT_EQ(stalled.log, (std::vector<std::string>{"[connected]", "Connected to SMTP host",
                                                   "Invalid response, expecting 220."}));
}

TEST(SmtpClient, ReplyToTheTextMayTakeLongerThanTheTimeOut) {
  // A server that scans the message answers after the per-line limit of
  // 1 s: the client still waits for it (up to kFinalReplyTimeoutMs).
  std::vector<Step> steps = AcceptingServer("220 hi\r\n");
  steps[10] = SendSlowly("250 scanned\r\n", 120);  // about 1.6 s for the line
  steps.push_back(Send("221 bye\r\n"));
  Outcome run = Transmit(std::move(steps), 1);
  EXPECT_TRUE(run.delivered);
  EXPECT_TRUE(run.text_sent);
  EXPECT_FALSE(run.connected);
}

TEST(SmtpClient, TextLongerThanOneSendArrivesWholeAndInOrder) {
  // Small pieces gathered into sends of their own size and more: none may
  // be lost, doubled or moved at the seams between sends.
  std::string text = "Subject: long\r\n\r\n";
  std::vector<std::string> expected{"HELO relay.test", "MAIL FROM: <a@here.test>", "RCPT TO: <b@there.test>",
                                    "DATA", "Subject: long", ""};
  for (int i = 0; i < 3000; ++i) {
    const std::string line = "line " + std::to_string(i) + std::string(50, static_cast<char>('a' + i % 26));
    text += line + "\r\n";
    expected.push_back(line);
  }
  text += ".";
  expected.insert(expected.end(), {".", "QUIT"});
  Outcome run = Transmit(Concat(AcceptingServer("220 hi\r\n"), std::vector<Step>{Send("221 bye\r\n")}), 5,
                         "<b@there.test>", 0, text);
  EXPECT_TRUE(run.delivered);
  EXPECT_TRUE(run.text_sent);
  EXPECT_EQ(run.received, expected);
}

TEST(SmtpClient, TextThatCannotBeReadIsNeverEnded) {
  std::vector<Step> steps = AcceptingServer("220 hi\r\n");
  steps.resize(9);  // up to the 354
  steps.push_back(ReadToEnd());
  Outcome run = Transmit(std::move(steps), 5, "<b@there.test>", 3);
  EXPECT_FALSE(run.delivered);
  EXPECT_FALSE(run.text_sent);
  EXPECT_FALSE(run.connected);
  // The server saw the first pieces and the connection end, never the ".".
  EXPECT_EQ(run.received, (std::vector<std::string>{"HELO relay.test", "MAIL FROM: <a@here.test>",
                                                    "RCPT TO: <b@there.test>", "DATA", "Subject: test", ""}));
  EXPECT_EQ(Lines(run.log.end() - 3, run.log.end()),
            (Lines{"[disconnected]", "Could not read the message text, disconnected.",
                   "Invalid response, expecting 250."}));
}

TEST(SmtpClient, ServerHangsUpMidDialogue) {
  Outcome run = Transmit({Send("220 hi\r\n"), Expect(), Close()});
  EXPECT_TRUE(run.transmitted);
  EXPECT_FALSE(run.delivered);
  EXPECT_FALSE(run.connected);
  EXPECT_EQ(run.log,
            (std::vector<std::string>{"[connected]", "Connected to SMTP host", "220 hi",
                                      "HELO relay.test", "[disconnected]", "Connection closed.",
                                      "Invalid response, expecting 250."}));
}

TEST(SmtpClient, ConnectionLostBeforeASend) {
  // The server greets and hangs up while the client is still dispatching
  // a message of its thread, so the greeting and the hang-up are both there
  // when it reads: HELO is not sent.
  platform::Event go(true), hungUp(true);
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  queue.SetHandler([&](const platform::Message&) -> LRESULT {
    go.Set();
    hungUp.Wait(kPeerWaitMs);
    platform::SleepMs(20);  // the peer's FIN on its way through loopback
    return 0;
  });
  platform::MessageQueue::Post(platform::CurrentThreadId(), WM_USER + 1);
  Outcome run = Transmit({WaitFor(go), Send("220 bye\r\n"), Close(), Signal(hungUp)});
  queue.SetHandler(nullptr);
  EXPECT_FALSE(run.delivered);
  EXPECT_EQ(run.log, (std::vector<std::string>{"[connected]", "Connected to SMTP host", "220 bye",
                                               "Could not send reply, disconnected.",
                                               "Invalid response, expecting 250."}));
}

TEST(SmtpClient, ConnectRefused) {
  int port = 0;
  {
    platform::Socket closed = platform::Socket::Listen(0, 1);
    port = closed.LocalPort();
  }
  RecordingSink sink;
  CSmtpClient client(&sink);
  client.SetTimeout(5);
  PiecesSource message(kMessage);
  EXPECT_FALSE(
      client.TransmitMessage(kLoopback, port, "<a@here.test>", "<b@there.test>", message));
  EXPECT_FALSE(client.IsDelivered());
  EXPECT_EQ(sink.log, std::vector<std::string>{"Cannot connect to remote server."});
}

}  // namespace
