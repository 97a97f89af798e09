// The command-line scan and the service wrapper's operations: which operation
// a command line runs, and what install, remove, start, stop and the console
// mode do with the service manager and the registry.
#include "service/service_base.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "support/console_keys.h"
#include "support/temp_home.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kName = "Kestrune Mail Service";
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Kestrune Mail Service";
constexpr const char* kEventLogKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kestrune Mail Service";

TEST(FindOptionLetter, ReturnsTheCharacterAfterTheFirstMarker) {
  struct Case {
    const char* label;
    const char* text;
    const char* markers;
    int offset;  // of the returned pointer in text; -1 for null
  };
  const Case cases[] = {
      {"minus", "-i", "-/", 1},
      {"slash", "/s", "-/", 1},
      {"first of several", "ab-c/d", "-/", 3},
      {"slash before minus", "a/b-c", "-/", 2},
      {"marker at the end", "abc-", "-/", 4},
      {"no marker", "abc", "-/", -1},
      {"empty text", "", "-/", -1},
      {"no markers given", "-i", "", -1},
      {"UTF-8 text before the marker", "\xC3\xA9t\xC3\xA9 -d", "-/", 7},
  };
  for (const Case& c : cases) {
    const char* found = FindOptionLetter(c.text, c.markers);
    if (c.offset < 0) {
      EXPECT_EQ(found, nullptr) << c.label;
    } else {
      EXPECT_EQ(found, c.text + c.offset) << c.label;
    }
  }
  EXPECT_EQ(FindOptionLetter(nullptr, "-/"), nullptr);
}

// Records which operation the dispatch chose instead of running it.
class RecordingService : public CServiceBase {
 public:
  RecordingService() : CServiceBase(kName, kName) {}
  int InstallService() override { return Record("install"); }
  int RemoveService() override { return Record("remove"); }
  int StartInstalledService() override { return Record("start"); }
  int StopInstalledService() override { return Record("stop"); }
  int RunInConsole() override { return Record("console"); }
  int RunDispatcher() override { return Record("dispatcher"); }
  std::vector<std::string> ran;

 private:
  int Record(const char* what) {
    ran.push_back(what);
    return 40 + static_cast<int>(ran.size());
  }
};

TEST(DispatchCommandLine, RunsTheFirstKnownOptionOfTheArguments) {
  struct Case {
    const char* label;
    std::vector<std::string> args;  // argv, program path first
    const char* operation;
  };
  const Case cases[] = {
      {"no option runs the service", {"/usr/bin/quillpost"}, "dispatcher"},
      {"-i installs", {"quillpost", "-i"}, "install"},
      {"/u removes", {"quillpost", "/u"}, "remove"},
      {"-s starts", {"quillpost", "-s"}, "start"},
      {"/e stops", {"quillpost", "/e"}, "stop"},
      {"-d debugs", {"quillpost", "-d"}, "console"},
      {"only the first option acts", {"quillpost", "-i", "-s"}, "install"},
      {"upper case is no option", {"quillpost", "-I"}, "dispatcher"},
      {"upper case then lower case", {"quillpost", "-S", "/E", "-u"}, "remove"},
      {"unknown letter is skipped", {"quillpost", "/x", "-d"}, "console"},
      {"marker at the end of an argument", {"quillpost", "name-", "-e"}, "stop"},
      {"marker alone, letter in the next argument", {"quillpost", "-", "i"}, "dispatcher"},
      {"doubled marker", {"quillpost", "--s"}, "start"},
      {"marker inside an argument still counts", {"quillpost", "x-install"}, "install"},
      {"path with -i is not scanned", {"/srv/build-images/quillpost"}, "dispatcher"},
      {"path with /s is not scanned", {"/srv/s/quillpost"}, "dispatcher"},
      {"path options do not come first", {"/opt/x-d/quillpost", "-e"}, "stop"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    std::vector<std::string> storage = c.args;
    for (std::string& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    RecordingService service;
    const int result = service.DispatchCommandLine(static_cast<int>(c.args.size()), argv.data());
    ASSERT_EQ(service.ran.size(), 1u) << c.label;
    EXPECT_EQ(service.ran[0], c.operation) << c.label;
    EXPECT_EQ(result, 41) << c.label << ": the operation's result is returned";
  }
  RecordingService service;
  char* no_args[] = {nullptr};
  service.DispatchCommandLine(0, no_args);
  EXPECT_EQ(service.ran, std::vector<std::string>{"dispatcher"}) << "empty argv";
}

// --- The operations themselves, in a state root of their own ---

// Keeps the texts the wrapper reports and the stop requests it makes.
class ProbeService : public CServiceBase {
 public:
  ProbeService() : CServiceBase(kName, nullptr) {}
  void LogServiceEvent(const std::string& text) override {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(text);
  }
  void RequestStop() override {
    std::lock_guard<std::mutex> guard(lock);
    ++stop_requests;
    wake.notify_all();
  }
  // Console mode: press Ctrl+C, then wait for the stop it causes.
  void RunServer() override {
    PressCtrlC();
    std::unique_lock<std::mutex> guard(lock);
    wake.wait_for(guard, std::chrono::seconds(5), [this] { return stop_requests > 0; });
  }
  std::mutex lock;
  std::condition_variable wake;
  std::vector<std::string> events;
  int stop_requests = 0;
};

class ServiceOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("QUILLPOST_SERVICE_NAME"); }
  TempHome home_{"qp-test-svc-"};
};

