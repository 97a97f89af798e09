// Spool files as a session writes them: what is handed to the delivery
// (the recipients, the locked file) matches what a reader of the file
// finds, however the envelope was split into writes; and a drop folder that
// is replaced or removed between messages is opened anew, so that every
// name goes where the folder's path points.
#include "store/spool_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "store/handed_spool_files.h"
#include "store/mail_store.h"
#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// Writes `pieces` as one spool file and commits it; its path text.
std::string Spool(const std::vector<std::string>& pieces) {
  CSpoolFile spool;
  EXPECT_TRUE(spool.Begin("c:\\m\\", CreateQueueId()));
  for (const std::string& piece : pieces) EXPECT_TRUE(spool.Write(piece));
  EXPECT_TRUE(spool.Commit());
  return spool.Path();
}

Names FilesIn(const fs::path& folder) {
  Names names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

class SpoolFile : public ::testing::Test {
 protected:
  void TearDown() override { ReleaseSpoolFolder(); }
  TempHome m_home;
  const std::string m_drop = m_home.path() + "/drive_c/m/drop";
};

TEST_F(SpoolFile, HandsOverWhatAReaderOfTheFileFinds) {
  const struct {
    const char* label;
    std::vector<std::string> pieces;
  } cases[] = {
      {"one write", {"x-sender: <a@b>\r\nx-receiver: <Joe@D1.test>\r\nx-receiver:  <ann@d1.test> \r\n"
                     "Received: from c\r\n\r\nx-receiver: <body@d1.test>\r\n"}},
      {"split inside a line and its line end",
       {"x-sender: <a@b>\r\nx-rece", "iver: <joe@d1.test>\r", "\nx-receiver: <ann@d1.test>\r\n",
        "Subject: x\r\n\r\nx-receiver: <no@d1.test>\r\n"}},
      {"a bare CR ends a line", {"x-receiver: <joe@d1.test>\rx-receiver: <ann@d1.test>\r\nSubject: s\r\n"}},
      {"blank and no recipients", {"x-sender: <a@b>\r\nx-receiver: \r\nSubject: s\r\n"}},
      {"only the envelope, without a last line end", {"x-receiver: <joe@d1.test>\r\nx-receiver: <last@d1.test>"}},
      {"a line too long for an envelope", {"x-receiver: <" + std::string(9000, 'a') + ">\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = Spool(c.pieces);
    std::optional<HandedSpoolFile> handed = TakeHandedSpoolFile(path);
    ASSERT_TRUE(handed.has_value());
    EXPECT_FALSE(TakeHandedSpoolFile(path).has_value()) << "taken once";
    // Still locked for its delivery, so no scan of the drop folder reads it.
    Names read;
    EXPECT_EQ(ReadRecipients(path, read), RecipientsRead::kUnreadable);
    handed->file.Close();
    ASSERT_NE(ReadRecipients(path, read), RecipientsRead::kUnreadable);
    EXPECT_EQ(handed->recipients, read);
  }
}

TEST_F(SpoolFile, NamesGoWhereTheDropFolderIsNow) {
  const std::string first = platform::FileNamePart(Spool({"x-receiver: <a@d1.test>\r\n"}));
  fs::rename(m_drop, m_drop + ".old");
  fs::create_directories(m_drop);
  const std::string path = Spool({"x-receiver: <a@d1.test>\r\n"});
  EXPECT_TRUE(PathExists(path, false)) << "in the folder put in place of the first";
  EXPECT_EQ(FilesIn(m_drop + ".old"), Names{first});

  fs::remove_all(m_drop);
  EXPECT_TRUE(PathExists(Spool({"x-receiver: <a@d1.test>\r\n"}), false)) << "in a folder made anew";
  EXPECT_EQ(FilesIn(m_drop).size(), 1u);
  ReleaseHandedSpoolFiles();
}

// Nobody takes them (no delivery runs): the oldest go, and their locks.
TEST_F(SpoolFile, HandedFilesWaitingAreBounded) {
  Names paths;
  for (int i = 0; i < 300; ++i) paths.push_back(Spool({"x-receiver: <a@d1.test>\r\n"}));
  Names read;
  EXPECT_FALSE(TakeHandedSpoolFile(paths.front()).has_value());
  EXPECT_EQ(ReadRecipients(paths.front(), read), RecipientsRead::kFound) << "no longer locked";
  EXPECT_TRUE(TakeHandedSpoolFile(paths.back()).has_value());
  ReleaseHandedSpoolFiles();
  EXPECT_EQ(ReadRecipients(paths[paths.size() - 2], read), RecipientsRead::kFound) << "let go with the rest";
}

}  // namespace
