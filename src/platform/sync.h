// Kernel-object stand-ins: unnamed events, named auto-reset events (FIFOs in
// run/, mode 0622, so any user may signal them), named mutexes (an exclusive
// flock on run/<name>.lock that dies with its process) and waits on several
// objects with a time-out.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace platform {

constexpr DWORD INFINITE_WAIT = 0xFFFFFFFF;
constexpr int WAIT_TIMEOUT_RESULT = -1;  // WaitForAny: the time ran out
constexpr int WAIT_FAILED_RESULT = -2;   // WaitForAny: the wait itself failed

// Something a thread can wait on: a descriptor that polls readable while the
// object is signalled. TryConsume() is called when it polled readable and
// returns whether the wait is satisfied (an auto-reset object resets itself
// then; a manual-reset one stays signalled).
class Waitable {
 public:
  virtual ~Waitable() = default;
  virtual int PollFd() const = 0;
  virtual bool TryConsume() = 0;
};

// Unnamed event (eventfd). Thread safe.
class Event : public Waitable {
 public:
  explicit Event(bool manual_reset, bool initially_signalled = false);
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // False when the event got no descriptor (the process ran out of them);
  // waits on such an event fail at once.
  bool IsValid() const { return fd_ >= 0; }
  void Set();
  void Reset();
  bool IsSet() const;
  // true when signalled within timeout_ms (INFINITE_WAIT: no limit).
  bool Wait(DWORD timeout_ms);

  int PollFd() const override { return fd_; }
  bool TryConsume() override;

 private:
  int fd_;
  bool manual_;
  // Mirrors each Set for the memory model: a wait that sees the event also
  // sees what the setter wrote before Set (race detectors do not know eventfd).
  std::atomic<unsigned> generation_{0};
};

// Named auto-reset event. The creator (the waiting side) makes the FIFO and
// keeps it open; anybody may Signal it by name. Several signals in quick
// succession wake the waiter at least once.
class NamedEvent : public Waitable {
 public:
  NamedEvent() = default;
  ~NamedEvent() override;
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Creates (or opens) the event for waiting. false on failure, with the
  // system's error number in LastError().
  bool Create(std::string_view name);
  int LastError() const { return error_; }
  bool IsOpen() const { return fd_ >= 0; }
  void Close();
  // Writes one byte without blocking. No effect, and no error, when nobody
  // created the event or nobody waits on it.
  static void Signal(std::string_view name);
  // Drains every pending byte; true when there was at least one.
  bool TryConsume() override;
  int PollFd() const override { return fd_; }
  bool Wait(DWORD timeout_ms);

 private:
  int fd_ = -1;
  int keep_writer_fd_ = -1;  // keeps the FIFO from reporting end of file
  int error_ = 0;
};

// Named mutex, owned by the creating process while it lives. Its lock file
// is 0600: no other user can hold it.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  // Creates and takes the mutex. Returns false and sets *already_exists when
  // another live process holds it; false with *already_exists false on
  // failure, with the system's error number in LastError().
  bool Create(std::string_view name, bool* already_exists);
  void Close();
  int LastError() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Waits until one of the objects is satisfied; returns its index,
// WAIT_TIMEOUT_RESULT or WAIT_FAILED_RESULT (also at once when an object has
// no descriptor). Earlier objects win when several are signalled at once.
int WaitForAny(const std::vector<Waitable*>& objects, DWORD timeout_ms);

// Sleep of the calling thread.
void SleepMs(DWORD ms);
// Milliseconds of a monotonic clock.
std::uint64_t TickCountMs();

}  // namespace platform
