// The shared syncs of the mail store: every caller is covered by a sync that
// started after its call, callers that arrive during a sync share the next
// one, and a failed sync fails exactly the callers it served.
#include "store/group_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "support/temp_home.h"

namespace {

using Clock = std::chrono::steady_clock;

// A sync that takes a while and records when each one started and ended.
struct RecordedSyncs {
  std::mutex lock;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> runs;
  std::vector<std::vector<std::string>> folders;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  int fail_run = -1;  // this run (0-based) fails

  bool Sync(const std::vector<std::string>& batch) {
    if (running.fetch_add(1) != 0) overlapped = true;
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> guard(lock);
    const int run = static_cast<int>(runs.size());
    runs.emplace_back(start, Clock::now());
    folders.push_back(batch);
    running.fetch_sub(1);
    return run != fail_run;
  }
};

TEST(GroupSyncTest, EveryCallerWaitsForASyncStartedAfterItsCall) {
  RecordedSyncs syncs;
  CGroupSync group([&](const std::vector<std::string>& f) { return syncs.Sync(f); });
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  std::mutex calls_lock;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> calls;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const Clock::time_point called = Clock::now();
        EXPECT_TRUE(group.Sync("folder" + std::to_string(t % 2)));
        const Clock::time_point returned = Clock::now();
        std::lock_guard<std::mutex> guard(calls_lock);
        calls.emplace_back(called, returned);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(syncs.overlapped) << "two syncs ran at once";
  for (const auto& [called, returned] : calls) {
    bool covered = false;
    for (const auto& [start, end] : syncs.runs) covered = covered || (start >= called && end <= returned);
    EXPECT_TRUE(covered) << "a caller returned without a sync that started after its call";
  }
  // Callers share syncs: far fewer syncs than calls.
  EXPECT_LT(syncs.runs.size(), calls.size() / 2);
  // A batch syncs the folders of all its callers, each once.
  bool both = false;
  for (const auto& batch : syncs.folders) both = both || batch == std::vector<std::string>{"folder0", "folder1"};
  EXPECT_TRUE(both);
}

TEST(GroupSyncTest, AFailedSyncFailsTheCallersItServedAndNoOthers) {
  RecordedSyncs syncs;
  syncs.fail_run = 0;
  CGroupSync group([&](const std::vector<std::string>& f) { return syncs.Sync(f); });
  EXPECT_FALSE(group.Sync("folder"));
  EXPECT_TRUE(group.Sync("folder"));
}

TEST(GroupSyncTest, SyncFileSystemsSyncsRealFoldersAndFailsForAMissingOne) {
  const std::filesystem::path made = NewTempFolder("qp-sync-");
  const std::string folder = made.string();
  EXPECT_TRUE(platform::SyncFileSystems({folder, folder}));
  EXPECT_FALSE(platform::SyncFileSystems({folder, folder + "/missing"}));
  std::filesystem::remove_all(made);
}

}  // namespace
