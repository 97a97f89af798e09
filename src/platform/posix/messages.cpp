// Per-thread message queues on Linux: one eventfd wakes the owner; messages,
// timers, watched descriptors and an optional extra object are waited on in
// one poll. Handlers may wait again with messages (nested pumping), so the
// timer and watch lists are only marked while a dispatch is in progress and
// compacted when the outermost pump returns.
#include "platform/messages.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/posix/thread_queue.h"

namespace platform {

namespace {

std::atomic<ThreadId> g_next_thread_id{1};
thread_local ThreadId t_thread_id = 0;

struct SendSlot {
  Event done{true};
  LRESULT result = 0;
};

struct Pending {
  Message msg;
  std::shared_ptr<SendSlot> slot;  // set for Send
  bool owns_text = false;          // wParam is a NewText copy (PostText)
};

// A text nobody will take any more (its queue went, or has no handler).
void FreeText(const Pending& pending) {
  if (pending.owns_text) TakeText(static_cast<std::uintptr_t>(pending.msg.wParam));
}

struct Timer {
  UINT id;
  DWORD period;
  std::uint64_t next;
  MessageQueue::TimerCallback callback;
  bool alive;
};

struct Watch {
  UINT id;
  int fd;
  WatchEvents events;
  MessageQueue::FdCallback callback;
  bool alive;
};

short PollBitsOf(WatchEvents events) {
  short bits = 0;
  if (events & WATCH_READABLE) bits |= POLLIN;
  if (events & WATCH_WRITABLE) bits |= POLLOUT;
  if (events & WATCH_HANG_UP) bits |= POLLRDHUP;
  return bits;
}

WatchEvents WatchEventsOf(short revents) {
  WatchEvents events = WATCH_NONE;
  if (revents & POLLIN) events |= WATCH_READABLE;
  if (revents & POLLOUT) events |= WATCH_WRITABLE;
  if (revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) events |= WATCH_HANG_UP;
  return events;
}

}  // namespace

ThreadId CurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = g_next_thread_id.fetch_add(1);
  return t_thread_id;
}

struct MessageQueue::Impl {
  ThreadId owner = 0;
  int wake_fd = -1;
  std::mutex lock;
  std::deque<Pending> queue;  // guarded by lock
  bool closed = false;        // guarded by lock

  // Owner thread only.
  Handler handler;
  std::vector<Timer> timers;
  std::vector<Watch> watches;
  UINT next_id = 1;
  bool quit = false;
  int quit_code = 0;
  int depth = 0;

  void Wake() {
    const std::uint64_t one = 1;
    ssize_t n = ::write(wake_fd, &one, sizeof one);
    (void)n;
  }

  void Compact() {
    if (depth != 0) return;
    std::erase_if(timers, [](const Timer& t) { return !t.alive; });
    std::erase_if(watches, [](const Watch& w) { return !w.alive; });
  }
};

namespace {

std::mutex g_registry_lock;
std::unordered_map<ThreadId, std::shared_ptr<MessageQueue::Impl>>& Registry() {
  static auto* registry = new std::unordered_map<ThreadId, std::shared_ptr<MessageQueue::Impl>>();
  return *registry;
}

// A parked thread runs many sessions one after the other, each with a queue
// of its own. The wake-up descriptor of the last one is kept for the next:
// making and closing one per session cost two system calls per connection.
// One object holds both so that the queue always goes before the spare.
struct ThreadQueueSlot {
  std::unique_ptr<MessageQueue> queue;
  int spare_wake_fd = -1;
  ~ThreadQueueSlot() {
    queue.reset();
    if (spare_wake_fd >= 0) ::close(spare_wake_fd);
  }
};
thread_local ThreadQueueSlot t_slot;

int TakeWakeFd() {
  const int fd = t_slot.spare_wake_fd;
  if (fd < 0) return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  t_slot.spare_wake_fd = -1;
  // Wakes meant for the last queue must not wake this one.
  std::uint64_t stale;
  ssize_t n = ::read(fd, &stale, sizeof stale);
  (void)n;
  return fd;
}

// Only the owner's own descriptor is kept: a queue destroyed elsewhere (none
// is, today) closes its descriptor as before.
void KeepOrCloseWakeFd(int fd, ThreadId owner) {
  if (fd < 0) return;
  if (owner == t_thread_id && t_slot.spare_wake_fd < 0) {
    t_slot.spare_wake_fd = fd;
    return;
  }
  ::close(fd);
}

}  // namespace

