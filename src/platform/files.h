// Files and folders for the mail store and the trace log.
//
// Every function takes a path text in Windows or native form and maps it with
// MapPath (paths.h). Errors are reported as false (or an invalid File) with
// the Win32 code in LastFileError() of the calling thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace platform {

LONG LastFileError();  // Win32 code of the last failed call on this thread

// Move-only owner of an open file descriptor.
class File {
 public:
  enum class Mode {
    Read,          // existing file, read only
    ReadExclusive, // read, holding the exclusive advisory lock ("no sharing"):
                   // fails with ERROR_SHARING_VIOLATION while a writer holds it
    WriteTruncate, // create or truncate, write only
    AppendShared,  // create if missing, append, others may read (trace log);
                   // never through a symbolic link (another user could aim
                   // it at a file of their choice)
  };
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // mode_bits: permission bits for a file that gets created (default 0644).
  static File Open(std::string_view path, Mode mode, unsigned mode_bits = 0644);

  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Reads up to size bytes; returns the count, 0 at end of file, -1 on error.
  long Read(void* buffer, std::size_t size);
  // Writes every byte or fails.
  bool Write(const void* data, std::size_t size);
  bool Write(std::string_view text) { return Write(text.data(), text.size()); }
  bool Sync();  // fsync
  // Writes the file's data to the device and waits for it, without a sync
  // of its metadata (no journal commit): false when any write of this file's
  // data failed since it was opened, even one the kernel made on its own.
  bool WriteBack();
  std::int64_t Size() const;  // -1 on error
  // Sets the position of the next Read to `offset` bytes from the start.
  bool Seek(std::int64_t offset);
  void Close();

 private:
  friend class AtomicFileWriter;
  friend class Folder;
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

class Folder;

// Writes a file that others may see only complete: the data goes to a
// temporary file in `temp_folder` (or, when the target's folder is a mount
// of another file system, in a hidden ".tmp" folder inside it, since a
// rename works only within one file system), is synced, and is renamed onto
// `target` by Commit(), which also syncs the target's folder. A writer that is destroyed without Commit() removes its
// temporary file. While the temporary file is open it holds the exclusive
// advisory lock, so ReadExclusive opens of it fail with a sharing violation.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(AtomicFileWriter&&) noexcept;
  AtomicFileWriter& operator=(AtomicFileWriter&&) noexcept;

  bool Begin(std::string_view temp_folder, std::string_view target);
  // The same for a file name this program made up (a fresh GUID) in
  // `target_folder`: used as spelled, without a search of the folder for an
  // entry of other case (which reads the whole folder).
  bool BeginNew(std::string_view temp_folder, std::string_view target_folder, std::string_view file_name);
  // An empty file without a name, made where BeginNew(temp_folder,
  // target_folder, ...) would make its temporary file, ahead of the write
  // that BeginReady starts with it: finding a free inode can cost a file
  // system a millisecond (ext4 without a journal passes over every inode
  // freed in the last minutes), and that need not be on a client's wait. It
  // holds the writer's lock and vanishes when closed without a name. A closed
  // File when it cannot be made (LastFileError), for example on a file
  // system without unnamed files.
  static File MakeUnnamed(std::string_view temp_folder, std::string_view target_folder);
  // The two steps of MakeUnnamed, for a maker of many files that looks the
  // folders up once: the native folder the files are made in (made when
  // missing), and one file made there.
  static std::string UnnamedFolder(std::string_view temp_folder, std::string_view target_folder);
  static File MakeUnnamedIn(const std::string& native_folder);
  // BeginNew with a file from MakeUnnamed for the same folders. The name
  // must not exist yet: the file is linked into place, which never replaces.
  bool BeginReady(File unnamed, std::string_view target_folder, std::string_view file_name);
  // BeginNew and BeginReady into a folder held open: the file gets its name
  // in that very folder, whatever its path names by then, so that a sync of
  // the held folder is sure to cover the name. The folder must stay open
  // until the file has its name.
  bool BeginNew(std::string_view temp_folder, const Folder& target_folder, std::string_view file_name);
  bool BeginReady(File unnamed, const Folder& target_folder, std::string_view file_name);
  bool Write(const void* data, std::size_t size);
  bool Write(std::string_view text) { return Write(text.data(), text.size()); }
  // Keeps at most about two `window`s of the written data waiting in memory:
  // each time a window more has been written, its write to the device is
  // started and the window before it is waited for. A journal commit made
  // meanwhile (another file's sync) then never waits for more than that of
  // a large file being written.
  bool WriteBehind(std::uint64_t window);
  // Sync, close and rename into place, then sync the target folder (the
  // syncs only when `durable`).
  bool Commit(bool durable = true);
  // Makes the file durable under its name with one journal commit where
  // Commit makes two: RenameWrittenBack writes the data back
  // (File::WriteBack) and renames (or links) the file into place; SyncRenamed syncs and
  // closes it. The name is durable once the target folder too has been
  // synced after the rename: the caller's sync, which may run beside
  // SyncRenamed (the disk then serves both with one cache flush) and be
  // shared by writers into one folder. False when a step failed: the name
  // may then stand for a file that is not durable, and the caller removes
  // it.
  bool RenameWrittenBack();
  // With `keep`, the synced file goes there still open (holding the
  // writer's lock) instead of being closed.
  bool SyncRenamed(File* keep = nullptr);
  void Abandon();  // remove the temporary file now

