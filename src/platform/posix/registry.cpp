// The HKEY_LOCAL_MACHINE hive over SQLite (see registry.h for the contract
// and hive_db.h for the schema).
//
// A key handle holds its own connection and the row id of its key; every
// operation checks that the row still exists, so a handle whose key another
// process deleted fails with ERROR_KEY_DELETED instead of writing orphan rows.
#include "platform/registry.h"

#include <unistd.h>

#include <cstring>
#include <memory>

#include "platform/paths.h"
#include "platform/posix/hive_db.h"

namespace platform {

using hive::Connection;
using hive::FoldName;
using hive::ResultFromSqlite;
using hive::Statement;
using hive::Transaction;

struct RegKey::Impl {
  Connection db;
  std::int64_t id = hive::kRootKeyId;
  std::string path;  // stored spelling, "" for HKLM itself
};

namespace {

std::size_t CountChars(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// Splits a key path at "\"; empty components (leading, trailing or doubled
// separators) are skipped, so "" is HKLM itself.
LONG SplitKeyPath(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty()) {
      if (CountChars(part) > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
      parts.push_back(part);
      if (parts.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    }
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LONG CheckValueName(std::string_view name) {
  return CountChars(name) > kMaxValueNameChars ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// The child key `name` of `parent`: its id and stored spelling.
LONG FindChild(const Connection& db, std::int64_t parent, std::string_view name,
               std::int64_t& id, std::string& spelling) {
  Statement find(db, "SELECT id, name FROM keys WHERE parent = ?1 AND folded = ?2");
  const std::string folded = FoldName(name);
  find.Bind(1, parent).BindText(2, folded);
  const int rc = find.Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
  id = find.ColumnInt(0);
  spelling = find.ColumnText(1);
  return ERROR_SUCCESS;
}

// Walks `parts` from HKLM. On ERROR_FILE_NOT_FOUND, `found` tells how many
// leading parts exist, with `id` and `path` those of the deepest one.
LONG Resolve(const Connection& db, const std::vector<std::string_view>& parts, std::int64_t& id,
             std::string& path, std::size_t& found) {
  id = hive::kRootKeyId;
  path.clear();
  found = 0;
  for (const std::string_view part : parts) {
    std::int64_t child = 0;
    std::string spelling;
    const LONG rc = FindChild(db, id, part, child, spelling);
    if (rc != ERROR_SUCCESS) return rc;
    id = child;
    if (!path.empty()) path.push_back('\\');
    path += spelling;
    ++found;
  }
  return ERROR_SUCCESS;
}

LONG KeyStillExists(const Connection& db, std::int64_t id) {
  Statement check(db, "SELECT 1 FROM keys WHERE id = ?1");
  check.Bind(1, id);
  const int rc = check.Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  return ResultFromSqlite(rc);
}

int StepDone(Statement& statement) {
  const int rc = statement.Step();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&&) noexcept = default;

bool RegKey::IsOpen() const { return impl_ != nullptr; }

const std::string& RegKey::Path() const {
  static const std::string kNone;
  return impl_ ? impl_->path : kNone;
}

void RegKey::Close() { impl_.reset(); }

LONG RegKey::Create(std::string_view path, DWORD /*access*/, RegKey& key, bool* created) {
  key.Close();
  if (created) *created = false;
  std::vector<std::string_view> parts;
  LONG rc = SplitKeyPath(path, parts);
  if (rc != ERROR_SUCCESS) return rc;
  auto impl = std::make_unique<Impl>();
  rc = impl->db.Open(/*create=*/true);
  if (rc != ERROR_SUCCESS) return rc;

  std::size_t found = 0;
  rc = Resolve(impl->db, parts, impl->id, impl->path, found);
  if (rc == ERROR_FILE_NOT_FOUND) {
    // Opening an existing key needs no write access; making one does.
    if (!impl->db.Writable()) return ERROR_ACCESS_DENIED;
    Transaction transaction(impl->db);
    rc = transaction.Begin();
    if (rc != ERROR_SUCCESS) return rc;
    // Walk again inside the transaction: another process may have made some
    // of the keys since the first look.
    rc = Resolve(impl->db, parts, impl->id, impl->path, found);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    for (std::size_t i = found; i < parts.size(); ++i) {
      Statement insert(impl->db, "INSERT INTO keys(parent, name, folded) VALUES(?1, ?2, ?3)");
      insert.Bind(1, impl->id).BindText(2, parts[i]).BindText(3, FoldName(parts[i]));
      const int step = StepDone(insert);
      if (step != SQLITE_OK) return ResultFromSqlite(step);
      impl->id = sqlite3_last_insert_rowid(impl->db.handle());
      if (!impl->path.empty()) impl->path.push_back('\\');
      impl->path += parts[i];
    }
    rc = transaction.Commit();
    if (rc != ERROR_SUCCESS) return rc;
    if (created) *created = found < parts.size();
  } else if (rc != ERROR_SUCCESS) {
    return rc;
  }
  key.impl_ = std::move(impl);
  return ERROR_SUCCESS;
}

LONG RegKey::Open(std::string_view path, DWORD /*access*/, RegKey& key) {
  key.Close();
  std::vector<std::string_view> parts;
  LONG rc = SplitKeyPath(path, parts);
  if (rc != ERROR_SUCCESS) return rc;
  auto impl = std::make_unique<Impl>();
  rc = impl->db.Open(/*create=*/false);
  if (rc != ERROR_SUCCESS) return rc;
  std::size_t found = 0;
  rc = Resolve(impl->db, parts, impl->id, impl->path, found);
  if (rc != ERROR_SUCCESS) return rc;
  key.impl_ = std::move(impl);
  return ERROR_SUCCESS;
}

LONG RegKey::DeleteTree(std::string_view path) {
  std::vector<std::string_view> parts;
  LONG rc = SplitKeyPath(path, parts);
  if (rc != ERROR_SUCCESS) return rc;
  if (parts.empty()) return ERROR_ACCESS_DENIED;  // HKLM itself cannot go
  Connection db;
  rc = db.Open(/*create=*/false);
  if (rc != ERROR_SUCCESS) return rc;
  std::int64_t id = 0;
  std::string stored;
  std::size_t found = 0;
  if (!db.Writable()) {
    rc = Resolve(db, parts, id, stored, found);
    return rc == ERROR_SUCCESS ? ERROR_ACCESS_DENIED : rc;
  }
  Transaction transaction(db);
  rc = transaction.Begin();
  if (rc != ERROR_SUCCESS) return rc;
  rc = Resolve(db, parts, id, stored, found);
  if (rc != ERROR_SUCCESS) return rc;
  // The key and every key below it, by walking parent links downwards.
  static constexpr const char* kSubtree =
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
      "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) ";
  Statement values(db, (std::string(kSubtree) + "DELETE FROM vals WHERE key IN tree").c_str());
  values.Bind(1, id);
  int step = StepDone(values);
  if (step != SQLITE_OK) return ResultFromSqlite(step);
  Statement keys(db, (std::string(kSubtree) + "DELETE FROM keys WHERE id IN tree").c_str());
  keys.Bind(1, id);
  step = StepDone(keys);
  if (step != SQLITE_OK) return ResultFromSqlite(step);
  return transaction.Commit();
}

bool RegKey::Exists(std::string_view path) {
  RegKey key;
  return Open(path, KEY_READ, key) == ERROR_SUCCESS;
}

LONG RegKey::QueryValue(std::string_view name, DWORD* type, void* data, DWORD* size) const {
  if (!impl_) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  Statement query(impl_->db, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2");
  query.Bind(1, impl_->id).BindText(2, FoldName(name));
  const int rc = query.Step();
  if (rc == SQLITE_DONE) {
    const LONG alive = KeyStillExists(impl_->db, impl_->id);
    return alive == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : alive;
  }
  if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
  if (type) *type = static_cast<DWORD>(query.ColumnInt(0));
  const std::vector<std::uint8_t> bytes = query.ColumnBlob(1);
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (size == nullptr) return ERROR_SUCCESS;
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed > 0) std::memcpy(data, bytes.data(), needed);
  }
  *size = needed;
  return ERROR_SUCCESS;
}

LONG RegKey::QueryValue(std::string_view name, DWORD& type, std::vector<std::uint8_t>& data) const {
  if (!impl_) return ERROR_INVALID_HANDLE;
  // One statement reads type and bytes together, so a value that another
  // process changes in between cannot come back torn.
  Statement query(impl_->db, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2");
  query.Bind(1, impl_->id).BindText(2, FoldName(name));
  const int rc = query.Step();
  if (rc == SQLITE_DONE) {
    const LONG alive = KeyStillExists(impl_->db, impl_->id);
    return alive == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : alive;
  }
  if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
  type = static_cast<DWORD>(query.ColumnInt(0));
  data = query.ColumnBlob(1);
  return ERROR_SUCCESS;
}

LONG RegKey::SetValue(std::string_view name, DWORD type, const void* data, DWORD size) {
  if (!impl_) return ERROR_INVALID_HANDLE;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  if (size > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
  LONG rc = CheckValueName(name);
  if (rc != ERROR_SUCCESS) return rc;
  if (!impl_->db.Writable()) return ERROR_ACCESS_DENIED;
  Transaction transaction(impl_->db);
  rc = transaction.Begin();
  if (rc != ERROR_SUCCESS) return rc;
  rc = KeyStillExists(impl_->db, impl_->id);
  if (rc != ERROR_SUCCESS) return rc;
  // An overwrite keeps the row, so the value keeps its place in the
  // enumeration and the spelling it was created with.
  Statement upsert(impl_->db,
                   "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                   "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, "
                   "data = excluded.data");
  upsert.Bind(1, impl_->id).BindText(2, name).BindText(3, FoldName(name));
  upsert.Bind(4, type).BindBlob(5, data, size);
  const int step = StepDone(upsert);
  if (step != SQLITE_OK) return ResultFromSqlite(step);
  return transaction.Commit();
}

LONG RegKey::DeleteValue(std::string_view name) {
  if (!impl_) return ERROR_INVALID_HANDLE;
  if (!impl_->db.Writable()) return ERROR_ACCESS_DENIED;
  Transaction transaction(impl_->db);
  LONG rc = transaction.Begin();
  if (rc != ERROR_SUCCESS) return rc;
  rc = KeyStillExists(impl_->db, impl_->id);
  if (rc != ERROR_SUCCESS) return rc;
  Statement remove(impl_->db, "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
  remove.Bind(1, impl_->id).BindText(2, FoldName(name));
  const int step = StepDone(remove);
  if (step != SQLITE_OK) return ResultFromSqlite(step);
  if (sqlite3_changes(impl_->db.handle()) == 0) return ERROR_FILE_NOT_FOUND;
  return transaction.Commit();
}

LONG RegKey::SetString(std::string_view name, std::string_view text, DWORD type) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);  // REG_SZ is stored with its terminating zero
  return SetValue(name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

LONG RegKey::SetDword(std::string_view name, DWORD value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return SetValue(name, REG_DWORD, bytes, sizeof bytes);
}

LONG RegKey::EnumValues(std::vector<Value>& values) const {
  values.clear();
  if (!impl_) return ERROR_INVALID_HANDLE;
  Statement list(impl_->db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY seq");
  list.Bind(1, impl_->id);
  int rc;
  while ((rc = list.Step()) == SQLITE_ROW) {
    Value value;
    value.name = list.ColumnText(0);
    value.type = static_cast<DWORD>(list.ColumnInt(1));
    value.data = list.ColumnBlob(2);
    values.push_back(std::move(value));
  }
  if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
  return values.empty() ? KeyStillExists(impl_->db, impl_->id) : ERROR_SUCCESS;
}

LONG RegKey::EnumSubkeys(std::vector<std::string>& names) const {
  names.clear();
  if (!impl_) return ERROR_INVALID_HANDLE;
  // Windows lists subkeys sorted without regard to case.
  Statement list(impl_->db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY folded, name");
  list.Bind(1, impl_->id);
  int rc;
  while ((rc = list.Step()) == SQLITE_ROW) names.push_back(list.ColumnText(0));
  if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
  return names.empty() ? KeyStillExists(impl_->db, impl_->id) : ERROR_SUCCESS;
}

bool HiveIsReadable() {
  const std::string file = StateRoot() + "/registry.db";
  return ::access(file.c_str(), F_OK) != 0 || ::access(file.c_str(), R_OK) == 0;
}

bool HiveIsWritable() {
  const std::string root = StateRoot();
  const std::string file = root + "/registry.db";
  if (::access(file.c_str(), F_OK) != 0) return ::access(root.c_str(), W_OK | X_OK) == 0;
  if (::access(file.c_str(), R_OK | W_OK) != 0) return false;
  // A writer also needs the -wal and -shm files, or the folder to make them.
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string side = file + suffix;
    if (::access(side.c_str(), F_OK) == 0) {
      if (::access(side.c_str(), R_OK | W_OK) != 0) return false;
    } else if (::access(root.c_str(), W_OK | X_OK) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace platform
