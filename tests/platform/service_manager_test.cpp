// The service manager: the database in the registry, a detached service
// process started from it (this test program itself, which runs a small
// service when started by the manager), controls through the channel, and
// "stopped" as soon as the process is gone.
#include "platform/service_manager.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/paths.h"
#include "platform/registry.h"
#include "support/temp_home.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

constexpr const char* kName = "Quillpost Test Service";
constexpr const char* kModeVariable = "QP_TEST_SERVICE_MODE";
constexpr auto kStateTimeout = std::chrono::seconds(15);

// --- The service side: this program started by the manager ---

// Reports running, waits for a stop control (mode "run") or for ever (mode
// "hang"), then reports stop pending and stopped.
int RunTestService() {
  std::printf("test service up, home %s\n", std::getenv("QUILLPOST_HOME"));
  std::fflush(stdout);
  const std::string mode = std::getenv(kModeVariable) ? std::getenv(kModeVariable) : "run";
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  ServiceStatus status;
  const bool ran = service_process::RunDispatcher(kName, [&] {
    service_process::RegisterControlHandler(kName, [&](DWORD control) {
      if (control == SERVICE_CONTROL_STOP) {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
        wake.notify_all();
      }
    });
    status.current_state = SERVICE_START_PENDING;
    service_process::SetStatus(status);
    status.current_state = SERVICE_RUNNING;
    status.controls_accepted = SERVICE_ACCEPT_STOP;
    service_process::SetStatus(status);
    std::unique_lock<std::mutex> guard(lock);
    wake.wait(guard, [&] { return stop && mode != "hang"; });
    guard.unlock();
    status.current_state = SERVICE_STOP_PENDING;
    service_process::SetStatus(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    status.current_state = SERVICE_STOPPED;
    status.controls_accepted = 0;
    service_process::SetStatus(status);
  });
  return ran ? 0 : 3;
}

// Before any test runs: when the manager started this program as the test
// service, be that service and end.
[[maybe_unused]] const bool g_child = [] {
  const char* started_as = std::getenv("QUILLPOST_SERVICE_NAME");
  if (started_as != nullptr && std::string(started_as) == kName) std::_Exit(RunTestService());
  return false;
}();

// --- The manager side ---

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("QUILLPOST_SERVICE_NAME"); }
  void TearDown() override {
    KillRecordedProcess();
    ::unsetenv(kModeVariable);
    ::unsetenv("QUILLPOST_SERVICE_NAME");
  }

  fs::path StateFolder() const { return home_ / "run" / "services" / kName; }

  pid_t RecordedPid() const {
    std::ifstream in(StateFolder() / "pid");
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
  }

  void KillRecordedProcess() {
    const pid_t pid = RecordedPid();
    if (pid > 0 && pid != ::getpid()) ::kill(pid, SIGKILL);
  }

  // Polls the status until `pred` holds or the time is up.
  bool WaitForState(DWORD state, ServiceStatus* last = nullptr) {
    const auto end = std::chrono::steady_clock::now() + kStateTimeout;
    ServiceStatus status;
    while (std::chrono::steady_clock::now() < end) {
      if (scm::QueryServiceStatus(kName, status) && status.current_state == state) {
        if (last) *last = status;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (last) *last = status;
    return false;
  }

  void InstallSelf() {
    ASSERT_TRUE(scm::CreateService(kName, kName, ModuleFilePath())) << LastServiceError();
  }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  TempHome m_home{"qp-test-scm-"};
  fs::path home_{m_home.path()};
};

// Ended: no such process, or a zombie that init has not reaped yet.
bool ProcessGone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

DWORD DwordValue(const RegKey& key, const char* name) {
  DWORD type = REG_NONE, value = 0, size = sizeof value;
  EXPECT_EQ(key.QueryValue(name, &type, &value, &size), ERROR_SUCCESS) << name;
  EXPECT_EQ(type, REG_DWORD) << name;
  return value;
}

std::string TextValue(const RegKey& key, const char* name, DWORD expected_type) {
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> data;
  EXPECT_EQ(key.QueryValue(name, type, data), ERROR_SUCCESS) << name;
  EXPECT_EQ(type, expected_type) << name;
  EXPECT_FALSE(data.empty() || data.back() != 0) << name << " keeps its terminator";
  return std::string(data.begin(), data.end()).c_str();
}

TEST_F(ServiceManagerTest, DatabaseHoldsTheServiceAsWindowsDoes) {
  ASSERT_TRUE(scm::CreateService(kName, "Shown Name", "/opt/qp/quillpost"));
  RegKey key;
  ASSERT_EQ(RegKey::Open(std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName, KEY_READ,
                         key),
            ERROR_SUCCESS);
  EXPECT_EQ(TextValue(key, "ImagePath", REG_EXPAND_SZ), "/opt/qp/quillpost");
  EXPECT_EQ(TextValue(key, "DisplayName", REG_SZ), "Shown Name");
  EXPECT_EQ(TextValue(key, "ObjectName", REG_SZ), "LocalSystem");
  EXPECT_EQ(DwordValue(key, "Type"), 0x10u);
  EXPECT_EQ(DwordValue(key, "Start"), 2u);
  EXPECT_EQ(DwordValue(key, "ErrorControl"), 1u);

  EXPECT_TRUE(scm::IsInstalled("quillpost test SERVICE")) << "names compare without case";
  std::string image;
  EXPECT_TRUE(scm::QueryImagePath(kName, image));
  EXPECT_EQ(image, "/opt/qp/quillpost");

  EXPECT_FALSE(scm::CreateService(kName, kName, "/other"));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_EXISTS);

  ServiceStatus status;
  EXPECT_TRUE(scm::QueryServiceStatus(kName, status));
  EXPECT_EQ(status.current_state, SERVICE_STOPPED) << "never started";
  EXPECT_FALSE(scm::ControlService(kName, SERVICE_CONTROL_STOP, status));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.current_state, SERVICE_STOPPED);

  EXPECT_TRUE(scm::DeleteService(kName));
  EXPECT_FALSE(scm::IsInstalled(kName));
  EXPECT_FALSE(scm::QueryServiceStatus(kName, status));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(scm::DeleteService(kName));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(scm::StartService(kName));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceManagerTest, NamesThatWouldLeaveTheirFolderAreRefused) {
  for (const char* name : {"", ".", "..", "a\\b", "../escape", "a/b"}) {
    EXPECT_FALSE(scm::CreateService(name, "x", "/bin/true")) << "'" << name << "'";
    EXPECT_FALSE(scm::IsInstalled(name)) << "'" << name << "'";
  }
}

