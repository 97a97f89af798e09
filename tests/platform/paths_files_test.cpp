// Path mapping and the atomic file operations the mail store relies on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win_types.h"
#include "support/scoped_mount.h"
#include "support/temp_home.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& native) {
  std::ifstream in(native, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(MapPath, DriveLettersSeparatorsAndNativePaths) {
  TempHome home;
  const std::string root = home.path();
  struct Case {
    const char* label;
    const char* input;
    std::string expected;
  } cases[] = {
      {"drive letter", "c:\\Mailboxes\\bob", root + "/drive_c/Mailboxes/bob"},
      {"upper-case drive", "D:\\x", root + "/drive_d/x"},
      {"forward slashes", "c:/a/b", root + "/drive_c/a/b"},
      {"runs of separators", "c:\\\\a//\\b", root + "/drive_c/a/b"},
      {"trailing separator kept", "c:\\a\\", root + "/drive_c/a/"},
      {"native path", "/tmp/x/y", "/tmp/x/y"},
      {"native with backslash", "/tmp\\x", "/tmp/x"},
      {"rooted without drive is c:", "\\Mailtrace.log", root + "/drive_c/Mailtrace.log"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::MapPath(c.input), c.expected) << c.label;
}

TEST(MapPath, ExistingComponentsMatchWithoutRegardToCase) {
  TempHome home;
  fs::create_directories(home.path() + "/drive_c/Mailboxes/bob");
  std::ofstream(home.path() + "/drive_c/Mailboxes/bob/Mailtrace.log") << "x";
  EXPECT_EQ(platform::MapPath("C:\\MAILBOXES\\Bob\\mailtrace.LOG"),
            home.path() + "/drive_c/Mailboxes/bob/Mailtrace.log");
  // A new entry keeps the spelling given.
  EXPECT_EQ(platform::MapPath("c:\\mailboxes\\NewUser"), home.path() + "/drive_c/Mailboxes/NewUser");
}

// What must exist already is looked for as spelled first, and without
// regard to case only when that fails: either way the entry on disk is
// found, under its own name, and a missing one is still missing.
TEST(MapPath, OperationsOnExistingEntriesFindThemInAnyCase) {
  TempHome home;
  const std::string m = home.path() + "/drive_c/Mail";
  fs::create_directories(m + "/Bob");
  const auto make_note = [&] { std::ofstream(m + "/Bob/Note.eml") << "text"; };
  make_note();
  using Operation = std::function<bool(const std::string& folder, const std::string& file)>;
  const struct {
    const char* label;
    Operation run;
  } operations[] = {
      {"IsDirectory", [](const std::string& folder, const std::string&) { return platform::IsDirectory(folder); }},
      {"IsRegularFile", [](const std::string&, const std::string& file) { return platform::IsRegularFile(file); }},
      {"GetFileStatus, with the name on disk",
       [](const std::string&, const std::string& file) {
         platform::FindEntry entry;
         return platform::GetFileStatus(file, entry) && entry.name == "Note.eml" && entry.size == 4;
       }},
      {"File::Open to read",
       [](const std::string&, const std::string& file) {
         return platform::File::Open(file, platform::File::Mode::ReadExclusive).IsOpen();
       }},
      {"SyncDirectory", [](const std::string& folder, const std::string&) { return platform::SyncDirectory(folder); }},
      {"LinkFileAtomic",
       [&](const std::string& folder, const std::string& file) {
         const bool linked = platform::LinkFileAtomic(file, folder, "Copy.eml", "c:\\Mail\\.tmp", true) &&
                             fs::equivalent(m + "/Bob/Note.eml", m + "/Bob/Copy.eml");
         fs::remove(m + "/Bob/Copy.eml");
         return linked;
       }},
      {"DeleteFile",
       [&](const std::string&, const std::string& file) {
         const bool deleted = platform::DeleteFile(file) && !fs::exists(m + "/Bob/Note.eml");
         make_note();
         return deleted;
       }},
  };
  const struct {
    const char* folder;
    const char* file;
    bool exists;
  } spellings[] = {
      {"c:\\Mail\\Bob", "c:\\Mail\\Bob\\Note.eml", true},
      {"C:\\MAIL\\bob\\", "c:\\mail\\BOB\\note.EML", true},
      {"c:\\Mail\\Ann", "c:\\Mail\\Bob\\Other.eml", false},
  };
  for (const auto& spelling : spellings) {
    for (const auto& operation : operations) {
      EXPECT_EQ(operation.run(spelling.folder, spelling.file), spelling.exists)
          << operation.label << " of " << spelling.file;
    }
  }
  EXPECT_FALSE(fs::exists(m + "/Bob/Other.eml"));
  EXPECT_FALSE(fs::exists(m + "/Ann"));
}

TEST(MapPath, StripAndNameHelpersTreatBothSeparatorsAlike) {
  EXPECT_EQ(platform::StripTrailingSeparators("c:\\Mail\\\\/"), "c:\\Mail");
  EXPECT_EQ(platform::StripTrailingSeparators("/"), "");
  EXPECT_EQ(platform::FileNamePart("c:\\Mail\\drop\\A.eml"), "A.eml");
  EXPECT_EQ(platform::FileNamePart("/x/y/z.eml"), "z.eml");
  EXPECT_EQ(platform::FileNamePart("plain"), "plain");
}

TEST(Folders, CreateReportsExistingAndListIncludesDotEntries) {
  TempHome home;
  EXPECT_TRUE(platform::CreateDirectory("c:\\store"));
  EXPECT_FALSE(platform::CreateDirectory("c:\\store"));
  EXPECT_EQ(platform::LastFileError(), ERROR_ALREADY_EXISTS);
  std::ofstream(home.path() + "/drive_c/store/a.eml") << "hello";
  fs::create_directories(home.path() + "/drive_c/store/sub");
  std::vector<platform::FindEntry> entries;
  ASSERT_TRUE(platform::ListFolder("c:\\store\\", entries));
  int files = 0, folders = 0;
  for (const auto& e : entries) (e.is_directory ? folders : files)++;
  EXPECT_EQ(files, 1);
  EXPECT_EQ(folders, 3);  // ".", ".." and "sub"
  EXPECT_FALSE(platform::ListFolder("c:\\missing", entries));
  EXPECT_TRUE(platform::IsDirectory("c:\\STORE"));
  EXPECT_TRUE(platform::IsRegularFile("c:\\store\\A.EML"));
  EXPECT_FALSE(platform::DeleteFile("c:\\store\\sub"));  // a folder is no file
}

// Many deletions go through several threads at once: each name's result
// must still be its own, whatever order they ran in.
TEST(Folders, DeleteFilesTellsForEachNameWhetherItWent) {
  TempHome home;
  const fs::path store = home.path() + "/drive_c/store";
  fs::create_directories(store / "sub.eml");
  std::ofstream(home.path() + "/outside.txt") << "kept";
  fs::create_symlink(home.path() + "/outside.txt", store / "link.eml");
  platform::Folder folder = platform::Folder::Open("c:\\store\\");
  ASSERT_TRUE(folder.IsOpen());
  for (const std::size_t count : {std::size_t{3}, std::size_t{300}}) {
    SCOPED_TRACE(count);
    std::vector<std::string> names;
    std::vector<unsigned char> expected;
    for (std::size_t i = 0; i < count; ++i) {
      // Every seventh name has no file; the rest are files.
      names.push_back("m" + std::to_string(i) + ".eml");
      expected.push_back(i % 7 == 3 ? 0 : 1);
      if (expected.back()) std::ofstream(store / names.back()) << i;
    }
    names.insert(names.begin() + static_cast<long>(count / 2), {"sub.eml", "link.eml"});
    expected.insert(expected.begin() + static_cast<long>(count / 2), {0, 1});
    std::ofstream(home.path() + "/outside.txt") << "kept";
    if (!fs::is_symlink(store / "link.eml")) fs::create_symlink(home.path() + "/outside.txt", store / "link.eml");
    const std::vector<std::string_view> views(names.begin(), names.end());
    std::vector<unsigned char> deleted;
    folder.DeleteFiles(views, deleted);
    EXPECT_EQ(deleted, expected);
    for (const std::string& name : names) EXPECT_EQ(fs::exists(fs::symlink_status(store / name)), name == "sub.eml") << name;
    EXPECT_EQ(ReadAll(home.path() + "/outside.txt"), "kept");
  }
}

TEST(AtomicFileWriter, TargetAppearsOnlyOnCommit) {
  TempHome home;
  fs::create_directories(home.path() + "/drive_c/m/drop");
  const std::string target = home.path() + "/drive_c/m/drop/1.eml";
  {
    platform::AtomicFileWriter writer;
    ASSERT_TRUE(writer.Begin("c:\\m\\.tmp", "c:\\m\\drop\\1.eml"));
    ASSERT_TRUE(writer.Write("partial"));
    EXPECT_FALSE(fs::exists(target));
    // A reader asking for an exclusive open sees a file still being written.
    const auto temp = *fs::directory_iterator(home.path() + "/drive_c/m/.tmp");
    platform::File busy = platform::File::Open(temp.path().string(), platform::File::Mode::ReadExclusive);
    EXPECT_FALSE(busy.IsOpen());
    EXPECT_EQ(platform::LastFileError(), ERROR_SHARING_VIOLATION);
  }
  // Destroyed without commit: nothing visible, no temporary file left.
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(fs::is_empty(home.path() + "/drive_c/m/.tmp"));

  platform::AtomicFileWriter writer;
  ASSERT_TRUE(writer.Begin("c:\\m\\.tmp", "c:\\m\\drop\\1.eml"));
  ASSERT_TRUE(writer.Write("complete\r\n"));
  ASSERT_TRUE(writer.Commit());
  EXPECT_EQ(ReadAll(target), "complete\r\n");
  EXPECT_TRUE(fs::is_empty(home.path() + "/drive_c/m/.tmp"));
  platform::File reader = platform::File::Open("c:\\m\\drop\\1.eml", platform::File::Mode::ReadExclusive);
  EXPECT_TRUE(reader.IsOpen());
}

// A file made ahead without a name gets one only when its writer puts it in
// place, never replaces a file of that name, and leaves nothing behind when
// the writer gives up: every way a spool file's write can end.
TEST(AtomicFileWriter, UnnamedFileAppearsOnlyWhenPutInPlace) {
  TempHome home;
  const std::string m = home.path() + "/drive_c/m";
  fs::create_directories(m + "/drop");
  std::ofstream(m + "/drop/taken.eml") << "older";
  enum class End { kSyncedBeside, kCommit, kAbandon };
  const struct {
    const char* label;
    std::string name;
    End end;
    bool placed;
  } cases[] = {
      {"written back, linked, then synced", "1.eml", End::kSyncedBeside, true},
      {"synced, then linked", "2.eml", End::kCommit, true},
      {"given up", "3.eml", End::kAbandon, false},
      {"a name that is taken", "taken.eml", End::kSyncedBeside, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    platform::File unnamed = platform::AtomicFileWriter::MakeUnnamed("c:\\m\\.tmp", "c:\\m\\drop\\");
    ASSERT_TRUE(unnamed.IsOpen());
    platform::AtomicFileWriter writer;
    ASSERT_TRUE(writer.BeginReady(std::move(unnamed), "c:\\m\\drop\\", c.name));
    ASSERT_TRUE(writer.Write("text of " + c.name));
    bool done = false;
    if (c.end == End::kSyncedBeside) done = writer.RenameWrittenBack() && writer.SyncRenamed();
    if (c.end == End::kCommit) done = writer.Commit();
    if (c.end == End::kAbandon) writer.Abandon();
    EXPECT_EQ(done, c.placed);
    if (c.placed) {
      EXPECT_EQ(ReadAll(m + "/drop/" + c.name), "text of " + c.name);
    }
    EXPECT_EQ(fs::exists(m + "/drop/" + c.name), c.placed || c.name == "taken.eml");
    EXPECT_TRUE(fs::is_empty(m + "/.tmp"));
  }
  EXPECT_EQ(ReadAll(m + "/drop/taken.eml"), "older");
  // Without its folder there is no file to be had.
  EXPECT_FALSE(platform::AtomicFileWriter::MakeUnnamed("c:\\m\\nowhere\\.tmp", "c:\\m\\nowhere\\drop\\").IsOpen());
}

// A folder held open tells whether its path still names it, and a writer
// into it names its file there, wherever the path points by then: a sync of
// the held folder must cover the name.
TEST(Folders, HeldFolderIsWhereNamesGoAndKnowsWhenItWasReplaced) {
  TempHome home;
  const std::string m = home.path() + "/drive_c/m";
  fs::create_directories(m + "/drop");
  platform::Folder drop = platform::Folder::Open("c:\\m\\drop\\");
  ASSERT_TRUE(drop.IsOpen());
  EXPECT_TRUE(drop.IsStillAt());
  EXPECT_TRUE(drop.Sync());

  fs::rename(m + "/drop", m + "/old");
  EXPECT_FALSE(drop.IsStillAt()) << "moved away";
  fs::create_directories(m + "/drop");
  EXPECT_FALSE(drop.IsStillAt()) << "another folder in its place";
  for (const bool ready : {true, false}) {
    SCOPED_TRACE(ready ? "made ahead" : "made on demand");
    const std::string name = ready ? "ready.eml" : "new.eml";
    platform::AtomicFileWriter writer;
    ASSERT_TRUE(ready ? writer.BeginReady(platform::AtomicFileWriter::MakeUnnamed("c:\\m\\.tmp", "c:\\m\\drop\\"),
                                          drop, name)
                      : writer.BeginNew("c:\\m\\.tmp", drop, name));
    ASSERT_TRUE(writer.Write("text"));
    platform::File kept;
    ASSERT_TRUE(writer.RenameWrittenBack() && writer.SyncRenamed(&kept));
    EXPECT_EQ(ReadAll(m + "/old/" + name), "text");
    EXPECT_FALSE(fs::exists(m + "/drop/" + name));
    // Kept open, it still holds the writer's lock.
    ASSERT_TRUE(kept.IsOpen());
    EXPECT_FALSE(platform::File::Open(m + "/old/" + name, platform::File::Mode::ReadExclusive).IsOpen());
    kept.Close();
    EXPECT_TRUE(platform::File::Open(m + "/old/" + name, platform::File::Mode::ReadExclusive).IsOpen());
  }

  fs::remove_all(m + "/old");
  EXPECT_FALSE(drop.IsStillAt()) << "removed";
  platform::AtomicFileWriter writer;
  ASSERT_TRUE(writer.BeginReady(platform::AtomicFileWriter::MakeUnnamed("c:\\m\\.tmp", "c:\\m\\drop\\"), drop,
                                "late.eml"));
  EXPECT_FALSE(writer.RenameWrittenBack()) << "no name in a removed folder";
  EXPECT_TRUE(fs::is_empty(m + "/drop"));
}

TEST(CopyFileAtomic, ReplacesTargetAndFailsCleanlyOnMissingSource) {
  TempHome home;
  fs::create_directories(home.path() + "/drive_c/m/bob");
  std::ofstream(home.path() + "/drive_c/m/src.eml") << "new text";
  std::ofstream(home.path() + "/drive_c/m/bob/src.eml") << "old";
  ASSERT_TRUE(platform::CopyFileAtomic("c:\\m\\src.eml", "c:\\m\\bob\\src.eml", "c:\\m\\.tmp", true));
  EXPECT_EQ(ReadAll(home.path() + "/drive_c/m/bob/src.eml"), "new text");
  EXPECT_FALSE(platform::CopyFileAtomic("c:\\m\\none.eml", "c:\\m\\bob\\x.eml", "c:\\m\\.tmp", true));
  EXPECT_EQ(platform::LastFileError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(home.path() + "/drive_c/m/bob/x.eml"));
  // Into a folder that does not exist: fails, leaves no temporary file.
  EXPECT_FALSE(platform::CopyFileAtomic("c:\\m\\src.eml", "c:\\m\\nobody\\x.eml", "c:\\m\\.tmp", true));
  EXPECT_TRUE(fs::is_empty(home.path() + "/drive_c/m/.tmp"));
}

// A mailbox copy is a second name of the spool file: a new name is linked
// directly, a taken one (a delivery repeated after a crash) is replaced, and
// no temporary name is ever left behind.
TEST(LinkFileAtomic, LinksNewNamesAndReplacesTakenOnes) {
  TempHome home;
  const std::string m = home.path() + "/drive_c/m";
  fs::create_directories(m + "/drop");
  fs::create_directories(m + "/bob");
  std::ofstream(m + "/drop/A.eml") << "spooled";
  const auto same_file = [&](const std::string& copy) {
    return fs::equivalent(m + "/drop/A.eml", copy);
  };

  ASSERT_TRUE(platform::LinkFileAtomic("c:\\m\\drop\\A.eml", "c:\\m\\bob\\", "A.eml", "c:\\m\\.tmp", true));
  EXPECT_TRUE(same_file(m + "/bob/A.eml"));

  // The same delivery again: the name is already this file.
  ASSERT_TRUE(platform::LinkFileAtomic("c:\\m\\drop\\A.eml", "c:\\m\\bob\\", "A.eml", "c:\\m\\.tmp", false));
  EXPECT_TRUE(same_file(m + "/bob/A.eml"));

  // A different file under the name is replaced whole.
  fs::remove(m + "/bob/A.eml");
  std::ofstream(m + "/bob/A.eml") << "an older copy";
  ASSERT_TRUE(platform::LinkFileAtomic("c:\\m\\drop\\A.eml", "c:\\m\\bob\\", "A.eml", "c:\\m\\.tmp", false));
  EXPECT_TRUE(same_file(m + "/bob/A.eml"));
  EXPECT_EQ(ReadAll(m + "/bob/A.eml"), "spooled");

  // No target folder, or no source: an error, and nothing made.
  EXPECT_FALSE(platform::LinkFileAtomic("c:\\m\\drop\\A.eml", "c:\\m\\nobody\\", "A.eml", "c:\\m\\.tmp", false));
  EXPECT_FALSE(platform::LinkFileAtomic("c:\\m\\drop\\B.eml", "c:\\m\\bob\\", "B.eml", "c:\\m\\.tmp", false));
  EXPECT_FALSE(fs::exists(m + "/bob/B.eml"));
  if (fs::exists(m + "/.tmp")) {
    EXPECT_TRUE(fs::is_empty(m + "/.tmp"));
  }
}

TEST(MoveFile, RenamesFilesAndFoldersWithoutReplacingAnything) {
  TempHome home;
  const std::string m = home.path() + "/drive_c/m";
  fs::create_directories(m + "/badmail");
  fs::create_directories(m + "/queue");
  fs::create_directories(m + "/anna");
  std::ofstream(m + "/badmail/A.eml") << "a";
  std::ofstream(m + "/badmail/B.eml") << "b";
  std::ofstream(m + "/queue/B.eml") << "queued";
  std::ofstream(m + "/anna/1.eml") << "1";

  EXPECT_TRUE(platform::MoveFile("c:\\m\\badmail\\A.eml", "c:\\m\\queue\\A.eml"));
  EXPECT_EQ(ReadAll(m + "/queue/A.eml"), "a");
  EXPECT_FALSE(fs::exists(m + "/badmail/A.eml"));

  EXPECT_FALSE(platform::MoveFile("c:\\m\\badmail\\B.eml", "c:\\m\\queue\\b.EML")) << "taken, in other case";
  EXPECT_EQ(platform::LastFileError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadAll(m + "/queue/B.eml"), "queued");
  EXPECT_EQ(ReadAll(m + "/badmail/B.eml"), "b");

  EXPECT_TRUE(platform::MoveFile("c:\\m\\Anna", "c:\\m\\anne")) << "a folder with its files";
  EXPECT_EQ(ReadAll(m + "/anne/1.eml"), "1");
  EXPECT_FALSE(platform::MoveFile("c:\\m\\nobody", "c:\\m\\x"));
  EXPECT_EQ(platform::LastFileError(), ERROR_FILE_NOT_FOUND);
}

TEST(File, SeekSetsWhereTheNextReadBegins) {
  TempHome home;
  fs::create_directories(home.path() + "/drive_c");
  std::ofstream(home.path() + "/drive_c/f.txt") << "0123456789";
  platform::File f = platform::File::Open("c:\\f.txt", platform::File::Mode::Read);
  ASSERT_TRUE(f.IsOpen());
  char buffer[4] = {};
  ASSERT_TRUE(f.Seek(7));
  EXPECT_EQ(f.Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "789");
  ASSERT_TRUE(f.Seek(0));
  EXPECT_EQ(f.Read(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "01");
}

// A target folder that is a mount of another file system (where no link can
// be made and no file renamed in from the mail folder's temporary folder):
// the copy appears complete, through a temporary file on that file system,
// and a copy already there with the same bytes is not made again.
TEST(LinkFileAtomic, CopiesIntoAFolderOnAnotherFileSystem) {
  TempHome home;
  const std::string m = home.path() + "/drive_c/m";
  fs::create_directories(m + "/drop");
  std::ofstream(m + "/drop/A.eml") << "spooled";
  ScopedTmpfs mount(m + "/bob");
  if (!mount.Mounted()) GTEST_SKIP() << mount.Error();
  const std::string bob = m + "/bob";
  ASSERT_NE(fs::status(bob).permissions(), fs::perms::unknown);

  ASSERT_TRUE(platform::LinkFileAtomic("c:\\m\\drop\\A.eml", "c:\\m\\bob\\", "A.eml", "c:\\m\\.tmp", true));
  EXPECT_EQ(ReadAll(bob + "/A.eml"), "spooled");
  EXPECT_FALSE(fs::equivalent(m + "/drop/A.eml", bob + "/A.eml")) << "a copy, not a link";

  // Tried again: the copy with the same bytes stays as it is.
  const auto first = fs::last_write_time(bob + "/A.eml");
  fs::permissions(bob + "/A.eml", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_exec);
  ASSERT_TRUE(platform::LinkFileAtomic("c:\\m\\drop\\A.eml", "c:\\m\\bob\\", "A.eml", "c:\\m\\.tmp", true));
  EXPECT_EQ(fs::last_write_time(bob + "/A.eml"), first);
  EXPECT_TRUE((fs::status(bob + "/A.eml").permissions() & fs::perms::others_exec) != fs::perms::none)
      << "not written again";

  // Other bytes under the name are replaced whole.
  std::ofstream(bob + "/A.eml", std::ios::trunc) << "an older copy";
  ASSERT_TRUE(platform::LinkFileAtomic("c:\\m\\drop\\A.eml", "c:\\m\\bob\\", "A.eml", "c:\\m\\.tmp", true));
  EXPECT_EQ(ReadAll(bob + "/A.eml"), "spooled");

  // A written file (a spool file whose drop folder is such a mount) too.
  platform::AtomicFileWriter writer;
  ASSERT_TRUE(writer.Begin("c:\\m\\.tmp", "c:\\m\\bob\\B.eml"));
  ASSERT_TRUE(writer.Write("written"));
  ASSERT_TRUE(writer.Commit());
  EXPECT_EQ(ReadAll(bob + "/B.eml"), "written");

  // Nothing is left under a temporary name, here or there.
  for (const std::string& folder : {m + "/.tmp", bob + "/.tmp"}) {
    if (fs::exists(folder)) {
      EXPECT_TRUE(fs::is_empty(folder)) << folder;
    }
  }
}

TEST(File, AppendSharedNeverTruncatesAndUsesGivenMode) {
  TempHome home;
  {
    platform::File f = platform::File::Open("c:\\log.txt", platform::File::Mode::AppendShared, 0640);
    ASSERT_TRUE(f.IsOpen());
    f.Write("one\r\n");
  }
  {
    platform::File f = platform::File::Open("c:\\log.txt", platform::File::Mode::AppendShared, 0640);
    f.Write("two\r\n");
  }
  const std::string native = home.path() + "/drive_c/log.txt";
  EXPECT_EQ(ReadAll(native), "one\r\ntwo\r\n");
  const auto perms = fs::status(native).permissions();
  EXPECT_EQ(perms & fs::perms::others_read, fs::perms::none);
}

}  // namespace
