// A folder sync shared by the threads that change the folder at about the
// same time: on a disk where a sync takes milliseconds, one sync covers the
// changes of every thread that asked meanwhile. The relay's senders make
// their deletions durable this way (while a pass runs, a thread of its own
// runs the syncs, so that no sender waits for the disk between
// transactions), and sessions the names of their spool files: one alone asks
// for the folder's sync, syncs its file meanwhile and then waits for it;
// sessions that commit together run it themselves, one for all of them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/files.h"

class CSharedFolderSync {
 public:
  ~CSharedFolderSync() { Stop(); }

  // Returns once a sync of `folder` (the same folder at every call) that
  // began after this call has ended; false when it failed, or a later one.
  bool Sync(const std::string& folder);
  // Asks for a sync that covers the caller's change: the thread of Start
  // runs it (the call returns at once), or else the caller (it returns
  // when done). False when the last sync failed.
  bool Request(const std::string& folder);
  // Asks the thread of Start for a sync that begins after this call and
  // returns a ticket for Wait; the caller goes on with other work.
  std::uint64_t Ask();
  // Returns once the sync of the ticket (or a later one) has ended, run on
  // the caller when no thread of Start runs; false when it failed.
  bool Wait(const std::string& folder, std::uint64_t ticket);
  // The number of the next sync to begin: a ticket, asked of nobody, that
  // every sync begun from now on covers.
  std::uint64_t Next();
  // Like Wait, but runs the sync on the caller when none runs, also while
  // the thread of Start exists: callers that come together share the sync
  // one of them runs, without waking that thread and being woken by it.
  bool RunOrWait(const std::string& folder, std::uint64_t ticket);
  // The thread that runs the syncs asked for, until Stop; Stop returns once
  // every change asked for before it is covered by a sync (false when that
  // sync failed). With `gather_ms`, a sync begins that long after the
  // change that asked for it, and covers every change made meanwhile:
  // for changes that nobody waits for, fewer syncs at the price of a later
  // one.
  void Start(const std::string& folder, unsigned gather_ms = 0);
  bool Stop();
  // From now on every sync is of `held` (open for as long as this object
  // lives), not of the folder its path names: no open and close per sync.
  void Hold(const platform::Folder& held);

 private:
  // One sync, with the lock held on entry and exit.
  bool RunOne(std::unique_lock<std::mutex>& lock, const std::string& folder);
  bool WaitLocked(std::unique_lock<std::mutex>& lock, const std::string& folder, std::uint64_t needed,
                  bool run_here);
  void RunSyncs(const std::string& folder);

  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::uint64_t m_nStarted = 0;   // syncs begun
  std::uint64_t m_nFinished = 0;  // syncs ended, in the order begun
  std::uint64_t m_nLastFailed = 0;
  bool m_bRunning = false;
  bool m_bPending = false;  // a change asked for that no sync begun since covers
  bool m_bStopping = false;
  bool m_bSyncing = false;  // the thread of Start takes what is asked for
  unsigned m_nGatherMs = 0;
  const platform::Folder* m_pHeld = nullptr;
  std::thread m_Syncer;
};
