// Folder change notification: which changes signal the watch, that it stays
// signalled until re-armed, and that a removed folder ends it.
#include "platform/dir_watch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/temp_home.h"

namespace fs = std::filesystem;

namespace {

bool Signalled(platform::DirWatch& watch, DWORD timeout_ms = 0) {
  return platform::WaitForAny({&watch}, timeout_ms) == 0;
}

class DirWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_folder = fs::path(m_home.path()) / "queue";
    fs::create_directories(m_folder / "sub");
    ASSERT_TRUE(m_watch.Open(m_folder.string()));
  }
  void Touch(const fs::path& path) { std::ofstream(path) << "x"; }

  TempHome m_home;
  fs::path m_folder;
  platform::DirWatch m_watch;
};

TEST_F(DirWatchTest, NameChangesSignalUntilRearmed) {
  EXPECT_FALSE(Signalled(m_watch, 50)) << "a new watch is quiet";
  const fs::path outside = fs::path(m_home.path()) / "outside.eml";
  const struct {
    const char* label;
    std::function<void()> change;
  } cases[] = {
      {"file created", [&] { Touch(m_folder / "a.eml"); }},
      {"file renamed into the folder", [&] { Touch(outside); fs::rename(outside, m_folder / "b.eml"); }},
      {"file deleted", [&] { fs::remove(m_folder / "a.eml"); }},
      {"file renamed out of the folder", [&] { fs::rename(m_folder / "b.eml", outside); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    c.change();
    EXPECT_TRUE(Signalled(m_watch, 1000));
    EXPECT_TRUE(Signalled(m_watch)) << "stays signalled until re-armed";
    EXPECT_TRUE(m_watch.Rearm());
    EXPECT_FALSE(Signalled(m_watch));
  }
}

TEST_F(DirWatchTest, ChangesOfContentsAndSubfoldersAreNotReported) {
  Touch(m_folder / "c.eml");
  ASSERT_TRUE(Signalled(m_watch, 1000));
  ASSERT_TRUE(m_watch.Rearm());
  std::ofstream(m_folder / "c.eml", std::ios::app) << "more";
  Touch(m_folder / "sub" / "deep.eml");
  EXPECT_FALSE(Signalled(m_watch, 100));
}

TEST_F(DirWatchTest, ChangeAfterRearmIsNotLost) {
  Touch(m_folder / "d.eml");
  ASSERT_TRUE(Signalled(m_watch, 1000));
  ASSERT_TRUE(m_watch.Rearm());
  Touch(m_folder / "e.eml");
  EXPECT_TRUE(Signalled(m_watch, 1000));
}

TEST_F(DirWatchTest, RemovedOrMovedFolderEndsTheWatch) {
  const struct {
    const char* label;
    void (*change)(const fs::path& folder);
  } cases[] = {
      {"removed", [](const fs::path& folder) { fs::remove_all(folder); }},
      {"moved away, another made in its place",
       [](const fs::path& folder) {
         fs::rename(folder, fs::path(folder) += ".old");
         fs::create_directory(folder);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(fs::path(m_folder) += ".old");
    fs::create_directories(m_folder);
    ASSERT_TRUE(m_watch.Open(m_folder.string()));
    c.change(m_folder);
    EXPECT_TRUE(Signalled(m_watch, 1000));
    EXPECT_FALSE(m_watch.Rearm());
    EXPECT_EQ(m_watch.ErrorText(), "the folder was removed or moved away");
  }
}

TEST(DirWatch, OpenFailsForAMissingFolderOrAFile) {
  TempHome home;
  platform::DirWatch watch;
  EXPECT_FALSE(watch.Open(home.path() + "/missing"));
  EXPECT_EQ(watch.ErrorText(), "No such file or directory");
  std::ofstream(home.path() + "/file") << "x";
  EXPECT_FALSE(watch.Open(home.path() + "/file"));
  EXPECT_FALSE(watch.IsOpen());
  EXPECT_FALSE(watch.Rearm());
}

}  // namespace
