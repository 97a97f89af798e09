// The queue pass: every file of the queue folder gets one delivery attempt
// per remote recipient (on one of the pass's senders, relay_thread_pool.cpp)
// and then leaves the queue. What cannot be delivered
// (no recipients, a recipient no server accepted, recipients beyond the
// MaxRecipients limit, a file too large to relay) is copied into the
// bad-mail folder first, and a file leaves the queue only once that copy is
// there, so no mail leaves the queue without a trace.
//
// The journal of a file (store/relay_journal.h) records each recipient's
// outcome as soon as it is known. A file that stays in the queue (a stop,
// a crash, a bad-mail copy or a deletion that failed) is taken up again at
// a later pass, and the recipients its journal names are not sent again.
//
// While the relay retries (RetryFor above "0", relay_thread_retry.cpp), a
// recipient that failed in a way that may pass is kept instead, and the
// file stays in the queue until no recipient waits for a next try; a pass
// leaves a file alone until its earliest next try has come.
#include <algorithm>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "common/address.h"
#include "common/system_messages.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "relay/relay_thread_impl.h"
#include "store/mail_store.h"
#include "store/relay_journal.h"

namespace {

// The folder that holds `folder` (the mail folder for the bad-mail folder).
std::string ParentFolder(std::string_view folder) {
  const std::string whole = platform::StripTrailingSeparators(folder);
  const std::size_t separator = whole.find_last_of("\\/");
  if (separator == std::string::npos) return ".";
  return whole.substr(0, separator + 1);
}

// The system's reason for the last failed file operation, for a log line.
std::string LastFileErrorText() { return text::TrimRight(SystemErrorText(platform::LastFileError())); }

const RelayJournalRecord* FindRecord(const std::vector<RelayJournalRecord>& records,
                                     const std::string& recipient) {
  for (const RelayJournalRecord& record : records)
    if (record.recipient == recipient) return &record;
  return nullptr;
}

}  // namespace

void CRelayThread::Impl::ProcessQueue(const char* reason) {
  const std::string folder = QueueFolder();  // without its trailing separator
  Log(reason);

  // Files gone from the queue (delivered elsewhere, deleted by hand) wait
  // for nothing.
  if (!m_mapWaiting.empty()) {
    std::vector<platform::FindEntry> entries;
    platform::ListFolder(folder, entries);
    std::set<std::string> names;
    for (const platform::FindEntry& entry : entries) names.insert(entry.name);
    std::erase_if(m_mapWaiting, [&names](const auto& waiting) { return !names.contains(waiting.first); });
  }
  RunSenders(folder);
  RemoveStrayJournals(folder);
  Log("Finished delivery of mail.");
  // Whatever is still in the queue (locked, undeletable, left by a stop, or
  // arrived during the pass) counts as new at the next change notification.
  m_arrSnapshot.clear();
}

std::time_t CRelayThread::Impl::ProcessFile(Courier& courier, const std::string& folder,
                                            const platform::FindEntry& entry, bool journal) {
  Log("Checking file: " + entry.name);
  QueuedFile file{folder + "\\" + entry.name, entry.name};
  file.journal = journal;

  if (entry.size > m_nMaxMessageBytes) {
    // A file still locked by its writer stays for a later pass.
    if (!WaitUntilReadable(file.path)) return 0;
    Log(text::Format("Message too large to relay: %s has %llu bytes, the limit is %llu.", entry.name.c_str(),
                     static_cast<unsigned long long>(entry.size),
                     static_cast<unsigned long long>(m_nMaxMessageBytes)));
    CopyToBadMail(file);
  } else {
    std::vector<std::string> recipients;
    // Mostly the file opens at once; one still locked by its writer is
    // waited for a while, and stays for a later pass when that is not
    // enough (as does one that cannot be opened at all).
    RecipientsRead read = ReadRecipients(file.path, recipients);
    if (read == RecipientsRead::kUnreadable) {
      if (!WaitUntilReadable(file.path)) return 0;
      read = ReadRecipients(file.path, recipients);
    }
    switch (read) {
      case RecipientsRead::kUnreadable:
        LogError(text::Format("ERROR: Cannot read %s: %s It stays in the queue.", entry.name.c_str(),
                              LastFileErrorText().c_str()));
        return 0;
      case RecipientsRead::kNone:
        Log("Unable to determine recipients for " + entry.name);
        CopyToBadMail(file);
        break;
      case RecipientsRead::kFound:
        if (!HandleRecipients(courier, file, recipients)) return 0;
        // Recipients still to be tried keep the file (and its journal).
        if (file.next_try != 0) {
          CompactJournal(folder, file.name);
          return file.next_try;
        }
        break;
    }
  }

  // The copy that stands for the recipients no server took must exist
  // before the file goes (the Error line of the copy said why it does not).
  if (file.bad_mail_needed && !file.bad_mail_copied) return 0;
  if (!file.removed && !DeleteQueued(file)) {
    Log(text::Format("ERROR: Failed to delete: %s!", file.path.c_str()));
    return 0;
  }
  // The journal goes after the file: a crash in between leaves a stray
  // journal (removed at the end of a pass), never a file without one.
  if (file.journal) {
    const std::string journal_path = RelayJournalPath(folder, file.name);
    if (platform::IsRegularFile(journal_path)) platform::DeleteFile(journal_path);
  }
  return 0;
}