MessageQueue::MessageQueue() : impl_(std::make_unique<Impl>()) {
  impl_->owner = CurrentThreadId();
  impl_->wake_fd = TakeWakeFd();
}

MessageQueue::~MessageQueue() {
  {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    Registry().erase(impl_->owner);
  }
  std::deque<Pending> left;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->closed = true;
    left.swap(impl_->queue);
  }
  // A sender waiting on a message that will never be handled is released.
  // Texts posted to a thread that is gone are owned by nobody else.
  for (Pending& p : left) {
    if (p.slot) p.slot->done.Set();
    FreeText(p);
  }
  // Out of the registry, the descriptor gets no more wakes from posters.
  KeepOrCloseWakeFd(impl_->wake_fd, impl_->owner);
}

MessageQueue& MessageQueue::ForCurrentThread() {
  if (!t_slot.queue) {
    t_slot.queue.reset(new MessageQueue());
    std::lock_guard<std::mutex> guard(g_registry_lock);
    // The registry shares the state so that posters never touch a freed queue.
    Registry()[t_slot.queue->impl_->owner] = std::shared_ptr<Impl>(t_slot.queue->impl_.get(), [](Impl*) {});
  }
  return *t_slot.queue;
}

void DestroyCurrentThreadQueue() {
  t_slot.queue.reset();
  // A parked thread runs its next Thread under a new id.
  t_thread_id = 0;
}

ThreadId MessageQueue::Owner() const { return impl_->owner; }

bool MessageQueue::IsValid() const { return impl_->wake_fd >= 0; }

namespace {

bool Enqueue(ThreadId target, Pending pending) {
  std::lock_guard<std::mutex> reg(g_registry_lock);
  auto it = Registry().find(target);
  if (it == Registry().end()) return false;
  MessageQueue::Impl& impl = *it->second;
  {
    std::lock_guard<std::mutex> guard(impl.lock);
    if (impl.closed) return false;
    impl.queue.push_back(std::move(pending));
  }
  // A thread that posts to itself is awake: its next turn sees the message
  // without the wake-up descriptor (a session's own WM_QUIT).
  if (t_thread_id != impl.owner) impl.Wake();
  return true;
}

}  // namespace

bool MessageQueue::Post(ThreadId target, UINT msg, WPARAM w, LPARAM l) {
  return Enqueue(target, Pending{Message{msg, w, l}, nullptr});
}

LRESULT MessageQueue::Send(ThreadId target, UINT msg, WPARAM w, LPARAM l) {
  if (target == CurrentThreadId() && t_slot.queue) {
    return t_slot.queue->impl_->handler ? t_slot.queue->impl_->handler(Message{msg, w, l}) : 0;
  }
  auto slot = std::make_shared<SendSlot>();
  {
    std::lock_guard<std::mutex> reg(g_registry_lock);
    auto it = Registry().find(target);
    if (it == Registry().end()) return 0;
    Impl& impl = *it->second;
    std::lock_guard<std::mutex> guard(impl.lock);
    if (impl.closed) return 0;
    impl.queue.push_back(Pending{Message{msg, w, l}, slot});
    impl.Wake();
  }
  slot->done.Wait(INFINITE_WAIT);
  return slot->result;
}

void MessageQueue::SetHandler(Handler handler) { impl_->handler = std::move(handler); }

UINT MessageQueue::SetTimer(DWORD period_ms, TimerCallback callback) {
  const UINT id = impl_->next_id++;
  impl_->timers.push_back(Timer{id, period_ms, TickCountMs() + period_ms, std::move(callback), true});
  return id;
}

