// The server object's account check, connection limit and log filtering,
// on an object that is not running.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "support/temp_home.h"
#include "service/mail_server.h"

namespace {

TEST(CheckLogin, UserAndPasswordCompareWithoutRegardToCase) {
  CMailServer server;
  server.m_arrAccounts = {{"admin", "Administrator", ""}, {"Bob", "Bob B.", "Secret"}, {"bob", "Other", "second"},
                          {"", "No name", "pw"}, {"", "Nothing", ""}};
  struct Case {
    const char* label;
    const char* user;
    const char* password;
    bool expected;
  } cases[] = {
      {"exact", "Bob", "Secret", true},
      {"user in other case", "BOB", "Secret", true},
      {"password in other case", "bob", "sECRET", true},
      {"second account of the same name", "bob", "SECOND", true},
      {"empty password of the default account", "admin", "", false},
      {"empty user name with its password", "", "pw", false},
      {"wrong password", "bob", "secrets", false},
      {"prefix of a user name", "bo", "Secret", false},
      {"unknown user", "carl", "", false},
      {"empty user", "", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(server.CheckLogin(c.user, c.password), c.expected) << c.label;
}

TEST(ConnectionLimit, RefusesWhileMoreThanTheLimitAreConnectedBesideTheNewClient) {
  CMailServer server;
  server.m_nConnectionsLimit = 1;
  const int first = server.CountConnection(+1);
  EXPECT_FALSE(server.IsTooManyConnections(first));
  const int second = server.CountConnection(+1);  // one beside it: the limit
  EXPECT_FALSE(server.IsTooManyConnections(second));
  const int third = server.CountConnection(+1);  // two beside it
  EXPECT_TRUE(server.IsTooManyConnections(third));
  server.CountConnection(-1);
  server.CountConnection(-1);
  server.m_nConnectionsLimit = 0;  // a limit of 0 still lets one client in
  EXPECT_FALSE(server.IsTooManyConnections(server.CountConnection(0)));
}

// Two clients arriving together for the last slot: each decides on its own
// count, so one gets in. Many threads race for the slots many times over;
// exactly as many as there are slots get in each time.
TEST(ConnectionLimit, ClientsArrivingTogetherShareTheLastSlots) {
  CMailServer server;
  server.m_nConnectionsLimit = 3;  // four clients at once
  constexpr int kThreads = 8;
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> admitted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        if (!server.IsTooManyConnections(server.CountConnection(+1))) ++admitted;
      });
    }
    go = true;
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(admitted, 4) << "round " << round;
    for (int i = 0; i < kThreads; ++i) server.CountConnection(-1);
  }
}

TEST(WriteLog, WritesLinesUpToTheLevelWithTextsUnchanged) {
  TempHome home;
  CMailServer server;
  server.m_nLogLevel = LOG_ERROR;
  server.m_LogFile.m_bEnabled = true;
  ASSERT_TRUE(server.m_LogFile.Open("c:\\Mailtrace.log"));
  server.WriteLog(LOG_ERROR, 0, "<SMTP> Server failed to start on port %d.", 25);
  server.WriteLog(LOG_TRACE, 0, "not written at level 1");
  server.WriteLog(LOG_ERROR, 0, "%s", "100%% of %s");
  server.m_LogFile.Close();
  std::ifstream in(home.path() + "/drive_c/Mailtrace.log", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(" <SMTP> Server failed to start on port 25.\r\n"), std::string::npos);
  EXPECT_EQ(text.find("not written"), std::string::npos);
  EXPECT_NE(text.find(" 100%% of %s\r\n"), std::string::npos);
}

}  // namespace
