// The accounts list of the User Accounts page and quillctl: loading (the
// page's reversed order, the default admin account, a look without
// effects), whole-name matching on Add and Edit, the admin rule, the size
// limit, passwords, and the mailbox folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "admin/account_list.h"
#include "admin/advanced_settings.h"
#include "common/system_messages.h"
#include "admin_test_home.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "support/hive_fault.h"

namespace admin {
namespace {

namespace fs = std::filesystem;

class AccountListTest : public AdminTest {
 protected:
  static void Store(const std::vector<CUserAccount>& accounts) {
    const serial_list::Bytes bytes = serial_list::WriteAccounts(accounts);
    ASSERT_TRUE(WriteRegBinary("UserAccounts", "Users", bytes.data(), bytes.size()));
  }
  static std::vector<CUserAccount> Stored() {
    std::vector<std::uint8_t> data;
    std::vector<CUserAccount> accounts;
    EXPECT_TRUE(ReadRegBinary("UserAccounts", "Users", data));
    EXPECT_TRUE(serial_list::ReadAccounts(data.data(), data.size(), accounts));
    return accounts;
  }
  static std::vector<std::string> Users(const std::vector<CUserAccount>& accounts) {
    std::vector<std::string> users;
    for (const CUserAccount& account : accounts) users.push_back(account.m_strUser);
    return users;
  }
  static std::vector<std::string> Names(std::initializer_list<const char*> names) {
    return std::vector<std::string>(names.begin(), names.end());
  }
  static CUserAccount Account(const char* user, const char* full_name = "") { return {user, full_name, "pw"}; }
  fs::path Mailbox(const std::string& user) const { return Native("c:\\Mailboxes\\" + user); }
};

TEST_F(AccountListTest, FreshRegistryGetsTheStoredAdminAccountAndItsFolder) {
  CAccountList list;
  list.LoadAccounts();
  ASSERT_EQ(list.Rows().size(), 1u);
  EXPECT_EQ(list.Rows()[0], (CUserAccount{"admin", "Administrator", ""}));
  EXPECT_EQ(Stored(), list.Rows()) << "the default account is written at once";
  EXPECT_TRUE(fs::is_directory(Mailbox("admin")));
}

TEST_F(AccountListTest, RowsShowTheStoredOrderReversedAndAddAppends) {
  Store({Account("anna"), Account("bert"), Account("carl")});
  CAccountList list;
  list.LoadAccounts();
  EXPECT_EQ(Users(list.Rows()), Names({"carl", "bert", "anna"}));
  for (const char* user : {"anna", "bert", "carl"}) EXPECT_TRUE(fs::is_directory(Mailbox(user))) << user;

  EXPECT_EQ(list.Add(Account("dora", "Dora Holm")), 3);
  EXPECT_EQ(Users(Stored()), Names({"carl", "bert", "anna", "dora"}));
  EXPECT_EQ(Stored()[3], Account("dora", "Dora Holm"));
  EXPECT_TRUE(fs::is_directory(Mailbox("dora")));
}

// quillctl reads the accounts in their stored order, and a look stores
// nothing and makes no folder; a change stores the rows as read.
TEST_F(AccountListTest, ALookKeepsTheStoredOrderAndChangesNothing) {
  CAccountList fresh(CAccountList::RowOrder::Stored);
  fresh.ReadAccounts();
  EXPECT_EQ(Users(fresh.Rows()), Names({"admin"})) << "the default account";
  std::vector<std::uint8_t> data;
  EXPECT_FALSE(ReadRegBinary("UserAccounts", "Users", data)) << "not stored by a look";
  EXPECT_FALSE(fs::exists(Mailbox("admin")));
  ASSERT_TRUE(fresh.Add(Account("dora")).has_value());
  EXPECT_EQ(Users(Stored()), Names({"admin", "dora"})) << "the first change stores the default account too";

  Store({Account("anna"), Account("bert")});
  CAccountList stored(CAccountList::RowOrder::Stored);
  stored.ReadAccounts();
  EXPECT_EQ(Users(stored.Rows()), Names({"anna", "bert"}));
  EXPECT_FALSE(fs::exists(Mailbox("anna")));
  ASSERT_TRUE(stored.Add(Account("carl")).has_value());
  EXPECT_TRUE(stored.Saved());
  EXPECT_EQ(Users(Stored()), Names({"anna", "bert", "carl"}));

  EXPECT_EQ(PasswordRefusal("").value_or(""), kEmptyPasswordText);
  EXPECT_FALSE(PasswordRefusal(" ").has_value()) << "any other password is the user's choice";
}

TEST_F(AccountListTest, AddMatchesWholeUserNamesWithoutRegardToCase) {
  struct Case {
    const char* user;
    bool added;
  };
  const Case cases[] = {
      {"john", true},     // a prefix of johnny is another user
      {"johnny", false},  // listed
      {"JOHNNY", false},  // listed, other case
      {"johnnyb", true},  // johnny is a prefix of it
  };
  for (const Case& c : cases) {
    Store({Account("johnny")});
    CAccountList list;
    list.LoadAccounts();
    EXPECT_EQ(list.Add(Account(c.user)).has_value(), c.added) << "'" << c.user << "'";
    EXPECT_EQ(Stored().size(), c.added ? 2u : 1u) << "'" << c.user << "'";
  }
}

TEST_F(AccountListTest, EditKeepsNamesUniqueAndAllowsTheRowItself) {
  struct Case {
    const char* label;
    int row;  // rows: bob, bobby, admin
    CUserAccount entered;
    bool stored;
  };
  const Case cases[] = {
      {"full name of bob below bobby", 0, {"bob", "Bob Brown", "pw"}, true},
      {"bob renamed in other case", 0, {"BOB", "", "pw"}, true},
      {"bob renamed to bobby", 0, {"bobby", "", "pw"}, false},
      {"bob renamed to ADMIN", 0, {"ADMIN", "", "pw"}, false},
      {"bob renamed to bo", 0, {"bo", "", "pw"}, true},
      {"no such row", 7, {"x", "", ""}, false},
  };
  for (const Case& c : cases) {
    Store({Account("admin"), Account("bobby"), Account("bob")});
    CAccountList list;
    list.LoadAccounts();
    ASSERT_EQ(Users(list.Rows()), Names({"bob", "bobby", "admin"}));
    EXPECT_EQ(list.Edit(c.row, c.entered), c.stored) << c.label;
    if (c.stored) {
      EXPECT_EQ(Stored()[static_cast<std::size_t>(c.row)], c.entered) << c.label;
    } else {
      EXPECT_EQ(Users(Stored()), Names({"admin", "bobby", "bob"})) << c.label << ": nothing stored";
    }
  }
}

// A user name that is empty or cannot name a mailbox folder makes no
// account, neither by Add nor by Edit; the refusal says which.
TEST_F(AccountListTest, UserNamesThatCannotMakeAnAccountAreRefused) {
  struct Case {
    const char* user;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {"", kEmptyUserNameText},      {"  ", kEmptyUserNameText},   {".", kUnsafeUserNameText},
      {"..", kUnsafeUserNameText},   {"queue", kUnsafeUserNameText}, {"DROP", kUnsafeUserNameText},
      {"a\\b", kUnsafeUserNameText}, {"a/b", kUnsafeUserNameText},  {"c:x", kUnsafeUserNameText},
      {"tab\tin", kUnsafeUserNameText}, {"dora", nullptr},          {"queue2", nullptr},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> refusal = UserNameRefusal(c.user);
    EXPECT_EQ(refusal.value_or("accepted"), c.refusal ? c.refusal : "accepted") << "'" << c.user << "'";
    for (const bool edit : {false, true}) {
      Store({Account("admin"), Account("bert")});
      CAccountList list;
      list.LoadAccounts();
      const bool changed = edit ? list.Edit(0, Account(c.user)) : list.Add(Account(c.user)).has_value();
      EXPECT_EQ(changed, c.refusal == nullptr) << "'" << c.user << "'" << (edit ? " by Edit" : " by Add");
      if (c.refusal) {
        EXPECT_EQ(Users(Stored()), Names({"admin", "bert"})) << "'" << c.user << "': nothing stored";
      }
    }
  }
}

TEST_F(AccountListTest, AdminCannotBeRemovedOthersCan) {
  Store({Account("Admin"), Account("bert")});
  CAccountList list;
  list.LoadAccounts();
  std::string removed;
  EXPECT_EQ(list.Remove(1, &removed), CAccountList::RemoveResult::AdminRefused);
  EXPECT_EQ(list.Remove(-1), CAccountList::RemoveResult::NoRow);
  EXPECT_EQ(list.Remove(2), CAccountList::RemoveResult::NoRow);
  EXPECT_EQ(Users(Stored()), Names({"Admin", "bert"})) << "refusals store nothing";
  EXPECT_EQ(list.Remove(0, &removed), CAccountList::RemoveResult::Removed);
  EXPECT_EQ(removed, "bert");
  EXPECT_EQ(Users(Stored()), Names({"Admin"}));
}

TEST_F(AccountListTest, TooLargeOrMalformedStoredListsShowNoAccounts) {
  struct Case {
    const char* label;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<std::uint8_t> large = serial_list::WriteTexts(std::vector<std::string>(1, std::string(4200, 'x')));
  const Case cases[] = {
      {"4096 bytes or more", large},
      {"count without elements", {0x02, 0x00, 0x01, 'a'}},
      {"empty list", {0x00, 0x00}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteRegBinary("UserAccounts", "Users", c.bytes.data(), c.bytes.size()));
    CAccountList list;
    list.LoadAccounts();
    EXPECT_TRUE(list.Rows().empty()) << c.label;
    const bool empty_list = c.bytes.size() == 2;
    EXPECT_EQ(list.ReadProblem().has_value(), !empty_list) << c.label;
    EXPECT_EQ(list.Add(Account("dora")).has_value(), empty_list) << c.label;
    if (!empty_list) {
      std::vector<std::uint8_t> after;
      ReadRegBinary("UserAccounts", "Users", after);
      EXPECT_EQ(after, c.bytes) << c.label << ": no default account, no new one is stored";
    }
  }
}

// A registry read error other than "value not found" is never taken for
// "no accounts": no default admin replaces the stored list, neither then
// nor by a later change, and the catch-all combo stays as it is.
TEST_F(AccountListTest, ARegistryReadErrorNeverReplacesTheAccountsWithAdmin) {
  Store({Account("anna"), Account("bert")});
  CAccountList list;
  {
    ScopedUnreadableHive unreadable;
    list.LoadAccounts();
    EXPECT_FALSE(ReadCatchAllChoices().has_value());
  }
  EXPECT_TRUE(list.Rows().empty());
  const std::string problem = list.ReadProblem().value_or("");
  EXPECT_EQ(problem.rfind("The list of user accounts cannot be read. Access is denied.", 0), 0u) << problem;
  EXPECT_FALSE(list.Add(Account("dora")).has_value());
  EXPECT_FALSE(list.SaveAccounts());
  EXPECT_EQ(Users(Stored()), Names({"anna", "bert"}));
  EXPECT_FALSE(fs::exists(Mailbox("admin")));
}

TEST_F(AccountListTest, AListAbove4095BytesIsNotStored) {
  Store({Account("anna")});
  CAccountList list;
  list.LoadAccounts();
  CUserAccount big{"bert", std::string(1300, 'f'), ""};
  for (int i = 0; i < 3; ++i) {
    big.m_strUser = "user" + std::to_string(i);
    ASSERT_TRUE(list.Add(big).has_value());
  }
  EXPECT_EQ(Stored().size(), 4u) << "about 4 KB still fit";
  EXPECT_FALSE(list.TooLargeText().has_value());
  big.m_strUser = "last";
  ASSERT_TRUE(list.Add(big).has_value()) << "the row is kept";
  EXPECT_FALSE(list.SaveAccounts());
  EXPECT_EQ(Stored().size(), 4u) << "the previous value stays";
  const std::string message = list.TooLargeText().value_or("");
  EXPECT_EQ(message.rfind("The list of user accounts is too large for the mail service: it takes 52", 0), 0u)
      << message;
}

TEST_F(AccountListTest, RemovingTheMailboxDeletesMessagesAndTheFolder) {
  const fs::path folder = Mailbox("anna");
  fs::create_directories(folder / "sub.eml");
  for (const char* name : {"1.eml", "2.EML"}) std::ofstream(folder / name) << "x";
  fs::remove(folder / "sub.eml");
  EXPECT_EQ(RemoveMailboxFolder("anna"), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(folder));

  fs::create_directories(folder);
  std::ofstream(folder / "3.eml") << "x";
  std::ofstream(folder / "notes.txt") << "x";
  EXPECT_EQ(RemoveMailboxFolder("anna"), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(SystemErrorText(ERROR_DIR_NOT_EMPTY), "The directory is not empty.\r\n");
  EXPECT_FALSE(fs::exists(folder / "3.eml"));
  EXPECT_TRUE(fs::exists(folder / "notes.txt"));

  EXPECT_NE(RemoveMailboxFolder("nobody"), ERROR_SUCCESS) << "no folder to remove";
}

TEST_F(AccountListTest, RenamingTheMailboxFolderTakesItsMessagesAlong) {
  struct Case {
    const char* label;
    const char* user;
    const char* new_user;
    bool target_exists;
    LONG result;
    const char* holder;  // the folder that holds anna's message afterwards
  };
  const Case cases[] = {
      {"another name", "anna", "anne", false, ERROR_SUCCESS, "anne"},
      {"only other case", "anna", "ANNA", false, ERROR_SUCCESS, "anna"},
      {"name taken by a folder", "anna", "bert", true, ERROR_ALREADY_EXISTS, "anna"},
      {"no folder", "nobody", "anne", false, ERROR_FILE_NOT_FOUND, "anna"},
      {"unsafe new name", "anna", "..", false, ERROR_INVALID_NAME, "anna"},
      {"unsafe old name", "queue", "anne", false, ERROR_INVALID_NAME, "anna"},
  };
  for (const Case& c : cases) {
    fs::remove_all(Native("c:\\Mailboxes"));
    fs::create_directories(Mailbox("anna"));
    std::ofstream(Mailbox("anna") / "1.eml") << "x";
    if (c.target_exists) fs::create_directories(Mailbox(c.new_user));
    EXPECT_EQ(RenameMailboxFolder(c.user, c.new_user), c.result) << c.label;
    EXPECT_TRUE(fs::exists(Mailbox(c.holder) / "1.eml")) << c.label;
  }
}

// A user name that cannot name a mailbox folder never makes or deletes
// anything outside the accounts' folders.
TEST_F(AccountListTest, NamesOutsideTheMailStoreTouchNothing) {
  const fs::path root = Native("c:\\Mailboxes");
  fs::create_directories(root / "queue");
  std::ofstream(root / "keep.eml") << "x";
  std::ofstream(root / "queue" / "q.eml") << "x";
  for (const char* user : {"", "..", ".", "queue", "DROP", "a\\b", "a/b"}) {
    EXPECT_EQ(RemoveMailboxFolder(user), ERROR_INVALID_NAME) << "'" << user << "'";
    EXPECT_FALSE(CreateMailboxFolder(user)) << "'" << user << "'";
  }
  EXPECT_TRUE(fs::exists(root / "keep.eml"));
  EXPECT_TRUE(fs::exists(root / "queue" / "q.eml"));
}

}  // namespace
}  // namespace admin
