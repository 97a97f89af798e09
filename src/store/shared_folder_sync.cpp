// A folder sync shared by the threads that change the folder at about the
// same time (see shared_folder_sync.h).
#include "store/shared_folder_sync.h"

#include <chrono>
#include <system_error>

bool CSharedFolderSync::RunOne(std::unique_lock<std::mutex>& lock, const std::string& folder) {
  m_bRunning = true;
  m_bPending = false;
  const std::uint64_t number = ++m_nStarted;
  const platform::Folder* held = m_pHeld;
  lock.unlock();
  const bool synced = held ? held->Sync() : platform::SyncDirectory(folder);
  lock.lock();
  m_bRunning = false;
  m_nFinished = number;
  if (!synced) m_nLastFailed = number;
  m_Changed.notify_all();
  return synced;
}

bool CSharedFolderSync::Sync(const std::string& folder) {
  std::unique_lock<std::mutex> lock(m_Lock);
  // A sync running now may have begun before the caller's change: only the
  // next one covers it.
  return WaitLocked(lock, folder, m_nStarted + 1, false);
}

std::uint64_t CSharedFolderSync::Ask() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_bPending = true;
  m_Changed.notify_all();
  return m_nStarted + 1;
}

bool CSharedFolderSync::Wait(const std::string& folder, std::uint64_t ticket) {
  std::unique_lock<std::mutex> lock(m_Lock);
  return WaitLocked(lock, folder, ticket, false);
}

std::uint64_t CSharedFolderSync::Next() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_nStarted + 1;
}

bool CSharedFolderSync::RunOrWait(const std::string& folder, std::uint64_t ticket) {
  std::unique_lock<std::mutex> lock(m_Lock);
  return WaitLocked(lock, folder, ticket, true);
}

bool CSharedFolderSync::WaitLocked(std::unique_lock<std::mutex>& lock, const std::string& folder,
                                   std::uint64_t needed, bool run_here) {
  while (m_nFinished < needed) {
    // The thread of Start runs what was asked for; without it (or when told
    // to run here) the caller.
    if (m_bRunning || (!run_here && m_bPending && m_bSyncing))
      m_Changed.wait(lock);
    else
      RunOne(lock, folder);
  }
  return m_nLastFailed < needed;
}

bool CSharedFolderSync::Request(const std::string& folder) {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bSyncing) {
      // The thread of Start is woken by the first change only: the ones
      // that follow before its sync begins are covered by it anyway.
      if (!m_bPending || m_nGatherMs == 0) m_Changed.notify_all();
      m_bPending = true;
      return m_nLastFailed == 0 || m_nLastFailed < m_nFinished;
    }
  }
  return Sync(folder);
}

void CSharedFolderSync::Start(const std::string& folder, unsigned gather_ms) {
  Stop();
  std::lock_guard<std::mutex> lock(m_Lock);
  m_bStopping = false;
  m_nGatherMs = gather_ms;
  try {
    m_Syncer = std::thread([this, folder] { RunSyncs(folder); });
    m_bSyncing = true;
  } catch (const std::system_error&) {
    // No thread to be had: each Request syncs on its caller's thread.
  }
}

void CSharedFolderSync::Hold(const platform::Folder& held) {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_pHeld = &held;
}

bool CSharedFolderSync::Stop() {
  if (!m_Syncer.joinable()) return true;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bStopping = true;
    m_Changed.notify_all();
  }
  m_Syncer.join();
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_nLastFailed == 0 || m_nLastFailed < m_nFinished;
}

void CSharedFolderSync::RunSyncs(const std::string& folder) {
  std::unique_lock<std::mutex> lock(m_Lock);
  for (;;) {
    // A caller of Sync may be running one: syncs never overlap, so that
    // they end in the order they began.
    m_Changed.wait(lock, [this] { return (m_bPending && !m_bRunning) || m_bStopping; });
    // What was asked for before the stop is synced before the thread ends.
    if (m_bPending) {
      if (m_nGatherMs != 0 && !m_bStopping) {
        // The changes of the next moments join this one's sync; a stop
        // cuts the wait short.
        m_Changed.wait_for(lock, std::chrono::milliseconds(m_nGatherMs), [this] { return m_bStopping; });
      }
      if (m_bRunning)
        m_Changed.wait(lock);
      else
        RunOne(lock, folder);
      continue;
    }
    // Whoever waits from now on runs the sync it needs.
    m_bSyncing = false;
    m_Changed.notify_all();
    return;
  }
}
