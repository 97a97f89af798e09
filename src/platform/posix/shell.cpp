// The shell's "open" verb on Linux: the desktop's handler for a file
// (xdg-open, else an editor in a terminal), and programs started detached.
#include "platform/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"

extern char** environ;

namespace platform {
namespace {

// Windows ShellExecute results.
constexpr int kShellOutOfResources = 0;
constexpr int kShellFileNotFound = 2;
constexpr int kShellAccessDenied = 5;
constexpr int kShellNoAssociation = 31;
constexpr int kShellSuccess = 42;  // any value above 32 means success

// The signals a started program gets back with their default action.
constexpr int kDefaultSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE};

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
  for (int sig : kDefaultSignals) ::sigaddset(&defaults, sig);
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

int RunProgramAndWait(std::string_view program, std::string_view parameters) {
  const std::string path = FindProgram(NativePath(program));
  if (path.empty()) return -1;
  std::vector<std::string> args{path};
  for (std::string& word : SplitParameters(parameters)) args.push_back(std::move(word));
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t streams;
  if (::posix_spawn_file_actions_init(&streams) != 0) return -1;
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
    ::posix_spawn_file_actions_addopen(&streams, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, argv[0], &streams, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&streams);
  if (error != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace platform
