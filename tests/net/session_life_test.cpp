// A connection thread over a real loopback connection: a session ends at its
// longest life, however busy the client keeps it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "net/connection_thread.h"
#include "net/ip_filter.h"
#include "platform/sockets.h"
#include "support/fake_server_link.h"

namespace {

const ProtocolTexts kTexts = {"TEST", "<TEST> ", "HELLO", "BUSY", "FORBIDDEN"};

struct NoopSession : CSessionSocket {
  void ProcessCommand() override {
    CommandLine command;
    if (TakeCommand(command)) SendReply("OK");
  }
};

struct TestThread : CConnectionThread {
  TestThread() : CConnectionThread(kTexts, std::make_unique<NoopSession>()) {}
};

// Everything the client got until the server closed, or until `limit_ms`.
std::string ReadUntilClosed(platform::Socket& client, int limit_ms, bool keep_busy) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (keep_busy) client.SendAll("NOOP\r\n");
    if (client.PollReadable(200) <= 0) continue;
    char buffer[256];
    const long n = client.Receive(buffer, sizeof buffer);
    if (n <= 0) return got;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got + "(still open)";
}

// A client connected to a listener of its own: (client, accepted).
std::pair<platform::Socket, platform::Socket> ConnectedPair() {
  platform::Socket listener = platform::Socket::Listen(0, 5, "127.0.0.1");
  platform::Socket client = platform::Socket::Connect("127.0.0.1", listener.LocalPort(), 5000);
  platform::Socket accepted;
  for (int i = 0; i < 100 && !accepted.IsValid(); ++i) {
    accepted = listener.Accept();
    if (!accepted.IsValid()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {std::move(client), std::move(accepted)};
}

// What a client has received so far, waiting at most `ms` for the first byte.
std::string ReceivedWithin(platform::Socket& client, int ms) {
  std::string got;
  char buffer[256];
  while (client.PollReadable(got.empty() ? ms : 100) > 0) {
    const long n = client.Receive(buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// The accepting thread admits a client before its connection thread runs:
// an admitted client of a plain port has its greeting at once, a refused one
// gets its refusal from the thread, and a client that spoke first is greeted
// by its session; either way the greeting comes once, and the count of
// connections is back to none when the session ends.
TEST(SessionLife, AdmissionAnswersEachClientOnce) {
  struct Case {
    const char* name;
    int connections_limit;
    int ip_filter_mode;
    const char* sent_first;
    const char* before_start;
    const char* in_all;
  };
  const Case cases[] = {
      {"admitted", 20, kIPFilterOff, "", "HELLO\r\n", "HELLO\r\n"},
      {"over the connection limit", -1, kIPFilterOff, "", "", "BUSY\r\n"},
      {"rejected by the IP filter", 20, kIPFilterDenyListed, "", "", "FORBIDDEN\r\n"},
      {"spoke before the greeting", 20, kIPFilterOff, "NOOP\r\n", "", "HELLO\r\nOK\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [client, accepted] = ConnectedPair();
    ASSERT_TRUE(accepted.IsValid());
    if (*c.sent_first) {
      client.SendAll(c.sent_first);
      ASSERT_EQ(accepted.PollReadable(2000), 1);
    }
    auto server = std::make_shared<FakeServerLink>();
    server->m_nConnectionsLimit = c.connections_limit;
    auto thread = std::make_shared<TestThread>();
    thread->m_pServer = server;
    thread->m_nIPFilterMode = c.ip_filter_mode;
    thread->m_arrIPFilter = {"127.0.0.1"};
    thread->m_AcceptedSocket = std::move(accepted);
    thread->Admit();
    EXPECT_EQ(ReceivedWithin(client, 200), c.before_start);
    EXPECT_EQ(server->m_nConnections, 1) << "counted in at admission";
    thread->KeepAliveWhileRunning(thread);
    ASSERT_TRUE(thread->Start());
    std::string all = c.before_start + ReceivedWithin(client, 500);
    EXPECT_EQ(all, c.in_all);
    client.Close();
    EXPECT_TRUE(thread->Ended().Wait(5000));
    EXPECT_EQ(server->m_nConnections, 0);
  }
}

TEST(SessionLife, ABusySessionEndsAtItsLongestLifeWithoutAReply) {
  auto [client, accepted] = ConnectedPair();
  ASSERT_TRUE(client.IsValid());
  ASSERT_TRUE(accepted.IsValid());

  auto server = std::make_shared<FakeServerLink>();
  server->m_nTimeout = 60;  // the idle time-out never comes
  auto thread = std::make_shared<TestThread>();
  thread->m_pServer = server;
  thread->m_AcceptedSocket = std::move(accepted);
  thread->m_nMaxSessionSeconds = 2;
  thread->KeepAliveWhileRunning(thread);
  ASSERT_TRUE(thread->Start());

  const auto start = std::chrono::steady_clock::now();
  const std::string got = ReadUntilClosed(client, 6000, true);
  const auto lived = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(got.starts_with("HELLO\r\nOK\r\n")) << got;
  EXPECT_TRUE(got.ends_with("OK\r\n")) << "closed without a reply of its own: " << got;
  EXPECT_GE(lived, std::chrono::seconds(1));
  EXPECT_LT(lived, std::chrono::seconds(5));
  EXPECT_TRUE(thread->Ended().Wait(5000));
  EXPECT_EQ(server->m_nConnections, 0);
}

}  // namespace

namespace {

// A session's end is told to the server thread when it is logged, or when
// the server has no return of free memory due yet (the end asks for one);
// else the server thread is left asleep.
TEST(SessionLife, EndIsToldToTheServerWhenLoggedOrWhenMemoryIsToBeReturned) {
  const struct {
    int log_level;
    bool memory_return_due;
    bool told;
  } cases[] = {
      {LOG_TRACE, true, true},
      {LOG_ERROR, false, true},
      {LOG_ERROR, true, false},
  };
  platform::MessageQueue& window = platform::MessageQueue::ForCurrentThread();
  std::vector<UINT> received;
  window.SetHandler([&](const platform::Message& msg) -> LRESULT {
    received.push_back(msg.id);
    platform::TakeText(msg.wParam);
    return 0;
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << c.log_level << ", return due " << c.memory_return_due);
    received.clear();
    auto [client, accepted] = ConnectedPair();
    ASSERT_TRUE(accepted.IsValid());
    auto server = std::make_shared<FakeServerLink>();
    server->m_nLogLevel = c.log_level;
    server->m_bMemoryReturnDue = c.memory_return_due;
    auto thread = std::make_shared<TestThread>();
    thread->m_pServer = server;
    thread->m_hNotifyWindow = platform::CurrentThreadId();
    thread->m_AcceptedSocket = std::move(accepted);
    thread->KeepAliveWhileRunning(thread);
    ASSERT_TRUE(thread->Start());
    client.Close();
    ASSERT_TRUE(window.WaitWithMessages(thread->Ended(), 10000));
    // Whatever the thread posted came before its end: a few turns take it.
    for (int turn = 0; turn < 4; ++turn) window.PumpOnce(0);
    EXPECT_EQ(std::count(received.begin(), received.end(), WM_MAIL_CLIENT_DISCONNECTED), c.told ? 1 : 0);
  }
  window.SetHandler(nullptr);
}

}  // namespace
