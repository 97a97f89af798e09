// The General page's rules without widgets: number fields, the six settings,
// the service state poll with Start/Stop/Restart, and the log viewer's file
// and error texts.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "admin/general_settings.h"
#include "admin/service_control.h"
#include "admin/value_parse.h"
#include "admin_test_home.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "store/mail_store.h"

namespace admin {
namespace {

TEST(ParseIntTest, AcceptsWholeNumbersOnly) {
  struct Case {
    const char* label;
    const char* text;
    std::optional<int> expected;
  };
  const Case cases[] = {
      {"plain", "110", 110},
      {"blanks around", " 25 ", 25},
      {"negative", "-1", -1},
      {"plus sign", "+7", 7},
      {"largest int", "2147483647", 2147483647},
      {"empty", "", std::nullopt},
      {"blanks only", "   ", std::nullopt},
      {"trailing letter", "11x", std::nullopt},
      {"letters", "abc", std::nullopt},
      {"inner blank", "1 2", std::nullopt},
      {"beyond int", "2147483648", std::nullopt},
      {"two signs", "+-1", std::nullopt},
      {"decimal point", "2.5", std::nullopt},
  };
  for (const Case& c : cases) {
    int value = 12345;
    const bool ok = ParseInt(c.text, value);
    EXPECT_EQ(ok, c.expected.has_value()) << c.label;
    EXPECT_EQ(value, c.expected.value_or(12345)) << c.label << ": a refused text keeps the value";
  }
}

// Ports and other number fields with a range: a text that is no number gets
// the plain message, a number outside the range the message with the range.
TEST(ParseIntTest, RangedFieldsSayWhatTheyTake) {
  struct Case {
    const char* text;
    const char* refusal;  // nullptr: taken
  };
  const std::string range = "Please enter an integer between 1 and 65535.";
  const Case cases[] = {
      {"1", nullptr},
      {"65535", nullptr},
      {" 110 ", nullptr},
      {"0", range.c_str()},
      {"65536", range.c_str()},
      {"-25", range.c_str()},
      {"2147483648", "Please enter an integer."},
      {"25a", "Please enter an integer."},
  };
  for (const Case& c : cases) {
    int value = 7;
    const std::optional<std::string> refusal = RefuseInt(c.text, kMinPort, kMaxPort, value);
    EXPECT_EQ(refusal.value_or("taken"), c.refusal ? c.refusal : "taken") << "'" << c.text << "'";
    if (c.refusal) {
      EXPECT_EQ(value, 7) << "'" << c.text << "': a refused text keeps the value";
    }
  }
}

using GeneralSettingsTest = AdminTest;

TEST_F(GeneralSettingsTest, EmptyHiveGivesThePageDefaults) {
  CGeneralSettings settings;
  settings.Load();
  EXPECT_EQ(settings.m_nPort, 110);
  EXPECT_EQ(settings.m_nSmtpPort, 25);
  EXPECT_EQ(settings.m_strMailFolder, "C:\\Mailboxes");
  EXPECT_EQ(settings.m_strLogPath, "");
  EXPECT_EQ(settings.m_nLogLevel, 0);
  EXPECT_EQ(settings.m_strServerId, "Kestrune Mail Server SMTP (1.0.0.0)");
}

TEST_F(GeneralSettingsTest, SaveWritesTheSixValuesInOrderWithTheirTypes) {
  CGeneralSettings settings;
  settings.Load();
  settings.m_nLogLevel = 2;
  settings.Save();

  platform::RegKey key;
  ASSERT_EQ(platform::RegKey::Open("software\\Orvalen\\Mail Service\\Settings", platform::KEY_READ, key),
            ERROR_SUCCESS);
  std::vector<platform::RegKey::Value> values;
  ASSERT_EQ(key.EnumValues(values), ERROR_SUCCESS);
  struct Expected {
    const char* name;
    DWORD type;
  };
  const Expected expected[] = {{"MailFolder", platform::REG_SZ}, {"Port", platform::REG_DWORD},
                               {"SmtpPort", platform::REG_DWORD}, {"LogLevel", platform::REG_DWORD},
                               {"LogPath", platform::REG_SZ},    {"ServerID", platform::REG_SZ}};
  ASSERT_EQ(values.size(), std::size(expected)) << "the page writes nothing else";
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i].name, expected[i].name) << "value " << i;
    EXPECT_EQ(values[i].type, expected[i].type) << expected[i].name;
  }
  CGeneralSettings reread;
  reread.Load();
  EXPECT_EQ(reread.m_nLogLevel, 2);
  EXPECT_EQ(reread.m_strMailFolder, "C:\\Mailboxes");
  EXPECT_EQ(ReadRegString("Settings", "LogPath", "absent"), "") << "an empty log path is stored";
}

