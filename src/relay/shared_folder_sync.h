// A folder sync shared by the threads that need one at about the same time:
// each caller returns once a sync that began after its call has ended, and
// one thread runs the sync for all who wait meanwhile. The relay's senders
// make a deletion durable this way: on a disk where a sync takes a
// millisecond, eight deletions cost one sync instead of eight.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class CSharedFolderSync {
 public:
  // Syncs `folder` (the same folder at every call); false when the sync
  // that covers this call failed, or a later one did.
  bool Sync(const std::string& folder);

 private:
  std::mutex m_Lock;
  std::condition_variable m_Finished;
  std::uint64_t m_nStarted = 0;   // syncs begun
  std::uint64_t m_nFinished = 0;  // syncs ended, in the order begun
  std::uint64_t m_nLastFailed = 0;
  bool m_bRunning = false;
};
