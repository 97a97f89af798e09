// Files and folders on Linux, with Win32 error codes.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <random>
#include <system_error>
#include <thread>

#include "platform/paths.h"

namespace platform {
namespace {

thread_local LONG t_last_error = ERROR_SUCCESS;

LONG Win32FromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT: return ERROR_HANDLE_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_WRITE_FAULT;
  }
}

bool Fail(int err = errno) {
  t_last_error = Win32FromErrno(err);
  return false;
}

// An operation on something that must exist already: `attempt` (true on
// success, errno set on failure, nothing changed then) runs on the path as
// spelled and, only when that fails, on the path MapPath finds without
// regard to case. The result is MapPath's, without its look at the disk
// for the path that is right as spelled, as nearly every path is.
template <typename Attempt>
bool OnExistingPath(std::string_view path, Attempt&& attempt) {
  const std::string spelled = SpelledPath(path);
  if (!spelled.empty() && attempt(spelled)) return true;
  return attempt(MapPath(path));
}

// A fresh name in `folder` (native, without trailing "/").
std::string UniqueTempName(const std::string& folder) {
  // The process id and a counter make the name unique (O_EXCL checks it);
  // the mixed-in random value, drawn once per process, keeps it from being
  // guessed. Seeding a generator per thread would cost every connection
  // thread more than its whole spool file write.
  static std::atomic<unsigned long> counter{0};
  static const std::uint64_t salt = std::random_device{}() * 0x9E3779B97F4A7C15ULL + std::random_device{}();
  const unsigned long n = counter.fetch_add(1);
  std::uint64_t mixed = salt ^ (n * 0xBF58476D1CE4E5B9ULL);
  mixed ^= mixed >> 31;
  char name[96];
  std::snprintf(name, sizeof name, "/%d-%lu-%016llx.tmp", static_cast<int>(::getpid()), n,
                static_cast<unsigned long long>(mixed));
  return folder + name;
}

int OpenFolderNative(const std::string& native) { return ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// Syncs a folder opened with OpenFolderNative (-1: its open failed) and
// closes it.
bool SyncOpenedFolder(int fd) {
  if (fd < 0) return Fail();
  const bool ok = ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  return ok ? true : Fail(err);
}

bool SyncFolderNative(const std::string& native) { return SyncOpenedFolder(OpenFolderNative(native)); }

// The native path of a folder without trailing "/", ready for a name.
std::string NativeFolder(std::string_view folder) {
  std::string native = MapPath(folder);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  return native;
}

std::string ParentFolder(const std::string& native) {
  const std::size_t slash = native.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return native.substr(0, slash);
}

// A folder for the temporary file of a write into `target_folder`, made
// when missing: `temp_folder` when it lies on the same file system, since
// only there can the file be renamed into place. A target folder that is a
// mount of another file system gets a hidden folder of its own, ".tmp"
// inside it (folder listings of the mail store skip folders).
std::string TempFolderFor(const std::string& temp_folder, const std::string& target_folder) {
  ::mkdir(temp_folder.c_str(), 0700);
  struct stat temp_st, target_st;
  if (::stat(temp_folder.c_str(), &temp_st) != 0 || ::stat(target_folder.c_str(), &target_st) != 0 ||
      temp_st.st_dev == target_st.st_dev) {
    return temp_folder;
  }
  const std::string beside = target_folder + "/.tmp";
  ::mkdir(beside.c_str(), 0700);
  return beside;
}

// Names an unnamed file (O_TMPFILE) `target`, relative to the open
// `folder` (AT_FDCWD: a path); never replaces a file.
bool LinkUnnamed(int fd, int folder, const std::string& target) {
  if (::linkat(fd, "", folder, target.c_str(), AT_EMPTY_PATH) == 0) return true;
  // A process without the right to link by descriptor links through the
  // descriptor's entry in /proc instead.
  if (errno != ENOENT && errno != EPERM) return false;
  char proc[48];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return ::linkat(AT_FDCWD, proc, folder, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Errors of link() that mean the file system cannot give a file a second
// name there: a copy has to do.
bool CannotLink(int err) { return err == EXDEV || err == EPERM || err == EMLINK || err == EOPNOTSUPP; }

}  // namespace

LONG LastFileError() { return t_last_error; }

File::~File() { Close(); }
File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File File::Open(std::string_view path, Mode mode, unsigned mode_bits) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read:
    case Mode::ReadExclusive: flags |= O_RDONLY; break;
    case Mode::WriteTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case Mode::AppendShared: flags |= O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW; break;
  }
  int fd = -1;
  const auto open = [&](const std::string& native) {
    fd = ::open(native.c_str(), flags, static_cast<mode_t>(mode_bits));
    return fd >= 0;
  };
  // A file is only read where it exists; one that may be made takes the
  // name MapPath gives (an existing file spelled otherwise is written).
  if ((flags & O_CREAT) != 0) {
    open(MapPath(path));
  } else {
    OnExistingPath(path, open);
  }
  if (fd < 0) {
    Fail();
    return File();
  }
  if (mode == Mode::ReadExclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    Fail(err);
    return File();
  }
  return File(fd);
}