 private:
  bool BeginNative(std::string_view temp_folder, std::string native_target);
  // BeginReady into `native_folder`, by its open descriptor `folder_fd`
  // (-1: by the whole path).
  bool BeginReadyIn(File unnamed, const std::string& native_folder, int folder_fd, std::string_view file_name);
  // Gives the written file its final name (rename, or link when unnamed).
  bool PutInPlace();

  File file_;
  bool unnamed_ = false;     // file_ came from MakeUnnamed and has no name yet
  std::string temp_path_;    // native
  std::string target_path_;  // native
  int target_folder_ = -1;   // the held folder the name goes into (-1: by target_path_)
  std::string target_name_;  // the name in it
  std::uint64_t written_ = 0;          // bytes written so far
  std::uint64_t write_back_from_ = 0;  // bytes before it are on their way to the device
};

// Copies a file so that the copy appears complete or not at all (temporary
// file in `temp_folder`, then rename over `target`, replacing it). With
// `durable` the copy and its folder are synced before returning.
bool CopyFileAtomic(std::string_view source, std::string_view target,
                    std::string_view temp_folder, bool durable);

// Gives the file `source` a second name, `file_name` in `target_folder`,
// without copying its data (a hard link), so that it appears complete or not
// at all and replaces a file of that name (a taken name is linked under a
// temporary name in `temp_folder`, then renamed into place). The name is
// used as given (no search for a differently spelled entry, which would read
// the whole folder on every call). With `durable` the target folder is
// synced; the source's data must already be on disk. Copies (CopyFileAtomic,
// always synced: its data is not the source's) when the file system cannot
// link (the target folder is a mount of another one). A target that already is this file, or a copy of it with the same
// bytes, is left as it is: a delivery tried again makes no copy twice.
bool LinkFileAtomic(std::string_view source, std::string_view target_folder, std::string_view file_name,
                    std::string_view temp_folder, bool durable);

// CreateDirectory semantics: false with ERROR_ALREADY_EXISTS when it exists.
bool CreateDirectory(std::string_view path);
bool RemoveDirectory(std::string_view path);
bool DeleteFile(std::string_view path);
// MoveFile semantics: renames a file or folder on the same file system;
// false with ERROR_ALREADY_EXISTS when the target exists (nothing is
// replaced).
bool MoveFile(std::string_view from, std::string_view to);
bool IsDirectory(std::string_view path);
bool IsRegularFile(std::string_view path);
// True when the path itself is a symbolic link (not followed).
bool IsSymbolicLink(std::string_view path);
bool SyncDirectory(std::string_view path);

struct FindEntry {
  std::string name;         // file name only
  bool is_directory = false;
  bool is_regular = false;  // a plain file (not a folder, pipe, device, ...)
  std::uint64_t size = 0;
  std::time_t creation_time = 0;   // status change time on Linux
  std::time_t last_write_time = 0;
  std::time_t last_access_time = 0;
  unsigned permissions = 0;  // rwx bits of owner, group and others (0777 mask)
};
// Lists a folder, "." and ".." included as the Windows search returns them.
// Returns false (empty result) when the folder cannot be read.
bool ListFolder(std::string_view folder, std::vector<FindEntry>& entries);
// Status of one path; false when it does not exist.
bool GetFileStatus(std::string_view path, FindEntry& entry);

// Move-only owner of an open folder, for work on many of its files by the
// names its own listing gave. Each name is taken exactly as spelled: no
// search of the folder for an entry of other case (which reads the whole
// folder, so a name that has gone would cost a full listing each time), and
// a name keeps meaning this folder even if the folder's path is changed
// meanwhile.
class Folder {
 public:
  Folder() = default;
  ~Folder();
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // Opens the folder a path text names (mapped with MapPath, once).
  static Folder Open(std::string_view path);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();
  // Whether the path it was opened by still names this very folder, not
  // another one put in its place since (nor nothing): one look at the disk.
  bool IsStillAt() const;
  // Writes the folder's entries to stable storage.
  bool Sync() const;

  // Calls `take` with the name and size of every plain file of the folder,
  // in the folder's own order. Entries are taken as they are themselves: a
  // symbolic link, a folder, a pipe or a device is passed over, not what it
  // points to. Nothing is kept between entries, so a folder of any size is
  // read in bounded memory; one status look-up per plain file, none for an
  // entry whose kind the listing already tells. False when the folder
  // cannot be read.
  bool ListPlainFiles(const std::function<void(std::string_view name, std::uint64_t size)>& take) const;
  // Opens an entry for reading when it is a plain file. A symbolic link is
  // not followed, and a pipe or a device is not waited on (it is opened
  // without blocking and refused after a look at what was opened): such an
  // entry fails with ERROR_FILE_NOT_FOUND, as a missing one does. With
  // `size`, the file's size when it was opened goes there.
  File OpenPlainFile(std::string_view name, std::uint64_t* size = nullptr) const;
  // Deletes an entry that is not a folder (a folder fails with
  // ERROR_ACCESS_DENIED).
  bool DeleteFile(std::string_view name) const;
  // Deletes the entries named, as DeleteFile does each, and sets deleted[i]
  // to 1 when names[i] went, else 0. A long list is worked by a few threads
  // at once: on a file system that discards the blocks it frees, each
  // deletion waits for the disk, and several in flight share those waits.
  // In which order the names go is not told.
  void DeleteFiles(const std::vector<std::string_view>& names, std::vector<unsigned char>& deleted) const;

 private:
  friend class AtomicFileWriter;
  Folder(int fd, std::string native);
  int fd_ = -1;
  std::string native_;  // the path it was opened by, without a trailing "/"
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace platform
