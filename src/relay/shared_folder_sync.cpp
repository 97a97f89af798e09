// A folder sync shared by the threads that ask at about the same time (see
// shared_folder_sync.h).
#include "relay/shared_folder_sync.h"

#include "platform/files.h"

bool CSharedFolderSync::Sync(const std::string& folder) {
  std::unique_lock<std::mutex> lock(m_Lock);
  // A sync running now may have begun before the caller's change: only the
  // next one covers it.
  const std::uint64_t needed = m_nStarted + 1;
  while (m_nFinished < needed) {
    if (m_bRunning) {
      m_Finished.wait(lock);
      continue;
    }
    m_bRunning = true;
    const std::uint64_t number = ++m_nStarted;
    lock.unlock();
    const bool synced = platform::SyncDirectory(folder);
    lock.lock();
    m_bRunning = false;
    m_nFinished = number;
    if (!synced) m_nLastFailed = number;
    m_Finished.notify_all();
  }
  return m_nLastFailed < needed;
}
