// quillctl account: each command's effect on the stored accounts and the
// mailbox folders, its refusals (which store nothing and signal nothing),
// and the password read from standard input or typed twice, never shown.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "ctl_test_support.h"
#include "quillctl/ctl_cli.h"

namespace quillctl {
namespace {

namespace fs = std::filesystem;

class AccountCommandTest : public CtlTest {
 protected:
  // "user:full name:password" for every stored account; "-" when none is stored.
  static std::vector<std::string> Stored() {
    std::vector<std::uint8_t> data;
    if (!ReadRegBinary("UserAccounts", "Users", data)) return {"-"};
    std::vector<CUserAccount> accounts;
    EXPECT_TRUE(serial_list::ReadAccounts(data.data(), data.size(), accounts));
    std::vector<std::string> texts;
    for (const CUserAccount& a : accounts) texts.push_back(a.m_strUser + ":" + a.m_strFullName + ":" + a.m_strPassword);
    return texts;
  }
  fs::path Mailbox(const std::string& user) const { return Native("c:\\Mailboxes\\" + user); }
};

using Words = std::vector<std::string>;

TEST_F(AccountCommandTest, EachCommandChangesTheStoredAccountsOrRefuses) {
  struct Case {
    const char* label;
    Words args;
    std::string input;  // standard input
    Words typed;        // lines typed on the terminal
    int code;
    const char* error;  // the start of the message, for refusals
    Words stored;       // the accounts afterwards
  };
  const Words start = {"admin:Administrator:root", "bob:Bob:old"};
  const Case cases[] = {
      {"add from standard input", {"account", "add", "carol", "--password-stdin", "--full-name", "Carol C"},
       "s3cret\r\n", {}, kExitOk, "", {"admin:Administrator:root", "bob:Bob:old", "carol:Carol C:s3cret"}},
      {"add typed twice", {"account", "add", "carol"}, "", {"pw", "pw"}, kExitOk, "",
       {"admin:Administrator:root", "bob:Bob:old", "carol::pw"}},
      {"add typed differently", {"account", "add", "carol"}, "", {"pw", "pW"}, kExitFailed,
       "quillctl: the two passwords differ", start},
      {"add without terminal", {"account", "add", "carol"}, "pw\n", {}, kExitFailed,
       "quillctl: there is no terminal to type the password on", start},
      {"add with an empty password", {"account", "add", "carol", "--password-stdin"}, "\n", {}, kExitFailed,
       "quillctl: Please enter a password", start},
      {"add with no input", {"account", "add", "carol", "--password-stdin"}, "", {}, kExitFailed,
       "quillctl: no password on standard input", start},
      {"add a listed name in other case", {"account", "add", "BOB", "--password-stdin"}, "pw\n", {}, kExitFailed,
       "quillctl: there is an account 'BOB' already", start},
      {"add a system folder's name", {"account", "add", "queue", "--password-stdin"}, "pw\n", {}, kExitFailed,
       "quillctl: This user name cannot name a mailbox folder", start},
      {"add an empty name", {"account", "add", " ", "--password-stdin"}, "pw\n", {}, kExitFailed,
       "quillctl: Please enter a user name.", start},
      {"remove", {"account", "remove", "BOB"}, "", {}, kExitOk, "", {"admin:Administrator:root"}},
      {"remove admin", {"account", "remove", "Admin"}, "", {}, kExitFailed,
       "quillctl: You can't delete the admin account!", start},
      {"remove nobody", {"account", "remove", "bo"}, "", {}, kExitFailed, "quillctl: there is no account 'bo'", start},
      {"passwd", {"account", "passwd", "bob", "--password-stdin"}, "new\n", {}, kExitOk, "",
       {"admin:Administrator:root", "bob:Bob:new"}},
      {"rename", {"account", "rename", "bob", "robert"}, "", {}, kExitOk, "",
       {"admin:Administrator:root", "robert:Bob:old"}},
      {"rename admin", {"account", "rename", "admin", "boss"}, "", {}, kExitFailed,
       "quillctl: the admin account keeps its user name", start},
      {"rename onto another account", {"account", "rename", "bob", "ADMIN"}, "", {}, kExitFailed,
       "quillctl: there is an account 'ADMIN' already", start},
      {"rename to a path", {"account", "rename", "bob", "../x"}, "", {}, kExitFailed,
       "quillctl: This user name cannot name a mailbox folder", start},
  };
  for (const Case& c : cases) {
    FreshMachine();
    ASSERT_EQ(Ctl({"account", "add", "bob", "--password-stdin", "--full-name", "Bob", "--no-reload"}, "old\n").code,
              kExitOk);
    ASSERT_EQ(Ctl({"account", "passwd", "admin", "--password-stdin", "--no-reload"}, "root\n").code, kExitOk);
    ASSERT_FALSE(ReloadSignalled()) << c.label << ": --no-reload";
    const CtlResult result = Ctl(c.args, c.input, c.typed);
    EXPECT_EQ(result.code, c.code) << c.label << ": " << result.err;
    EXPECT_EQ(result.err.rfind(c.error, 0), 0u) << c.label << ": " << result.err;
    EXPECT_EQ(Stored(), c.stored) << c.label;
    EXPECT_EQ(ReloadSignalled(), c.code == kExitOk) << c.label << ": a change signals the reload";
    EXPECT_EQ(result.out, "") << c.label;
  }
}

TEST_F(AccountCommandTest, MailboxFoldersFollowTheAccounts) {
  ASSERT_EQ(Ctl({"account", "add", "bob", "--password-stdin"}, "pw\n").code, kExitOk);
  EXPECT_TRUE(fs::is_directory(Mailbox("bob")));
  std::ofstream(Mailbox("bob") / "1.eml") << "x";
  ASSERT_EQ(Ctl({"set", "CatchAllAccount", "BOB"}).code, kExitOk);

  ASSERT_EQ(Ctl({"account", "rename", "bob", "robert"}).code, kExitOk);
  EXPECT_TRUE(fs::exists(Mailbox("robert") / "1.eml")) << "the messages move with the name";
  EXPECT_FALSE(fs::exists(Mailbox("bob")));
  EXPECT_EQ(Ctl({"get", "CatchAllAccount"}).out, "robert\n") << "the catch-all account follows";

  ASSERT_EQ(Ctl({"account", "remove", "robert"}).code, kExitOk);
  EXPECT_TRUE(fs::exists(Mailbox("robert") / "1.eml")) << "kept without --delete-mail";
  ASSERT_EQ(Ctl({"account", "add", "robert", "--password-stdin"}, "pw\n").code, kExitOk);
  ASSERT_EQ(Ctl({"account", "remove", "robert", "--delete-mail"}).code, kExitOk);
  EXPECT_FALSE(fs::exists(Mailbox("robert")));
}

TEST_F(AccountCommandTest, ListShowsNamesButNeverPasswords) {
  ASSERT_EQ(Ctl({"account", "add", "bob", "--password-stdin", "--full-name", "Bob Brown"}, "TopSecret\n").code,
            kExitOk);
  const CtlResult text = Ctl({"account", "list"});
  EXPECT_EQ(text.out, "USER   FULL NAME\nadmin  Administrator\nbob    Bob Brown\n");
  const CtlResult json = Ctl({"account", "list", "--json"});
  EXPECT_EQ(json.out,
            "[\n  {\n    \"user\": \"admin\",\n    \"full_name\": \"Administrator\",\n    \"has_password\": false\n  },"
            "\n  {\n    \"user\": \"bob\",\n    \"full_name\": \"Bob Brown\",\n    \"has_password\": true\n  }\n]\n");
  for (const CtlResult& result : {text, json}) EXPECT_EQ(result.out.find("TopSecret"), std::string::npos);
}

}  // namespace
}  // namespace quillctl