bool CRelayThread::Impl::HandleRecipients(Courier& courier, QueuedFile& file,
                                          const std::vector<std::string>& recipients) {
  const std::string folder = QueueFolder();
  std::vector<RelayJournalRecord> handled;
  if (file.journal && !ReadRelayJournal(RelayJournalPath(folder, file.name), handled)) {
    LogError(text::Format("ERROR: Cannot read the relay journal of %s: %s It stays in the queue.",
                          file.name.c_str(), LastFileErrorText().c_str()));
    return false;
  }
  // A recipient that failed at an earlier pass still needs its copy.
  for (const RelayJournalRecord& record : handled) {
    if (record.state == kRecipientFailed && !file.bad_mail_needed) CopyToBadMail(file);
  }

  // With a limit N > 0 the first N recipients are handled (local ones count,
  // though the server thread has delivered them already); remote ones beyond
  // it would vanish silently, so the file goes to the bad-mail folder for them.
  const int limit = m_Owner.m_nMaxRecipients;
  const std::size_t count =
      limit > 0 ? std::min(recipients.size(), static_cast<std::size_t>(limit)) : recipients.size();
  CRelayJournalWriter journal(folder, file.name);
  // Recipients that failed for good and whose sender is still to hear of it
  // (at this pass, or at one a crash cut short).
  std::vector<RelayJournalRecord> ended;
  for (const RelayJournalRecord& record : handled)
    if (record.state == kRecipientFailed && RelayJournalField(record, kFieldBounce) == kBounceDue)
      ended.push_back(record);
  bool remote_left_over = false;
  for (std::size_t i = count; i < recipients.size(); ++i)
    if (!IsLocalAddress(recipients[i], m_Owner.m_arrDomains)) remote_left_over = true;
  // A file whose one remote recipient is all it holds for the relay, and
  // that has no journal yet, leaves the queue at that recipient's
  // acceptance: one synced deletion in place of a journal written and
  // synced, then deleted.
  std::vector<std::string> remote;
  for (std::size_t i = 0; i < count; ++i)
    if (!IsLocalAddress(recipients[i], m_Owner.m_arrDomains) &&
        std::find(remote.begin(), remote.end(), recipients[i]) == remote.end())
      remote.push_back(recipients[i]);
  QueuedFile* last = handled.empty() && remote.size() == 1 && !remote_left_over ? &file : nullptr;

  std::vector<std::string> seen;  // recipients handled at this pass
  const std::time_t now = std::time(nullptr);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& recipient = recipients[i];
    if (IsLocalAddress(recipient, m_Owner.m_arrDomains)) continue;
    // Named twice in this file.
    if (std::find(seen.begin(), seen.end(), recipient) != seen.end()) continue;
    seen.push_back(recipient);
    // Handled at an earlier pass, or waiting for its next try.
    const RelayJournalRecord* earlier = FindRecord(handled, recipient);
    if (earlier && earlier->state != kRecipientDeferred) continue;
    if (earlier && Retrying()) {
      const std::time_t next_try = static_cast<std::time_t>(RelayJournalNumber(*earlier, kFieldNextTry));
      if (next_try > now) {
        if (file.next_try == 0 || next_try < file.next_try) file.next_try = next_try;
        continue;
      }
    }
    if (StopRequested()) {
      Log("Stopping: " + file.name + " stays in the queue for the next start.");
      return false;
    }
    // The outcome goes to the journal as soon as it is known (an acceptance
    // while the client still talks to the server, OnAccepted): from then on
    // a crash must not send this recipient the message again.
    const Outcome outcome = DeliverToRecipient(courier, file.path, recipient, journal, last);
    if (outcome.delivery == Delivery::kStopped) {
      Log("Stopping: " + file.name + " stays in the queue for the next start.");
      return false;
    }
    if (outcome.delivery == Delivery::kUnreadable) {
      LogError(text::Format("ERROR: Cannot read %s: %s It stays in the queue.", file.name.c_str(),
                            LastFileErrorText().c_str()));
      return false;
    }
    if (outcome.delivery == Delivery::kDelivered) continue;
    if (Retrying()) {
      if (Defer(file, journal, earlier, recipient, outcome, ended)) continue;
    } else {
      Record(journal, file.name, kRecipientFailed, recipient);
    }
    CopyToBadMail(file);
  }
  if (!ended.empty()) SendBounce(file, journal, ended);

  if (remote_left_over) {
    Log(text::Format("Recipient limit of %d reached.", limit));
    CopyToBadMail(file);
  }
  file.journal = file.journal || journal.Started();
  return true;
}

