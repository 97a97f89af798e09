// A connection thread over a real loopback connection: a session ends at its
// longest life, however busy the client keeps it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "net/connection_thread.h"
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

TEST(SessionLife, ABusySessionEndsAtItsLongestLifeWithoutAReply) {
  platform::Socket listener = platform::Socket::Listen(0, 5, "127.0.0.1");
  ASSERT_TRUE(listener.IsValid());
  platform::Socket client = platform::Socket::Connect("127.0.0.1", listener.LocalPort(), 5000);
  ASSERT_TRUE(client.IsValid());
  platform::Socket accepted;
  for (int i = 0; i < 100 && !accepted.IsValid(); ++i) {
    accepted = listener.Accept();
    if (!accepted.IsValid()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
