// The hive side of import and export: applying a parsed .reg script and
// reading a key tree for writing out.
#include "quillreg/reg_file.h"

namespace quillreg {

using platform::RegKey;

LONG ApplyRegScript(const RegScript& script) {
  for (const RegKeyEdit& edit : script.keys) {
    if (edit.remove) {
      const LONG rc = RegKey::DeleteTree(edit.path);
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
      continue;
    }
    RegKey key;
    LONG rc = RegKey::Create(edit.path, platform::KEY_WRITE, key);
    if (rc != ERROR_SUCCESS) return rc;
    for (const RegValueEdit& value : edit.values) {
      if (value.remove) {
        rc = key.DeleteValue(value.name);
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
      } else {
        rc = key.SetValue(value.name, value.type, value.data.data(),
                          static_cast<DWORD>(value.data.size()));
      }
      if (rc != ERROR_SUCCESS) return rc;
    }
  }
  return ERROR_SUCCESS;
}

namespace {

LONG CollectFrom(const RegKey& key, std::vector<RegExportKey>& keys) {
  RegExportKey entry;
  entry.path = key.Path();
  LONG rc = key.EnumValues(entry.values);
  if (rc != ERROR_SUCCESS) return rc;
  keys.push_back(std::move(entry));
  std::vector<std::string> subkeys;
  rc = key.EnumSubkeys(subkeys);
  if (rc != ERROR_SUCCESS) return rc;
  // Depth is bounded by the hive's own limit on key levels.
  for (const std::string& name : subkeys) {
    RegKey child;
    const std::string path = key.Path().empty() ? name : key.Path() + "\\" + name;
    rc = RegKey::Open(path, platform::KEY_READ, child);
    if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile by another process
    if (rc != ERROR_SUCCESS) return rc;
    rc = CollectFrom(child, keys);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG CollectExportKeys(std::string_view path, std::vector<RegExportKey>& keys) {
  keys.clear();
  RegKey key;
  const LONG rc = RegKey::Open(path, platform::KEY_READ, key);
  if (rc != ERROR_SUCCESS) return rc;
  return CollectFrom(key, keys);
}

}  // namespace quillreg