TEST_F(GeneralSettingsTest, MailboxFoldersUseTheStoredMailFolderWithoutTrailingSeparators) {
  const auto mailbox = [] { return MailSubfolder(settings::ReadText(settings::kMailFolder), "bob"); };
  EXPECT_EQ(mailbox(), "c:\\Mailboxes\\bob\\") << "the service's default";
  WriteRegString("Settings", "MailFolder", "D:\\Mail\\\\");
  EXPECT_EQ(mailbox(), "D:\\Mail\\bob\\");
}

// A service manager whose state the test sets, recording the programs run.
struct FakeServiceManager {
  bool installed = true;
  std::optional<DWORD> state = platform::SERVICE_STOPPED;
  std::string program = "C:\\Program Files\\Mail\\quillpost.exe";
  std::vector<std::string> runs;
  int exit_code = 1;  // of a program waited for

  ServiceManagerAccess Access() {
    ServiceManagerAccess access;
    access.installed = [this] { return installed; };
    access.query_state = [this]() -> std::optional<DWORD> {
      if (!installed) return std::nullopt;
      return state;
    };
    access.program_path = [this] { return installed ? program : std::string(); };
    access.run_program = [this](const std::string& path, const std::string& parameters) {
      runs.push_back(path + " " + parameters);
    };
    access.run_program_and_wait = [this](const std::string& path, const std::string& parameters) {
      runs.push_back(path + " " + parameters + " (waited)");
      return exit_code;
    };
    return access;
  }
};

TEST(ServiceControlTest, EachStateHasItsTextAndButtons) {
  struct Case {
    DWORD state;
    const char* text;
    bool start, stop, restart;
  };
  const Case cases[] = {
      {platform::SERVICE_STOPPED, "Stopped", true, false, false},
      {platform::SERVICE_START_PENDING, "Starting", false, false, false},
      {platform::SERVICE_STOP_PENDING, "Stopping", false, false, false},
      {platform::SERVICE_RUNNING, "Running", false, true, true},
      {platform::SERVICE_CONTINUE_PENDING, "Continuing", false, false, false},
      {platform::SERVICE_PAUSE_PENDING, "Pausing", false, false, false},
      {platform::SERVICE_PAUSED, "Paused", false, false, false},
      {99, "Unknown", false, false, false},
  };
  for (const Case& c : cases) {
    FakeServiceManager fake;
    fake.state = c.state;
    CServiceControl control(fake.Access());
    const auto poll = control.UpdateServiceStatus();
    ASSERT_TRUE(poll.has_value()) << c.text;
    EXPECT_EQ(poll->text, c.text);
    EXPECT_EQ(poll->buttons.start, c.start) << c.text;
    EXPECT_EQ(poll->buttons.stop, c.stop) << c.text;
    EXPECT_EQ(poll->buttons.restart, c.restart) << c.text;
    EXPECT_TRUE(fake.runs.empty()) << c.text << ": a poll alone runs nothing";
  }
}

TEST(ServiceControlTest, NotInstalledDisablesEveryButtonAndRunsNothing) {
  FakeServiceManager fake;
  fake.installed = false;
  CServiceControl control(fake.Access());
  const auto poll = control.UpdateServiceStatus();
  ASSERT_TRUE(poll.has_value());
  EXPECT_EQ(poll->text, "Not Installed");
  EXPECT_FALSE(poll->buttons.start || poll->buttons.stop || poll->buttons.restart);
  control.RequestServiceStart();
  control.RequestServiceStop();
  EXPECT_TRUE(fake.runs.empty());
  std::string folder = "unchanged";
  EXPECT_FALSE(control.GetServiceProgramFolder(folder));
  EXPECT_EQ(folder, "unchanged");
}

TEST(ServiceControlTest, StartAndStopRunTheInstalledProgram) {
  FakeServiceManager fake;
  CServiceControl control(fake.Access());
  control.RequestServiceStart();
  control.RequestServiceStop();
  EXPECT_EQ(fake.runs, (std::vector<std::string>{"C:\\Program Files\\Mail\\quillpost.exe -s",
                                                 "C:\\Program Files\\Mail\\quillpost.exe -e"}));
}

