#include "admin/account_list.h"

#include <algorithm>
#include <cstdint>

#include "common/system_messages.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "store/mail_store.h"

namespace admin {

bool IsAdminUser(const std::string& user) { return text::EqualsNoCase(user, kAdminUser); }

std::optional<std::string> UserNameRefusal(const std::string& user) {
  if (text::Trim(user).empty()) return std::string(kEmptyUserNameText);
  if (!IsSafeMailboxName(user)) return std::string(kUnsafeUserNameText);
  return std::nullopt;
}

std::optional<std::string> PasswordRefusal(const std::string& password) {
  if (password.empty()) return std::string(kEmptyPasswordText);
  return std::nullopt;
}

void CAccountList::LoadAccounts() { Read(true); }

void CAccountList::ReadAccounts() { Read(false); }

void CAccountList::Read(bool with_effects) {
  m_rows.clear();
  m_strReadProblem.reset();
  std::vector<std::uint8_t> data;
  std::string reason;
  std::vector<CUserAccount> stored;
  switch (ReadStoredList(settings::kUsers.section, settings::kUsers.name, kMaxAccountsBytes, data, reason)) {
    case StoredRead::Missing:
      m_rows.push_back(CUserAccount{kAdminUser, kAdminFullName, ""});
      if (with_effects) SaveAccounts();
      break;
    case StoredRead::Read:
      if (!serial_list::ReadAccounts(data.data(), data.size(), stored)) reason = kMalformedListReason;
      m_rows = stored;
      if (m_order == RowOrder::Reversed) std::reverse(m_rows.begin(), m_rows.end());
      break;
    case StoredRead::Unreadable:
      break;
  }
  if (!reason.empty()) {
    m_rows.clear();
    m_strReadProblem = ListUnreadableText(kAccountsListName, reason);
    return;
  }
  if (!with_effects) return;
  for (const CUserAccount& account : m_rows) CreateMailboxFolder(account.m_strUser);
}

bool CAccountList::SaveAccounts() const {
  m_bSaved = false;
  if (m_strReadProblem) return false;
  const serial_list::Bytes bytes = serial_list::WriteAccounts(m_rows);
  if (bytes.size() > kMaxAccountsBytes) return false;
  m_bSaved = WriteRegBinary(settings::kUsers.section, settings::kUsers.name, bytes.data(), bytes.size());
  return m_bSaved;
}

std::optional<std::string> CAccountList::TooLargeText() const {
  const std::size_t size = serial_list::WriteAccounts(m_rows).size();
  if (size <= kMaxAccountsBytes) return std::nullopt;
  return ListTooLargeText(kAccountsListName, size);
}

int CAccountList::FindUser(const std::string& user) const {
  for (std::size_t i = 0; i < m_rows.size(); ++i)
    if (text::EqualsNoCase(m_rows[i].m_strUser, user)) return static_cast<int>(i);
  return -1;
}

std::optional<int> CAccountList::Add(const CUserAccount& account) {
  if (m_strReadProblem || UserNameRefusal(account.m_strUser) || FindUser(account.m_strUser) >= 0)
    return std::nullopt;
  m_rows.push_back(account);
  SaveAccounts();
  CreateMailboxFolder(account.m_strUser);
  return static_cast<int>(m_rows.size()) - 1;
}

bool CAccountList::Edit(int index, const CUserAccount& account) {
  if (index < 0 || index >= static_cast<int>(m_rows.size())) return false;
  if (UserNameRefusal(account.m_strUser)) return false;
  const int match = FindUser(account.m_strUser);
  if (match >= 0 && match != index) return false;
  m_rows[static_cast<std::size_t>(index)] = account;
  SaveAccounts();
  return true;
}

CAccountList::RemoveResult CAccountList::Remove(int index, std::string* removed_user) {
  if (index < 0 || index >= static_cast<int>(m_rows.size())) return RemoveResult::NoRow;
  const std::string user = m_rows[static_cast<std::size_t>(index)].m_strUser;
  if (IsAdminUser(user)) return RemoveResult::AdminRefused;
  m_rows.erase(m_rows.begin() + index);
  SaveAccounts();
  if (removed_user) *removed_user = user;
  return RemoveResult::Removed;
}

namespace {

// Below MailFolder as stored (a mail folder changed on the General page but
// not applied yet is not used).
std::string MailboxFolder(const std::string& user) {
  return MailSubfolder(settings::ReadText(settings::kMailFolder), user);
}

}  // namespace

bool CreateMailboxFolder(const std::string& user) {
  if (!IsSafeMailboxName(user)) return false;
  return CreateFolderPath(MailboxFolder(user));
}

LONG RemoveMailboxFolder(const std::string& user) {
  if (!IsSafeMailboxName(user)) return ERROR_INVALID_NAME;
  const std::string folder = MailboxFolder(user);
  std::vector<platform::FindEntry> entries;
  platform::ListFolder(folder, entries);
  for (const platform::FindEntry& entry : entries) {
    if (entry.is_directory) continue;
    const std::string& name = entry.name;
    if (name.size() >= 4 && text::EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".eml"))
      platform::DeleteFile(folder + name);
  }
  if (platform::RemoveDirectory(platform::StripTrailingSeparators(folder))) return ERROR_SUCCESS;
  return platform::LastFileError();
}

LONG RenameMailboxFolder(const std::string& user, const std::string& new_user) {
  if (!IsSafeMailboxName(user) || !IsSafeMailboxName(new_user)) return ERROR_INVALID_NAME;
  const std::string folder = platform::StripTrailingSeparators(MailboxFolder(user));
  if (!platform::IsDirectory(folder)) return ERROR_FILE_NOT_FOUND;
  // Folder names compare without regard to case: the folder serves a name
  // that differs only in case as it is.
  if (text::EqualsNoCase(user, new_user)) return ERROR_SUCCESS;
  const std::string target = platform::StripTrailingSeparators(MailboxFolder(new_user));
  if (platform::IsDirectory(target)) return ERROR_ALREADY_EXISTS;
  if (platform::MoveFile(folder, target)) return ERROR_SUCCESS;
  return platform::LastFileError();
}

}  // namespace admin
