// A folder sync shared by the threads that change the folder at about the
// same time (see shared_folder_sync.h).
#include "relay/shared_folder_sync.h"

#include "platform/files.h"

namespace {

// Syncs a Request's caller runs at most: under a steady stream of changes
// one caller must not be kept syncing for the others forever.
constexpr int kRoundsPerRequest = 2;

}  // namespace

bool CSharedFolderSync::RunOne(std::unique_lock<std::mutex>& lock, const std::string& folder) {
  m_bRunning = true;
  m_bPending = false;
  const std::uint64_t number = ++m_nStarted;
  lock.unlock();
  const bool synced = platform::SyncDirectory(folder);
  lock.lock();
  m_bRunning = false;
  m_nFinished = number;
  if (!synced) m_nLastFailed = number;
  m_Finished.notify_all();
  return synced;
}

bool CSharedFolderSync::Sync(const std::string& folder) {
  std::unique_lock<std::mutex> lock(m_Lock);
  // A sync running now may have begun before the caller's change: only the
  // next one covers it.
  const std::uint64_t needed = m_nStarted + 1;
  while (m_nFinished < needed) {
    if (m_bRunning)
      m_Finished.wait(lock);
    else
      RunOne(lock, folder);
  }
  return m_nLastFailed < needed;
}

bool CSharedFolderSync::Request(const std::string& folder) {
  std::unique_lock<std::mutex> lock(m_Lock);
  m_bPending = true;
  if (m_bRunning) return true;
  bool ok = true;
  for (int round = 0; round < kRoundsPerRequest && m_bPending && !m_bRunning; ++round) ok = RunOne(lock, folder) && ok;
  return ok;
}

bool CSharedFolderSync::Flush(const std::string& folder) {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_bPending && !m_bRunning) return true;
  }
  return Sync(folder);
}
