// Console events from signals, message boxes on standard error, BEL beeps,
// random GUIDs and the shell's "open" verb on Linux.
//
// Console events: a signal handler only writes the signal number into a pipe
// (self-pipe); a thread of its own reads it and runs the console control
// handler there, where it may lock, print and post as it likes. This works
// whatever signal masks the other threads of the process have.
#include "platform/console.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/random.h"

extern char** environ;

namespace platform {
namespace {

// Windows ShellExecute results.
constexpr int kShellOutOfResources = 0;
constexpr int kShellFileNotFound = 2;
constexpr int kShellAccessDenied = 5;
constexpr int kShellNoAssociation = 31;
constexpr int kShellSuccess = 42;  // any value above 32 means success

constexpr int kConsoleSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

// --- Console control handler ---

// Lives for the whole process (never destroyed), so that the watcher thread
// never sees it torn down by static destruction at exit.
struct ConsoleState {
  std::mutex lock;
  std::function<bool(DWORD)> handler;  // guarded by lock
  int pipe_read = -1;
  int pipe_write = -1;
};

ConsoleState& State() {
  static ConsoleState* state = new ConsoleState;
  return *state;
}

std::atomic<int> g_signal_pipe{-1};

void OnConsoleSignal(int sig) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  const int fd = g_signal_pipe.load(std::memory_order_relaxed);
  if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
    // The pipe is full: events are already waiting to be handled.
  }
  errno = saved;
}

DWORD EventOfSignal(int sig) {
  switch (sig) {
    case SIGQUIT:
      return CTRL_BREAK_EVENT;
    case SIGHUP:
      return CTRL_CLOSE_EVENT;
    default:  // SIGINT, and SIGTERM counts as Ctrl+C
      return CTRL_C_EVENT;
  }
}

// Ends the process as the signal would have without a handler.
void DefaultAction(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(sig, &dfl, nullptr);
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
}

void WatchConsoleSignals(int fd) {
  for (;;) {
    unsigned char sig = 0;
    const ssize_t n = ::read(fd, &sig, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::function<bool(DWORD)> handler;
    {
      std::lock_guard<std::mutex> guard(State().lock);
      handler = State().handler;
    }
    if (!handler || !handler(EventOfSignal(sig))) DefaultAction(sig);
  }
}

// Creates the pipe and the watcher thread once; false when that fails.
bool StartWatcher(ConsoleState& state) {
  if (state.pipe_read >= 0) return true;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);  // the signal handler must never block
  state.pipe_read = fds[0];
  state.pipe_write = fds[1];
  g_signal_pipe.store(fds[1]);
  std::thread(WatchConsoleSignals, fds[0]).detach();
  return true;
}

// --- Shell ---

// The full path of a program found in PATH (or the text itself when it holds
// a slash and names an executable); empty when there is none.
std::string FindProgram(const std::string& name) {
  if (name.empty()) return std::string();
  if (name.find('/') != std::string::npos)
    return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return std::string();
}

int ShellResultOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kShellFileNotFound;
    case EACCES:
    case EPERM:
      return kShellAccessDenied;
    case ENOMEM:
    case EAGAIN:
      return kShellOutOfResources;
    default:
      return kShellNoAssociation;
  }
}

// Starts a program in a session of its own, with default signal handling,
// and does not wait for it; a detached thread reaps it when it ends.
int SpawnDetached(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) return kShellOutOfResources;
  sigset_t none, defaults;
  ::sigemptyset(&none);
  ::sigemptyset(&defaults);
  for (int sig : kConsoleSignals) ::sigaddset(&defaults, sig);
  ::sigaddset(&defaults, SIGPIPE);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setsigdefault(&attr, &defaults);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  if (error != 0) return ShellResultOfErrno(error);
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return kShellSuccess;
}

// Splits a parameter text at blanks; double quotes group words.
std::vector<std::string> SplitParameters(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, have = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      have = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (have) words.push_back(word);
      word.clear();
      have = false;
    } else {
      word.push_back(c);
      have = true;
    }
  }
  if (have) words.push_back(word);
  return words;
}

// A path text of the system ("c:\..." or native) as the file system sees it.
std::string NativePath(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return MapPath(path);
  return std::string(path);
}

}  // namespace

void SetConsoleControlHandler(std::function<bool(DWORD event)> handler) {
  ConsoleState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  const bool install = static_cast<bool>(handler);
  state.handler = std::move(handler);
  if (install && !StartWatcher(state)) return;
  struct sigaction action {};
  if (install) {
    action.sa_handler = OnConsoleSignal;
    action.sa_flags = SA_RESTART;
    ::sigfillset(&action.sa_mask);
  } else {
    action.sa_handler = SIG_DFL;
  }
  for (int sig : kConsoleSignals) ::sigaction(sig, &action, nullptr);
}

void MessageBoxToStderr(std::string_view text, std::string_view caption) {
  std::string line;
  line.append(caption).append(": ").append(text).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void Beep(DWORD /*frequency_hz*/, DWORD /*duration_ms*/) {
  if (::isatty(STDERR_FILENO)) {
    const char bel = '\a';
    if (::write(STDERR_FILENO, &bel, 1) < 0) {
      // A beep that cannot be written is no error.
    }
  }
}

std::string NewGuidText() {
  unsigned char b[16];
  RandomBytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[39];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return text;
}

int ShellOpenFile(std::string_view /*program*/, std::string_view file) {
  // The Windows editor the caller names does not exist here: the desktop's
  // handler for the file takes its place.
  const std::string path = NativePath(file);
  const std::string opener = FindProgram("xdg-open");
  if (!opener.empty() && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")))
    return SpawnDetached({opener, path});

  const char* editor = std::getenv("VISUAL");
  if (editor == nullptr || *editor == '\0') editor = std::getenv("EDITOR");
  if (editor == nullptr || *editor == '\0') return kShellFileNotFound;
  std::string terminal;
  if (const char* t = std::getenv("TERMINAL"); t && *t) terminal = FindProgram(t);
  if (terminal.empty()) terminal = FindProgram("x-terminal-emulator");
  if (terminal.empty()) terminal = FindProgram("xterm");
  if (terminal.empty()) return kShellFileNotFound;
  // The editor text may carry options ("vim -R"): the shell splits it.
  return SpawnDetached(
      {terminal, "-e", "/bin/sh", "-c", std::string("exec ") + editor + " \"$1\"", "sh", path});
}

int ShellRunProgram(std::string_view program, std::string_view parameters) {
  const std::string path = FindProgram(NativePath(program));
  if (path.empty()) return kShellFileNotFound;
  std::vector<std::string> args{path};
  for (std::string& word : SplitParameters(parameters)) args.push_back(std::move(word));
  return SpawnDetached(args);
}

}  // namespace platform