long File::Read(void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    Fail();
    return -1;
  }
}

bool File::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Sync() { return ::fsync(fd_) == 0 ? true : Fail(); }

bool File::WriteBack() {
  // Waiting reports the write errors this open file has not seen yet, also
  // those of write-back the kernel started on its own (they are counted per
  // open file, not per call).
  constexpr unsigned kWriteAndWait =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  return ::sync_file_range(fd_, 0, 0, kWriteAndWait) == 0 ? true : Fail();
}

std::int64_t File::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    Fail();
    return -1;
  }
  return st.st_size;
}

bool File::Seek(std::int64_t offset) {
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0 ? true : Fail();
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

AtomicFileWriter::~AtomicFileWriter() { Abandon(); }
AtomicFileWriter::AtomicFileWriter(AtomicFileWriter&& other) noexcept
    : file_(std::move(other.file_)),
      unnamed_(other.unnamed_),
      temp_path_(std::move(other.temp_path_)),
      target_path_(std::move(other.target_path_)),
      target_folder_(other.target_folder_),
      target_name_(std::move(other.target_name_)),
      written_(other.written_),
      write_back_from_(other.write_back_from_) {
  other.temp_path_.clear();
}
AtomicFileWriter& AtomicFileWriter::operator=(AtomicFileWriter&& other) noexcept {
  if (this != &other) {
    Abandon();
    file_ = std::move(other.file_);
    unnamed_ = other.unnamed_;
    temp_path_ = std::move(other.temp_path_);
    target_path_ = std::move(other.target_path_);
    target_folder_ = other.target_folder_;
    target_name_ = std::move(other.target_name_);
    written_ = other.written_;
    write_back_from_ = other.write_back_from_;
    other.temp_path_.clear();
  }
  return *this;
}

bool AtomicFileWriter::Begin(std::string_view temp_folder, std::string_view target) {
  return BeginNative(temp_folder, MapPath(target));
}

bool AtomicFileWriter::BeginNew(std::string_view temp_folder, std::string_view target_folder,
                                std::string_view file_name) {
  return BeginNative(temp_folder, NativeFolder(target_folder) + "/" + std::string(file_name));
}

File AtomicFileWriter::MakeUnnamed(std::string_view temp_folder, std::string_view target_folder) {
  return MakeUnnamedIn(UnnamedFolder(temp_folder, target_folder));
}

std::string AtomicFileWriter::UnnamedFolder(std::string_view temp_folder, std::string_view target_folder) {
  return TempFolderFor(NativeFolder(temp_folder), NativeFolder(target_folder));
}

File AtomicFileWriter::MakeUnnamedIn(const std::string& native_folder) {
  const int fd = ::open(native_folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    Fail();
    return File();
  }
  ::flock(fd, LOCK_EX | LOCK_NB);
  return File(fd);
}

bool AtomicFileWriter::BeginReady(File unnamed, std::string_view target_folder, std::string_view file_name) {
  return BeginReadyIn(std::move(unnamed), NativeFolder(target_folder), -1, file_name);
}

bool AtomicFileWriter::BeginNew(std::string_view temp_folder, const Folder& target_folder,
                                std::string_view file_name) {
  if (!target_folder.IsOpen()) return Fail(EBADF);
  if (!BeginNative(temp_folder, target_folder.native_ + "/" + std::string(file_name))) return false;
  target_folder_ = target_folder.fd_;
  target_name_ = std::string(file_name);
  return true;
}

bool AtomicFileWriter::BeginReady(File unnamed, const Folder& target_folder, std::string_view file_name) {
  if (!target_folder.IsOpen()) {
    Abandon();
    return Fail(EBADF);
  }
  return BeginReadyIn(std::move(unnamed), target_folder.native_, target_folder.fd_, file_name);
}

bool AtomicFileWriter::BeginReadyIn(File unnamed, const std::string& native_folder, int folder_fd,
                                    std::string_view file_name) {
  Abandon();
  if (!unnamed.IsOpen()) return Fail(EBADF);
  target_path_ = native_folder + "/" + std::string(file_name);
  target_folder_ = folder_fd;
  target_name_ = std::string(file_name);
  file_ = std::move(unnamed);
  unnamed_ = true;
  written_ = write_back_from_ = 0;
  return true;
}

bool AtomicFileWriter::PutInPlace() {
  // Into the held folder by the name alone, else by the whole path.
  const int folder = target_folder_ >= 0 ? target_folder_ : AT_FDCWD;
  const std::string& target = target_folder_ >= 0 ? target_name_ : target_path_;
  if (unnamed_) {
    if (!LinkUnnamed(file_.fd(), folder, target)) return false;
    unnamed_ = false;
    return true;
  }
  if (::renameat(AT_FDCWD, temp_path_.c_str(), folder, target.c_str()) != 0) return false;
  temp_path_.clear();
  return true;
}

bool AtomicFileWriter::BeginNative(std::string_view temp_folder, std::string native_target) {
  Abandon();
  const std::string folder = TempFolderFor(NativeFolder(temp_folder), ParentFolder(native_target));
  target_path_ = std::move(native_target);
  target_folder_ = -1;
  temp_path_ = UniqueTempName(folder);
  written_ = write_back_from_ = 0;
  const int fd = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    temp_path_.clear();
    return Fail();
  }
  // Readers that ask for an exclusive open see the file as still being written.
  ::flock(fd, LOCK_EX | LOCK_NB);
  file_ = File(fd);
  return true;
}