void MessageQueue::KillTimer(UINT timer_id) {
  for (Timer& t : impl_->timers)
    if (t.id == timer_id) t.alive = false;
  impl_->Compact();
}

UINT MessageQueue::WatchFd(int fd, WatchEvents events, FdCallback callback) {
  const UINT id = impl_->next_id++;
  impl_->watches.push_back(Watch{id, fd, events, std::move(callback), true});
  return id;
}

void MessageQueue::ChangeWatch(UINT watch_id, WatchEvents events) {
  for (Watch& w : impl_->watches)
    if (w.id == watch_id) w.events = events;
}

void MessageQueue::UnwatchFd(UINT watch_id) {
  for (Watch& w : impl_->watches)
    if (w.id == watch_id) w.alive = false;
  impl_->Compact();
}

bool MessageQueue::QuitReceived() const { return impl_->quit; }

namespace {

enum class PumpResult { Idle, ObjectSignalled, Quit };

// Messages handled in one turn of the loop before its descriptors and timers
// are looked at again.
constexpr int kMessagesPerBatch = 16;
// Descriptors one turn polls without a heap allocation.
constexpr std::size_t kPollInPlace = 8;

PumpResult Pump(MessageQueue::Impl& impl, DWORD timeout_ms, Waitable* object) {
  struct DepthGuard {
    MessageQueue::Impl& impl;
    explicit DepthGuard(MessageQueue::Impl& i) : impl(i) { ++impl.depth; }
    ~DepthGuard() {
      --impl.depth;
      impl.Compact();
    }
  } guard(impl);

  // The poll set: wake descriptor, the extra object, live watches.
  // A connection thread's set (its socket beside the wake descriptor) fits
  // in place: no heap allocation at every turn of every session's loop.
  std::size_t wanted = object ? 2 : 1;
  for (const Watch& w : impl.watches) {
    if (w.alive && w.events != WATCH_NONE) ++wanted;
  }
  pollfd in_place_fds[kPollInPlace];
  UINT in_place_ids[kPollInPlace];
  std::vector<pollfd> heap_fds;
  std::vector<UINT> heap_ids;
  if (wanted > kPollInPlace) {
    heap_fds.resize(wanted);
    heap_ids.resize(wanted);
  }
  pollfd* const fds = wanted > kPollInPlace ? heap_fds.data() : in_place_fds;
  UINT* const watch_ids = wanted > kPollInPlace ? heap_ids.data() : in_place_ids;  // by index in fds
  std::size_t count = 0;
  fds[count++] = pollfd{impl.wake_fd, POLLIN, 0};
  if (object) fds[count++] = pollfd{object->PollFd(), POLLIN, 0};
  const std::size_t first_watch = count;
  for (const Watch& w : impl.watches) {
    if (!w.alive || w.events == WATCH_NONE) continue;
    watch_ids[count] = w.id;
    fds[count++] = pollfd{w.fd, PollBitsOf(w.events), 0};
  }

  const std::uint64_t now = TickCountMs();
  std::uint64_t wait = timeout_ms == INFINITE_WAIT ? UINT64_MAX : timeout_ms;
  for (const Timer& t : impl.timers) {
    if (!t.alive) continue;
    wait = std::min<std::uint64_t>(wait, t.next > now ? t.next - now : 0);
  }
  {
    // Messages the thread posted to itself woke nothing: no waiting then.
    std::lock_guard<std::mutex> lock(impl.lock);
    if (!impl.queue.empty()) wait = 0;
  }
  const int poll_wait = wait == UINT64_MAX ? -1 : static_cast<int>(std::min<std::uint64_t>(wait, 1u << 30));
  const int n = ::poll(fds, count, poll_wait);
  if (n < 0 && errno != EINTR) return PumpResult::Idle;

  // Messages first, in the order posted; a long queue is handled in
  // batches so that descriptors (a listener's new clients) get their turn.
  if (n > 0 && (fds[0].revents & POLLIN)) {
    std::uint64_t count;
    ssize_t r = ::read(impl.wake_fd, &count, sizeof count);
    (void)r;
  }
  for (int handled = 0;; ++handled) {
    Pending pending;
    {
      std::lock_guard<std::mutex> lock(impl.lock);
      if (impl.queue.empty()) break;
      if (handled == kMessagesPerBatch) {
        impl.Wake();  // the rest at the next turn, right after the descriptors
        break;
      }
      pending = std::move(impl.queue.front());
      impl.queue.pop_front();
    }
    if (!impl.handler) FreeText(pending);
    if (pending.msg.id == WM_QUIT && !pending.slot) {
      impl.quit = true;
      impl.quit_code = static_cast<int>(pending.msg.wParam);
      return PumpResult::Quit;
    }
    const LRESULT result = impl.handler ? impl.handler(pending.msg) : 0;
    if (pending.slot) {
      pending.slot->result = result;
      pending.slot->done.Set();
    }
    if (impl.quit) return PumpResult::Quit;
  }

  if (object && n > 0 && (fds[1].revents & POLLIN) && object->TryConsume())
    return PumpResult::ObjectSignalled;

  // Timers that are due.
  const std::uint64_t after = TickCountMs();
  for (std::size_t i = 0; i < impl.timers.size(); ++i) {
    if (!impl.timers[i].alive || impl.timers[i].next > after) continue;
    impl.timers[i].next = after + impl.timers[i].period;
    const UINT id = impl.timers[i].id;
    auto callback = impl.timers[i].callback;  // the list may change inside
    callback(id);
    if (impl.quit) return PumpResult::Quit;
  }

  // Descriptor notifications.
  if (n > 0) {
    for (std::size_t i = first_watch; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      const UINT id = watch_ids[i];
      for (std::size_t k = 0; k < impl.watches.size(); ++k) {
        if (impl.watches[k].id != id || !impl.watches[k].alive) continue;
        auto callback = impl.watches[k].callback;
        callback(WatchEventsOf(fds[i].revents));
        break;
      }
      if (impl.quit) return PumpResult::Quit;
    }
  }
  return PumpResult::Idle;
}

}  // namespace

