// A folder sync shared by the threads that change the folder at about the
// same time. The relay's senders make a deletion durable this way: on a
// disk where a sync takes milliseconds, one sync covers the deletions of
// all the senders meanwhile, and only one sender at a time waits for it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class CSharedFolderSync {
 public:
  // Returns once a sync of `folder` (the same folder at every call) that
  // began after this call has ended; false when it failed, or a later one.
  bool Sync(const std::string& folder);
  // Asks for a sync that covers the caller's change. The caller runs it
  // when none is running (and then, for changes asked for meanwhile, at
  // most one more); otherwise the running one's caller takes it up, or
  // the next Request, or Flush. False when a sync this caller ran failed.
  bool Request(const std::string& folder);
  // Runs a sync when any change asked for may not be covered yet.
  bool Flush(const std::string& folder);

 private:
  // One sync, with the lock held on entry and exit.
  bool RunOne(std::unique_lock<std::mutex>& lock, const std::string& folder);

  std::mutex m_Lock;
  std::condition_variable m_Finished;
  std::uint64_t m_nStarted = 0;   // syncs begun
  std::uint64_t m_nFinished = 0;  // syncs ended, in the order begun
  std::uint64_t m_nLastFailed = 0;
  bool m_bRunning = false;
  bool m_bPending = false;  // a change asked for that no sync begun since covers
};
