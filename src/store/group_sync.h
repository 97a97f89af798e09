// Shared syncs of the mail store: every thread that needs what it wrote to
// be durable (a session's spool file under its final name, delivery's
// copies) asks for a sync of the file system of a folder, and all who ask
// while one sync runs are served together by the next one. One sync then
// makes a whole batch of messages durable: a message costs a share of a
// sync instead of the two journal commits of a file sync and a folder sync.
//
// The guarantee is per caller: Sync returns only after a sync that started
// after the call began has ended, so whatever the caller wrote and renamed
// before the call is covered. There is no syncing thread: the first caller
// that finds no sync running makes the sync for everybody waiting (a single
// connection therefore pays exactly one sync, without a hand-over).
//
// Why a file system sync suffices: syncfs(2) writes every dirty page and
// inode of the file system and, on a journalling file system, commits the
// journal and flushes the device's cache before it returns, so the data of
// a spool file, its size and blocks, and its name in the drop folder are all
// on stable storage once it has returned. A write error of a file's data is
// caught per file, before the rename, by File::WriteBack (syncfs reports
// only the errors that happen after its own descriptor was opened).
// Streaming large messages keep their unwritten data small (WriteBehind), so
// that a batch sync never waits for most of another session's 50 MB.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CGroupSync {
 public:
  // Makes the file systems of the folders durable; false when it failed.
  using SyncFunction = std::function<bool(const std::vector<std::string>& folders)>;

  explicit CGroupSync(SyncFunction sync);
  CGroupSync(const CGroupSync&) = delete;
  CGroupSync& operator=(const CGroupSync&) = delete;

  // Waits for a sync, started after this call, of the file systems holding
  // `folders`. False when that sync failed: what the caller wrote may be
  // lost.
  bool Sync(const std::vector<std::string>& folders);
  bool Sync(const std::string& folder) { return Sync(std::vector<std::string>{folder}); }

 private:
  // The callers served by one sync.
  struct Batch {
    std::set<std::string> folders;
    bool done = false;
    bool ok = false;
  };

  SyncFunction m_Sync;
  std::mutex m_Lock;
  std::condition_variable m_Done;
  std::shared_ptr<Batch> m_pOpen;  // joined by new callers; not synced yet
  bool m_bSyncing = false;         // a batch's sync runs
};

// The one instance for the mail store of this process (SyncFileSystems).
CGroupSync& MailStoreSync();
