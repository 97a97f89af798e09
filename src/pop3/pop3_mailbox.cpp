// The mailbox view of a POP3 session: a snapshot of the user's folder taken
// at login. Every plain file of the folder is one message, numbered from 1 in
// the order the folder listing returns them; sizes are taken once. The
// numbering never changes during the session: DELE only marks, and the marked
// files are deleted when the session ends.
#include <string>
#include <vector>

#include "store/mail_store.h"
#include "net/server_link.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "pop3/pop3_socket.h"

std::string CPop3Message::UniqueId() const {
  std::string name = platform::FileNamePart(m_strPath);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

int CPop3Socket::BuildMessageList() {
  m_arrMessages.clear();
  // The user name goes into a path as the client typed it; a name that could
  // reach outside its own folder (or into a system folder) has no mailbox.
  if (!IsSafeMailboxName(m_strUser)) return 1;
  CServerLink* server = m_pThread ? m_pThread->Server() : nullptr;
  // No mail folder: the server has stopped (its link is empty).
  const std::string mail_folder = server ? server->GetMailFolder() : std::string();
  if (mail_folder.empty()) return 1;

  // The path lookup finds the folder whatever the letter case of the name.
  const std::string folder = MailSubfolder(mail_folder, m_strUser);
  std::vector<platform::FindEntry> entries;
  if (!platform::ListFolder(folder, entries)) return 1;  // no folder: empty mailbox
  for (const platform::FindEntry& entry : entries) {
    if (entry.is_directory || entry.name == "." || entry.name == "..") continue;
    // A name with a backslash could not be opened again by its path text
    // (and could climb out of the folder); no file of local delivery has one.
    if (entry.name.find('\\') != std::string::npos) continue;
    CPop3Message message;
    message.m_strPath = folder + entry.name;
    // Only plain files are messages: opening a pipe or a device for RETR
    // could block the session for good.
    if (!platform::IsRegularFile(message.m_strPath)) continue;
    message.m_dwSize = static_cast<DWORD>(entry.size);
    m_arrMessages.push_back(std::move(message));
  }
  return 1;
}

void CPop3Socket::DeleteMarkedMessages() {
  bool any_marked = false;
  for (const CPop3Message& message : m_arrMessages) any_marked = any_marked || message.m_bDeleted;
  if (any_marked && m_pThread) m_pThread->Log("Deleting messages...");
  for (const CPop3Message& message : m_arrMessages) {
    if (!message.m_bDeleted) continue;
    if (m_pThread) m_pThread->Log("Deleting " + message.m_strPath + "...");
    if (!platform::DeleteFile(message.m_strPath) && m_pThread)
      m_pThread->Log("Failed to delete: " + message.m_strPath);
  }
  m_arrMessages.clear();
}
