// Events, named objects across processes, thread message queues and timers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/sync.h"
#include "support/temp_home.h"

using namespace platform;

namespace {

TEST(Event, ManualStaysSetAutoWakesOnce) {
  Event manual(true);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0)) << "a manual-reset event stays signalled";
  manual.Reset();
  EXPECT_FALSE(manual.Wait(10));

  Event automatic(false);
  automatic.Set();
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0)) << "an auto-reset event resets when a wait is satisfied";
}

TEST(WaitForAny, EarlierObjectWinsAndTimeoutIsReported) {
  Event a(true), b(true);
  b.Set();
  a.Set();
  EXPECT_EQ(WaitForAny({&a, &b}, 0), 0);
  a.Reset();
  EXPECT_EQ(WaitForAny({&a, &b}, 0), 1);
  b.Reset();
  const auto start = TickCountMs();
  EXPECT_EQ(WaitForAny({&a, &b}, 50), WAIT_TIMEOUT_RESULT);
  EXPECT_GE(TickCountMs() - start, 45u);
}

TEST(NamedEvent, SignalWithoutWaiterIsHarmlessAndSignalsCoalesce) {
  TempHome home;
  NamedEvent::Signal("Nobody Waits");  // no effect, no error
  NamedEvent ev;
  ASSERT_TRUE(ev.Create("Mail Service Event"));
  EXPECT_FALSE(ev.Wait(0));
  for (int i = 0; i < 5; ++i) NamedEvent::Signal("Mail Service Event");
  EXPECT_TRUE(ev.Wait(100));
  EXPECT_FALSE(ev.Wait(0)) << "pending signals are drained by one wake-up";
}

TEST(NamedEvent, AnotherProcessSignals) {
  TempHome home;
  NamedEvent ev;
  ASSERT_TRUE(ev.Create("Cross Process"));
  const pid_t child = ::fork();
  if (child == 0) {
    NamedEvent::Signal("Cross Process");
    ::_exit(0);
  }
  EXPECT_TRUE(ev.Wait(2000));
  int status = 0;
  ::waitpid(child, &status, 0);
}

TEST(NamedMutex, HeldByALiveProcessOnlyWhileItLives) {
  TempHome home;
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    NamedMutex m;
    bool exists = false;
    const char ok = m.Create("Mail Service Mutex", &exists) ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    char c;
    (void)!::read(release[0], &c, 1);
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  NamedMutex mine;
  bool exists = false;
  EXPECT_FALSE(mine.Create("Mail Service Mutex", &exists));
  EXPECT_TRUE(exists);
  const char go = 'g';
  (void)!::write(release[1], &go, 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(mine.Create("Mail Service Mutex", &exists)) << "the lock dies with its process";
  EXPECT_FALSE(exists);
}

// A thread with a queue that records what it handles.
class Recorder : public Thread {
 public:
  std::vector<UINT> seen;
  std::atomic<int> quit_code{-1};

 protected:
  void Run() override {
    MessageQueue& q = MessageQueue::ForCurrentThread();
    q.SetHandler([this](const Message& m) -> LRESULT {
      seen.push_back(m.id);
      return static_cast<LRESULT>(m.wParam * 2);
    });
    quit_code = q.Run();
  }
};

// A thread being stopped is raised as far as the process may raise it (the
// right to raise priorities is root's); a thread that has ended is left
// alone.
TEST(Thread, SetPriorityHighestRaisesARunningThread) {
  struct Sleeper : platform::Thread {
    Event raised{true};
    Event ready{true};
    int nice_before = 0;
    int nice_after = 0;
    void Run() override {
      nice_before = ::getpriority(PRIO_PROCESS, 0);  // 0: the calling thread
      ready.Set();
      raised.Wait(platform::INFINITE_WAIT);
      nice_after = ::getpriority(PRIO_PROCESS, 0);
    }
  } thread;
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(thread.ready.Wait(5000));
  thread.SetPriorityHighest();
  thread.raised.Set();
  ASSERT_TRUE(thread.Join(5000));
  if (::geteuid() == 0)
    EXPECT_EQ(thread.nice_after, -20);
  else
    EXPECT_EQ(thread.nice_after, thread.nice_before) << "no right to raise it: unchanged";
  EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), thread.nice_before) << "the caller stays as it was";
  thread.SetPriorityHighest();  // ended: nothing happens
}