bool AtomicFileWriter::Write(const void* data, std::size_t size) {
  if (!file_.IsOpen()) return Fail(EBADF);
  if (!file_.Write(data, size)) return false;
  written_ += size;
  return true;
}

bool AtomicFileWriter::WriteBehind(std::uint64_t window) {
  if (!file_.IsOpen() || window == 0 || written_ - write_back_from_ < window) return true;
  // What was started last time (and before) is waited for: the writer goes
  // no faster than the device, as the kernel would make it anyway.
  if (write_back_from_ > 0 &&
      ::sync_file_range(file_.fd(), 0, static_cast<off_t>(write_back_from_), SYNC_FILE_RANGE_WAIT_BEFORE) != 0) {
    return Fail();
  }
  const std::uint64_t length = written_ - write_back_from_;
  if (::sync_file_range(file_.fd(), static_cast<off_t>(write_back_from_), static_cast<off_t>(length),
                        SYNC_FILE_RANGE_WRITE) != 0) {
    return Fail();
  }
  write_back_from_ = written_;
  return true;
}

bool AtomicFileWriter::RenameWrittenBack() {
  if (!file_.IsOpen() || (temp_path_.empty() && !unnamed_)) return Fail(EBADF);
  // Written and given its blocks before the name appears: whatever commit
  // makes the name durable makes the data durable too.
  if (!file_.WriteBack()) {
    const LONG error = t_last_error;
    Abandon();
    t_last_error = error;
    return false;
  }
  if (!PutInPlace()) {
    const int err = errno;
    Abandon();
    return Fail(err);
  }
  return true;
}

bool AtomicFileWriter::SyncRenamed(File* keep) {
  if (!file_.IsOpen() || !temp_path_.empty() || unnamed_) return Fail(EBADF);
  const bool synced = file_.Sync();
  const LONG error = t_last_error;
  if (synced && keep != nullptr) {
    *keep = std::move(file_);
  } else {
    file_.Close();
  }
  if (!synced) t_last_error = error;
  return synced;
}

