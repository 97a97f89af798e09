// Local delivery (see local_delivery.h).
#include "store/local_delivery.h"

#include <algorithm>

#include "common/address.h"
#include "common/log_level.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "common/user_account.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/paths.h"
#include "store/handed_spool_files.h"
#include "store/mail_store.h"

namespace {

// How long delivered copies wait for their folder sync: the syncs of the
// mail arriving meanwhile are made once, instead of competing one by one
// with the syncs of the spool files being received.
constexpr DWORD kDeliverySyncDelayMs = 20;
// Deliveries that may wait for a sync at most.
constexpr std::size_t kMaxUnsyncedDeliveries = 256;

}  // namespace

CLocalDelivery::CLocalDelivery(LogFunction log, LoopCheck on_loop)
    : m_Log(std::move(log)), m_OnLoop(std::move(on_loop)) {}

void CLocalDelivery::Log(int level, const std::string& text) const {
  if (m_Log) m_Log(level, text);
}

void CLocalDelivery::DeliverSpoolFile(const std::string& path, const std::string& mail_folder,
                                      const std::vector<std::string>& domains) {
  const std::string file_name = platform::FileNamePart(path);
  Log(LOG_TRACE, "<SMTP> Incoming message: " + file_name);

  std::vector<std::string> recipients;
  RecipientsRead read;
  if (std::optional<HandedSpoolFile> handed = TakeHandedSpoolFile(path)) {
    // Committed by a session of this process, which knows its recipients;
    // its lock goes here, before any copy appears (a copy is the same file).
    recipients = std::move(handed->recipients);
    read = recipients.empty() ? RecipientsRead::kNone : RecipientsRead::kFound;
  } else {
    read = ReadRecipients(path, recipients);
  }
  // A file that is gone has been taken care of; one that is there but cannot
  // be read (out of descriptors, an I/O error) is an accepted message: it
  // stays for a later attempt.
  if (read == RecipientsRead::kUnreadable && !PathExists(path, false) && !PathExists(path, true)) return;
  bool delivered = read != RecipientsRead::kUnreadable;
  if (read == RecipientsRead::kFound) {
    // Only a repeated delivery needs it; the link makes it then.
    const std::string temp_folder = MailSubfolder(mail_folder, kTempFolder);
    bool queued = false;
    // The catch-all account is read and its folder made once per file, not
    // once per unknown recipient; a folder that already got this file gets
    // no second link of the same name.
    std::string catch_all_folder;
    std::set<std::string> linked_folders;
    for (const std::string& recipient : recipients) {
      std::string folder;
      if (IsLocalDomainName(GetAddressDomain(recipient), domains)) {
        // A user part that cannot name a mailbox (empty, "..", a system
        // folder, a separator) is a user without one: the catch-all account.
        const std::string user = GetAddressUser(recipient);
        if (IsSafeMailboxName(user)) folder = MailSubfolder(mail_folder, user);
        if (folder.empty() || !PathExists(folder, true)) {
          if (catch_all_folder.empty()) {
            catch_all_folder = MailSubfolder(mail_folder, CatchAllAccount());
            CreateFolderPath(catch_all_folder);
          }
          folder = catch_all_folder;
        }
        Log(LOG_TRACE, "<SMTP> Copying message to: " + folder);
      } else {
        // The one queued copy serves every remote recipient: it names them all.
        if (queued) continue;
        queued = true;
        folder = MailSubfolder(mail_folder, kQueueFolder);
        Log(LOG_TRACE, "<SMTP> Copying message to: " + folder);
        CreateFolderPath(folder);
      }
      if (linked_folders.contains(folder)) continue;
      // The spool file is already on disk: the copy is a second name for it.
      if (platform::LinkFileAtomic(path, folder, file_name, temp_folder, false)) {
        m_setUnsyncedFolders.insert(folder);
        linked_folders.insert(folder);
      } else {
        delivered = false;
      }
    }
  }
  // A spool file without recipients has nothing to deliver and goes; one
  // that could not be read or whose copies failed stays for the next start.
  if (!delivered) {
    Keep(path);
    return;
  }
  m_lstDeliveredSpoolFiles.push_back(path);
  // The folders are synced a moment later, once for every delivery made
  // meanwhile: the copies are visible at once, only the sync (and so the
  // removal of the spool files) waits. Outside the server's loop (no
  // window) and for a long backlog the sync happens now.
  if (!m_OnLoop || !m_OnLoop() || m_lstDeliveredSpoolFiles.size() >= kMaxUnsyncedDeliveries) {
    FlushDeliveries();
    return;
  }
  if (m_nFlushTimer == 0) {
    m_nFlushTimer = platform::MessageQueue::ForCurrentThread().SetTimer(kDeliverySyncDelayMs, [this](UINT) {
      FlushDeliveries();
    });
  }
}

