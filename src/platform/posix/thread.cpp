// Threads with a message queue of their own on Linux (see Thread in
// messages.h): started and waited for without descriptors of their own
// beyond the end event, kept alive by their own owner while they run.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/posix/thread_queue.h"

namespace platform {

namespace {

// The highest priority of the normal scheduling class.
constexpr int kHighestNice = -20;
// A preferred thread's priority: about nine times the CPU share of a normal
// thread when both wait, not the whole of it.
constexpr int kPreferredNice = -10;

// Makes the threads asked for with StartSoon, one after the other. It lives
// as long as the process (a thread may be asked for at exit), so it is
// never destroyed.
class Starter {
 public:
  // Null when the starter's own thread could not be made.
  static Starter* Get() {
    static Starter* const starter = Make();
    return starter;
  }

  void Push(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

 private:
  static Starter* Make() {
    auto* starter = new Starter;
    try {
      std::thread([starter] { starter->Loop(); }).detach();
    } catch (...) {
      delete starter;
      return nullptr;
    }
    return starter;
  }

  [[noreturn]] void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
};

// Runs `job` on a new system thread of its own; false when none could be
// made.
bool RunDetached(std::function<void()> job) {
  try {
    std::thread(std::move(job)).detach();
    return true;
  } catch (...) {
    return false;
  }
}

// System threads kept after the Thread they ran has ended, for the next
// StartSoon: a listener hands a new client to one with a single wake-up,
// instead of having a thread made (and ended) for each connection.
class ParkedThreads {
 public:
  static ParkedThreads& Get() {
    static ParkedThreads* const parked = new ParkedThreads;  // threads may park at exit
    return *parked;
  }

  // Runs `job` on a parked thread; false when none is parked.
  bool Hand(std::function<void()>& job) {
    std::lock_guard<std::mutex> guard(lock_);
    if (parked_.empty()) return false;
    // The most recently parked one: its stack is still in the caches.
    Slot* slot = parked_.back();
    parked_.pop_back();
    slot->job = std::move(job);
    // Under the lock: the slot lives on the parked thread's stack, which
    // cannot run past its wait (and end) before the lock is released.
    slot->wake.notify_one();
    return true;
  }

  // Runs `job` on a new system thread that parks when the job ends; false
  // when none could be made.
  bool RunOnNew(std::function<void()> job) {
    return RunDetached([this, first = std::move(job)]() mutable { Serve(std::move(first)); });
  }

 private:
  struct Slot {
    std::condition_variable wake;
    std::function<void()> job;  // guarded by lock_
  };

  void Serve(std::function<void()> job) {
    const auto self = static_cast<id_t>(::gettid());
    errno = 0;
    int priority = ::getpriority(PRIO_PROCESS, self);
    if (errno != 0) priority = 0;
    Slot slot;
    for (;;) {
      job();
      job = nullptr;
      // A thread being stopped was raised: the next one starts as this did.
      errno = 0;
      const int now = ::getpriority(PRIO_PROCESS, self);
      if (errno == 0 && now != priority) ::setpriority(PRIO_PROCESS, self, priority);
      std::unique_lock<std::mutex> lock(lock_);
      if (parked_.size() >= kMaxParked) return;
      parked_.push_back(&slot);
      if (!slot.wake.wait_for(lock, kParkedFor, [&slot] { return slot.job != nullptr; })) {
        // Idle for long: the thread goes, and its memory with it.
        std::erase(parked_, &slot);
        return;
      }
      job = std::move(slot.job);
      slot.job = nullptr;
    }
  }

  // Enough for the sessions of a busy moment; a burst beyond it (a thousand
  // slow clients) ends its extra threads as before.
  static constexpr std::size_t kMaxParked = 64;
  static constexpr std::chrono::seconds kParkedFor{60};

  std::mutex lock_;
  std::vector<Slot*> parked_;
};

}  // namespace

Thread::Thread() = default;

Thread::~Thread() {
  // A thread reports its end (ended_) under start_lock_: taking the lock
  // here waits until it has also let go of the event, so that the end event
  // is closed only after its last write. The waiter saw the end through
  // poll(), which orders nothing for the threads themselves.
  std::lock_guard<std::mutex> guard(start_lock_);
}

bool Thread::MarkLaunched() {
  if (!ended_.IsValid()) {
    keep_alive_.reset();
    return false;
  }
  // Launched from now on: Id() waits for the thread, and a stop that comes
  // first finds it running or ended, never lost.
  std::lock_guard<std::mutex> guard(start_lock_);
  launched_ = true;
  return true;
}

bool Thread::Start() {
  if (!MarkLaunched()) return false;
  // No wait for the thread to run: waiting for each to be scheduled would
  // keep a listener's next clients from their greeting on a busy machine.
  // Id() waits instead, where it is needed.
  if (Launch(false)) return true;
  keep_alive_.reset();
  return false;
}

bool Thread::StartSoon() {
  Starter* starter = Starter::Get();
  if (starter == nullptr) return Start();
  if (!MarkLaunched()) return false;
  // This object may be gone once the job is handed over: nothing after it.
  std::function<void()> run = [this] { Main(); };
  if (ParkedThreads::Get().Hand(run)) return true;
  starter->Push([this] { LaunchOrGiveUp(); });
  return true;
}

bool Thread::Launch(bool park_after) {
  std::function<void()> run = [this] { Main(); };
  if (park_after ? ParkedThreads::Get().RunOnNew(std::move(run)) : RunDetached(std::move(run))) return true;
  std::lock_guard<std::mutex> guard(start_lock_);
  launched_ = false;
  return false;
}

void Thread::LaunchOrGiveUp() {
  // A thread made here parks when this one ends, for the next StartSoon.
  if (Launch(true)) return;
  NotStarted();
  std::shared_ptr<Thread> self = std::move(keep_alive_);
  {
    std::lock_guard<std::mutex> guard(start_lock_);
    ended_.Set();
  }
  start_signal_.notify_all();
  // `self` may hold the last reference.
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

bool PreferCurrentThread() {
  const auto self = static_cast<id_t>(::gettid());
  if (::getpriority(PRIO_PROCESS, self) != 0) return false;
  if (::setpriority(PRIO_PROCESS, self, kPreferredNice) != 0) return false;
  // Threads made later (sessions, workers) would inherit the raised value:
  // with this flag they start at the normal one instead.
  sched_param normal{};
  if (::sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal) == 0) return true;
  ::setpriority(PRIO_PROCESS, self, 0);
  return false;
}

}  // namespace platform