void CRelayThread::Impl::Record(CRelayJournalWriter& journal, const std::string& name, std::string_view state,
                                const std::string& recipient) {
  Record(journal, name, {std::string(state), recipient, {}});
}

void CRelayThread::Impl::Record(CRelayJournalWriter& journal, const std::string& name,
                                const RelayJournalRecord& record) {
  if (journal.Append(record)) return;
  LogError(text::Format("ERROR: Cannot write the relay journal of %s: %s", name.c_str(),
                        LastFileErrorText().c_str()));
}

void CRelayThread::Impl::Courier::OnAccepted() {
  if (!m_Pending.journal) return;
  if (m_Pending.last && m_Impl.RemoveDelivered(*m_Pending.last)) return;
  m_Impl.Record(*m_Pending.journal, m_Pending.file_name, kRecipientDelivered, m_Pending.recipient);
}

bool CRelayThread::Impl::RemoveDelivered(QueuedFile& file) {
  // A copy for the bad-mail folder is still to be made from it.
  if (file.bad_mail_needed || !DeleteQueued(file)) return false;
  file.removed = true;
  // Until the deletion is synced a crash could bring the file back, as it
  // could a journal's record not yet synced, and the recipient would get
  // the message twice. The sync is shared with the other senders' and
  // runs at once, on a thread of its own; the pass ends with it done.
  if (!m_QueueFolderSync.Request(QueueFolder()))
    LogError(text::Format("ERROR: Cannot sync the queue folder: %s A crash now may relay the last messages again.",
                          LastFileErrorText().c_str()));
  return true;
}

bool CRelayThread::Impl::DeleteQueued(const QueuedFile& file) {
  // By the name the listing gave, in the folder the pass holds open: no
  // look-up of the path first.
  return m_QueueDir.IsOpen() ? m_QueueDir.DeleteFile(file.name) : platform::DeleteFile(file.path);
}

std::string CRelayThread::Impl::MailFolder() const { return ParentFolder(m_Owner.m_strQueueFolder); }

void CRelayThread::Impl::CopyToBadMail(QueuedFile& file) {
  const std::string& bad_mail = m_Owner.m_strBadMailFolder;
  Log("Copying message to: " + bad_mail);
  file.bad_mail_needed = true;
  CreateFolderPath(bad_mail);
  const std::string target = platform::StripTrailingSeparators(bad_mail) + "\\" + file.name;
  // The temporary copy lives in the mail folder's ".tmp" folder, on the same
  // file system as the bad-mail folder, so the final rename is atomic.
  if (platform::CopyFileAtomic(file.path, target, MailTempFolder(ParentFolder(bad_mail)), true)) {
    file.bad_mail_copied = true;
    return;
  }
  LogError(text::Format("ERROR: Cannot copy %s to the bad-mail folder: %s It stays in the queue.",
                        file.name.c_str(), LastFileErrorText().c_str()));
}

void CRelayThread::Impl::CompactJournal(const std::string& folder, const std::string& name) {
  const std::string path = RelayJournalPath(folder, name);
  platform::FindEntry status;
  if (!platform::GetFileStatus(path, status) || status.size < kCompactJournalBytes) return;
  std::vector<RelayJournalRecord> records;
  if (ReadRelayJournal(path, records) && RewriteRelayJournal(folder, name, records, MailTempFolder(MailFolder())))
    return;
  LogError(text::Format("ERROR: Cannot rewrite the relay journal of %s: %s", name.c_str(),
                        LastFileErrorText().c_str()));
}

void CRelayThread::Impl::RemoveStrayJournals(const std::string& folder) {
  const std::string journals = RelayJournalFolder(folder);
  std::vector<platform::FindEntry> entries;
  if (!platform::ListFolder(journals, entries)) return;
  for (const platform::FindEntry& entry : entries) {
    if (entry.is_directory) continue;
    platform::FindEntry queued;
    if (!platform::GetFileStatus(folder + "\\" + entry.name, queued)) platform::DeleteFile(journals + entry.name);
  }
}
