// The mailbox snapshot: which files are messages, whose folder a user name
// reaches, and the deletion of marked messages however the session ends.
#include <functional>

#include "platform/paths.h"
#include "pop3_test_support.h"

namespace pop3_test {
namespace {

TEST_F(Pop3Test, EveryPlainFileIsAMessageAndFoldersAreNot) {
  WriteFileBytes(Mailbox() / "a.eml", "12345");
  WriteFileBytes(Mailbox() / "b.eml", "123");
  WriteFileBytes(Mailbox() / ".hidden", "1");
  fs::create_directory(Mailbox() / "sub");
  WriteFileBytes(Mailbox() / "sub" / "c.eml", "nested");
  LoginBob();
  EXPECT_EQ(Say("STAT"), "+OK 3 9\r\n");
  EXPECT_NE(NumberOf(".hidden"), 0);
  EXPECT_EQ(m_session.m_arrMessages.UniqueId(NumberOf(".hidden") - 1), "");
}

TEST_F(Pop3Test, SizesAreTakenOnceAtLogin) {
  WriteFileBytes(Mailbox() / "a.eml", "12345");
  LoginBob();
  WriteFileBytes(Mailbox() / "a.eml", "1234567890");
  EXPECT_EQ(Say("LIST 1"), "+OK 1 5\r\n");
  // RETR reports the file as it is now.
  EXPECT_EQ(Say("RETR 1"), "+OK 10 octets\r\n1234567890\r\n.\r\n");
}

TEST_F(Pop3Test, UserNameInOtherCaseFindsTheSameFolder) {
  WriteFileBytes(Mailbox() / "a.eml", "12345");
  EXPECT_EQ(Say("USER BoB"), "+OK\r\n");
  EXPECT_EQ(Say("PASS secret"), "+OK authentication successful\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 1 5\r\n");
  EXPECT_EQ(Say("RETR 1"), "+OK 5 octets\r\n12345\r\n.\r\n");
  Say("DELE 1");
  Say("QUIT");
  EXPECT_FALSE(fs::exists(Mailbox() / "a.eml"));
}

TEST_F(Pop3Test, MailFolderWithTrailingSeparatorsAndMissingUserFolder) {
  WriteFileBytes(Mailbox() / "a.eml", "12345");
  m_server.SetMailFolder(m_mail.string() + "\\\\");
  LoginBob();
  EXPECT_EQ(Say("STAT"), "+OK 1 5\r\n");
  EXPECT_EQ(m_session.m_arrMessages.Path(0), SessionPath("a.eml"));
  // Alice has an account but no folder yet: an empty mailbox, no error.
  EXPECT_EQ(Say("USER alice"), "+OK\r\n");
  EXPECT_EQ(Say("PASS wonder"), "+OK authentication successful\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 0 0\r\n");
}

// A user name is a path component: one that could name something other than
// the user's own folder gives an empty mailbox, even with a valid account.
TEST_F(Pop3Test, UnsafeUserNamesHaveAnEmptyMailbox) {
  // Files the names below would reach if they went into the path as typed.
  WriteFileBytes(m_mail / "toplevel.eml", "mail folder itself");
  fs::create_directories(m_mail / "drop");
  WriteFileBytes(m_mail / "drop" / "spool.eml", "a spool file");
  WriteFileBytes(m_root / "outside.eml", "outside the mail folder");
  WriteFileBytes(Mailbox() / "a.eml", "bob's");
  const char* names[] = {".", "..", "drop", "DROP", "..\\bob", "../bob", "bob/..", "c:bob",
                         "bob\\..\\..", "b\tob"};
  for (const char* name : names) {
    m_server.m_arrAccounts.push_back({name, "", "pw"});
    EXPECT_EQ(Say(std::string("USER ") + name), "+OK\r\n") << name;
    EXPECT_EQ(Say("PASS pw"), "+OK authentication successful\r\n") << name;
    EXPECT_EQ(Say("STAT"), "+OK 0 0\r\n") << name;
  }
}

// Only a plain file whose name can be sent as a unique id is a message: a
// link (which could lead out of the mailbox), a pipe or a device (which
// could block RETR), a folder named like a message, and a name with a blank
// or control character are no messages for any command.
TEST_F(Pop3Test, EntriesThatAreNoMessages) {
  WriteFileBytes(m_root / "secret.txt", "outside the mailbox");
  struct Entry {
    const char* what;
    std::function<bool()> make;
  } entries[] = {
      {"link to a file outside", [&] { fs::create_symlink(m_root / "secret.txt", Mailbox() / "link.eml"); return true; }},
      {"link to a device", [&] { fs::create_symlink("/dev/null", Mailbox() / "null.eml"); return true; }},
      {"pipe", [&] { return MakeFifo(Mailbox() / "fifo.eml"); }},
      {"device", [&] { return MakeNullDevice(Mailbox() / "device.eml"); }},
      {"folder", [&] { return fs::create_directory(Mailbox() / "dir.eml"); }},
      {"space", [&] { return WriteFileBytes(Mailbox() / "a b.eml", "x"); }},
      {"tab", [&] { return WriteFileBytes(Mailbox() / "a\tb.eml", "x"); }},
      {"CR LF", [&] { return WriteFileBytes(Mailbox() / "a\r\n.\r\nb.eml", "x"); }},
      {"ESC", [&] { return WriteFileBytes(Mailbox() / "\x1b[2J.eml", "x"); }},
      {"DEL", [&] { return WriteFileBytes(Mailbox() / "a\x7f.eml", "x"); }},
  };
  WriteFileBytes(Mailbox() / "good.eml", "12345");
  for (Entry& entry : entries) {
    // A device node needs the right to make one; the rest of the table runs.
    if (!entry.make() && std::string(entry.what) != "device") ADD_FAILURE() << "cannot make: " << entry.what;
  }
  LoginBob();
  EXPECT_EQ(Say("STAT"), "+OK 1 5\r\n");
  EXPECT_EQ(Say("LIST"), "+OK scan listing follows\r\n1 5\r\n.\r\n");
  EXPECT_EQ(Say("UIDL"), "+OK unique-id listing follows\r\n1 good\r\n.\r\n");
  EXPECT_EQ(Say("RETR 1"), "+OK 5 octets\r\n12345\r\n.\r\n");
  EXPECT_EQ(Say("RETR 2"), "-ERR no such message\r\n");
}

// What a message's name stands for may change after login. RETR and TOP
// then refuse it without following a link or waiting on a pipe, and nothing
// else of the folder takes its place: not a file of the same name in other
// letter case, not at QUIT either.
TEST_F(Pop3Test, AMessageReplacedAfterLoginIsNotSent) {
  WriteFileBytes(m_root / "secret.txt", "outside the mailbox");
  const char* const kNames[] = {"link.eml", "fifo.eml", "dir.eml", "gone.eml", "case.eml"};
  for (const char* name : kNames) WriteFileBytes(Mailbox() / name, "original");
  LoginBob();
  for (const char* name : kNames) fs::remove(Mailbox() / name);
  fs::create_symlink(m_root / "secret.txt", Mailbox() / "link.eml");
  ASSERT_TRUE(MakeFifo(Mailbox() / "fifo.eml"));
  fs::create_directory(Mailbox() / "dir.eml");
  WriteFileBytes(Mailbox() / "CASE.eml", "another message");
  for (const char* name : kNames) {
    const std::string n = std::to_string(NumberOf(name));
    ASSERT_NE(n, "0") << name;
    EXPECT_EQ(Say("RETR " + n), "-ERR no such message\r\n") << name;
    EXPECT_EQ(Say("TOP " + n + " 1"), "-ERR no such message\r\n") << name;
    // The message stays listed with its size from login.
    EXPECT_EQ(Say("LIST " + n), "+OK " + n + " 8\r\n") << name;
    EXPECT_EQ(Say("DELE " + n), "+OK message " + n + " marked as deleted\r\n") << name;
  }
  EXPECT_EQ(Say("QUIT"), "+OK session ended\r\n");
  EXPECT_TRUE(Logged("Failed to delete: " + SessionPath("gone.eml")));
  EXPECT_TRUE(Logged("Failed to delete: " + SessionPath("dir.eml")));
  EXPECT_EQ(ReadFileBytes(Mailbox() / "CASE.eml"), "another message");
  EXPECT_EQ(ReadFileBytes(m_root / "secret.txt"), "outside the mailbox");
  EXPECT_TRUE(fs::is_directory(Mailbox() / "dir.eml"));
}

TEST_F(Pop3Test, QuitDeletesOnlyMarkedMessagesAndLogsEach) {
  WriteFileBytes(Mailbox() / "a.eml", "a");
  WriteFileBytes(Mailbox() / "b.eml", "b");
  WriteFileBytes(Mailbox() / "c.eml", "c");
  LoginBob();
  const int b = NumberOf("b.eml");
  Say("DELE " + std::to_string(b));
  EXPECT_EQ(Say("QUIT"), "+OK session ended\r\n");
  EXPECT_FALSE(fs::exists(Mailbox() / "b.eml"));
  EXPECT_TRUE(fs::exists(Mailbox() / "a.eml"));
  EXPECT_TRUE(fs::exists(Mailbox() / "c.eml"));
  EXPECT_TRUE(m_conn.closed);
  EXPECT_GE(m_conn.quits, 1);
  const auto deleting = std::find(m_conn.log.begin(), m_conn.log.end(), "Deleting messages...");
  ASSERT_NE(deleting, m_conn.log.end());
  ASSERT_NE(deleting + 1, m_conn.log.end());
  EXPECT_EQ(*(deleting + 1), "Deleting " + SessionPath("b.eml") + "...");
  EXPECT_TRUE(m_session.m_arrMessages.empty());
}

TEST_F(Pop3Test, RsetBeforeQuitDeletesNothing) {
  WriteFileBytes(Mailbox() / "a.eml", "a");
  LoginBob();
  Say("DELE 1");
  Say("RSET");
  Say("QUIT");
  EXPECT_TRUE(fs::exists(Mailbox() / "a.eml"));
  EXPECT_FALSE(Logged("Deleting messages..."));
}

TEST_F(Pop3Test, DroppedSessionStillDeletesMarkedMessages) {
  WriteFileBytes(Mailbox() / "a.eml", "a");
  WriteFileBytes(Mailbox() / "b.eml", "b");
  LoginBob();
  Say("DELE " + std::to_string(NumberOf("a.eml")));
  // The connection thread's end runs this whatever ended the session.
  m_session.OnSessionEnd();
  EXPECT_FALSE(fs::exists(Mailbox() / "a.eml"));
  EXPECT_TRUE(fs::exists(Mailbox() / "b.eml"));
  // A second run (QUIT, then the thread's end) finds nothing left to do.
  m_conn.log.clear();
  m_session.OnSessionEnd();
  EXPECT_TRUE(m_conn.log.empty());
}

TEST_F(Pop3Test, FileGoneBeforeTheEndIsReportedAndTheRestDeleted) {
  WriteFileBytes(Mailbox() / "a.eml", "a");
  WriteFileBytes(Mailbox() / "b.eml", "b");
  LoginBob();
  Say("DELE 1");
  Say("DELE 2");
  const std::string first = m_session.m_arrMessages.Path(0);
  fs::remove(Mailbox() / fs::path(platform::FileNamePart(first)));
  EXPECT_EQ(Say("QUIT"), "+OK session ended\r\n");
  EXPECT_TRUE(Logged("Failed to delete: " + first));
  EXPECT_TRUE(fs::is_empty(Mailbox()));
}

}  // namespace
}  // namespace pop3_test
