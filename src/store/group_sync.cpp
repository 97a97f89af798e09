// Shared syncs of the mail store (see group_sync.h).
#include "store/group_sync.h"

#include "platform/files.h"

CGroupSync::CGroupSync(SyncFunction sync) : m_Sync(std::move(sync)) {}

bool CGroupSync::Sync(const std::vector<std::string>& folders) {
  std::unique_lock<std::mutex> lock(m_Lock);
  // A batch that is open has not started its sync: joining it is enough.
  if (!m_pOpen) m_pOpen = std::make_shared<Batch>();
  const std::shared_ptr<Batch> batch = m_pOpen;
  batch->folders.insert(folders.begin(), folders.end());
  while (!batch->done) {
    if (m_bSyncing) {
      m_Done.wait(lock);
      continue;
    }
    // Nobody syncs: this caller syncs its batch for everyone in it, and
    // whoever comes meanwhile waits for the next one.
    m_pOpen.reset();
    m_bSyncing = true;
    const std::vector<std::string> batch_folders(batch->folders.begin(), batch->folders.end());
    lock.unlock();
    const bool ok = m_Sync(batch_folders);
    lock.lock();
    batch->ok = ok;
    batch->done = true;
    m_bSyncing = false;
    m_Done.notify_all();
  }
  return batch->ok;
}

CGroupSync& MailStoreSync() {
  static CGroupSync instance(platform::SyncFileSystems);
  return instance;
}
