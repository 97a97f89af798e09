// The mailbox view of a POP3 session: a snapshot of the user's folder taken
// at login. Every plain file of the folder is one message, numbered from 1 in
// the order the folder listing returns them; sizes are taken once, with the
// listing (one status look-up per file, relative to the open folder). The
// numbering never changes during the session: DELE only marks, and the marked
// files are deleted when the session ends. Messages are opened and deleted
// by name in the folder opened at login (platform::Folder): a message that
// has gone costs one failed look-up, not a listing of the whole folder.
#include <cstdint>
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

int CPop3Socket::BuildMessageList() {
  m_arrMessages.Reset(std::string());
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
  m_arrMessages.Reset(folder);
  // Only plain files are messages: a symbolic link could lead out of the
  // mailbox, and a pipe or a device could block RETR for good.
  m_Folder.ListPlainFiles([this](std::string_view name, std::uint64_t size) {
    if (IsMessageName(name)) m_arrMessages.Add(name, size);
  });  // no folder: empty mailbox
  m_arrMessages.Seal();
  return 1;
}

void CPop3Socket::DeleteMarkedMessages() {
  if (m_arrMessages.MarkedCount() > 0) {
    if (m_pThread) m_pThread->Log("Deleting messages...");
    // The files go first, several at a time; then each is logged in number
    // order as it always was. No lock of the server is held meanwhile:
    // other sessions and deliveries go on.
    std::vector<std::string_view> names;
    names.reserve(m_arrMessages.MarkedCount());
    for (std::size_t i = 0; i < m_arrMessages.size(); ++i) {
      if (m_arrMessages.IsDeleted(i)) names.push_back(m_arrMessages.FileName(i));
    }
    std::vector<unsigned char> deleted;
    m_Folder.DeleteFiles(names, deleted);
    for (std::size_t i = 0, k = 0; m_pThread && i < m_arrMessages.size(); ++i) {
      if (!m_arrMessages.IsDeleted(i)) continue;
      const std::string path = m_arrMessages.Path(i);
      m_pThread->Log("Deleting " + path + "...");
      if (!deleted[k++]) m_pThread->Log("Failed to delete: " + path);
    }
  }
  m_arrMessages.Reset(std::string());
  m_Folder.Close();
}