TEST_F(ServiceManagerTest, StartsDetachedServiceAndStopsItThroughTheChannel) {
  InstallSelf();
  ASSERT_TRUE(scm::StartService(kName)) << LastServiceError();
  ServiceStatus status;
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING, &status)) << "state " << status.current_state;
  EXPECT_EQ(status.controls_accepted, SERVICE_ACCEPT_STOP);

  const pid_t pid = RecordedPid();
  ASSERT_GT(pid, 0);
  DWORD process_id = 0;
  EXPECT_TRUE(scm::QueryServiceProcessId(kName, process_id));
  EXPECT_EQ(process_id, static_cast<DWORD>(pid));
  EXPECT_NE(::getsid(pid), ::getsid(0)) << "the service has a session of its own";
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << "not our child: init reaps it";

  EXPECT_FALSE(scm::StartService(kName));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_ALREADY_RUNNING);

  EXPECT_TRUE(scm::ControlService(kName, SERVICE_CONTROL_INTERROGATE, status));
  EXPECT_EQ(status.current_state, SERVICE_RUNNING);
  EXPECT_FALSE(scm::ControlService(kName, SERVICE_CONTROL_PAUSE, status))
      << "pause is not among the accepted controls";

  ASSERT_TRUE(scm::ControlService(kName, SERVICE_CONTROL_STOP, status)) << LastServiceError();
  EXPECT_TRUE(WaitForState(SERVICE_STOPPED, &status));
  EXPECT_EQ(status.win32_exit_code, 0u);

  // The process ends after its dispatcher returned; its channel goes with it.
  const auto end = std::chrono::steady_clock::now() + kStateTimeout;
  while (!ProcessGone(pid) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(ProcessGone(pid)) << "service process still there";
  EXPECT_FALSE(fs::exists(StateFolder() / "control"));

  const std::string output = ReadFile(StateFolder() / "output.log");
  EXPECT_NE(output.find("test service up, home " + home_.string()), std::string::npos)
      << "output.log: " << output;

  // It can be started again.
  ASSERT_TRUE(scm::StartService(kName)) << LastServiceError();
  EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
  EXPECT_TRUE(scm::ControlService(kName, SERVICE_CONTROL_STOP, status));
  EXPECT_TRUE(WaitForState(SERVICE_STOPPED));
}

