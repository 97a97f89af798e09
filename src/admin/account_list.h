// The accounts as rows, the working state of the User Accounts page and of
// quillctl's account commands. The page inserts every stored account at the
// top when it loads, so its rows show the stored order reversed; quillctl
// keeps the stored order. Every save stores the rows in row order. The list
// ("UserAccounts" / "Users") is stored at once after every change.
//
// The account "admin" (any case) cannot be removed, and its user name cannot
// be changed in the account dialog. User names are matched as whole names
// without regard to case, so "john" can be added beside "johnny".
//
// A new or edited account needs a user name that can name its mailbox
// folder: not empty, not ".", "..", a system folder of the mail store, and
// without separators. Accounts stored by other means with such names are
// still listed, but get no mailbox folder, so that no file outside the
// account's own folder is ever made or deleted.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "admin/stored_list.h"
#include "common/settings_table.h"
#include "common/user_account.h"
#include "platform/win_types.h"

namespace admin {

// The largest accounts list that is loaded and stored: what the service
// reads.
inline constexpr std::size_t kMaxAccountsBytes = settings::kUsers.service_max_bytes;
inline constexpr const char* kAccountsListName = "user accounts";

class CAccountList {
 public:
  enum class RowOrder {
    Reversed,  // as the User Accounts page shows them: the last stored first
    Stored,
  };
  explicit CAccountList(RowOrder order = RowOrder::Reversed) : m_order(order) {}

  // Reads the stored accounts. A missing value ("value not found") gives the
  // default account admin/Administrator, which is stored at once. A value
  // that cannot be read (any other registry error, larger than
  // kMaxAccountsBytes, malformed) gives no accounts and a ReadProblem: it is
  // never taken for "no accounts" and never overwritten. Then every
  // account's mailbox folder is made.
  void LoadAccounts();
  // The same for a look only: the default account is not stored and no
  // folder is made.
  void ReadAccounts();
  // The message when the stored accounts could not be read, or nothing.
  // While there is one, Add and SaveAccounts change nothing.
  const std::optional<std::string>& ReadProblem() const { return m_strReadProblem; }
  // Stores the rows in row order; false when the list is too large (nothing
  // is written) or the write failed.
  bool SaveAccounts() const;
  // Whether the last save (also the one of Add, Edit or Remove) stored the
  // rows.
  bool Saved() const { return m_bSaved; }
  // The message for Apply and OK when the rows are too large to store, or
  // nothing when they fit.
  std::optional<std::string> TooLargeText() const;

  const std::vector<CUserAccount>& Rows() const { return m_rows; }

  // Index of the row with this user name (whole name, any case), or -1.
  int FindUser(const std::string& user) const;

  // Appends a new account, stores the list and makes its mailbox folder.
  // Its row index, or nothing when the user name is refused (see
  // UserNameRefusal) or listed already.
  std::optional<int> Add(const CUserAccount& account);
  // Replaces the row's account and stores the list; false when there is no
  // such row, the user name is refused, or another row has the user name.
  // The mailbox folder is not renamed.
  bool Edit(int index, const CUserAccount& account);

  enum class RemoveResult { NoRow, AdminRefused, Removed };
  // Deletes the row and stores the list; admin is refused.
  RemoveResult Remove(int index, std::string* removed_user = nullptr);

 private:
  void Read(bool with_effects);

  RowOrder m_order;
  std::vector<CUserAccount> m_rows;
  std::optional<std::string> m_strReadProblem;
  mutable bool m_bSaved = false;
};

bool IsAdminUser(const std::string& user);

// Why a user name cannot be given to a new or edited account, or nothing
// when it can. An empty name (or one of blanks only) would make an account
// that logs in with an empty user name; the others cannot name a mailbox
// folder.
std::optional<std::string> UserNameRefusal(const std::string& user);
inline constexpr const char* kEmptyUserNameText = "Please enter a user name.";
// Why a password cannot be given to an account, or nothing: an empty one
// makes an account that cannot log in. (The account dialog takes any
// password as typed; quillctl asks for one.)
std::optional<std::string> PasswordRefusal(const std::string& password);
inline constexpr const char* kEmptyPasswordText = "Please enter a password: an account without one cannot log in.";
inline constexpr const char* kUnsafeUserNameText =
    "This user name cannot name a mailbox folder. It must not be \".\", \"..\" or a folder of the mail "
    "store (drop, queue, badmail, .tmp), and must not contain \\, /, : or control characters.";

// Makes the mailbox folder of a user below the stored mail folder; false when
// the name cannot name a mailbox folder or the folder could not be made.
bool CreateMailboxFolder(const std::string& user);
// Deletes the user's "*.eml" files and then the folder. ERROR_SUCCESS, or the
// error of removing the folder (for example other files left in it, or no
// folder); ERROR_INVALID_NAME, without touching anything, for a name that
// cannot name a mailbox folder.
LONG RemoveMailboxFolder(const std::string& user);
// Gives the user's mailbox folder, with its messages, the new user name.
// ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when the user has no folder;
// ERROR_ALREADY_EXISTS when the new name has one (nothing is merged);
// ERROR_INVALID_NAME, without touching anything, when either name cannot
// name a mailbox folder.
LONG RenameMailboxFolder(const std::string& user, const std::string& new_user);

inline constexpr const char* kCantDeleteAdminText = "You can't delete the admin account!";
inline constexpr const char* kCantDeleteAdminCaption = "User Accounts";
inline constexpr const char* kRemoveMessagesText = "Do you also want to remove all messages for this user?";
inline constexpr const char* kDeleteAccountCaption = "Delete User Account";

}  // namespace admin
