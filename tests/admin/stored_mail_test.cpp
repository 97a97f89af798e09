// The queue and bad-mail folders as quillctl sees them: only "*.eml" plain
// files are messages, oldest first, with the envelope the store reads; ids
// are found only among the folder's own names; a retried message moves into
// the queue without replacing anything.
#include "admin/stored_mail.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "admin_test_home.h"
#include "platform/paths.h"

namespace admin {
namespace {

namespace fs = std::filesystem;

class StoredMailTest : public AdminTest {
 protected:
  fs::path Folder(const char* name) const { return fs::path(Native("c:\\Mailboxes")) / name; }
  // A message file `age_s` seconds old.
  void Put(const char* folder, const std::string& name, const std::string& text, int age_s = 0) const {
    fs::create_directories(Folder(folder));
    std::ofstream(Folder(folder) / name, std::ios::binary) << text;
    fs::last_write_time(Folder(folder) / name, fs::file_time_type::clock::now() - std::chrono::seconds(age_s));
  }
  static std::vector<std::string> Ids(const std::vector<StoredMessage>& messages) {
    std::vector<std::string> ids;
    for (const StoredMessage& message : messages) ids.push_back(message.id);
    return ids;
  }
};

constexpr const char* kEnvelope =
    "X-Sender: <Alice@Local.Test>\r\nx-receiver: <bob@a.test>\r\n"
    "x-receiver: <carol@b.test>\r\nReceived: from client\r\n\r\nBody\r\n";

TEST_F(StoredMailTest, OnlyMessageFilesAreListedOldestFirstWithTheirEnvelope) {
  Put("queue", "BBBB.eml", kEnvelope, 60);
  Put("queue", "AAAA.EML", "x-sender: <z@y>\r\n\r\n", 600);
  Put("queue", "BBBB.journal", "tries", 30);  // the relay's notes beside a message
  Put("queue", "notes.txt", "x", 900);
  fs::create_directories(Folder("queue") / "folder.eml");

  const std::vector<StoredMessage> messages = ListStoredMessages(MailFolderKind::Queue);
  ASSERT_EQ(Ids(messages), (std::vector<std::string>{"AAAA", "BBBB"}));
  EXPECT_EQ(messages[0].file_name, "AAAA.EML");
  EXPECT_TRUE(messages[0].envelope.recipients.empty());
  const StoredMessage& message = messages[1];
  EXPECT_EQ(message.size, std::string(kEnvelope).size());
  EXPECT_EQ(message.envelope.sender, "<alice@local.test>") << "as the store reads it: lower case";
  EXPECT_EQ(message.envelope.recipients, (std::vector<std::string>{"<bob@a.test>", "<carol@b.test>"}));
  EXPECT_TRUE(ListStoredMessages(MailFolderKind::BadMail).empty()) << "no folder, no messages";
}

TEST_F(StoredMailTest, IdsAreFoundOnlyAmongTheFoldersOwnNames) {
  Put("queue", "ABCD.eml", kEnvelope);
  Put("badmail", "ABCD.eml", kEnvelope);
  std::ofstream(Folder("") / "secret.eml") << "x";
  struct Case {
    const char* id;
    bool found;
  };
  const Case cases[] = {
      {"ABCD", true},
      {"abcd", true},
      {"ABCD.eml", true},
      {"ABC", false},
      {"", false},
      {"../secret", false},
      {"..\\secret.eml", false},
      {"../badmail/ABCD", false},
      {"/etc/passwd", false},
  };
  for (const Case& c : cases) {
    const std::optional<StoredMessage> message = FindStoredMessage(MailFolderKind::Queue, c.id);
    EXPECT_EQ(message.has_value(), c.found) << "'" << c.id << "'";
    if (message) {
      EXPECT_EQ(message->envelope.recipients.size(), 2u) << c.id;
      EXPECT_EQ(platform::FileNamePart(StoredMessagePath(MailFolderKind::Queue, *message)), "ABCD.eml");
    }
  }
}

TEST_F(StoredMailTest, RetryMovesIntoTheQueueAndReplacesNothing) {
  Put("badmail", "ONE.eml", kEnvelope);
  Put("badmail", "TWO.eml", kEnvelope);
  const std::optional<StoredMessage> one = FindStoredMessage(MailFolderKind::BadMail, "one");
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(RetryBadMail(*one), ERROR_SUCCESS) << "the queue folder is made when missing";
  EXPECT_TRUE(fs::exists(Folder("queue") / "ONE.eml"));
  EXPECT_FALSE(fs::exists(Folder("badmail") / "ONE.eml"));

  Put("queue", "TWO.eml", "waiting");
  const std::optional<StoredMessage> two = FindStoredMessage(MailFolderKind::BadMail, "TWO");
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(RetryBadMail(*two), ERROR_ALREADY_EXISTS);
  std::ifstream queued(Folder("queue") / "TWO.eml");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(queued), {}), "waiting");
  EXPECT_TRUE(fs::exists(Folder("badmail") / "TWO.eml"));

  EXPECT_EQ(DeleteStoredMessage(MailFolderKind::BadMail, *two), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(Folder("badmail") / "TWO.eml"));
  EXPECT_NE(DeleteStoredMessage(MailFolderKind::BadMail, *two), ERROR_SUCCESS) << "gone meanwhile";
}

}  // namespace
}  // namespace admin