bool AtomicFileWriter::Commit(bool durable) {
  if (!file_.IsOpen() || (temp_path_.empty() && !unnamed_)) return Fail(EBADF);
  if (durable && !file_.Sync()) {
    Abandon();
    return false;
  }
  // Closing releases the writer's lock before the name appears, so a reader
  // that finds the file never waits for it. An unnamed file is linked
  // through its descriptor, so it closes after.
  if (!unnamed_) file_.Close();
  if (!PutInPlace()) {
    const int err = errno;
    Abandon();
    return Fail(err);
  }
  file_.Close();
  return durable ? SyncFolderNative(ParentFolder(target_path_)) : true;
}

void AtomicFileWriter::Abandon() {
  file_.Close();  // an unnamed file vanishes with it
  unnamed_ = false;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
}

bool CopyFileAtomic(std::string_view source, std::string_view target,
                    std::string_view temp_folder, bool durable) {
  File in = File::Open(source, File::Mode::Read);
  if (!in.IsOpen()) return false;
  AtomicFileWriter writer;
  if (!writer.Begin(temp_folder, target)) return false;
  char buffer[64 * 1024];
  for (;;) {
    const long n = in.Read(buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || !writer.Write(buffer, static_cast<std::size_t>(n))) return false;
  }
  return writer.Commit(durable);
}

namespace {

// True when both files hold the same bytes.
bool SameContent(const std::string& native_a, const std::string& native_b) {
  File a = File::Open(native_a, File::Mode::Read);
  File b = File::Open(native_b, File::Mode::Read);
  if (!a.IsOpen() || !b.IsOpen() || a.Size() != b.Size()) return false;
  char buffer_a[16 * 1024], buffer_b[16 * 1024];
  for (;;) {
    const long n = a.Read(buffer_a, sizeof buffer_a);
    if (n < 0) return false;
    if (n == 0) return true;
    long got = 0;
    while (got < n) {
      const long m = b.Read(buffer_b + got, static_cast<std::size_t>(n - got));
      if (m <= 0) return false;
      got += m;
    }
    if (std::memcmp(buffer_a, buffer_b, static_cast<std::size_t>(n)) != 0) return false;
  }
}

// The copy of LinkFileAtomic where no link can be made (another file system):
// a copy that is already there with the same bytes is not made again. A copy
// is always synced: a caller that syncs only the folder later (as for a
// link) would leave the copy's data unsynced.
bool CopyUnlessThere(const std::string& native_source, const std::string& native_target,
                     std::string_view temp_folder) {
  if (SameContent(native_source, native_target)) return true;
  return CopyFileAtomic(native_source, native_target, temp_folder, true);
}

}  // namespace

