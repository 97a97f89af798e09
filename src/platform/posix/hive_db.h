// Internal to the registry: the SQLite connection to registry.db, the schema,
// statements and transactions, and the mapping of SQLite results to Win32
// codes. Only registry.cpp uses it.
//
// Schema (version 1):
//   keys(id, parent, name, folded)   one row per key; HKLM itself is id 1 with
//                                    parent NULL; `name` keeps the spelling of
//                                    creation, `folded` is the compare form
//   vals(seq, key, name, folded, type, data)
//                                    one row per value; `seq` gives creation
//                                    order (an overwrite keeps its row)
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace platform::hive {

constexpr std::int64_t kRootKeyId = 1;

// Win32 code for a failed SQLite call (busy, read-only, full, ...).
LONG ResultFromSqlite(int rc);

// The form in which key and value names are compared: letters of the Latin,
// Greek and Cyrillic scripts folded to lower case (simple one-to-one pairs, as
// the Windows hive compares upper-cased names); other bytes stay as they are.
// The result is stored in the database, so it must never change for a given
// schema version.
std::string FoldName(std::string_view name);

// One connection to the hive file: a move-only owner.
class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens $STATE_ROOT/registry.db. With `create` a missing file is made
  // (mode 0600) and given the schema; without it a missing or empty hive is
  // ERROR_FILE_NOT_FOUND. A file this process may read but not write opens
  // read-only (Writable() false); one it may not read is ERROR_ACCESS_DENIED.
  LONG Open(bool create);
  bool IsOpen() const { return db_ != nullptr; }
  bool Writable() const { return writable_; }
  sqlite3* handle() const { return db_; }
  void Close();

  // Runs SQL without results; returns the SQLite code.
  int Exec(const char* sql);

 private:
  LONG EnsureSchema();
  sqlite3* db_ = nullptr;
  bool writable_ = false;
};

// A prepared statement: a move-free owner used within one function.
class Statement {
 public:
  Statement(const Connection& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int prepare_rc() const { return prepare_rc_; }
  Statement& Bind(int index, std::int64_t value);
  Statement& BindText(int index, std::string_view text);
  Statement& BindBlob(int index, const void* data, std::size_t size);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();

  std::int64_t ColumnInt(int index) const;
  std::string ColumnText(int index) const;
  std::vector<std::uint8_t> ColumnBlob(int index) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int prepare_rc_ = SQLITE_OK;
};

// A write transaction (BEGIN IMMEDIATE, so that the write lock is taken at
// once and waits out other writers through the busy timeout); rolled back
// unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& db) : db_(db) {}
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  LONG Begin();
  LONG Commit();

 private:
  Connection& db_;
  bool active_ = false;
};

}  // namespace platform::hive
