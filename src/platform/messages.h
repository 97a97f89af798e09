// Per-thread message queues: the stand-in for windows, thread messages,
// WM_QUIT, thread timers and socket notifications, all waited on together in
// one poll loop on the owning thread.
//
// A thread gets its queue with MessageQueue::ForCurrentThread(); other threads
// reach it by its ThreadId. A "window" of the mail code is the queue of the
// thread that owns it together with the handler that thread set (the window
// procedure). Texts handed over with a message are heap copies owned by the
// receiver (see PostText / TakeText).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/sync.h"
#include "platform/win_types.h"

namespace platform {

using ThreadId = std::uint32_t;

struct Message {
  UINT id = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// What a watched descriptor is waited for, and what its callback is told
// happened (several may be set at once).
using WatchEvents = unsigned;
constexpr WatchEvents WATCH_NONE = 0;
constexpr WatchEvents WATCH_READABLE = 0x1;  // bytes to read, or the end of the peer's data
constexpr WatchEvents WATCH_WRITABLE = 0x2;  // room to send
constexpr WatchEvents WATCH_HANG_UP = 0x4;   // the peer closed or shut down its sending side

// Id of the calling thread (small, never 0, never reused within a process).
ThreadId CurrentThreadId();

class MessageQueue {
 public:
  using Handler = std::function<LRESULT(const Message&)>;
  using TimerCallback = std::function<void(UINT timer_id)>;
  using FdCallback = std::function<void(WatchEvents happened)>;

  // The calling thread's queue, created on first use; lives until the thread ends.
  static MessageQueue& ForCurrentThread();

  // Posts to the queue of thread `target`; false when that thread has no queue
  // (any more). Safe from any thread.
  static bool Post(ThreadId target, UINT msg, WPARAM w = 0, LPARAM l = 0);
  // Delivers to the target's handler and waits until it has run there; returns
  // the handler's result. Runs the handler directly when target is the caller.
  // Returns 0 when the target has no queue or ends before handling it.
  static LRESULT Send(ThreadId target, UINT msg, WPARAM w = 0, LPARAM l = 0);

  ThreadId Owner() const;
  // False when the queue could not get its wake-up descriptor (the process
  // is out of descriptors): nothing can reach it, so its thread must end.
  bool IsValid() const;

  // The handler ("window procedure") for messages other than WM_QUIT.
  void SetHandler(Handler handler);

  // Thread timers: the callback runs on this thread every period_ms. Returns
  // a timer id (never 0).
  UINT SetTimer(DWORD period_ms, TimerCallback callback);
  void KillTimer(UINT timer_id);

  // Socket (or other descriptor) notifications on this thread: the callback
  // runs when one of `events` happened, or an error or hang-up (always
  // reported). WATCH_NONE pauses a watch. Returns a watch id (never 0); the
  // callback may unwatch.
  UINT WatchFd(int fd, WatchEvents events, FdCallback callback);
  void ChangeWatch(UINT watch_id, WatchEvents events);
  void UnwatchFd(UINT watch_id);

  // The message loop: dispatches until WM_QUIT arrives; returns its wParam.
  int Run();
  // One wait of at most timeout_ms (INFINITE_WAIT: no limit) for messages,
  // timers and watched descriptors, dispatching what arrives. Returns false
  // when WM_QUIT was taken (it is remembered: QuitReceived()).
  bool PumpOnce(DWORD timeout_ms);
  bool QuitReceived() const;

  // Waits until `object` is satisfied or the time is over, dispatching every
  // message, timer and descriptor notification of this thread meanwhile.
  // True when the object was satisfied. A WM_QUIT taken meanwhile is kept
  // (QuitReceived()) and ends the wait with false.
  bool WaitWithMessages(Waitable& object, DWORD timeout_ms);

  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  struct Impl;

 private:
  MessageQueue();
  std::unique_ptr<Impl> impl_;
};

// Heap text carried by a message: the sender allocates, the receiver takes
// ownership with TakeText and the text is freed when the string goes.
LPARAM NewText(std::string_view text);  // as a WPARAM/LPARAM value
std::string TakeText(std::uintptr_t value);
// Posts `msg` with a heap copy of `text` as first parameter; the copy is freed
// here when the target has no queue, and by the queue when it ends before the
// message was handled (or has no handler).
bool PostText(ThreadId target, UINT msg, std::string_view text, LPARAM second);

// Gives the calling thread precedence over the process's other threads when
// they wait for the CPU (a listener greets new clients while a thousand
// sessions run); the threads it makes from then on start at the normal
// priority. Best effort: false, and nothing changed, without the right to
// raise priorities or when the thread's priority was set already (by
// whoever started the process).
bool PreferCurrentThread();

// A thread with its own message queue: created, configured, then Start()ed
// (a thread "created suspended", then "resumed").
class Thread {
 public:
  Thread();
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread, which runs Run(), without waiting for it to run.
  // False when no thread could be made (or the process is out of descriptors
  // for its end event).
  bool Start();
  // Like Start, but a starter thread that the process shares makes the
  // thread, and this returns at once: a listener that starts a thread per
  // client keeps the time that takes off its own. Id() waits until the
  // thread runs. When none can be made, NotStarted() runs on the starter
  // thread and the thread counts as ended. False as Start for a thread
  // without its end event.
  bool StartSoon();
  // The thread's id (its queue exists by then): waits, if need be, until a
  // started thread runs; 0 for a thread never started.
  ThreadId Id() const;
  // Signalled (manual reset) after Run() has returned and the thread's queue
  // is gone: the thread "handle" to wait on.
  Event& Ended() { return ended_; }
  bool Join(DWORD timeout_ms);
  // Raises the running thread to the highest priority the process may give
  // (a thread that is being stopped finishes sooner); best effort: without
  // the right to raise priorities, or once the thread has ended, nothing.
  void SetPriorityHighest();
  // Keeps the object alive while its thread runs: a thread that owns itself
  // (a connection thread) is destroyed when the last owner lets go, which may
  // be the thread itself after Run() returned. Call before Start().
  void KeepAliveWhileRunning(std::shared_ptr<Thread> self) { keep_alive_ = std::move(self); }

 protected:
  virtual void Run() = 0;
  // StartSoon could make no thread: the owner lets go of what Run would
  // have used. On the starter thread, before the thread counts as ended.
  virtual void NotStarted() {}

 private:
  void Main();
  // Marks the thread launched; false (and the self-reference dropped)
  // without its end event.
  bool MarkLaunched();
  // Makes the thread (one that parks when Run ends, for the next StartSoon,
  // with `park_after`); false, with launched_ reset, when none could be made.
  bool Launch(bool park_after);
  // The starter thread's part of StartSoon.
  void LaunchOrGiveUp();
  ThreadId id_ = 0;     // guarded by start_lock_
  int native_id_ = 0;  // the kernel's id of the running thread (guarded by start_lock_)
  Event ended_{true};
  // The start handshake needs no descriptor: it must work when they run out.
  mutable std::mutex start_lock_;
  mutable std::condition_variable start_signal_;
  bool launched_ = false;  // Start made the thread (guarded by start_lock_)
  bool started_ = false;
  std::shared_ptr<Thread> keep_alive_;
};

}  // namespace platform