int MessageQueue::Run() {
  while (!impl_->quit) Pump(*impl_, INFINITE_WAIT, nullptr);
  return impl_->quit_code;
}

bool MessageQueue::PumpOnce(DWORD timeout_ms) {
  if (impl_->quit) return false;
  return Pump(*impl_, timeout_ms, nullptr) != PumpResult::Quit;
}

bool MessageQueue::WaitWithMessages(Waitable& object, DWORD timeout_ms) {
  if (object.PollFd() < 0) return false;
  const std::uint64_t start = TickCountMs();
  for (;;) {
    if (impl_->quit) return false;
    DWORD left = INFINITE_WAIT;
    if (timeout_ms != INFINITE_WAIT) {
      const std::uint64_t elapsed = TickCountMs() - start;
      if (elapsed >= timeout_ms) {
        // No time remains: one last look at the object without waiting.
        std::vector<Waitable*> one{&object};
        return WaitForAny(one, 0) == 0;
      }
      left = static_cast<DWORD>(timeout_ms - elapsed);
    }
    switch (Pump(*impl_, left, &object)) {
      case PumpResult::ObjectSignalled: return true;
      case PumpResult::Quit: return false;
      case PumpResult::Idle: break;
    }
  }
}

LPARAM NewText(std::string_view text) {
  return reinterpret_cast<LPARAM>(new std::string(text));
}

std::string TakeText(std::uintptr_t value) {
  std::unique_ptr<std::string> owned(reinterpret_cast<std::string*>(value));
  return owned ? std::move(*owned) : std::string();
}

bool PostText(ThreadId target, UINT msg, std::string_view text, LPARAM second) {
  const LPARAM copy = NewText(text);
  if (Enqueue(target, Pending{Message{msg, static_cast<WPARAM>(copy), second}, nullptr, true})) return true;
  TakeText(static_cast<std::uintptr_t>(copy));
  return false;
}

}  // namespace platform
