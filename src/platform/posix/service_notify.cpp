// The service manager's notification socket and journal stream on Linux.
#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace platform::notify {
namespace {

// Fills `addr` from NOTIFY_SOCKET; the address length, or 0 when the variable
// is missing or names no socket we can address.
socklen_t NotifyAddress(sockaddr_un& addr) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return 0;
  const std::size_t length = std::strlen(name);
  if ((name[0] != '/' && name[0] != '@') || length < 2 || length > sizeof addr.sun_path) return 0;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name, length);
  // An abstract name has no terminating zero and starts with one.
  if (name[0] == '@') {
    addr.sun_path[0] = '\0';
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  }
  return static_cast<socklen_t>(sizeof addr);
}

}  // namespace

bool Watched() { return std::getenv("NOTIFY_SOCKET") != nullptr; }

bool Send(std::string_view state) {
  sockaddr_un addr;
  const socklen_t length = NotifyAddress(addr);
  if (length == 0) return false;
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&addr), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

bool SendReloading() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                                  static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
  return Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

}  // namespace platform::notify