std::string CLocalDelivery::CatchAllAccount() {
  std::string name = settings::ReadText(settings::kCatchAllAccount);
  if (IsSafeMailboxName(name)) {
    m_strUnsafeCatchAll.reset();
    return name;
  }
  // A name that cannot be a mailbox folder (empty, "..", a separator, a
  // system folder) would put mail into the mail folder itself or beside it.
  if (m_strUnsafeCatchAll != name) {
    std::string shown = name;
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    Log(LOG_ERROR, "<SMTP> ERROR: CatchAllAccount \"" + shown + "\" cannot name a mailbox, " + kAdminUser +
                       " takes its mail");
    m_strUnsafeCatchAll = name;
  }
  return kAdminUser;
}

void CLocalDelivery::FlushDeliveries() {
  if (m_nFlushTimer != 0) {
    platform::MessageQueue::ForCurrentThread().KillTimer(m_nFlushTimer);
    m_nFlushTimer = 0;
  }
  bool synced = true;
  for (const std::string& folder : m_setUnsyncedFolders) synced = platform::SyncDirectory(folder) && synced;
  m_setUnsyncedFolders.clear();
  // A spool file goes only once its copies are on disk; if a sync failed
  // they stay in the drop folder and are delivered again at the next start.
  for (const std::string& path : m_lstDeliveredSpoolFiles) {
    if (synced) {
      platform::DeleteFile(path);
    } else {
      Keep(path);
    }
  }
  m_lstDeliveredSpoolFiles.clear();
}

void CLocalDelivery::Keep(const std::string& path) {
  Log(LOG_ERROR, "<SMTP> ERROR: Delivery failed, message kept in drop folder: " + platform::FileNamePart(path));
  m_setKeptSpoolFiles.insert(path);
}

void CLocalDelivery::RetryKeptSpoolFiles(const std::string& mail_folder, const std::vector<std::string>& domains) {
  // A file that fails again is kept again, for the try after this one.
  const std::set<std::string> kept = std::move(m_setKeptSpoolFiles);
  m_setKeptSpoolFiles.clear();
  for (const std::string& path : kept) DeliverSpoolFile(path, mail_folder, domains);
  FlushDeliveries();
}

void CLocalDelivery::DeliverLeftoverSpoolFiles(const std::string& mail_folder,
                                               const std::vector<std::string>& domains) {
  const std::string drop = MailSubfolder(mail_folder, kDropFolder);
  std::vector<platform::FindEntry> entries;
  if (!platform::ListFolder(drop, entries)) return;
  std::erase_if(entries, [](const platform::FindEntry& entry) {
    return entry.is_directory || !IsMessageFileName(entry.name);
  });
  // Oldest first, so that mail keeps the order in which it was accepted.
  std::sort(entries.begin(), entries.end(), [](const platform::FindEntry& a, const platform::FindEntry& b) {
    return a.last_write_time != b.last_write_time ? a.last_write_time < b.last_write_time : a.name < b.name;
  });
  for (const platform::FindEntry& entry : entries) DeliverSpoolFile(drop + entry.name, mail_folder, domains);
  FlushDeliveries();
}