// A listener's thread goes first where the process may raise it, but the
// sessions and workers it starts must not inherit that; a priority someone
// chose for the thread already stays.
TEST(Thread, PreferredThreadStartsThreadsAtTheNormalPriority) {
  struct Child : platform::Thread {
    int nice = 99;
    void Run() override { nice = ::getpriority(PRIO_PROCESS, 0); }
  };
  if (::getpriority(PRIO_PROCESS, 0) != 0) GTEST_SKIP() << "the tests run at a priority chosen for them";
  std::thread([] {
    const bool preferred = PreferCurrentThread();
    EXPECT_EQ(preferred, ::geteuid() == 0) << "only root may raise a priority";
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), preferred ? -10 : 0);
    Child child;
    ASSERT_TRUE(child.Start());
    ASSERT_TRUE(child.Join(5000));
    EXPECT_EQ(child.nice, 0) << "a thread it starts";
    int plain_nice = 99;
    std::thread([&plain_nice] { plain_nice = ::getpriority(PRIO_PROCESS, 0); }).join();
    EXPECT_EQ(plain_nice, 0) << "a thread made without the platform layer";
    EXPECT_FALSE(PreferCurrentThread()) << "set already";
  }).join();
  std::thread([] {
    ASSERT_EQ(::setpriority(PRIO_PROCESS, 0, 5), 0);
    EXPECT_FALSE(PreferCurrentThread());
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), 5) << "a priority chosen before stays";
  }).join();
}

// Start does not wait for the new thread to run: asking for its id waits
// until its queue exists (the test below posts right after Start), and a
// thread never started answers 0 at once.
TEST(Thread, IdOfAThreadNeverStartedIsZero) {
  Recorder never;
  EXPECT_EQ(never.Id(), 0u);
}

// Threads left to the starter (a burst of clients) are each reached by a
// quit posted at once, before the starter made them: none is lost or left
// running.
TEST(Thread, QuitReachesEveryThreadStillWaitingForTheStarter) {
  constexpr int kThreads = 200;
  std::vector<std::shared_ptr<Recorder>> threads;
  for (int i = 0; i < kThreads; ++i) {
    auto thread = std::make_shared<Recorder>();
    thread->KeepAliveWhileRunning(thread);
    ASSERT_TRUE(thread->StartSoon());
    threads.push_back(std::move(thread));
  }
  for (int i = 0; i < kThreads; ++i) ASSERT_TRUE(MessageQueue::Post(threads[i]->Id(), WM_QUIT, i)) << i;
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_TRUE(threads[i]->Join(10000)) << i;
    EXPECT_EQ(threads[i]->quit_code.load(), i);
  }
}

// A system thread kept from an ended session runs the next one as a new
// thread would start: its own id and queue (a message for the ended one
// never reaches it), and the normal priority even when the ended one had
// changed its own.
TEST(Thread, AThreadRunOnAParkedSystemThreadStartsAfresh) {
  struct Probe : Recorder {
    int native = 0;
    int nice = 99;
    ThreadId id = 0;
    bool lower_own_priority = false;
    void Run() override {
      native = static_cast<int>(::gettid());
      nice = ::getpriority(PRIO_PROCESS, 0);
      id = CurrentThreadId();
      if (lower_own_priority) ::setpriority(PRIO_PROCESS, 0, nice + 7);
      Recorder::Run();
    }
  };
  auto run = [](bool lower) {
    auto probe = std::make_shared<Probe>();
    probe->lower_own_priority = lower;
    probe->KeepAliveWhileRunning(probe);
    EXPECT_TRUE(probe->StartSoon());
    EXPECT_TRUE(MessageQueue::Post(probe->Id(), WM_USER + 1));
    EXPECT_TRUE(MessageQueue::Post(probe->Id(), WM_QUIT, 3));
    EXPECT_TRUE(probe->Join(5000));
    return probe;
  };
  // The ended thread parks just after its end is reported, which nothing
  // shows: each try leaves it a little longer to get there.
  bool reused = false;
  for (int attempt = 0; attempt < 50 && !reused; ++attempt) {
    const auto first = run(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(attempt));
    const auto second = run(false);
    if (second->native != first->native) continue;
    reused = true;
    EXPECT_NE(second->id, first->id) << "an id is never given twice";
    EXPECT_EQ(second->nice, first->nice) << "the priority the first one left is not kept";
    EXPECT_EQ(second->seen, (std::vector<UINT>{WM_USER + 1}));
    EXPECT_EQ(second->quit_code.load(), 3);
    EXPECT_FALSE(MessageQueue::Post(first->id, WM_USER + 2)) << "the ended thread's queue is gone";
  }
  EXPECT_TRUE(reused) << "no StartSoon ran on the system thread an ended one left";
}