TEST_F(ServiceManagerTest, ServiceWhoseProcessIsGoneIsStopped) {
  InstallSelf();
  ::setenv(kModeVariable, "hang", 1);
  ASSERT_TRUE(scm::StartService(kName));
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  const pid_t pid = RecordedPid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);

  ServiceStatus status;
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED, &status));
  EXPECT_EQ(status.win32_exit_code, 1067u) << "died without reporting: aborted";
  EXPECT_FALSE(scm::ControlService(kName, SERVICE_CONTROL_STOP, status));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_NOT_ACTIVE);
  DWORD process_id = 0;
  EXPECT_FALSE(scm::QueryServiceProcessId(kName, process_id));
  EXPECT_EQ(LastServiceError(), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ServiceManagerTest, RecycledPidIsNotTakenForTheService) {
  InstallSelf();
  fs::create_directories(StateFolder());
  std::ofstream(StateFolder() / "status") << "4 1 0 0 0 0 0\n";
  struct Case {
    const char* label;
    std::string pid_file;
    DWORD expected;
  };
  const Case cases[] = {
      {"live pid, no start time recorded", std::to_string(::getpid()) + " 0\n", SERVICE_RUNNING},
      {"live pid, other start time", std::to_string(::getpid()) + " 1\n", SERVICE_STOPPED},
      {"garbage", "not a pid\n", SERVICE_STOPPED},
      {"pid 0", "0 0\n", SERVICE_STOPPED},
  };
  for (const Case& c : cases) {
    std::ofstream(StateFolder() / "pid") << c.pid_file;
    ServiceStatus status;
    ASSERT_TRUE(scm::QueryServiceStatus(kName, status)) << c.label;
    EXPECT_EQ(status.current_state, c.expected) << c.label;
  }
  fs::remove(StateFolder() / "pid");
}

TEST_F(ServiceManagerTest, StartingAMissingProgramFails) {
  ASSERT_TRUE(scm::CreateService(kName, kName, (home_ / "no-such-program").string()));
  EXPECT_FALSE(scm::StartService(kName));
  EXPECT_EQ(LastServiceError(), ERROR_FILE_NOT_FOUND);
  ServiceStatus status;
  EXPECT_TRUE(scm::QueryServiceStatus(kName, status));
  EXPECT_EQ(status.current_state, SERVICE_STOPPED);
}