// quillctl waits for the program, which reports with its exit code whether
// the service reached the state asked for.
TEST(ServiceControlTest, WaitedRequestsReportWhatTheProgramReports) {
  struct Case {
    const char* label;
    bool installed;
    int exit_code;
    bool reached;
  };
  const Case cases[] = {
      {"the state is reached", true, 1, true},
      {"the program reports failure", true, 0, false},
      {"the program cannot run", true, -1, false},
      {"not installed", false, 1, false},
  };
  for (const Case& c : cases) {
    FakeServiceManager fake;
    fake.installed = c.installed;
    fake.exit_code = c.exit_code;
    CServiceControl control(fake.Access());
    EXPECT_EQ(control.StartAndWait(), c.reached) << c.label;
    EXPECT_EQ(control.StopAndWait(), c.reached) << c.label;
    const std::vector<std::string> runs = {"C:\\Program Files\\Mail\\quillpost.exe -s (waited)",
                                           "C:\\Program Files\\Mail\\quillpost.exe -e (waited)"};
    EXPECT_EQ(fake.runs, c.installed ? runs : std::vector<std::string>{}) << c.label;
  }
}

TEST(ServiceControlTest, RestartStopsAndStartsOnceSeenStopped) {
  FakeServiceManager fake;
  fake.state = platform::SERVICE_RUNNING;
  CServiceControl control(fake.Access());
  control.RequestServiceRestart();
  EXPECT_EQ(fake.runs.size(), 1u);
  EXPECT_TRUE(control.RestartPending());

  auto poll = control.UpdateServiceStatus();
  ASSERT_TRUE(poll.has_value());
  EXPECT_FALSE(poll->buttons.restart) << "no second restart while one is pending";
  fake.state = platform::SERVICE_STOP_PENDING;
  control.UpdateServiceStatus();
  EXPECT_EQ(fake.runs.size(), 1u) << "nothing started while stopping";

  fake.state = platform::SERVICE_STOPPED;
  poll = control.UpdateServiceStatus();
  EXPECT_EQ(poll->text, "Stopped");
  ASSERT_EQ(fake.runs.size(), 2u);
  EXPECT_EQ(fake.runs[1], "C:\\Program Files\\Mail\\quillpost.exe -s");
  EXPECT_FALSE(control.RestartPending());
  control.UpdateServiceStatus();
  EXPECT_EQ(fake.runs.size(), 2u) << "started once only";
}

TEST(ServiceControlTest, StartClearsAPendingRestart) {
  FakeServiceManager fake;
  fake.state = platform::SERVICE_RUNNING;
  CServiceControl control(fake.Access());
  control.RequestServiceRestart();
  control.RequestServiceStart();
  EXPECT_FALSE(control.RestartPending());
  fake.state = platform::SERVICE_STOPPED;
  control.UpdateServiceStatus();
  EXPECT_EQ(fake.runs.size(), 2u) << "the stopped poll does not start it again";
}

TEST(LogViewTest, LogFileIsInTheLogPathElseBesideTheServiceProgram) {
  struct Case {
    const char* label;
    const char* log_path;
    const char* program;
    bool installed;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"log path", "D:\\Logs", "", true, "D:\\Logs\\mailtrace.log"},
      {"log path with separators", "D:\\Logs\\\\", "", false, "D:\\Logs\\mailtrace.log"},
      {"windows program", "", "C:\\Mail\\quillpost.exe", true, "C:\\Mail\\mailtrace.log"},
      {"native program", "", "/opt/quill/bin/quillpost", true, "/opt/quill/bin\\mailtrace.log"},
      {"no service", "", "", false, std::nullopt},
  };
  for (const Case& c : cases) {
    FakeServiceManager fake;
    fake.installed = c.installed;
    fake.program = c.program;
    CServiceControl control(fake.Access());
    EXPECT_EQ(LogFileToView(c.log_path, control), c.expected) << c.label;
  }
}

TEST(LogViewTest, ShellResultsAboveThirtyTwoAreSuccess) {
  struct Case {
    int result;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {0, "Systeem is out of Memory"},
      {2, "'NOTEPAD.EXE' is not found !"},
      {3, "Problem with executing of NOTEPAD.EXE"},
      {32, "Problem with executing of NOTEPAD.EXE"},
      {33, std::nullopt},
      {42, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ShellErrorText(c.result), c.text) << "result " << c.result;
}

}  // namespace
}  // namespace admin