std::string ReadText(const platform::RegKey& key, const char* name, DWORD* type) {
  std::vector<std::uint8_t> data;
  if (key.QueryValue(name, *type, data) != ERROR_SUCCESS) return "<missing>";
  return std::string(data.begin(), data.end());
}

TEST_F(ServiceOperationsTest, InstallRegistersServiceAndEventSourceOnce) {
  ProbeService service;
  EXPECT_STREQ(service.DisplayName(), kName) << "display name defaults to the service name";
  EXPECT_FALSE(service.IsInstalled());
  ASSERT_EQ(service.InstallService(), 1);
  EXPECT_TRUE(service.IsInstalled());

  const std::string program = platform::ModuleFilePath();
  platform::RegKey key;
  ASSERT_EQ(platform::RegKey::Open(kEventLogKey, platform::KEY_READ, key), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(ReadText(key, "EventMessageFile", &type), program + std::string(1, '\0'));
  EXPECT_EQ(type, platform::REG_EXPAND_SZ);
  DWORD types = 0, size = sizeof types;
  EXPECT_EQ(key.QueryValue("TypesSupported", &type, &types, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, platform::REG_DWORD);
  EXPECT_EQ(types, 7u);

  std::string image;
  EXPECT_TRUE(platform::scm::QueryImagePath(kName, image));
  EXPECT_EQ(image, program);

  // A second install changes nothing and still succeeds.
  platform::RegKey service_key;
  ASSERT_EQ(platform::RegKey::Open(kServiceKey, platform::KEY_ALL_ACCESS, service_key),
            ERROR_SUCCESS);
  ASSERT_EQ(service_key.SetString("ImagePath", "/marker", platform::REG_EXPAND_SZ),
            ERROR_SUCCESS);
  EXPECT_EQ(service.InstallService(), 1);
  EXPECT_TRUE(platform::scm::QueryImagePath(kName, image));
  EXPECT_EQ(image, "/marker");
}

TEST_F(ServiceOperationsTest, RemoveDeletesTheServiceButKeepsTheEventSource) {
  ProbeService service;
  EXPECT_EQ(service.RemoveService(), 1) << "not installed counts as removed";
  ASSERT_EQ(service.InstallService(), 1);
  EXPECT_EQ(service.RemoveService(), 1);
  EXPECT_FALSE(service.IsInstalled());
  EXPECT_FALSE(platform::RegKey::Exists(kServiceKey));
  EXPECT_TRUE(platform::RegKey::Exists(kEventLogKey));
}

TEST_F(ServiceOperationsTest, StartAndStopReportTheStateReached) {
  ProbeService service;
  EXPECT_EQ(service.StartInstalledService(), 0) << "not installed";
  EXPECT_EQ(service.StopInstalledService(), 0) << "not installed";
  ASSERT_TRUE(platform::scm::CreateService(kName, kName, (fs::path(home_.path()) / "missing").string()));
  EXPECT_EQ(service.StopInstalledService(), 1) << "not running: it is stopped";
  EXPECT_EQ(service.StartInstalledService(), 0) << "the program cannot be run";
}

TEST_F(ServiceOperationsTest, WithoutTheServiceManagerNothingConnectsOrReports) {
  ProbeService service;
  EXPECT_EQ(service.RunDispatcher(), 0) << "started by hand";
  EXPECT_FALSE(service.ReportStatus(platform::SERVICE_RUNNING, 3000)) << "no status handle";
  std::lock_guard<std::mutex> guard(service.lock);
  ASSERT_EQ(service.events.size(), 2u);
  EXPECT_EQ(service.events[0],
            "The service process could not connect to the service controller.\r\n");
  EXPECT_EQ(service.events[1], "SetServiceStatus() failed");
}

TEST_F(ServiceOperationsTest, ConsoleModeStopsOnCtrlC) {
  testing::internal::CaptureStdout();
  int result = 0;
  int stops = 0;
  {
    ProbeService service;
    result = service.RunInConsole();
    std::lock_guard<std::mutex> guard(service.lock);
    stops = service.stop_requests;
  }
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(output,
            "Debugging Kestrune Mail Service.\n"
            "Stopping Kestrune Mail Service.\n");
}

}  // namespace
