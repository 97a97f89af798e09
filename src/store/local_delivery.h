// Local delivery: a spool file of the drop folder is copied into the mailbox
// folder of each local recipient (or of the catch-all account when the
// recipient has none) and once into the queue folder when any recipient is
// remote; then it is deleted. One thread delivers (the delivery worker,
// delivery_worker.h); nothing here is shared with other threads.
//
// Every copy appears complete or not at all and is synced to disk before
// the spool file goes (a copy is a hard link to the synced spool file, so
// only the folder needs syncing), so a crash or power cut loses nothing that
// was answered "250 OK: Queued as". The folders are synced once for all the
// deliveries that were waiting together (FlushDeliveries), and only then are
// their spool files deleted. A copy that fails (or a spool file that cannot
// be read) keeps the spool file in the drop folder; it is delivered again
// by RetryKeptSpoolFiles, which the server calls on a timer, and when the
// servers next start. The copies that did get made are not made twice:
// each is the spool file itself, or a copy with the same bytes.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/win_types.h"

class CLocalDelivery {
 public:
  // Where delivery's lines go: the trace log's level and the text.
  using LogFunction = std::function<void(int level, const std::string& text)>;
  // Whether the caller's message loop runs, so that a sync may wait for a
  // timer; outside it every delivery is synced at once.
  using LoopCheck = std::function<bool()>;

  CLocalDelivery(LogFunction log, LoopCheck on_loop);
  CLocalDelivery(const CLocalDelivery&) = delete;
  CLocalDelivery& operator=(const CLocalDelivery&) = delete;

  // Delivers one spool file below `mail_folder`; `domains` are the local
  // domains. The catch-all account is read once per delivered file.
  void DeliverSpoolFile(const std::string& path, const std::string& mail_folder,
                        const std::vector<std::string>& domains);
  // Syncs the folders of the deliveries made since the last flush, then
  // deletes their spool files.
  void FlushDeliveries();
  // Delivers the spool files an earlier run left in the drop folder, oldest
  // first, and syncs them.
  void DeliverLeftoverSpoolFiles(const std::string& mail_folder, const std::vector<std::string>& domains);
  // Tries again every spool file kept after a failure since the last try.
  // Only those: a spool file that waits for its first delivery must not be
  // delivered twice (its queued copy may be relayed and gone meanwhile).
  void RetryKeptSpoolFiles(const std::string& mail_folder, const std::vector<std::string>& domains);
  bool HasKeptSpoolFiles() const { return !m_setKeptSpoolFiles.empty(); }

 private:
  void Log(int level, const std::string& text) const;
  // The catch-all account's name, read from the settings; "admin" (with one
  // Error line per unsafe value) when it cannot name a mailbox folder.
  std::string CatchAllAccount();
  // Keeps a spool file in the drop folder for the next try, and says so.
  void Keep(const std::string& path);

  LogFunction m_Log;
  LoopCheck m_OnLoop;
  // Deliveries waiting for their folder sync.
  std::set<std::string> m_setUnsyncedFolders;
  std::vector<std::string> m_lstDeliveredSpoolFiles;
  UINT m_nFlushTimer = 0;  // the pending folder sync
  std::set<std::string> m_setKeptSpoolFiles;  // kept after a failure, for the next try
  std::optional<std::string> m_strUnsafeCatchAll;  // the unsafe catch-all name last reported
};
