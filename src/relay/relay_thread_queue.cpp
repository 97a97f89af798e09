// The queue pass: every file of the queue folder gets one delivery attempt
// per remote recipient and then leaves the queue. What cannot be delivered
// (no recipients, a recipient no server accepted, recipients beyond the
// MaxRecipients limit) is copied into the bad-mail folder first, so no mail
// leaves the queue without a trace.
#include <string>
#include <vector>

#include "common/address.h"
#include "store/mail_store.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "relay/relay_thread_impl.h"

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

// The folder that holds `folder` (the mail folder for the bad-mail folder).
std::string ParentFolder(std::string_view folder) {
  const std::string whole = platform::StripTrailingSeparators(folder);
  const std::size_t separator = whole.find_last_of("\\/");
  if (separator == std::string::npos) return ".";
  return whole.substr(0, separator + 1);
}

}  // namespace

void CRelayThread::Impl::ProcessQueue() {
  const std::string folder = QueueFolder();  // without its trailing separator
  Log("Detected new messages in queue.");

  std::vector<platform::FindEntry> entries;
  platform::ListFolder(folder, entries);
  const int limit = m_Owner.m_nMaxRecipients;
  for (const platform::FindEntry& entry : entries) {
    if (entry.is_directory || IsDotEntry(entry.name)) continue;
    Log("Checking file: " + entry.name);
    const std::string path = folder + "\\" + entry.name;
    // A file still locked by its writer stays for a later pass.
    if (!WaitUntilReadable(path)) continue;

    std::vector<std::string> recipients;
    ReadRecipients(path, recipients);
    if (recipients.empty()) {
      Log("Unable to determine recipients for " + entry.name);
      CopyToBadMail(path, entry.name);
    } else {
      // With a limit N > 0 the first N recipients are handled (local ones
      // count, though the server thread has delivered them already); remote
      // ones beyond it would vanish silently, so the file goes to the
      // bad-mail folder for them.
      const std::size_t handled =
          limit > 0 ? std::min(recipients.size(), static_cast<std::size_t>(limit)) : recipients.size();
      for (std::size_t i = 0; i < handled; ++i) {
        if (IsLocalAddress(recipients[i], m_Owner.m_arrDomains)) continue;
        DeliverToRecipient(path, recipients[i]);
      }
      bool remote_left_over = false;
      for (std::size_t i = handled; i < recipients.size(); ++i)
        if (!IsLocalAddress(recipients[i], m_Owner.m_arrDomains)) remote_left_over = true;
      if (remote_left_over) {
        Log(text::Format("Recipient limit of %d reached.", limit));
        CopyToBadMail(path, entry.name);
      }
    }
    if (!platform::DeleteFile(path)) Log(text::Format("ERROR: Failed to delete: %s!", path.c_str()));
  }
  Log("Finished delivery of mail.");
  // Whatever is still in the queue (locked, undeletable, or arrived during
  // the pass) counts as new at the next change notification.
  m_arrSnapshot.clear();
}

bool CRelayThread::Impl::CopyToBadMail(const std::string& path, const std::string& name) {
  const std::string& bad_mail = m_Owner.m_strBadMailFolder;
  CreateFolderPath(bad_mail);
  const std::string target = platform::StripTrailingSeparators(bad_mail) + "\\" + name;
  // The temporary copy lives in the mail folder's ".tmp" folder, on the same
  // file system as the bad-mail folder, so the final rename is atomic.
  return platform::CopyFileAtomic(path, target, MailTempFolder(ParentFolder(bad_mail)), true);
}
