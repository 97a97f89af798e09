// Mail store helpers: folder creation in Windows and native paths, the
// recipients of a spool file's envelope, waiting for a writer, and the names
// that may become mailbox folders.
#include "store/mail_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/temp_home.h"
#include "platform/files.h"
#include "platform/sync.h"

namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

TEST(MailStore, CreateFolderPathWithDriveLetter) {
  const fs::path drive = TestHome() / "drive_c";
  EXPECT_TRUE(CreateFolderPath("c:\\Mailboxes\\Deep\\bob\\"));
  EXPECT_TRUE(fs::is_directory(drive / "Mailboxes" / "Deep" / "bob"));
  // The folder exists now: the last creation fails, as on Windows.
  EXPECT_FALSE(CreateFolderPath("c:\\Mailboxes\\Deep\\bob"));
  // An existing folder is found without regard to case.
  EXPECT_TRUE(CreateFolderPath("C:\\MAILBOXES\\deep\\carol"));
  EXPECT_TRUE(fs::is_directory(drive / "Mailboxes" / "Deep" / "carol"));

  EXPECT_TRUE(PathExists("c:\\mailboxes\\deep\\BOB\\", true));
  EXPECT_TRUE(PathExists("c:\\Mailboxes\\Deep\\bob", true));
  EXPECT_FALSE(PathExists("c:\\Mailboxes\\Deep\\bob", false));
  EXPECT_FALSE(PathExists("c:\\Mailboxes\\Deep\\dave\\", true));
}

TEST(MailStore, CreateFolderPathNative) {
  const fs::path base = TestHome() / "native";
  const std::string path = (base / "a" / "b" / "c").string() + "/";
  EXPECT_TRUE(CreateFolderPath(path));
  EXPECT_TRUE(fs::is_directory(base / "a" / "b" / "c"));
  EXPECT_TRUE(PathExists(path, true));

  WriteFile(base / "a" / "file.eml", "x");
  EXPECT_TRUE(PathExists((base / "a" / "file.eml").string(), false));
  EXPECT_FALSE(PathExists((base / "a" / "file.eml").string(), true));
  EXPECT_FALSE(PathExists((base / "a" / "missing.eml").string(), false));
}

TEST(MailStore, SubfolderPaths) {
  EXPECT_EQ(MailSubfolder("c:\\Mailboxes\\", "drop"), "c:\\Mailboxes\\drop\\");
  EXPECT_EQ(MailSubfolder("c:\\Mailboxes\\\\", "queue"), "c:\\Mailboxes\\queue\\");
  EXPECT_EQ(MailSubfolder("c:\\Mailboxes", "bob"), "c:\\Mailboxes\\bob\\");

  const std::string temp = MailTempFolder("c:\\TempStore\\");
  EXPECT_EQ(temp, "c:\\TempStore\\.tmp\\");
  EXPECT_TRUE(fs::is_directory(TestHome() / "drive_c" / "TempStore" / ".tmp"));
}

