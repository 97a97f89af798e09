// Folder change notification with inotify (see dir_watch.h).
#include "platform/dir_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/paths.h"

namespace platform {
namespace {

// File names that appear or go: created, moved in, deleted, moved out; and
// the folder itself moved away.
constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_MOVE_SELF | IN_ONLYDIR;
// Events that end the watch: it was removed (the folder was deleted), its
// file system was unmounted, or the folder was moved away (a folder made in
// its place would change unseen).
constexpr std::uint32_t kEndMask = IN_IGNORED | IN_UNMOUNT | IN_MOVE_SELF;

// The reason an inotify call failed; the limits name the setting that
// raises them, since that is what an administrator has to change.
std::string WatchErrorText(int error, bool creating) {
  if (creating && error == EMFILE)
    return "the limit of inotify instances is reached (fs.inotify.max_user_instances)";
  if (!creating && error == ENOSPC)
    return "the limit of inotify watches is reached (fs.inotify.max_user_watches)";
  return std::strerror(error);
}
// One read takes this much; pending events beyond it are read by the next
// pass of the drain loop.
constexpr std::size_t kEventBuffer = 16 * (sizeof(inotify_event) + NAME_MAX + 1);

}  // namespace

DirWatch::~DirWatch() { Close(); }

DirWatch::DirWatch(DirWatch&& other) noexcept : fd_(other.fd_), error_(std::move(other.error_)) {
  other.fd_ = -1;
}

DirWatch& DirWatch::operator=(DirWatch&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    error_ = std::move(other.error_);
    other.fd_ = -1;
  }
  return *this;
}

bool DirWatch::Open(std::string_view folder) {
  Close();
  const std::string native = MapPath(folder);
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    error_ = WatchErrorText(errno, true);
    return false;
  }
  if (::inotify_add_watch(fd, native.c_str(), kWatchMask) < 0) {
    error_ = WatchErrorText(errno, false);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  error_.clear();
  return true;
}

void DirWatch::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool DirWatch::Rearm() {
  if (fd_ < 0) {
    error_ = "the folder is not watched";
    return false;
  }
  bool ended = false;
  alignas(inotify_event) char buffer[kEventBuffer];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;  // drained
      error_ = std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
      if (event->mask & kEndMask) ended = true;
      pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (ended) error_ = "the folder was removed or moved away";
  return !ended;
}

bool DirWatch::TryConsume() {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace platform
