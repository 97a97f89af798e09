// The SQLite side of the registry hive: opening registry.db with the file
// mode and journal mode the platform promises, statements, transactions and
// result mapping.
#include "platform/posix/hive_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/paths.h"
#include "platform/utf8.h"

namespace platform::hive {
namespace {

// How long a write waits for another process's write to finish. Writes are a
// few rows each, so anything near this means a stuck writer, not load.
constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;
// The hive holds account passwords: only its owner may read it.
constexpr mode_t kHiveFileMode = 0600;

constexpr const char* kSchemaSql =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  UNIQUE(parent, folded));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  seq INTEGER PRIMARY KEY,"
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key, folded));"
    "INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES(1, NULL, '', '');"
    "PRAGMA user_version = 1;";

std::string HivePath() { return StateRoot() + "/registry.db"; }

// Makes the hive file with its mode before SQLite sees it (SQLite would
// create it 0644 less the umask; its -wal and -shm files copy this mode).
LONG CreateHiveFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kHiveFileMode);
  if (fd < 0) {
    if (errno == EEXIST) return ERROR_SUCCESS;
    return (errno == EACCES || errno == EPERM || errno == EROFS) ? ERROR_ACCESS_DENIED
                                                                 : ERROR_CANTWRITE;
  }
  ::fchmod(fd, kHiveFileMode);
  ::close(fd);
  return ERROR_SUCCESS;
}

char32_t FoldCodePoint(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;  // Latin-1
  if (c >= 0x100 && c <= 0x17F) {                             // Latin Extended-A
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (c == 0x178) return 0xFF;
    const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_pairs) return (c % 2 == 1) ? c + 1 : c;
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;  // Greek
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 0x25;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 0x3F;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;  // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

}  // namespace

LONG ResultFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_SHARING_VIOLATION;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return ERROR_ACCESS_DENIED;
    case SQLITE_FULL:
      return ERROR_HANDLE_DISK_FULL;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
      return ERROR_CANTOPEN;
    default:
      return ERROR_CANTWRITE;
  }
}

std::string FoldName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  std::size_t pos = 0;
  while (pos < name.size()) {
    char32_t cp = 0;
    const std::size_t used = DecodeUtf8(name, pos, cp);
    if (used == 0) {  // not UTF-8 here: the byte compares as it is
      out.push_back(name[pos++]);
      continue;
    }
    // A code point without a pair comes back unchanged, so a well-formed
    // sequence is written again byte for byte.
    AppendUtf8(FoldCodePoint(cp), out);
    pos += used;
  }
  return out;
}

// --- Connection ---

Connection::~Connection() { Close(); }

Connection::Connection(Connection&& other) noexcept
    : db_(other.db_), writable_(other.writable_) {
  other.db_ = nullptr;
}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    Close();
    db_ = other.db_;
    writable_ = other.writable_;
    other.db_ = nullptr;
  }
  return *this;
}

void Connection::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  writable_ = false;
}

int Connection::Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

LONG Connection::Open(bool create) {
  Close();
  const std::string path = HivePath();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return ERROR_ACCESS_DENIED;  // e.g. a state root we may not enter
    if (!create) return ERROR_FILE_NOT_FOUND;
    const LONG made = CreateHiveFile(path);
    if (made != ERROR_SUCCESS) return made;
  }
  // Never SQLITE_OPEN_CREATE: the file exists now with the right mode. SQLite
  // falls back to read-only by itself when the file is not writable.
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    Close();
    return ResultFromSqlite(rc);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  writable_ = sqlite3_db_readonly(db_, "main") == 0;

  int version = 0;
  {
    Statement query(*this, "PRAGMA user_version");
    rc = query.prepare_rc();
    if (rc == SQLITE_OK) rc = query.Step();
    if (rc == SQLITE_ROW) version = static_cast<int>(query.ColumnInt(0));
  }
  if (rc != SQLITE_ROW) {
    Close();
    return ResultFromSqlite(rc);
  }
  if (version > kSchemaVersion) {  // written by a newer program
    Close();
    return ERROR_CANTOPEN;
  }
  if (version == kSchemaVersion) {
    Exec("PRAGMA synchronous = FULL");
    return ERROR_SUCCESS;
  }
  if (!create || !writable_) {
    Close();
    return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  }
  const LONG made = EnsureSchema();
  if (made != ERROR_SUCCESS) Close();
  return made;
}

LONG Connection::EnsureSchema() {
  // Switching to WAL needs a moment of exclusive access; another process that
  // creates the hive at the same time may hold it, and this pragma does not
  // always go through the busy handler.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  int rc = SQLITE_OK;
  for (;;) {
    Statement wal(*this, "PRAGMA journal_mode = WAL");
    rc = wal.prepare_rc();
    if (rc == SQLITE_OK) rc = wal.Step();
    if (rc == SQLITE_ROW) {
      if (wal.ColumnText(0) != "wal") return ERROR_CANTWRITE;
      break;
    }
    if ((rc & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() > deadline) {
      return ResultFromSqlite(rc);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Exec("PRAGMA synchronous = FULL");
  Transaction transaction(*this);
  LONG result = transaction.Begin();
  if (result != ERROR_SUCCESS) return result;
  rc = Exec(kSchemaSql);
  if (rc != SQLITE_OK) return ResultFromSqlite(rc);
  return transaction.Commit();
}

// --- Statement ---

Statement::Statement(const Connection& db, const char* sql) {
  prepare_rc_ = sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::Bind(int index, std::int64_t value) {
  if (stmt_) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::BindText(int index, std::string_view text) {
  if (stmt_) {
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  }
  return *this;
}

Statement& Statement::BindBlob(int index, const void* data, std::size_t size) {
  // A zero-length blob still has to be a blob, not NULL (the column is NOT NULL).
  static const char kEmpty = 0;
  if (stmt_) sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT);
  return *this;
}

int Statement::Step() {
  if (stmt_ == nullptr) return prepare_rc_ == SQLITE_OK ? SQLITE_MISUSE : prepare_rc_;
  return sqlite3_step(stmt_);
}

std::int64_t Statement::ColumnInt(int index) const { return sqlite3_column_int64(stmt_, index); }

std::string Statement::ColumnText(int index) const {
  const auto* text = sqlite3_column_text(stmt_, index);
  const int size = sqlite3_column_bytes(stmt_, index);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size))
              : std::string();
}

std::vector<std::uint8_t> Statement::ColumnBlob(int index) const {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, index));
  const int size = sqlite3_column_bytes(stmt_, index);
  if (data == nullptr || size <= 0) return {};
  return std::vector<std::uint8_t>(data, data + size);
}

// --- Transaction ---

Transaction::~Transaction() {
  if (active_) db_.Exec("ROLLBACK");
}

LONG Transaction::Begin() {
  const int rc = db_.Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return ResultFromSqlite(rc);
  active_ = true;
  return ERROR_SUCCESS;
}

LONG Transaction::Commit() {
  const int rc = db_.Exec("COMMIT");
  if (rc != SQLITE_OK) return ResultFromSqlite(rc);  // the destructor rolls back
  active_ = false;
  return ERROR_SUCCESS;
}

}  // namespace platform::hive