bool LinkFileAtomic(std::string_view source, std::string_view target_folder, std::string_view file_name,
                    std::string_view temp_folder, bool durable) {
  // Mostly the source and the folder are there as spelled and the name is
  // new: the link alone does it. Else the paths are looked up as below.
  {
    const std::string spelled_source = SpelledPath(source);
    const std::string spelled_folder = StripTrailingSeparators(SpelledPath(target_folder));
    if (!spelled_source.empty() && !spelled_folder.empty() &&
        ::link(spelled_source.c_str(), (spelled_folder + "/" + std::string(file_name)).c_str()) == 0) {
      return durable ? SyncFolderNative(spelled_folder) : true;
    }
  }
  const std::string native_folder = NativeFolder(target_folder);
  const std::string native_target = native_folder + "/" + std::string(file_name);
  const std::string native_source = MapPath(source);
  // Mostly the name is new: the link itself makes it appear complete, in one
  // step. Only a name that is taken needs the detour that replaces it.
  if (::link(native_source.c_str(), native_target.c_str()) == 0) {
    return durable ? SyncFolderNative(native_folder) : true;
  }
  if (CannotLink(errno)) return CopyUnlessThere(native_source, native_target, temp_folder);
  if (errno != EEXIST) return Fail();
  // The name is taken. By this very file (the same recipient twice, or a
  // delivery tried again): nothing to do.
  struct stat source_st, target_st;
  if (::stat(native_source.c_str(), &source_st) == 0 && ::stat(native_target.c_str(), &target_st) == 0) {
    if (source_st.st_dev == target_st.st_dev && source_st.st_ino == target_st.st_ino) return true;
    if (source_st.st_dev != target_st.st_dev) {
      return CopyUnlessThere(native_source, native_target, temp_folder);
    }
  }
  const std::string temp = UniqueTempName(NativeFolder(temp_folder));
  ::mkdir(ParentFolder(temp).c_str(), 0700);
  if (::link(native_source.c_str(), temp.c_str()) != 0) {
    return CannotLink(errno) ? CopyUnlessThere(native_source, native_target, temp_folder) : Fail();
  }
  if (::rename(temp.c_str(), native_target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    if (err == EXDEV) return CopyUnlessThere(native_source, native_target, temp_folder);
    return Fail(err);
  }
  return durable ? SyncFolderNative(native_folder) : true;
}

bool CreateDirectory(std::string_view path) {
  const std::string native = MapPath(path);
  if (::mkdir(native.c_str(), 0755) != 0) return Fail();
  return true;
}

bool RemoveDirectory(std::string_view path) {
  return ::rmdir(MapPath(path).c_str()) == 0 ? true : Fail();
}

bool DeleteFile(std::string_view path) {
  bool is_folder = false;
  const bool deleted = OnExistingPath(path, [&](const std::string& native) {
    if (::unlink(native.c_str()) == 0) return true;
    // A folder is refused (EISDIR here, EPERM where POSIX allows it); only
    // then is it looked at, so that a file goes with one call.
    const int err = errno;
    struct stat st;
    if ((err == EISDIR || err == EPERM) && ::lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      is_folder = true;
    }
    errno = err;
    return false;
  });
  if (is_folder) return Fail(EACCES);
  return deleted ? true : Fail();
}

bool MoveFile(std::string_view from, std::string_view to) {
  const std::string source = MapPath(from);
  const std::string target = MapPath(to);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Fail();
  // A file system without the no-replace rename: test first (a target that
  // appears in between is replaced, as it would be on such a system anyway).
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) return Fail(EEXIST);
  return ::rename(source.c_str(), target.c_str()) == 0 ? true : Fail();
}

bool IsDirectory(std::string_view path) {
  return OnExistingPath(path, [](const std::string& native) {
    struct stat st;
    return ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  });
}

bool IsRegularFile(std::string_view path) {
  return OnExistingPath(path, [](const std::string& native) {
    struct stat st;
    return ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  });
}

bool IsSymbolicLink(std::string_view path) {
  struct stat st;
  return ::lstat(MapPath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool SyncDirectory(std::string_view path) {
  // Only the open may be tried twice: a failed sync is never asked again
  // (a second one could report success for the data the first one lost).
  int fd = -1;
  OnExistingPath(path, [&](const std::string& native) { return (fd = OpenFolderNative(native)) >= 0; });
  return SyncOpenedFolder(fd);
}

namespace {
void FillEntry(const struct stat& st, FindEntry& entry) {
  entry.is_directory = S_ISDIR(st.st_mode);
  entry.is_regular = S_ISREG(st.st_mode);
  entry.size = static_cast<std::uint64_t>(st.st_size);
  entry.creation_time = st.st_ctime;
  entry.last_write_time = st.st_mtime;
  entry.last_access_time = st.st_atime;
  entry.permissions = static_cast<unsigned>(st.st_mode) & 0777u;
}
}  // namespace

bool ListFolder(std::string_view folder, std::vector<FindEntry>& entries) {
  entries.clear();
  const std::string native = NativeFolder(folder);
  DIR* dir = ::opendir(native.c_str());
  if (dir == nullptr) return Fail();
  while (dirent* d = ::readdir(dir)) {
    FindEntry entry;
    entry.name = d->d_name;
    struct stat st;
    if (::fstatat(::dirfd(dir), d->d_name, &st, 0) != 0) continue;  // gone meanwhile
    FillEntry(st, entry);
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  return true;
}

Folder::Folder(int fd, std::string native) : fd_(fd), native_(std::move(native)) {
  struct stat st;
  if (::fstat(fd_, &st) == 0) {
    device_ = static_cast<std::uint64_t>(st.st_dev);
    inode_ = static_cast<std::uint64_t>(st.st_ino);
  }
}
Folder::~Folder() { Close(); }
Folder::Folder(Folder&& other) noexcept
    : fd_(other.fd_), native_(std::move(other.native_)), device_(other.device_), inode_(other.inode_) {
  other.fd_ = -1;
}
Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    native_ = std::move(other.native_);
    device_ = other.device_;
    inode_ = other.inode_;
    other.fd_ = -1;
  }
  return *this;
}

Folder Folder::Open(std::string_view path) {
  std::string native = NativeFolder(path);
  const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Fail();
    return Folder();
  }
  return Folder(fd, std::move(native));
}