TEST(MessageQueue, PostSendAndQuitInOrder) {
  Recorder r;
  ASSERT_TRUE(r.Start());
  EXPECT_TRUE(MessageQueue::Post(r.Id(), WM_USER + 1));
  EXPECT_EQ(MessageQueue::Send(r.Id(), WM_USER + 2, 21), 42) << "send returns the handler's result";
  EXPECT_TRUE(MessageQueue::Post(r.Id(), WM_QUIT, 7));
  ASSERT_TRUE(r.Join(2000));
  EXPECT_EQ(r.quit_code.load(), 7);
  EXPECT_EQ(r.seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
  EXPECT_FALSE(MessageQueue::Post(r.Id(), WM_USER + 3)) << "a thread that ended has no queue";
  EXPECT_EQ(MessageQueue::Send(r.Id(), WM_USER + 3, 1), 0);
}

// What a thread posts to itself wakes no descriptor: its next turn takes it
// without waiting (a quit too), in the order posted.
TEST(MessageQueue, PostsToItselfAreTakenAtTheNextTurnWithoutWaiting) {
  std::vector<UINT> seen;
  bool quit_taken = false;
  std::uint64_t elapsed = 0;
  std::thread([&] {
    MessageQueue& q = MessageQueue::ForCurrentThread();
    q.SetHandler([&](const Message& m) -> LRESULT {
      seen.push_back(m.id);
      return 0;
    });
    const std::uint64_t start = TickCountMs();
    MessageQueue::Post(CurrentThreadId(), WM_USER + 1);
    MessageQueue::Post(CurrentThreadId(), WM_USER + 2);
    EXPECT_TRUE(q.PumpOnce(60000));
    MessageQueue::Post(CurrentThreadId(), WM_QUIT);
    quit_taken = !q.PumpOnce(60000);
    elapsed = TickCountMs() - start;
  }).join();
  EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
  EXPECT_TRUE(quit_taken);
  EXPECT_LT(elapsed, 30000u) << "a turn waited for its time-out";
}

TEST(MessageQueue, PostTextHandsOwnershipToTheReceiver) {
  std::string received;
  struct Taker : Thread {
    std::string* out;
    void Run() override {
      MessageQueue& q = MessageQueue::ForCurrentThread();
      q.SetHandler([this](const Message& m) -> LRESULT {
        *out = TakeText(m.wParam) + "/" + std::to_string(m.lParam);
        return 0;
      });
      q.Run();
    }
  } taker;
  taker.out = &received;
  ASSERT_TRUE(taker.Start());
  EXPECT_TRUE(PostText(taker.Id(), WM_USER + 202, "<SMTP> 100% done", 5));
  MessageQueue::Post(taker.Id(), WM_QUIT);
  ASSERT_TRUE(taker.Join(2000));
  EXPECT_EQ(received, "<SMTP> 100% done/5");
  EXPECT_FALSE(PostText(taker.Id(), WM_USER + 202, "to nobody", 0));  // freed, not leaked (ASan)
}

// Texts still queued when their thread's queue goes (it quit before them, or
// never had a handler) are freed with the queue: the ASan pass sees a leak
// otherwise.
TEST(MessageQueue, TextsLeftInAQueueAreFreedWithIt) {
  struct Late : Thread {
    bool with_handler = true;
    Event posted{true};
    Event has_queue{true};
    void Run() override {
      MessageQueue& q = MessageQueue::ForCurrentThread();
      if (with_handler) q.SetHandler([](const Message&) -> LRESULT { return 0; });
      has_queue.Set();
      posted.Wait(INFINITE_WAIT);
      q.Run();
    }
  };
  for (const bool with_handler : {true, false}) {
    Late late;
    late.with_handler = with_handler;
    ASSERT_TRUE(late.Start());
    ASSERT_TRUE(late.has_queue.Wait(2000));
    if (!with_handler) {
      EXPECT_TRUE(PostText(late.Id(), WM_USER + 203, "taken by nobody", 0));
    }
    EXPECT_TRUE(MessageQueue::Post(late.Id(), WM_QUIT));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(PostText(late.Id(), WM_USER + 204, "after the quit", i));
    late.posted.Set();
    ASSERT_TRUE(late.Join(2000));
  }
}

TEST(MessageQueue, TimersFireOnTheOwningThreadUntilKilled) {
  std::atomic<int> ticks{0};
  struct Ticker : Thread {
    std::atomic<int>* ticks;
    void Run() override {
      MessageQueue& q = MessageQueue::ForCurrentThread();
      UINT id = 0;
      id = q.SetTimer(10, [&](UINT timer) {
        EXPECT_EQ(timer, id);
        if (++*ticks == 3) {
          q.KillTimer(id);
          MessageQueue::Post(CurrentThreadId(), WM_QUIT);
        }
      });
      q.Run();
    }
  } ticker;
  ticker.ticks = &ticks;
  ASSERT_TRUE(ticker.Start());
  ASSERT_TRUE(ticker.Join(2000));
  EXPECT_EQ(ticks.load(), 3);
}

TEST(MessageQueue, WaitWithMessagesDispatchesWhileWaiting) {
  MessageQueue& q = MessageQueue::ForCurrentThread();
  int handled = 0;
  q.SetHandler([&](const Message&) -> LRESULT {
    ++handled;
    return 0;
  });
  Event done(true);
  const ThreadId me = CurrentThreadId();
  std::thread helper([&] {
    MessageQueue::Post(me, WM_USER + 10);
    MessageQueue::Post(me, WM_USER + 11);
    SleepMs(30);
    done.Set();
  });
  EXPECT_TRUE(q.WaitWithMessages(done, 2000));
  helper.join();
  EXPECT_EQ(handled, 2);
  Event never(true);
  const auto start = TickCountMs();
  EXPECT_FALSE(q.WaitWithMessages(never, 40));
  EXPECT_GE(TickCountMs() - start, 35u);
  q.SetHandler(nullptr);
}

TEST(MessageQueue, SentMessageIsHandledWhileTheTargetWaitsWithMessages) {
  // The event watcher sends the reload to a server thread that is itself
  // inside a wait with messages (StopServers waiting for a thread).
  struct Waiter : Thread {
    Event* release;
    void Run() override {
      MessageQueue& q = MessageQueue::ForCurrentThread();
      q.SetHandler([](const Message& m) -> LRESULT { return static_cast<LRESULT>(m.wParam + 1); });
      q.WaitWithMessages(*release, 5000);
    }
  } waiter;
  Event release(true);
  waiter.release = &release;
  ASSERT_TRUE(waiter.Start());
  EXPECT_EQ(MessageQueue::Send(waiter.Id(), WM_USER + 207, 41), 42);
  release.Set();
  EXPECT_TRUE(waiter.Join(2000));
}

TEST(MessageQueue, WatchedDescriptorNotifiesAndCanBeRemovedInsideItsCallback) {
  MessageQueue& q = MessageQueue::ForCurrentThread();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  UINT watch = 0;
  watch = q.WatchFd(fds[0], platform::WATCH_READABLE, [&](platform::WatchEvents) {
    ++calls;
    char c;
    (void)!::read(fds[0], &c, 1);
    q.UnwatchFd(watch);
  });
  (void)!::write(fds[1], "ab", 2);
  q.PumpOnce(100);
  q.PumpOnce(20);  // unwatched: the second byte does not call again
  EXPECT_EQ(calls, 1);
  ::close(fds[0]);
  ::close(fds[1]);
}

// One turn polls a few descriptors in place and more from the heap: with
// many watches, each still reports its own descriptor, and only that one.
TEST(MessageQueue, ManyWatchesEachReportTheirOwnDescriptor) {
  MessageQueue& q = MessageQueue::ForCurrentThread();
  constexpr int kPipes = 12;
  int fds[kPipes][2];
  int calls[kPipes] = {};
  UINT watches[kPipes];
  for (int i = 0; i < kPipes; ++i) {
    ASSERT_EQ(::pipe(fds[i]), 0);
    watches[i] = q.WatchFd(fds[i][0], platform::WATCH_READABLE, [&, i](platform::WatchEvents) {
      ++calls[i];
      char c;
      (void)!::read(fds[i][0], &c, 1);
    });
  }
  for (const int written : {3, kPipes - 1}) {
    (void)!::write(fds[written][1], "x", 1);
    q.PumpOnce(100);
    for (int i = 0; i < kPipes; ++i) EXPECT_EQ(calls[i], i == written ? 1 : 0) << "pipe " << i;
    calls[written] = 0;
  }
  for (int i = 0; i < kPipes; ++i) {
    q.UnwatchFd(watches[i]);
    ::close(fds[i][0]);
    ::close(fds[i][1]);
  }
}

TEST(MessageQueue, WatchReportsTheLayersOwnEvents) {
  MessageQueue& q = MessageQueue::ForCurrentThread();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  platform::WatchEvents seen = platform::WATCH_NONE;
  const UINT watch =
      q.WatchFd(fds[0], platform::WATCH_READABLE, [&](platform::WatchEvents happened) { seen = happened; });
  q.ChangeWatch(watch, platform::WATCH_NONE);
  (void)!::write(fds[1], "a", 1);
  q.PumpOnce(20);
  EXPECT_EQ(seen, platform::WATCH_NONE) << "a paused watch stays quiet";
  q.ChangeWatch(watch, platform::WATCH_READABLE);
  q.PumpOnce(100);
  EXPECT_EQ(seen, platform::WATCH_READABLE);
  char c;
  (void)!::read(fds[0], &c, 1);
  ::close(fds[1]);  // the writer goes: a hang-up, reported whatever was asked for
  q.PumpOnce(100);
  EXPECT_TRUE(seen & platform::WATCH_HANG_UP);
  q.UnwatchFd(watch);
  ::close(fds[0]);
}

}  // namespace
