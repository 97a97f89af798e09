// Console events and the reload signal from signals on Linux.
//
// A signal handler only writes the signal number into a pipe (self-pipe); a
// thread of its own reads it and runs the console control handler (or the
// reload handler) there, where it may lock, print and post as it likes. This
// works whatever signal masks the other threads of the process have.
#include "platform/console.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace platform {
namespace {

constexpr int kConsoleSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

// Lives for the whole process (never destroyed), so that the watcher thread
// never sees it torn down by static destruction at exit.
struct ConsoleState {
  std::mutex lock;
  std::function<bool(DWORD)> handler;  // guarded by lock
  std::function<void()> reload;        // guarded by lock
  bool had_terminal = false;           // when the reload handler was installed
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

// A hang-up of the controlling terminal detaches every process of its
// session from it, so /dev/tty no longer opens.
bool HasControllingTerminal() {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void WatchConsoleSignals(int fd) {
  for (;;) {
    unsigned char sig = 0;
    const ssize_t n = ::read(fd, &sig, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::function<bool(DWORD)> handler;
    std::function<void()> reload;
    bool had_terminal = false;
    {
      std::lock_guard<std::mutex> guard(State().lock);
      handler = State().handler;
      reload = State().reload;
      had_terminal = State().had_terminal;
    }
    // SIGHUP reloads, unless it tells a console run that its terminal went.
    const bool terminal_gone =
        sig == SIGHUP && handler && had_terminal && !HasControllingTerminal();
    if (sig == SIGHUP && reload && !terminal_gone) {
      reload();
      continue;
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

// Catches each signal that a handler takes now, and gives the others back
// their default action. Called with the state locked.
void ApplySignalActions(ConsoleState& state) {
  struct sigaction caught {};
  caught.sa_handler = OnConsoleSignal;
  caught.sa_flags = SA_RESTART;
  ::sigfillset(&caught.sa_mask);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : kConsoleSignals) {
    const bool take = state.handler || (sig == SIGHUP && state.reload);
    ::sigaction(sig, take ? &caught : &dfl, nullptr);
  }
}

}  // namespace

void SetConsoleControlHandler(std::function<bool(DWORD event)> handler) {
  ConsoleState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.handler = std::move(handler);
  if (state.handler && !StartWatcher(state)) return;
  ApplySignalActions(state);
}

void SetReloadSignalHandler(std::function<void()> handler) {
  ConsoleState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.reload = std::move(handler);
  if (state.reload) {
    if (!StartWatcher(state)) return;
    state.had_terminal = HasControllingTerminal();
  }
  ApplySignalActions(state);
}

bool StandardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool ReadSecretLine(std::string_view prompt, std::string& line) {
  line.clear();
  termios saved {};
  if (!StandardInputIsTerminal() || ::tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the line end still shows, so the next output starts on a line of its own
  if (::write(STDERR_FILENO, prompt.data(), prompt.size()) < 0) {
    // Nowhere to prompt: the person types all the same.
  }
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  bool ended = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') {
      ended = true;
      break;
    }
    line.push_back(c);
  }
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return ended;
}

}  // namespace platform
