// Events, named events, named mutexes and waits on Linux.
#include "platform/sync.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/paths.h"

namespace platform {
namespace {

std::string ObjectPath(std::string_view name) { return RunFolder() + "/" + std::string(name); }

bool PollReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace

std::uint64_t TickCountMs() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMs(DWORD ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

Event::Event(bool manual_reset, bool initially_signalled)
    : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), manual_(manual_reset) {
  if (initially_signalled) Set();
}

Event::~Event() {
  if (fd_ >= 0) ::close(fd_);
}

void Event::Set() {
  generation_.fetch_add(1, std::memory_order_release);
  const std::uint64_t one = 1;
  // A full counter (never reached in practice) still leaves the event set.
  ssize_t n = ::write(fd_, &one, sizeof one);
  (void)n;
}

void Event::Reset() {
  std::uint64_t value;
  ssize_t n = ::read(fd_, &value, sizeof value);
  (void)n;
}

bool Event::IsSet() const {
  const bool set = PollReadable(fd_);
  if (set) generation_.load(std::memory_order_acquire);
  return set;
}

bool Event::TryConsume() {
  bool signalled;
  if (manual_) {
    signalled = PollReadable(fd_);
  } else {
    std::uint64_t value;
    // One reader takes the whole count: an auto-reset event wakes one waiter.
    signalled = ::read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
  }
  if (signalled) generation_.load(std::memory_order_acquire);
  return signalled;
}

bool Event::Wait(DWORD timeout_ms) {
  std::vector<Waitable*> one{this};
  return WaitForAny(one, timeout_ms) == 0;
}

NamedEvent::~NamedEvent() { Close(); }

bool NamedEvent::Create(std::string_view name) {
  Close();
  error_ = 0;
  const std::string path = ObjectPath(name);
  if (::mkfifo(path.c_str(), 0622) != 0 && errno != EEXIST) {
    error_ = errno;
    return false;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error_ = errno;
    return false;
  }
  if (!S_ISFIFO(st.st_mode)) {
    error_ = EEXIST;  // something else has the name
    return false;
  }
  ::chmod(path.c_str(), 0622);  // whatever the umask: any user may signal
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  // Our own writer keeps the FIFO from polling "hung up" between signals.
  keep_writer_fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  return true;
}

void NamedEvent::Close() {
  if (fd_ >= 0) ::close(fd_);
  if (keep_writer_fd_ >= 0) ::close(keep_writer_fd_);
  fd_ = keep_writer_fd_ = -1;
}

void NamedEvent::Signal(std::string_view name) {
  const std::string path = ObjectPath(name);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  // Without a reader the open fails with ENXIO: nobody waits, no effect.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  const char byte = 1;
  ssize_t n = ::write(fd, &byte, 1);  // a full pipe is already signalled
  (void)n;
  ::close(fd);
}

bool NamedEvent::TryConsume() {
  if (fd_ < 0) return false;
  char buffer[256];
  bool any = false;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  return any;
}

bool NamedEvent::Wait(DWORD timeout_ms) {
  std::vector<Waitable*> one{this};
  return WaitForAny(one, timeout_ms) == 0;
}

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(std::string_view name, bool* already_exists) {
  if (already_exists) *already_exists = false;
  Close();
  const std::string path = ObjectPath(name) + ".lock";
  // Only the owner may open the lock file: anyone who can open it can hold
  // the lock and keep the service from starting. A file left 0644 by an
  // older start is mended.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error_ = errno;
    return false;
  }
  (void)::fchmod(fd, 0600);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error_ = errno;
    if (already_exists) *already_exists = (errno == EWOULDBLOCK);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void NamedMutex::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int WaitForAny(const std::vector<Waitable*>& objects, DWORD timeout_ms) {
  const std::uint64_t start = TickCountMs();
  std::vector<pollfd> fds(objects.size());
  for (const Waitable* object : objects)
    if (object->PollFd() < 0) return WAIT_FAILED_RESULT;
  for (;;) {
    for (std::size_t i = 0; i < objects.size(); ++i) fds[i] = pollfd{objects[i]->PollFd(), POLLIN, 0};
    int wait = -1;
    if (timeout_ms != INFINITE_WAIT) {
      const std::uint64_t elapsed = TickCountMs() - start;
      wait = elapsed >= timeout_ms ? 0 : static_cast<int>(timeout_ms - elapsed);
    }
    const int n = ::poll(fds.data(), fds.size(), wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED_RESULT;
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
      if ((fds[i].revents & POLLIN) && objects[i]->TryConsume()) return static_cast<int>(i);
    }
    if (n == 0 && wait == 0) return WAIT_TIMEOUT_RESULT;
    // Taken by another waiter meanwhile, or the time is not over: wait again.
    if (timeout_ms != INFINITE_WAIT && TickCountMs() - start >= timeout_ms) return WAIT_TIMEOUT_RESULT;
  }
}

}  // namespace platform