TEST_F(ServiceManagerTest, DispatcherConnectsOnlyWhenStartedForThatService) {
  std::atomic<bool> ran{false};
  auto main = [&] { ran = true; };
  EXPECT_FALSE(service_process::RunDispatcher(kName, main));
  EXPECT_EQ(LastServiceError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  ::setenv("QUILLPOST_SERVICE_NAME", "Another Service", 1);
  EXPECT_FALSE(service_process::RunDispatcher(kName, main));
  EXPECT_EQ(LastServiceError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_FALSE(ran);

  EXPECT_FALSE(service_process::SetStatus(ServiceStatus()));
  EXPECT_EQ(LastServiceError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(service_process::RegisterControlHandler(kName, [](DWORD) {}));
}

// A poll of the control loop that fails is tried again: a stop sent after it
// still reaches the service. The poll fails here because the process may have
// fewer descriptors than it polls (EINVAL), as it may for want of memory.
TEST_F(ServiceManagerTest, ControlLoopOutlivesAFailingPoll) {
  InstallSelf();
  ::setenv("QUILLPOST_SERVICE_NAME", kName, 1);
  std::atomic<bool> stopped{false};
  bool control_sent = false;
  const bool ran = service_process::RunDispatcher(kName, [&] {
    ASSERT_TRUE(service_process::RegisterControlHandler(kName, [&](DWORD control) {
      if (control == SERVICE_CONTROL_STOP) stopped = true;
    }));
    ServiceStatus status;
    status.current_state = SERVICE_RUNNING;
    status.controls_accepted = SERVICE_ACCEPT_STOP;
    ASSERT_TRUE(service_process::SetStatus(status));
    // The channel is opened before the limit drops; an interrogation written
    // into it wakes the loop, whose next poll then fails.
    const int channel = ::open((StateFolder() / "control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(channel, 0);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit one = saved;
    one.rlim_cur = 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &one), 0);
    const std::uint32_t interrogate = SERVICE_CONTROL_INTERROGATE;
    const bool written = ::write(channel, &interrogate, sizeof interrogate) == sizeof interrogate;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ::close(channel);
    ASSERT_TRUE(written);
    ServiceStatus reply;
    control_sent = scm::ControlService(kName, SERVICE_CONTROL_STOP, reply);
  });
  ::unsetenv("QUILLPOST_SERVICE_NAME");
  EXPECT_TRUE(ran);
  EXPECT_TRUE(control_sent) << LastServiceError();
  EXPECT_TRUE(stopped);
}

// In one process: the service thread sends itself a stop through the
// manager; the handler must run on the thread that called RunDispatcher.
TEST_F(ServiceManagerTest, HandlerRunsOnTheDispatcherThread) {
  InstallSelf();
  ::setenv("QUILLPOST_SERVICE_NAME", kName, 1);
  const std::thread::id dispatcher_thread = std::this_thread::get_id();
  std::thread::id handler_thread, main_thread;
  std::atomic<bool> stopped{false};
  bool control_sent = false;
  DWORD state_seen = 0;

  const bool ran = service_process::RunDispatcher("QUILLPOST TEST SERVICE", [&] {
    main_thread = std::this_thread::get_id();
    ASSERT_TRUE(service_process::RegisterControlHandler(kName, [&](DWORD control) {
      handler_thread = std::this_thread::get_id();
      if (control == SERVICE_CONTROL_STOP) stopped = true;
    }));
    ServiceStatus status;
    status.current_state = SERVICE_RUNNING;
    status.controls_accepted = SERVICE_ACCEPT_STOP;
    ASSERT_TRUE(service_process::SetStatus(status));
    EXPECT_FALSE(service_process::RunDispatcher(kName, [] {})) << "one run per process";
    EXPECT_EQ(LastServiceError(), ERROR_SERVICE_ALREADY_RUNNING);
    ServiceStatus reply;
    control_sent = scm::ControlService(kName, SERVICE_CONTROL_STOP, reply);
    state_seen = reply.current_state;
  });
  ::unsetenv("QUILLPOST_SERVICE_NAME");

  EXPECT_TRUE(ran);
  EXPECT_TRUE(control_sent) << LastServiceError();
  EXPECT_TRUE(stopped) << "the control returned before its handler ran";
  EXPECT_EQ(state_seen, SERVICE_RUNNING) << "the last status the service reported";
  EXPECT_NE(main_thread, dispatcher_thread);
  EXPECT_EQ(handler_thread, dispatcher_thread);
  EXPECT_FALSE(service_process::SetStatus(ServiceStatus())) << "the run is over";
}

}  // namespace
