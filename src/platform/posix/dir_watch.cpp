// Folder change notification with inotify (see dir_watch.h).
#include "platform/dir_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "platform/paths.h"

namespace platform {
namespace {

// File names that appear or go: created, moved in, deleted, moved out.
constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
// Events that end the watch: it was removed (the folder was deleted) or its
// file system was unmounted.
constexpr std::uint32_t kEndMask = IN_IGNORED | IN_UNMOUNT;
// One read takes this much; pending events beyond it are read by the next
// pass of the drain loop.
constexpr std::size_t kEventBuffer = 16 * (sizeof(inotify_event) + NAME_MAX + 1);

}  // namespace

DirWatch::~DirWatch() { Close(); }

DirWatch::DirWatch(DirWatch&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

DirWatch& DirWatch::operator=(DirWatch&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool DirWatch::Open(std::string_view folder) {
  Close();
  const std::string native = MapPath(folder);
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return false;
  if (::inotify_add_watch(fd, native.c_str(), kWatchMask) < 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void DirWatch::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool DirWatch::Rearm() {
  if (fd_ < 0) return false;
  bool ended = false;
  alignas(inotify_event) char buffer[kEventBuffer];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;  // drained
      return false;
    }
    if (n == 0) break;
    for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
      if (event->mask & kEndMask) ended = true;
      pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return !ended;
}

bool DirWatch::TryConsume() {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace platform
