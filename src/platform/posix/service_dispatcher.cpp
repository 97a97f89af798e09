// The service process's side of the service manager: the dispatcher that a
// process started by the manager runs. ServiceMain runs on a thread of its
// own; the calling thread reads the control channel and runs the control
// handler; every status reported, and every control handled, rewrites the
// status file (service_state.h) so that the manager's side sees it.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/service_state.h"
#include "platform/service_manager.h"

namespace platform {
using namespace service_state;

namespace {

// How long the control loop waits before it polls again after a failed poll.
constexpr int kPollRetryMs = 100;

struct DispatcherRun {
  std::string name;    // as stored in the database
  std::string folder;  // run/services/<name>
  service_process::ControlHandler handler;
  StoredStatus last;  // the last status reported, and the controls handled
};

std::mutex g_run_lock;
DispatcherRun* g_run = nullptr;  // guarded by g_run_lock

void RunControl(DWORD control) {
  service_process::ControlHandler handler;
  {
    std::lock_guard<std::mutex> guard(g_run_lock);
    if (g_run) handler = g_run->handler;
  }
  if (handler) handler(control);
  std::lock_guard<std::mutex> guard(g_run_lock);
  if (!g_run) return;
  ++g_run->last.handled;
  WriteStatusFile(g_run->folder, g_run->last);
}

bool OpenControlChannel(const std::string& path, int& read_fd, int& keep_fd) {
  ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0600) != 0) return false;
  read_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (read_fd < 0) return false;
  // Our own writer keeps the FIFO from reporting end of file between controls.
  keep_fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (keep_fd < 0) {
    ::close(read_fd);
    return false;
  }
  return true;
}

// Reads the control codes the FIFO holds and runs the handler for each.
// `pending` keeps the bytes of an incomplete code between reads (fewer than
// four), so a flood of bytes never piles up in memory.
void ServeControls(int fd, std::vector<unsigned char>& pending) {
  constexpr std::size_t kCodeSize = 4;
  unsigned char buffer[256];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.insert(pending.end(), buffer, buffer + n);
    std::size_t used = 0;
    for (; pending.size() - used >= kCodeSize; used += kCodeSize) {
      const unsigned char* b = pending.data() + used;
      RunControl(static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 |
                 static_cast<DWORD>(b[2]) << 16 | static_cast<DWORD>(b[3]) << 24);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
  }
}

}  // namespace

namespace service_process {

bool RunDispatcher(std::string_view name, ServiceMain service_main) {
  const char* started_as = std::getenv(kServiceNameVariable);
  if (started_as == nullptr || !IsValidName(started_as) || !EqualsNoCase(started_as, name))
    return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

  DispatcherRun run;
  run.name = started_as;
  run.folder = StateFolder(run.name);
  run.last.status.current_state = SERVICE_START_PENDING;
  if (!EnsureStateFolder(run.folder)) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

  {
    // One run per process; claimed before the channel of a running one
    // could be replaced.
    std::lock_guard<std::mutex> guard(g_run_lock);
    if (g_run) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    g_run = &run;
  }
  auto release = [] {
    std::lock_guard<std::mutex> guard(g_run_lock);
    g_run = nullptr;
  };
  int read_fd = -1, keep_fd = -1;
  const std::string channel = run.folder + "/control";
  if (!OpenControlChannel(channel, read_fd, keep_fd)) {
    release();
    return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  const int done_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (done_fd < 0) {
    ::close(read_fd);
    ::close(keep_fd);
    ::unlink(channel.c_str());
    release();
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  // Started by hand with the variable set, nobody wrote our pid: do it, so
  // that queries see us.
  pid_t recorded = 0;
  unsigned long long start_time = 0;
  if (!ReadPidFile(run.folder, recorded, start_time) || recorded != ::getpid())
    WritePidFile(run.folder, ::getpid());

  std::thread service_thread([&service_main, done_fd] {
    if (service_main) service_main();
    const std::uint64_t one = 1;
    WriteAll(done_fd, &one, sizeof one);
  });

  std::vector<unsigned char> pending;
  for (;;) {
    pollfd fds[2] = {{read_fd, POLLIN, 0}, {done_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      // A failed wait (no memory for the poll set just now) is tried again a
      // moment later: leaving the loop would leave the service without its
      // controls, and no stop would ever reach it.
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(kPollRetryMs));
      continue;
    }
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) ServeControls(read_fd, pending);
  }
  service_thread.join();

  release();
  ::unlink(channel.c_str());
  ::close(read_fd);
  ::close(keep_fd);
  ::close(done_fd);
  Succeed();
  return true;
}

bool RegisterControlHandler(std::string_view name, ControlHandler handler) {
  std::lock_guard<std::mutex> guard(g_run_lock);
  if (!g_run || !EqualsNoCase(g_run->name, name)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  g_run->handler = std::move(handler);
  Succeed();
  return true;
}

bool SetStatus(const ServiceStatus& status) {
  std::lock_guard<std::mutex> guard(g_run_lock);
  if (!g_run) return Fail(ERROR_INVALID_HANDLE);
  g_run->last.status = status;
  if (!WriteStatusFile(g_run->folder, g_run->last)) return Fail(ERROR_WRITE_FAULT);
  Succeed();
  return true;
}

}  // namespace service_process
}  // namespace platform