bool Folder::IsStillAt() const {
  struct stat st;
  if (fd_ < 0 || ::stat(native_.c_str(), &st) != 0) return false;
  return static_cast<std::uint64_t>(st.st_dev) == device_ && static_cast<std::uint64_t>(st.st_ino) == inode_;
}

bool Folder::Sync() const {
  if (fd_ < 0) return Fail(EBADF);
  return ::fsync(fd_) == 0 ? true : Fail();
}

void Folder::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Folder::ListPlainFiles(const std::function<void(std::string_view name, std::uint64_t size)>& take) const {
  if (fd_ < 0) return Fail(EBADF);
  // The listing reads through a descriptor of its own, from the start.
  const int own = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return Fail();
  DIR* dir = ::fdopendir(own);
  if (dir == nullptr) {
    const int err = errno;
    ::close(own);
    return Fail(err);
  }
  while (dirent* d = ::readdir(dir)) {
    // Most file systems tell the kind of an entry in the listing itself;
    // where they do not (DT_UNKNOWN), the status look-up tells.
    if (d->d_type != DT_REG && d->d_type != DT_UNKNOWN) continue;
    struct stat st;
    if (::fstatat(fd_, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (!S_ISREG(st.st_mode)) continue;
    take(d->d_name, static_cast<std::uint64_t>(st.st_size));
  }
  ::closedir(dir);
  return true;
}

File Folder::OpenPlainFile(std::string_view name, std::uint64_t* size) const {
  const std::string own(name);
  // O_NOCTTY: a terminal device must not become the service's terminal.
  const int fd = ::openat(fd_, own.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno == ELOOP ? ENOENT : errno);
    return File();
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail(ENOENT);
    return File();
  }
  // Reads of a plain file never wait anyway; the flag goes so that nothing
  // else sees it. It is the only status flag the open set.
  ::fcntl(fd, F_SETFL, 0);
  if (size != nullptr) *size = static_cast<std::uint64_t>(st.st_size);
  return File(fd);
}

bool Folder::DeleteFile(std::string_view name) const {
  const std::string own(name);
  if (::unlinkat(fd_, own.c_str(), 0) == 0) return true;
  return Fail(errno == EISDIR ? EACCES : errno);
}

void Folder::DeleteFiles(const std::vector<std::string_view>& names, std::vector<unsigned char>& deleted) const {
  // Beyond four deletions in flight the disk gains little (measured on a
  // virtual disk that discards), and a short list is not worth a thread.
  constexpr std::size_t kMaxThreads = 4;
  constexpr std::size_t kNamesPerThread = 64;
  deleted.assign(names.size(), 0);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < names.size(); i = next++) deleted[i] = DeleteFile(names[i]) ? 1 : 0;
  };
  std::vector<std::thread> helpers;
  const std::size_t wanted = std::min(kMaxThreads, names.size() / kNamesPerThread);
  for (std::size_t t = 1; t < wanted; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no thread to be had: fewer do the work
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

bool GetFileStatus(std::string_view path, FindEntry& entry) {
  struct stat st;
  std::string found;
  const bool exists = OnExistingPath(path, [&](const std::string& native) {
    if (::stat(native.c_str(), &st) != 0) return false;
    found = native;
    return true;
  });
  if (!exists) return Fail();
  entry.name = FileNamePart(found);
  FillEntry(st, entry);
  return true;
}

}  // namespace platform
