// Threads with a message queue of their own on Linux (see Thread in
// messages.h): started and waited for without descriptors of their own
// beyond the end event, kept alive by their own owner while they run.
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "platform/messages.h"
#include "platform/posix/thread_queue.h"

namespace platform {

namespace {

// The highest priority of the normal scheduling class.
constexpr int kHighestNice = -20;

}  // namespace

Thread::Thread() = default;

Thread::~Thread() {
  // A thread reports its end (ended_) under start_lock_: taking the lock
  // here waits until it has also let go of the event, so that the end event
  // is closed only after its last write. The waiter saw the end through
  // poll(), which orders nothing for the threads themselves.
  std::lock_guard<std::mutex> guard(start_lock_);
}

bool Thread::Start() {
  if (!ended_.IsValid()) {
    keep_alive_.reset();
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(start_lock_);
    launched_ = true;
  }
  try {
    std::thread worker([this] { Main(); });
    worker.detach();
  } catch (...) {
    std::lock_guard<std::mutex> guard(start_lock_);
    launched_ = false;
    keep_alive_.reset();
    return false;
  }
  // No wait for the thread to run: the listener starts one per client, and
  // waiting for each to be scheduled would keep the next clients from their
  // greeting on a busy machine. Id() waits instead, where it is needed.
  return true;
}

ThreadId Thread::Id() const {
  std::unique_lock<std::mutex> lock(start_lock_);
  start_signal_.wait(lock, [this] { return started_ || !launched_; });
  return id_;
}

void Thread::Main() {
  std::shared_ptr<Thread> self = std::move(keep_alive_);
  const ThreadId id = CurrentThreadId();
  MessageQueue::ForCurrentThread();
  {
    std::lock_guard<std::mutex> guard(start_lock_);
    id_ = id;
    native_id_ = static_cast<int>(::gettid());
    started_ = true;
  }
  start_signal_.notify_all();
  Run();
  DestroyCurrentThreadQueue();
  {
    std::lock_guard<std::mutex> guard(start_lock_);
    ended_.Set();
  }
  // Nothing of this object is touched once the lock is released; `self`
  // may hold the last reference.
}

void Thread::SetPriorityHighest() {
  // Under the lock the thread has not passed the end of Main, so its kernel
  // id still names it and no other thread.
  std::lock_guard<std::mutex> guard(start_lock_);
  if (!started_ || ended_.IsSet()) return;
  // The nicest value is the highest priority of the normal scheduling class;
  // failing for want of the right to it changes nothing.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(native_id_), kHighestNice);
}

bool Thread::Join(DWORD timeout_ms) { return ended_.Wait(timeout_ms); }

}  // namespace platform
