// quillreg query: shows a key's values and subkeys, one value, or (with /s)
// a whole tree, laid out as `reg query` lays them out:
//
//   <blank line>
//   HKEY_LOCAL_MACHINE\key
//       Name    REG_SZ    text
//   <blank line>
//   HKEY_LOCAL_MACHINE\key\subkey
//   <blank line>
#include <ostream>

#include "quillreg/reg_command_internal.h"

namespace quillreg::detail {
namespace {

using platform::RegKey;

std::string ChildPath(std::string_view parent, std::string_view name) {
  return parent.empty() ? std::string(name) : std::string(parent) + "\\" + std::string(name);
}

// Lists one key; with `recurse` every key below it follows, each with its
// values (keys without values stand on consecutive lines, as in `reg`).
LONG QueryAll(const RegKey& key, const std::string& display, bool recurse, Io& io) {
  std::vector<RegKey::Value> values;
  LONG rc = key.EnumValues(values);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> subkeys;
  rc = key.EnumSubkeys(subkeys);
  if (rc != ERROR_SUCCESS) return rc;

  io.out << display << "\n";
  for (const auto& value : values) io.out << ValueLine(value.name, value.type, value.data) << "\n";
  if (!values.empty() || !recurse) io.out << "\n";
  for (const std::string& name : subkeys) {
    if (!recurse) {
      io.out << display << "\\" << name << "\n";
      continue;
    }
    RegKey child;
    rc = RegKey::Open(ChildPath(key.Path(), name), platform::KEY_READ, child);
    if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (rc != ERROR_SUCCESS) return rc;
    rc = QueryAll(child, display + "\\" + name, true, io);
    if (rc != ERROR_SUCCESS) return rc;
  }
  if (!subkeys.empty() && !recurse) io.out << "\n";
  return ERROR_SUCCESS;
}

// /v NAME /s: the value in the key and in every key below it.
LONG SearchValue(const RegKey& key, const std::string& display, std::string_view name, Io& io,
                 int& matches) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  LONG rc = key.QueryValue(name, type, data);
  if (rc == ERROR_SUCCESS) {
    io.out << display << "\n" << ValueLine(name, type, data) << "\n\n";
    ++matches;
  } else if (rc != ERROR_FILE_NOT_FOUND) {
    return rc;
  }
  std::vector<std::string> subkeys;
  rc = key.EnumSubkeys(subkeys);
  if (rc != ERROR_SUCCESS) return rc;
  for (const std::string& sub : subkeys) {
    RegKey child;
    rc = RegKey::Open(ChildPath(key.Path(), sub), platform::KEY_READ, child);
    if (rc == ERROR_FILE_NOT_FOUND) continue;
    if (rc != ERROR_SUCCESS) return rc;
    rc = SearchValue(child, display + "\\" + sub, name, io, matches);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

}  // namespace

int RunQuery(const Options& options, Io& io) {
  std::string path;
  if (!ParseKeyArgument(options.positional[0], path)) {
    return FailWithUsage(io, kInvalidKey, options.operation);
  }
  RegKey key;
  LONG rc = RegKey::Open(path, platform::KEY_READ, key);
  if (rc != ERROR_SUCCESS) return FailCode(io, rc);
  const std::string display = DisplayPath(path);

  if (!options.value && !options.default_value) {
    io.out << "\n";
    rc = QueryAll(key, display, options.recurse, io);
    return rc == ERROR_SUCCESS ? 0 : FailCode(io, rc);
  }

  const std::string name = options.value.value_or("");
  if (options.recurse) {
    int matches = 0;
    io.out << "\n";
    rc = SearchValue(key, display, name, io, matches);
    if (rc != ERROR_SUCCESS) return FailCode(io, rc);
    io.out << "End of search: " << matches << " match(es) found.\n";
    return 0;
  }
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  rc = key.QueryValue(name, type, data);
  if (rc == ERROR_FILE_NOT_FOUND && name.empty()) {
    // `reg` shows an unset default value rather than failing.
    io.out << "\n" << display << "\n    (Default)    REG_SZ    (value not set)\n\n";
    return 0;
  }
  if (rc != ERROR_SUCCESS) return FailCode(io, rc);
  io.out << "\n" << display << "\n" << ValueLine(name, type, data) << "\n\n";
  return 0;
}

}  // namespace quillreg::detail