TEST(MailStore, ReadRecipientsTakesOnlyTheLeadingEnvelope) {
  struct Case {
    const char* label;
    std::string content;
    std::vector<std::string> recipients;
  };
  const std::string received = "Received: from client\r\n\tby server\r\n";
  const Case cases[] = {
      {"spool file", "x-sender: a@b\r\nx-receiver: Bob@D1\r\nx-receiver:  carol@d2 \r\n" + received +
                         "Subject: hi\r\n\r\nbody\r\n",
       {"bob@d1", "carol@d2"}},
      {"header line of the message is no recipient",
       "x-sender: a@b\r\nx-receiver: bob@d1\r\n" + received + "X-Receiver: evil@x\r\n\r\nbody\r\n", {"bob@d1"}},
      {"header line right after the envelope", "x-receiver: bob@d1\r\nFrom: x\r\nx-receiver: evil@x\r\n",
       {"bob@d1"}},
      {"either case", "X-SENDER: a@b\r\nX-Receiver: BOB@D1\r\n\r\n", {"bob@d1"}},
      {"LF line ends", "x-sender: a@b\nx-receiver: bob@d1\nx-receiver: c@d\n\n", {"bob@d1", "c@d"}},
      {"CR takes the next character with it", "x-receiver: bob@d1\rXx-receiver: c@d\n", {"bob@d1", "c@d"}},
      {"last line without line end", "x-sender: a@b\r\nx-receiver: last@d", {"last@d"}},
      {"empty line ends the envelope", "x-sender: a@b\r\n\r\nx-receiver: bob@d1\r\n", {}},
      {"no envelope at all", "Subject: x-receiver: bob@d1\r\n\r\n", {}},
      {"receiver not at line start", " x-receiver: bob@d1\r\n", {}},
      {"blank recipient skipped", "x-receiver:   \r\nx-receiver: bob@d1\r\n", {"bob@d1"}},
      {"empty file", "", {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path file = TestHome() / ("recipients" + std::to_string(n++) + ".eml");
    WriteFile(file, c.content);
    std::vector<std::string> recipients{"stale"};
    EXPECT_EQ(ReadRecipients(file.string(), recipients),
              c.recipients.empty() ? RecipientsRead::kNone : RecipientsRead::kFound);
    EXPECT_EQ(recipients, c.recipients);
  }
}

TEST(MailStore, ReadRecipientsAcrossReadChunks) {
  // Many recipients, so that lines and CR LF pairs fall across the reader's
  // chunk boundaries.
  std::string content = "x-sender: a@b\r\n";
  std::vector<std::string> expected;
  for (int i = 0; i < 700; ++i) {
    expected.push_back("user" + std::to_string(i) + "@d" + std::to_string(i % 7));
    content += "x-receiver: " + expected.back() + "\r\n";
  }
  content += "Received: x\r\n\r\nbody\r\n";
  const fs::path file = TestHome() / "many.eml";
  WriteFile(file, content);
  std::vector<std::string> recipients;
  ASSERT_EQ(ReadRecipients(file.string(), recipients), RecipientsRead::kFound);
  EXPECT_EQ(recipients, expected);
}

TEST(MailStore, ReadRecipientsStopsAtAnOverlongLine) {
  const fs::path file = TestHome() / "overlong.eml";
  WriteFile(file, "x-receiver: bob@d1\r\nx-sender: " + std::string(100000, 'a') + "\r\nx-receiver: c@d\r\n");
  std::vector<std::string> recipients;
  EXPECT_EQ(ReadRecipients(file.string(), recipients), RecipientsRead::kFound);
  EXPECT_EQ(recipients, std::vector<std::string>{"bob@d1"});
}

// A file that cannot be opened or read is told apart from one that names
// nobody: its mail must not be taken for mail without recipients.
TEST(MailStore, ReadRecipientsOfAFileThatCannotBeRead) {
  const fs::path held = TestHome() / "held.eml";
  WriteFile(held, "x-receiver: bob@d1\r\n");
  platform::File writer = platform::File::Open(held.string(), platform::File::Mode::ReadExclusive);
  ASSERT_TRUE(writer.IsOpen());
  const fs::path folder = TestHome() / "folder.eml";  // opens, but every read fails
  fs::create_directories(folder);
  const fs::path empty = TestHome() / "nobody.eml";
  WriteFile(empty, "x-sender: a@b\r\n\r\n");

  struct Case {
    const char* label;
    fs::path file;
    RecipientsRead result;
  };
  const Case cases[] = {
      {"missing", TestHome() / "missing.eml", RecipientsRead::kUnreadable},
      {"held by its writer", held, RecipientsRead::kUnreadable},
      {"read error", folder, RecipientsRead::kUnreadable},
      {"read, and names nobody", empty, RecipientsRead::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> recipients{"stale"};
    EXPECT_EQ(ReadRecipients(c.file.string(), recipients), c.result);
    EXPECT_TRUE(recipients.empty());
  }
}

// quillctl's listings read the whole envelope with the same scanner.
TEST(MailStore, ReadEnvelopeGivesTheSenderWithTheRecipients) {
  struct Case {
    std::string content;
    const char* sender;
    std::vector<std::string> recipients;
  };
  const Case cases[] = {
      {"X-Sender: <A@B>\r\nx-receiver: <bob@d1>\r\n\r\nx-sender: late@x\r\n", "<a@b>", {"<bob@d1>"}},
      {"x-receiver: bob@d1\r\nx-sender:  first@x \r\nx-sender: second@x\r\n", "first@x", {"bob@d1"}},
      {"Subject: x-sender: a@b\r\n", "", {}},
  };
  for (const Case& c : cases) {
    const fs::path file = TestHome() / "envelope.eml";
    WriteFile(file, c.content);
    SpoolEnvelope envelope{"stale", {"stale"}};
    EXPECT_TRUE(ReadEnvelope(file.string(), envelope)) << c.content;
    EXPECT_EQ(envelope.sender, c.sender) << c.content;
    EXPECT_EQ(envelope.recipients, c.recipients) << c.content;
  }
  SpoolEnvelope envelope;
  EXPECT_FALSE(ReadEnvelope((TestHome() / "missing.eml").string(), envelope));
  for (const char* name : {"A.eml", "b.EML"}) EXPECT_TRUE(IsMessageFileName(name)) << name;
  for (const char* name : {".eml", "a.eml.journal", "a.em", "eml"}) EXPECT_FALSE(IsMessageFileName(name)) << name;
}

TEST(MailStore, WaitUntilReadable) {
  const fs::path file = TestHome() / "wait.eml";
  WriteFile(file, "x-receiver: bob@d1\r\n");
  const std::string path = file.string();

  EXPECT_TRUE(WaitUntilReadable(path, 0, 10)) << "a file nobody holds";
  EXPECT_FALSE(WaitUntilReadable((TestHome() / "absent.eml").string(), 5000, 10)) << "other failures end at once";

  platform::File holder = platform::File::Open(path, platform::File::Mode::ReadExclusive);
  ASSERT_TRUE(holder.IsOpen());
  const std::uint64_t before = platform::TickCountMs();
  EXPECT_FALSE(WaitUntilReadable(path, 300, 50)) << "held for the whole wait";
  EXPECT_GE(platform::TickCountMs() - before, 300u);

  // Released while the waiter sleeps: the standard wait sees it at a retry.
  std::thread releaser([&holder] {
    platform::SleepMs(1200);
    holder.Close();
  });
  const std::uint64_t start = platform::TickCountMs();
  EXPECT_TRUE(WaitUntilReadable(path));
  const std::uint64_t waited = platform::TickCountMs() - start;
  releaser.join();
  EXPECT_GE(waited, 1200u);
  EXPECT_LT(waited, 5000u);
}

TEST(MailStore, SafeMailboxNames) {
  struct Case {
    const char* label;
    std::string name;
    bool safe;
  };
  const Case cases[] = {
      {"plain", "bob", true},
      {"dots inside", "bob.smith", true},
      {"high bytes", "j\xF6rg", true},
      {"empty", "", false},
      {"dot", ".", false},
      {"dot dot", "..", false},
      {"drop", "Drop", false},
      {"queue", "QUEUE", false},
      {"badmail", "badMail", false},
      {"temp folder", ".TMP", false},
      {"backslash", "..\\bob", false},
      {"slash", "a/b", false},
      {"colon", "c:bob", false},
      {"control", std::string("bo\x01" "b"), false},
      {"line feed", "bob\n", false},
      {"delete", "bob\x7F", false},
      {"zero byte", std::string("bob\0x", 5), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(IsSafeMailboxName(c.name), c.safe);
  }
}

}  // namespace
