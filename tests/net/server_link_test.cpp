// The link a connection thread holds to the server: it forwards until the
// server's stop empties it, and from then on never reaches the server, which
// may be gone, also while threads are calling it.
#include "net/server_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/fake_server_link.h"

namespace {

TEST(SharedServerLink, ForwardsUntilDetachedThenAnswersAsWithoutAServer) {
  auto server = std::make_unique<FakeServerLink>();
  server->SetMailFolder("c:\\Mail\\");
  server->m_arrAccounts = {{"joe", "Joe", "secret"}};
  server->m_hNotifyWindow = 42;
  server->m_nTimeout = 90;
  server->m_nConnectionsLimit = 0;
  CSharedServerLink link(server.get());

  EXPECT_EQ(link.GetMailFolder(), "c:\\Mail\\");
  EXPECT_TRUE(link.CheckLogin("joe", "secret"));
  EXPECT_EQ(link.NotificationWindow(), 42u);
  EXPECT_EQ(link.GetTimeout(), 90);
  EXPECT_EQ(link.GetLogLevel(), LOG_DEBUG);
  EXPECT_EQ(link.CountConnection(+1), 1);
  EXPECT_TRUE(link.IsTooManyConnections(link.CountConnection(+1)));

  link.Detach();
  server.reset();  // a stale call would now read freed memory
  EXPECT_EQ(link.GetMailFolder(), "");
  EXPECT_FALSE(link.CheckLogin("joe", "secret"));
  EXPECT_EQ(link.NotificationWindow(), 0u);
  EXPECT_EQ(link.GetTimeout(), 0) << "ends the session at the next tick";
  EXPECT_EQ(link.GetLogLevel(), LOG_NONE);
  EXPECT_EQ(link.CountConnection(-1), 0);
  EXPECT_FALSE(link.IsTooManyConnections(5));
  link.RemoveConnection(true, nullptr);
  link.AddConnection(true, nullptr);
}

TEST(SharedServerLink, DetachWaitsForCallsInProgress) {
  auto server = std::make_unique<FakeServerLink>();
  server->SetMailFolder("c:\\Mail\\");
  server->m_arrAccounts = {{"joe", "Joe", "secret"}};
  auto link = std::make_shared<CSharedServerLink>(server.get());
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([link, &stop] {
      while (!stop) {
        link->CheckLogin("joe", "secret");
        link->GetMailFolder();
        link->CountConnection(+1);
        link->CountConnection(-1);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  link->Detach();
  server.reset();  // the threads go on calling the empty link
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(link->GetMailFolder(), "");
}

}  // namespace
