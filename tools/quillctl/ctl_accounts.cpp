// quillctl account list|add|remove|passwd|rename: the accounts list with the
// applet's rules (whole user names without regard to case, the admin
// account kept, names that can name a mailbox folder, the size limit), in
// the stored order. Passwords are read from the terminal without echo or
// from standard input, never from the command line, and are never shown.
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "admin/account_list.h"
#include "common/system_messages.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "quillctl/ctl_commands.h"
#include "quillctl/ctl_output.h"

namespace quillctl {
namespace {

using admin::CAccountList;

// The accounts as stored, read without the page's effects (no default
// account stored, no folders made); nothing, after saying why, when the
// list cannot be read.
std::optional<CAccountList> ReadAccounts(const Invocation& invocation) {
  CAccountList accounts(CAccountList::RowOrder::Stored);
  accounts.ReadAccounts();
  if (accounts.ReadProblem()) {
    invocation.Fail(*accounts.ReadProblem());
    return std::nullopt;
  }
  return accounts;
}

// The stored accounts with the one a command names, or nothing after saying
// why.
struct NamedAccount {
  CAccountList accounts;
  int index;
  CUserAccount account;
};

std::optional<NamedAccount> FindAccount(const Invocation& invocation, const std::string& user) {
  std::optional<CAccountList> accounts = ReadAccounts(invocation);
  if (!accounts) return std::nullopt;
  const int index = accounts->FindUser(user);
  if (index < 0) {
    invocation.Fail("there is no account '" + user + "'");
    return std::nullopt;
  }
  const CUserAccount account = accounts->Rows()[static_cast<std::size_t>(index)];
  return NamedAccount{std::move(*accounts), index, account};
}

// After a change: success, or why the list was not stored.
int Stored(const Invocation& invocation, const CAccountList& accounts) {
  if (accounts.Saved()) return kExitOk;
  return invocation.Fail(accounts.TooLargeText().value_or("the accounts could not be stored in the registry"));
}

// The new password: one line of standard input with --password-stdin, else
// typed twice on the terminal.
std::optional<std::string> ReadPassword(const Invocation& invocation, const std::string& user) {
  std::string password;
  if (invocation.Has(kOptPasswordStdin)) {
    if (!std::getline(invocation.io.in, password) && password.empty()) {
      invocation.Fail("no password on standard input");
      return std::nullopt;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else {
    std::string again;
    if (!invocation.io.read_secret || !invocation.io.read_secret("Password for " + user + ": ", password)) {
      invocation.Fail(
          "there is no terminal to type the password on: give it on standard input with "
          "--password-stdin");
      return std::nullopt;
    }
    if (!invocation.io.read_secret("The same password again: ", again) || again != password) {
      invocation.Fail("the two passwords differ");
      return std::nullopt;
    }
  }
  if (const std::optional<std::string> refusal = admin::PasswordRefusal(password)) {
    invocation.Fail(*refusal);
    return std::nullopt;
  }
  return password;
}

}  // namespace

int AccountList(Invocation& invocation) {
  const std::optional<CAccountList> accounts = ReadAccounts(invocation);
  if (!accounts) return kExitFailed;
  if (invocation.Has(kOptJson)) {
    Json list = Json::Array();
    for (const CUserAccount& account : accounts->Rows())
      list.Push(Json::Object()
                    .Set("user", Json::String(account.m_strUser))
                    .Set("full_name", Json::String(account.m_strFullName))
                    .Set("has_password", Json::Bool(!account.m_strPassword.empty())));
    invocation.io.out << list.Dump() << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const CUserAccount& account : accounts->Rows()) rows.push_back({account.m_strUser, account.m_strFullName});
  PrintTable(invocation.io.out, {"USER", "FULL NAME"}, rows);
  return kExitOk;
}

int AccountAdd(Invocation& invocation) {
  const std::string& user = invocation.operands[0];
  std::optional<CAccountList> accounts = ReadAccounts(invocation);
  if (!accounts) return kExitFailed;
  if (const std::optional<std::string> refusal = admin::UserNameRefusal(user)) return invocation.Fail(*refusal);
  if (accounts->FindUser(user) >= 0) return invocation.Fail("there is an account '" + user + "' already");
  const std::optional<std::string> password = ReadPassword(invocation, user);
  if (!password) return kExitFailed;
  if (!accounts->Add(CUserAccount{user, invocation.full_name, *password}))
    return invocation.Fail("the account '" + user + "' was not added");
  invocation.changed = true;
  return Stored(invocation, *accounts);
}

int AccountRemove(Invocation& invocation) {
  std::optional<NamedAccount> named = FindAccount(invocation, invocation.operands[0]);
  if (!named) return kExitFailed;
  if (named->accounts.Remove(named->index) == CAccountList::RemoveResult::AdminRefused)
    return invocation.Fail(admin::kCantDeleteAdminText);
  invocation.changed = true;
  if (const int stored = Stored(invocation, named->accounts); stored != kExitOk) return stored;
  if (!invocation.Has(kOptDeleteMail)) return kExitOk;
  const LONG removed = admin::RemoveMailboxFolder(named->account.m_strUser);
  if (removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND || removed == ERROR_PATH_NOT_FOUND) return kExitOk;
  return invocation.Fail("the account is removed, but its mailbox folder is not: " +
                         text::TrimRight(SystemErrorText(removed)));
}

int AccountPasswd(Invocation& invocation) {
  std::optional<NamedAccount> named = FindAccount(invocation, invocation.operands[0]);
  if (!named) return kExitFailed;
  CUserAccount account = named->account;
  const std::optional<std::string> password = ReadPassword(invocation, account.m_strUser);
  if (!password) return kExitFailed;
  account.m_strPassword = *password;
  if (!named->accounts.Edit(named->index, account))
    return invocation.Fail("the password of '" + account.m_strUser + "' was not changed");
  invocation.changed = true;
  return Stored(invocation, named->accounts);
}

int AccountRename(Invocation& invocation) {
  const std::string& new_user = invocation.operands[1];
  std::optional<NamedAccount> named = FindAccount(invocation, invocation.operands[0]);
  if (!named) return kExitFailed;
  CUserAccount account = named->account;
  const std::string old_user = account.m_strUser;
  if (admin::IsAdminUser(old_user)) return invocation.Fail("the admin account keeps its user name");
  if (const std::optional<std::string> refusal = admin::UserNameRefusal(new_user)) return invocation.Fail(*refusal);
  const int other = named->accounts.FindUser(new_user);
  if (other >= 0 && other != named->index) return invocation.Fail("there is an account '" + new_user + "' already");
  account.m_strUser = new_user;
  if (!named->accounts.Edit(named->index, account))
    return invocation.Fail("the account '" + old_user + "' was not renamed");
  invocation.changed = true;
  if (const int stored = Stored(invocation, named->accounts); stored != kExitOk) return stored;
  // The catch-all account follows the name, so that unknown users' mail
  // keeps reaching a mailbox somebody logs in to.
  if (text::EqualsNoCase(settings::ReadText(settings::kCatchAllAccount), old_user))
    settings::WriteText(settings::kCatchAllAccount, new_user);
  const LONG moved = admin::RenameMailboxFolder(old_user, new_user);
  if (moved == ERROR_SUCCESS || moved == ERROR_FILE_NOT_FOUND) return kExitOk;
  return invocation.Fail("the account is renamed, but its mailbox folder keeps the name '" + old_user +
                         "': " + text::TrimRight(SystemErrorText(moved)));
}

}  // namespace quillctl
