// The runtime state of services in run/services/<name>/ (format in
// service_state.h): names, pid and status files, and process liveness.
#include "platform/posix/service_state.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/paths.h"
#include "platform/registry.h"

namespace platform {
namespace {

thread_local LONG t_last_error = ERROR_SUCCESS;

}  // namespace

LONG LastServiceError() { return t_last_error; }

namespace service_state {

bool Fail(LONG code) {
  t_last_error = code;
  return false;
}

void Succeed() { t_last_error = ERROR_SUCCESS; }

bool IsValidName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string ServiceKeyPath(std::string_view name) { return kServicesKey + std::string(name); }

bool StoredName(std::string_view name, std::string& stored) {
  if (!IsValidName(name)) return false;
  RegKey key;
  if (RegKey::Open(ServiceKeyPath(name), KEY_READ, key) != ERROR_SUCCESS) return false;
  stored = FileNamePart(key.Path());
  if (!EqualsNoCase(stored, name)) stored = std::string(name);
  return true;
}

std::string StateFolder(const std::string& stored) {
  return RunFolder() + "/services/" + stored;
}

bool EnsureStateFolder(const std::string& folder) {
  const std::string services = RunFolder() + "/services";
  ::mkdir(services.c_str(), 0755);
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  struct stat st;
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

bool ReadSmallFile(const std::string& path, std::string& text) {
  constexpr std::size_t kMaxStateFile = 256;  // our own one-line files
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char buffer[kMaxStateFile];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return false;
  text.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

// Replaces `path` with `text` in one step: a reader sees the old or the new
// contents, never a mixture.
bool WriteFileAtomic(const std::string& path, const std::string& text) {
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(++counter);
  ::unlink(temp.c_str());  // left by a crashed process with our pid
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  const bool written =
      ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// --- Process identity ---

struct ProcStat {
  char state = '?';
  unsigned long long start_time = 0;
};

// State and start time from /proc/<pid>/stat; the command name in brackets
// may hold spaces and brackets, so fields are counted after the last ')'.
bool ReadProcStat(pid_t pid, ProcStat& out) {
  std::string text;
  constexpr std::size_t kMaxStat = 1024;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[kMaxStat];
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return false;
  text.assign(buffer, static_cast<std::size_t>(n));
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char* p = text.c_str() + close + 2;
  out.state = *p;
  // Field 3 is the state; the start time is field 22, 19 fields further on.
  for (int field = 0; field < 19; ++field) {
    p = std::strchr(p, ' ');
    if (p == nullptr) return false;
    ++p;
  }
  char* end = nullptr;
  out.start_time = std::strtoull(p, &end, 10);
  return end != p;
}

}  // namespace

bool ReadPidFile(const std::string& folder, pid_t& pid, unsigned long long& start_time) {
  std::string text;
  if (!ReadSmallFile(folder + "/pid", text)) return false;
  long long value = 0;
  if (std::sscanf(text.c_str(), "%lld %llu", &value, &start_time) != 2) return false;
  if (value <= 0 || value > 0x3FFFFFFF) return false;
  pid = static_cast<pid_t>(value);
  return true;
}

bool WritePidFile(const std::string& folder, pid_t pid) {
  ProcStat st;
  ReadProcStat(pid, st);  // 0 when /proc is not there: liveness then rests on kill()
  return WriteFileAtomic(folder + "/pid",
                         std::to_string(pid) + " " + std::to_string(st.start_time) + "\n");
}

bool ServiceProcessAlive(const std::string& folder) {
  pid_t pid = 0;
  unsigned long long start_time = 0;
  if (!ReadPidFile(folder, pid, start_time)) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  ProcStat st;
  if (!ReadProcStat(pid, st)) return true;  // no /proc: kill() is all we know
  if (st.state == 'Z' || st.state == 'X') return false;
  return start_time == 0 || st.start_time == start_time;
}

// --- Status file ---

bool ReadStatusFile(const std::string& folder, StoredStatus& out) {
  std::string text;
  if (!ReadSmallFile(folder + "/status", text)) return false;
  unsigned long v[6];
  unsigned long long handled = 0;
  if (std::sscanf(text.c_str(), "%lu %lu %lu %lu %lu %lu %llu", &v[0], &v[1], &v[2], &v[3],
                  &v[4], &v[5], &handled) != 7)
    return false;
  out.status.current_state = static_cast<DWORD>(v[0]);
  out.status.controls_accepted = static_cast<DWORD>(v[1]);
  out.status.win32_exit_code = static_cast<DWORD>(v[2]);
  out.status.service_exit_code = static_cast<DWORD>(v[3]);
  out.status.check_point = static_cast<DWORD>(v[4]);
  out.status.wait_hint = static_cast<DWORD>(v[5]);
  out.handled = handled;
  return true;
}

bool WriteStatusFile(const std::string& folder, const StoredStatus& s) {
  char line[160];
  std::snprintf(line, sizeof line, "%lu %lu %lu %lu %lu %lu %llu\n",
                static_cast<unsigned long>(s.status.current_state),
                static_cast<unsigned long>(s.status.controls_accepted),
                static_cast<unsigned long>(s.status.win32_exit_code),
                static_cast<unsigned long>(s.status.service_exit_code),
                static_cast<unsigned long>(s.status.check_point),
                static_cast<unsigned long>(s.status.wait_hint), s.handled);
  return WriteFileAtomic(folder + "/status", line);
}

StoredStatus CurrentStatus(const std::string& folder, bool* alive) {
  StoredStatus s;
  const bool running = ServiceProcessAlive(folder);
  if (alive) *alive = running;
  const bool known = ReadStatusFile(folder, s);
  if (running) {
    if (!known) {
      s = StoredStatus();
      s.status.current_state = SERVICE_START_PENDING;
    }
    return s;
  }
  // Gone: stopped. A process that died without saying so was aborted.
  if (known && s.status.current_state != SERVICE_STOPPED) {
    s.status = ServiceStatus();
    s.status.win32_exit_code = kErrorProcessAborted;
  } else if (!known) {
    s = StoredStatus();
  }
  s.status.current_state = SERVICE_STOPPED;
  s.status.controls_accepted = 0;
  return s;
}

bool ReadFull(int fd, void* buffer, std::size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace service_state
}  // namespace platform
