// Loading the configuration from a registry hive that cannot be read: the
// error is reported (standard error and the trace log at level Error), the
// accounts, lists and values loaded before stay (an IP filter or AuthLocal
// is not lost to a passing read error), and at start no account appears in
// place of the stored ones (the default admin account is only for a hive
// that has no accounts list).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "service/mail_server.h"
#include "support/files.h"
#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;

// The hive's file holds bytes that are no database while the object lives:
// every read fails with an error other than "not found", as on an I/O error.
class ScopedBrokenHive {
 public:
  ScopedBrokenHive() : m_path(fs::path(TestHomeOf()) / "registry.db"), m_bytes(ReadFileBytes(m_path)) {
    WriteFileBytes(m_path, std::string(8192, '\x5a'));
  }
  ~ScopedBrokenHive() { WriteFileBytes(m_path, m_bytes); }

 private:
  static std::string TestHomeOf() { return std::getenv("QUILLPOST_HOME"); }
  fs::path m_path;
  std::string m_bytes;
};

void StoreLists() {
  ASSERT_TRUE(WriteRegDword("Settings", "IPFilterMode", 2));
  ASSERT_TRUE(WriteRegDword("Settings", "AuthLocal", 1));
  const serial_list::Bytes accounts = serial_list::WriteAccounts({{"joe", "Joe", "secret"}});
  ASSERT_TRUE(WriteRegBinary("UserAccounts", "Users", accounts.data(), accounts.size()));
  const serial_list::Bytes domains = serial_list::WriteTexts({"d1.test"});
  ASSERT_TRUE(WriteRegBinary("Domains", "Extensions", domains.data(), domains.size()));
}

TEST(LoadConfiguration, UnreadableListsAtReloadKeepWhatWasLoaded) {
  TempHome home;
  StoreLists();
  CMailServer server;
  server.LoadConfiguration();
  ASSERT_TRUE(server.CheckLogin("joe", "secret"));
  ASSERT_EQ(server.m_arrDomains, std::vector<std::string>{"d1.test"});
  server.m_nLogLevel = LOG_ERROR;
  server.m_LogFile.m_bEnabled = true;
  ASSERT_TRUE(server.m_LogFile.Open(home.path() + "/reload.log"));

  ::testing::internal::CaptureStderr();
  {
    ScopedBrokenHive broken;
    server.LoadConfiguration();
  }
  const std::string stderr_text = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(server.CheckLogin("joe", "secret")) << "the accounts stay";
  EXPECT_FALSE(server.CheckLogin("admin", ""));
  EXPECT_EQ(server.m_arrDomains, std::vector<std::string>{"d1.test"}) << "the lists stay";
  EXPECT_NE(stderr_text.find("ERROR: Cannot read from the registry: "), std::string::npos) << stderr_text;
  EXPECT_NE(stderr_text.find("UserAccounts\\Users (error "), std::string::npos) << stderr_text;
  EXPECT_EQ(server.m_nIPFilterMode, 2) << "single values stay too";
  EXPECT_EQ(server.m_bAuthLocal, 1);
  server.m_LogFile.Close();
  const std::string log = ReadFileBytes(home.path() + "/reload.log");
  EXPECT_NE(log.find("ERROR: Cannot read from the registry: "), std::string::npos) << log;
  EXPECT_NE(log.find("Domains\\Extensions (error "), std::string::npos) << log;
}

TEST(LoadConfiguration, UnreadableAccountsAtStartGiveNoAccount) {
  TempHome home;
  StoreLists();
  CMailServer server;
  ::testing::internal::CaptureStderr();
  {
    ScopedBrokenHive broken;
    server.LoadConfiguration();
  }
  const std::string stderr_text = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(server.m_arrAccounts.empty()) << "no default account in place of the stored ones";
  EXPECT_NE(stderr_text.find("UserAccounts\\Users (error "), std::string::npos) << stderr_text;

  // A hive without an accounts list still gives the default account.
  ASSERT_TRUE(platform::RegKey::DeleteTree(std::string(kProductKey) + "\\UserAccounts") == ERROR_SUCCESS);
  server.LoadConfiguration();
  ASSERT_EQ(server.m_arrAccounts.size(), 1u);
  EXPECT_EQ(server.m_arrAccounts[0].m_strUser, kAdminUser);
}

}  // namespace
