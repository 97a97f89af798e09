// The mailbox view of a POP3 session: a snapshot of the user's folder taken
// at login. Every plain file of the folder is one message, numbered from 1 in
// the order the folder listing returns them; sizes are taken once. The
// numbering never changes during the session: DELE only marks, and the marked
// files are deleted when the session ends. Messages are opened and deleted
// by name in the folder opened at login (platform::Folder): a message that
// has gone costs one failed look-up, not a listing of the whole folder.
#include <string>
#include <string_view>
#include <vector>

#include "store/mail_store.h"
#include "net/server_link.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "pop3/pop3_socket.h"

namespace {

// A file of the folder is a message only when its name can go into a reply
// as the one word it is meant to be: the unique id is the name less its
// extension, and a blank or a control character in it (a CR LF above all)
// would break the UIDL listing for the client. Such a file is no message at
// all, so that every command numbers the messages alike. A backslash would
// split the path text the snapshot keeps; local delivery makes none of these.
bool IsMessageName(std::string_view name) {
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '\\') return false;
  }
  return !name.empty();
}

}  // namespace

std::string CPop3Message::FileName() const { return platform::FileNamePart(m_strPath); }

std::string CPop3Message::UniqueId() const {
  std::string name = FileName();
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

int CPop3Socket::BuildMessageList() {
  m_arrMessages.clear();
  m_Folder.Close();
  // The user name goes into a path as the client typed it; a name that could
  // reach outside its own folder (or into a system folder) has no mailbox.
  if (!IsSafeMailboxName(m_strUser)) return 1;
  CServerLink* server = m_pThread ? m_pThread->Server() : nullptr;
  // No mail folder: the server has stopped (its link is empty).
  const std::string mail_folder = server ? server->GetMailFolder() : std::string();
  if (mail_folder.empty()) return 1;

  // The path lookup finds the folder whatever the letter case of the name.
  const std::string folder = MailSubfolder(mail_folder, m_strUser);
  m_Folder = platform::Folder::Open(folder);
  std::vector<platform::FindEntry> entries;
  if (!m_Folder.List(entries)) return 1;  // no folder: empty mailbox
  for (const platform::FindEntry& entry : entries) {
    // Only plain files are messages: a symbolic link could lead out of the
    // mailbox, and a pipe or a device could block RETR for good.
    if (!entry.is_regular || !IsMessageName(entry.name)) continue;
    CPop3Message message;
    message.m_strPath = folder + entry.name;
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
    if (!m_Folder.DeleteFile(message.FileName()) && m_pThread)
      m_pThread->Log("Failed to delete: " + message.m_strPath);
  }
  m_arrMessages.clear();
  m_Folder.Close();
}
