// The HKEY_LOCAL_MACHINE hive, kept in $QUILLPOST_HOME/registry.db (SQLite in
// WAL mode, created 0600) so that the service and the applet, in different
// processes, read and write it at the same time. Each write is one transaction.
//
// Key paths are relative to HKLM ("software\Orvalen\Mail Service\Settings");
// "\" separates, and key paths and value names compare without regard to case
// while keeping the spelling they were created with. Values are stored as the
// bytes Windows stores (REG_SZ with its terminating zero, REG_DWORD as 4 bytes
// little-endian).
//
// Results are Win32 codes: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND for a missing
// key or value, ERROR_MORE_DATA (with the needed size) for a small buffer,
// ERROR_ACCESS_DENIED when the hive cannot be opened for writing. A hive this
// process may read but not write still opens existing keys (Create too);
// only writes then fail.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace platform {

// A key handle whose key was deleted (by DeleteTree here or in another
// process) fails every further operation with this code, as on Windows.
constexpr LONG ERROR_KEY_DELETED = 1018;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Limits of the hive; names and data past them are ERROR_INVALID_PARAMETER.
// Key names and value names count characters (code points), as Windows does.
constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxValueNameChars = 16383;
// Far above any setting or list of the service; keeps one hostile value (from
// a .reg file, say) from filling memory.
constexpr std::size_t kMaxValueBytes = 8 * 1024 * 1024;

// Access rights, accepted for the callers' sake; the hive checks only whether
// it can be written at all.
constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

// An open key of the hive: a move-only owner. Each key keeps its own
// connection to the database, so keys may be used from any thread (one key
// by one thread at a time).
class RegKey {
 public:
  RegKey();
  ~RegKey();
  RegKey(RegKey&&) noexcept;
  RegKey& operator=(RegKey&&) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens a key below HKLM, creating it and its missing parents.
  // *created (optional) tells whether the key itself was new.
  static LONG Create(std::string_view path, DWORD access, RegKey& key, bool* created = nullptr);
  // Opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
  static LONG Open(std::string_view path, DWORD access, RegKey& key);
  // Deletes a key and everything below it.
  static LONG DeleteTree(std::string_view path);
  static bool Exists(std::string_view path);

  bool IsOpen() const;
  const std::string& Path() const;  // with the stored spelling
  void Close();

  // RegQueryValueEx: with data null only the type and size are returned;
  // a size below the value's gives ERROR_MORE_DATA and sets *size.
  LONG QueryValue(std::string_view name, DWORD* type, void* data, DWORD* size) const;
  LONG SetValue(std::string_view name, DWORD type, const void* data, DWORD size);
  LONG DeleteValue(std::string_view name);

  // Convenience forms over the above.
  LONG QueryValue(std::string_view name, DWORD& type, std::vector<std::uint8_t>& data) const;
  LONG SetString(std::string_view name, std::string_view text, DWORD type = REG_SZ);
  LONG SetDword(std::string_view name, DWORD value);

  struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
  };
  // Values in creation order, and the names of the direct subkeys.
  LONG EnumValues(std::vector<Value>& values) const;
  LONG EnumSubkeys(std::vector<std::string>& names) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// True when the hive file can be opened for writing by this process.
bool HiveIsWritable();
// True when this process may read the hive (or it does not exist yet): the
// hive is 0600, so another user than its owner reads nothing.
bool HiveIsReadable();

}  // namespace platform
