// Reading and writing the settings of the mail service (see settings_registry.h).
// Every helper opens the section key, does its one query or write and closes
// the key again, so the service and the applet never hold a key open.
#include "common/settings_registry.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

namespace {

// Read value, set value and create subkey: what both programs need.
constexpr DWORD kSettingsAccess = 0x2001F;
constexpr DWORD kDwordSize = 4;

std::string SectionPath(std::string_view section) {
  std::string path = kProductKey;
  if (!section.empty()) {
    path += '\\';
    path += section;
  }
  return path;
}

}  // namespace

platform::RegKey OpenSettingsKey(std::string_view section) {
  // Creating the section key creates "software", "Orvalen" and "Mail Service"
  // where they are missing, one after the other.
  platform::RegKey key;
  if (platform::RegKey::Create(SectionPath(section), kSettingsAccess, key) != ERROR_SUCCESS) {
    key.Close();
  }
  return key;
}

int ReadRegDword(std::string_view section, std::string_view value, int def) {
  platform::RegKey key = OpenSettingsKey(section);
  if (!key.IsOpen()) return def;
  std::uint8_t bytes[kDwordSize] = {};
  DWORD size = kDwordSize;
  DWORD type = platform::REG_NONE;
  // The type is not checked (a text of up to 4 bytes reads as a number), but
  // a shorter value is refused rather than read with stale upper bytes.
  if (key.QueryValue(value, &type, bytes, &size) != ERROR_SUCCESS || size != kDwordSize) return def;
  const std::uint32_t number = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                               (static_cast<std::uint32_t>(bytes[2]) << 16) |
                               (static_cast<std::uint32_t>(bytes[3]) << 24);
  return static_cast<int>(number);
}

std::string ReadRegString(std::string_view section, std::string_view value, std::string_view def) {
  platform::RegKey key = OpenSettingsKey(section);
  if (!key.IsOpen()) return std::string(def);
  DWORD type = platform::REG_NONE;
  std::vector<std::uint8_t> data;
  if (key.QueryValue(value, type, data) != ERROR_SUCCESS) return std::string(def);
  const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
  return std::string(data.begin(), end);
}

bool ReadRegBinary(std::string_view section, std::string_view value, std::vector<std::uint8_t>& data) {
  return QueryRegBinary(section, value, data) == ERROR_SUCCESS;
}

LONG QueryRegBinary(std::string_view section, std::string_view value, std::vector<std::uint8_t>& data) {
  DWORD type = platform::REG_NONE;
  return QueryRegValue(section, value, type, data);
}

LONG QueryRegValue(std::string_view section, std::string_view value, DWORD& type, std::vector<std::uint8_t>& data) {
  platform::RegKey key = OpenSettingsKey(section);
  if (!key.IsOpen()) {
    // A hive this process may not write cannot create a missing section: the
    // plain open tells a missing section from a hive that cannot be read.
    const LONG opened = platform::RegKey::Open(SectionPath(section), platform::KEY_READ, key);
    if (opened != ERROR_SUCCESS) return opened;
  }
  DWORD stored_type = platform::REG_NONE;
  std::vector<std::uint8_t> bytes;
  const LONG result = key.QueryValue(value, stored_type, bytes);
  if (result == ERROR_SUCCESS) {
    data = std::move(bytes);
    type = stored_type;
  }
  return result;
}

bool WriteRegString(std::string_view section, std::string_view value, std::string_view text) {
  platform::RegKey key = OpenSettingsKey(section);
  return key.IsOpen() && key.SetString(value, text, platform::REG_SZ) == ERROR_SUCCESS;
}

bool WriteRegDword(std::string_view section, std::string_view value, int number) {
  platform::RegKey key = OpenSettingsKey(section);
  return key.IsOpen() && key.SetDword(value, static_cast<DWORD>(number)) == ERROR_SUCCESS;
}

bool WriteRegBinary(std::string_view section, std::string_view value, const void* data, std::size_t size) {
  if (size > std::numeric_limits<DWORD>::max()) return false;
  platform::RegKey key = OpenSettingsKey(section);
  return key.IsOpen() &&
         key.SetValue(value, platform::REG_BINARY, data, static_cast<DWORD>(size)) == ERROR_SUCCESS;
}
