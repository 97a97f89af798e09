// The listener's accept loop: an accept that fails for any reason but "no
// client waiting" pauses accepting instead of spinning on a socket that
// stays readable.
#include "net/listen_socket.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/sync.h"
#include "support/fake_server_link.h"
#include "support/loopback.h"

namespace {

class CountingListener : public CListenSocket {
 public:
  using CListenSocket::CListenSocket;
  int Fd() const { return m_Socket.fd(); }
  int m_nAccepts = 0;

 protected:
  platform::Socket AcceptClient() override {
    ++m_nAccepts;
    return CListenSocket::AcceptClient();
  }
  std::shared_ptr<CConnectionThread> NewConnectionThread() override { return nullptr; }
};

TEST(ListenSocket, FailingAcceptPausesInsteadOfSpinning) {
  CountingListener listener(std::make_shared<FakeServerLink>(), true);
  ASSERT_TRUE(listener.Create(0, 5));
  BreakListeningSocket(listener.Fd());
  platform::Event never(true);
  platform::MessageQueue::ForCurrentThread().WaitWithMessages(never, 1000);
  // About one try per pause of kAcceptRetryMs: never thousands.
  EXPECT_GE(listener.m_nAccepts, 3) << "accepting resumes after each pause";
  EXPECT_LE(listener.m_nAccepts, 30);
  listener.Close();
}

}  // namespace
