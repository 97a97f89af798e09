// The folder sync that threads share: every wait ends, with the result of a
// sync that began after the change it waits for, whether the thread of its
// own runs the syncs or the callers do.
#include "store/shared_folder_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_home.h"

namespace {

TEST(SharedFolderSync, AskedSyncsEndWithTheFoldersResult) {
  TempHome home;
  const std::string folder = home.path();
  const std::string missing = (std::filesystem::path(home.path()) / "missing").string();
  const struct {
    const char* label;
    bool thread_of_its_own;
    bool stopped_before_the_ask;
    bool run_by_the_callers;  // RunOrWait instead of Ask and Wait
  } cases[] = {
      {"the thread of its own runs the syncs", true, false, false},
      {"without it the caller runs them", false, false, false},
      {"after a stop the caller runs them again", true, true, false},
      {"callers that come together run them beside the thread", true, false, true},
      {"callers run them without the thread", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CSharedFolderSync sync;
    if (c.thread_of_its_own) sync.Start(folder);
    if (c.stopped_before_the_ask) {
      EXPECT_TRUE(sync.Stop());
    }
    // Sessions ask at about the same time: each wait ends, and succeeds.
    std::atomic<int> synced{0};
    std::vector<std::thread> sessions;
    for (int i = 0; i < 8; ++i) {
      sessions.emplace_back([&] {
        for (int round = 0; round < 20; ++round) {
          if (c.run_by_the_callers ? sync.RunOrWait(folder, sync.Next()) : sync.Wait(folder, sync.Ask()))
            ++synced;
        }
      });
    }
    for (std::thread& session : sessions) session.join();
    EXPECT_EQ(synced.load(), 8 * 20);

    // A folder that cannot be synced fails the waits that need its sync.
    CSharedFolderSync failing;
    if (c.thread_of_its_own) failing.Start(missing);
    if (c.stopped_before_the_ask) failing.Stop();
    EXPECT_FALSE(c.run_by_the_callers ? failing.RunOrWait(missing, failing.Next())
                                      : failing.Wait(missing, failing.Ask()));
  }
}

// Deletions nobody waits for (the relay's) are gathered: the changes asked
// for while the first one's sync has not begun share that sync, and a stop
// runs it at once instead of waiting out the gathering time.
TEST(SharedFolderSync, GatheredChangesShareOneSyncThatAStopRunsAtOnce) {
  TempHome home;
  const std::string folder = home.path();
  const std::string missing = (std::filesystem::path(home.path()) / "missing").string();
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "a folder that cannot be synced" : "a folder");
    CSharedFolderSync sync;
    const unsigned kGatherMs = 600000;  // far longer than the test
    sync.Start(fails ? missing : folder, kGatherMs);
    const std::uint64_t first = sync.Next();
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i)
      senders.emplace_back([&] {
        for (int round = 0; round < 25; ++round) EXPECT_TRUE(sync.Request(folder));
      });
    for (std::thread& sender : senders) sender.join();
    EXPECT_EQ(sync.Next(), first) << "no sync began while the changes gathered";
    const auto stop_began = std::chrono::steady_clock::now();
    EXPECT_EQ(sync.Stop(), !fails) << "the stop reports the sync that covers the changes";
    EXPECT_LT(std::chrono::steady_clock::now() - stop_began, std::chrono::milliseconds(kGatherMs / 2));
    EXPECT_EQ(sync.Next(), first + 1) << "one sync covered all of them";
  }
}

}  // namespace
