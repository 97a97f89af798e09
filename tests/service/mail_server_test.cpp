// The server object's account check, connection limit and log filtering,
// on an object that is not running.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
  server.CountConnection(+1);  // the first client counts itself in
  EXPECT_FALSE(server.IsTooManyConnections());
  server.CountConnection(+1);  // a second beside it
  EXPECT_FALSE(server.IsTooManyConnections());
  server.CountConnection(+1);  // a third: two others exceed the limit of one
  EXPECT_TRUE(server.IsTooManyConnections());
  server.CountConnection(-1);
  EXPECT_FALSE(server.IsTooManyConnections());
  server.m_nConnectionsLimit = 0;  // a limit of 0 still lets one client in
  server.CountConnection(-1);
  EXPECT_FALSE(server.IsTooManyConnections());
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
