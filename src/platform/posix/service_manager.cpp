// The service control manager on Linux, without a daemon of its own: the
// manager's side (install, remove, start, control, query). The database is
// the registry key SYSTEM\CurrentControlSet\Services\<name>; the runtime
// state of a service is its folder run/services/<name>/ (service_state.h),
// which the service process's dispatcher (service_dispatcher.cpp) keeps up.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/posix/service_state.h"
#include "platform/registry.h"

extern char** environ;

namespace platform {
using namespace service_state;

namespace {

constexpr const char* kObjectName = "LocalSystem";

// Win32 codes that only the manager's side reports.
constexpr LONG kErrorInvalidServiceControl = 1052;
constexpr LONG kErrorServiceCannotAcceptCtrl = 1061;

constexpr DWORD kAcceptPauseContinue = 2;
constexpr DWORD kAcceptShutdown = 4;
constexpr DWORD kFirstUserControl = 128;
constexpr DWORD kLastUserControl = 255;

// How long ControlService waits for the handler to have run: the handler
// only flags and posts, so this is ample even on a loaded machine.
constexpr int kControlReplyMs = 5000;
// How long StartService lets a process that already reported "stopped" take
// to exit before it calls the service still running.
constexpr int kExitGraceMs = 3000;
constexpr int kPollStepMs = 10;
// Descriptors closed one by one where close_range is missing (old kernels).
constexpr int kMaxInheritedFd = 4096;

// --- Launching ---

LONG ErrnoToWin32(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

// The absolute form of a path (relative to the current folder).
std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// Runs `program` without arguments as a detached process: a double fork, so
// that init (not the caller) reaps it, and a session of its own, so that the
// caller's terminal and its signals do not reach it. Between fork and exec
// only async-signal-safe calls are made (the caller may have threads).
// Writes the pid file as soon as the pid is known; *error gets the Win32 code
// when the program could not be run.
bool LaunchDetached(const std::string& program, const std::vector<std::string>& env,
                    const std::string& log_path, const std::string& folder, LONG* error) {
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

  // Two pipes, as the two writers race: the middle child sends the pid on
  // one, the grandchild an exec errno on the other (which closes unread,
  // being close-on-exec, when the exec succeeds).
  int pid_pipe[2], exec_pipe[2];
  if (::pipe2(pid_pipe, O_CLOEXEC) != 0) {
    *error = ErrnoToWin32(errno);
    return false;
  }
  if (::pipe2(exec_pipe, O_CLOEXEC) != 0) {
    *error = ErrnoToWin32(errno);
    ::close(pid_pipe[0]);
    ::close(pid_pipe[1]);
    return false;
  }
  const pid_t middle = ::fork();
  if (middle < 0) {
    *error = ErrnoToWin32(errno);
    for (int fd : {pid_pipe[0], pid_pipe[1], exec_pipe[0], exec_pipe[1]}) ::close(fd);
    return false;
  }
  if (middle == 0) {
    ::close(pid_pipe[0]);
    ::close(exec_pipe[0]);
    ::setsid();
    const pid_t service = ::fork();
    if (service != 0) {
      WriteAll(pid_pipe[1], &service, sizeof service);
      ::_exit(0);
    }
    // The service process: default signal handling, nothing blocked,
    // standard streams to output.log, no descriptor of the caller but ours.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0640);
    if (log_fd < 0) log_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, 0);
    ::dup2(log_fd, 1);
    ::dup2(log_fd, 2);
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {  // the exec pipe is among them
      for (int fd = 3; fd < kMaxInheritedFd; ++fd)
        if (fd != exec_pipe[1]) ::close(fd);
    }
    if (::chdir("/") != 0) {
      // The program does not rely on its working folder; carry on.
    }
    ::execve(program.c_str(), argv, envp.data());
    const int exec_error = errno;
    WriteAll(exec_pipe[1], &exec_error, sizeof exec_error);
    ::_exit(127);
  }

  ::close(pid_pipe[1]);
  ::close(exec_pipe[1]);
  pid_t service = -1;
  const bool got_pid = ReadFull(pid_pipe[0], &service, sizeof service);
  ::close(pid_pipe[0]);
  while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!got_pid || service <= 0) {
    ::close(exec_pipe[0]);
    *error = ERROR_NOT_ENOUGH_MEMORY;  // the second fork failed
    return false;
  }
  WritePidFile(folder, service);
  int exec_error = 0;
  const bool failed = ReadFull(exec_pipe[0], &exec_error, sizeof exec_error);
  ::close(exec_pipe[0]);
  if (failed) {
    ::unlink((folder + "/pid").c_str());
    *error = ErrnoToWin32(exec_error);
    return false;
  }
  return true;
}

// The caller's environment with QUILLPOST_SERVICE_NAME set to the service and
// QUILLPOST_HOME made absolute (the service does not run in our folder).
std::vector<std::string> ServiceEnvironment(const std::string& stored) {
  std::vector<std::string> env;
  const std::string name_prefix = std::string(kServiceNameVariable) + "=";
  for (char** e = environ; e && *e; ++e) {
    const std::string entry(*e);
    if (entry.rfind(name_prefix, 0) == 0 || entry.rfind("QUILLPOST_HOME=", 0) == 0) continue;
    env.push_back(entry);
  }
  env.push_back(name_prefix + stored);
  env.push_back("QUILLPOST_HOME=" + Absolute(StateRoot()));
  return env;
}

// ImagePath may be quoted, as Windows writes paths with spaces.
std::string ProgramFromImagePath(std::string path) {
  if (path.size() >= 2 && path.front() == '"') {
    const std::size_t close = path.find('"', 1);
    path = path.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  return Absolute(MapPath(path));
}

}  // namespace

namespace scm {

bool CreateService(std::string_view name, std::string_view display_name,
                   std::string_view image_path) {
  if (!IsValidName(name)) return Fail(ERROR_INVALID_PARAMETER);
  if (RegKey::Exists(ServiceKeyPath(name))) return Fail(ERROR_SERVICE_EXISTS);
  RegKey key;
  if (RegKey::Create(ServiceKeyPath(name), KEY_ALL_ACCESS, key) != ERROR_SUCCESS)
    return Fail(ERROR_ACCESS_DENIED);
  const bool ok = key.SetString("ImagePath", image_path, REG_EXPAND_SZ) == ERROR_SUCCESS &&
                  key.SetString("DisplayName", display_name.empty() ? name : display_name) ==
                      ERROR_SUCCESS &&
                  key.SetDword("Type", SERVICE_WIN32_OWN_PROCESS) == ERROR_SUCCESS &&
                  key.SetDword("Start", SERVICE_AUTO_START) == ERROR_SUCCESS &&
                  key.SetDword("ErrorControl", SERVICE_ERROR_NORMAL) == ERROR_SUCCESS &&
                  key.SetString("ObjectName", kObjectName) == ERROR_SUCCESS;
  if (!ok) {
    key.Close();
    RegKey::DeleteTree(ServiceKeyPath(name));
    return Fail(ERROR_ACCESS_DENIED);
  }
  Succeed();
  return true;
}

bool DeleteService(std::string_view name) {
  std::string stored;
  if (!StoredName(name, stored)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  if (RegKey::DeleteTree(ServiceKeyPath(stored)) != ERROR_SUCCESS)
    return Fail(ERROR_ACCESS_DENIED);
  Succeed();
  return true;
}

bool IsInstalled(std::string_view name) {
  return IsValidName(name) && RegKey::Exists(ServiceKeyPath(name));
}

bool QueryImagePath(std::string_view name, std::string& image_path) {
  image_path.clear();
  RegKey key;
  if (!IsValidName(name) || RegKey::Open(ServiceKeyPath(name), KEY_READ, key) != ERROR_SUCCESS)
    return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> data;
  if (key.QueryValue("ImagePath", type, data) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return Fail(ERROR_FILE_NOT_FOUND);
  std::string text(data.begin(), data.end());
  const std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  image_path = text;
  Succeed();
  return true;
}

bool StartService(std::string_view name) {
  std::string stored;
  if (!StoredName(name, stored)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  std::string image_path;
  if (!QueryImagePath(stored, image_path) || image_path.empty())
    return Fail(ERROR_FILE_NOT_FOUND);
  const std::string folder = StateFolder(stored);
  if (!EnsureStateFolder(folder)) return Fail(ERROR_ACCESS_DENIED);

  // A process that reported "stopped" may still be on its way out.
  for (int waited = 0;; waited += kPollStepMs) {
    bool alive = false;
    const StoredStatus s = CurrentStatus(folder, &alive);
    if (!alive) break;
    if (s.status.current_state != SERVICE_STOPPED || waited >= kExitGraceMs)
      return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
  }
  for (const char* stale : {"/pid", "/status", "/control"}) ::unlink((folder + stale).c_str());

  LONG error = ERROR_SUCCESS;
  if (!LaunchDetached(ProgramFromImagePath(image_path), ServiceEnvironment(stored),
                      folder + "/output.log", folder, &error))
    return Fail(error);
  Succeed();
  return true;
}

bool ControlService(std::string_view name, DWORD control, ServiceStatus& status) {
  std::string stored;
  if (!StoredName(name, stored)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  const std::string folder = StateFolder(stored);
  bool alive = false;
  const StoredStatus before = CurrentStatus(folder, &alive);
  status = before.status;
  if (!alive) return Fail(ERROR_SERVICE_NOT_ACTIVE);

  // What the service accepts, as Windows checks it before the handler runs.
  const DWORD state = before.status.current_state;
  const DWORD accepted = before.status.controls_accepted;
  if (control != SERVICE_CONTROL_INTERROGATE) {
    if (state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
      return Fail(kErrorServiceCannotAcceptCtrl);
    const bool allowed =
        (control == SERVICE_CONTROL_STOP && (accepted & SERVICE_ACCEPT_STOP)) ||
        ((control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) &&
         (accepted & kAcceptPauseContinue)) ||
        (control == SERVICE_CONTROL_SHUTDOWN && (accepted & kAcceptShutdown)) ||
        (control >= kFirstUserControl && control <= kLastUserControl);
    if (!allowed) return Fail(kErrorInvalidServiceControl);
  }

  // Without a reading dispatcher the open fails (ENXIO); anything but our
  // FIFO in its place is no channel either.
  const int fd =
      ::open((folder + "/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    ::close(fd);
    return Fail(ERROR_SERVICE_NOT_ACTIVE);
  }
  const unsigned char code[4] = {static_cast<unsigned char>(control),
                                 static_cast<unsigned char>(control >> 8),
                                 static_cast<unsigned char>(control >> 16),
                                 static_cast<unsigned char>(control >> 24)};
  const ssize_t written = ::write(fd, code, sizeof code);
  ::close(fd);
  if (written != static_cast<ssize_t>(sizeof code)) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);

  // The dispatcher counts each control after its handler has run.
  for (int waited = 0; waited < kControlReplyMs; waited += kPollStepMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    const StoredStatus now = CurrentStatus(folder, &alive);
    status = now.status;
    if (!alive || now.handled > before.handled) {
      Succeed();
      return true;
    }
  }
  return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
}

bool QueryServiceStatus(std::string_view name, ServiceStatus& status) {
  std::string stored;
  if (!StoredName(name, stored)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  status = CurrentStatus(StateFolder(stored)).status;
  Succeed();
  return true;
}

bool QueryServiceProcessId(std::string_view name, DWORD& process_id) {
  std::string stored;
  if (!StoredName(name, stored)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  const std::string folder = StateFolder(stored);
  pid_t pid = 0;
  unsigned long long start_time = 0;
  if (!ServiceProcessAlive(folder) || !ReadPidFile(folder, pid, start_time))
    return Fail(ERROR_SERVICE_NOT_ACTIVE);
  process_id = static_cast<DWORD>(pid);
  Succeed();
  return true;
}

}  // namespace scm
}  // namespace platform
