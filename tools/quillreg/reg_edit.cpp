// quillreg add and delete.
#include <ostream>

#include "quillreg/reg_command_internal.h"
#include "quillreg/reg_text.h"

namespace quillreg::detail {
namespace {

using platform::RegKey;

constexpr DWORD kMaxDecimalDword = 0xFFFFFFFFu;
constexpr std::size_t kMaxHexDwordDigits = 8;

bool ParseType(std::string_view text, DWORD& type) {
  static constexpr std::pair<std::string_view, DWORD> kTypes[] = {
      {"REG_SZ", platform::REG_SZ},
      {"REG_EXPAND_SZ", platform::REG_EXPAND_SZ},
      {"REG_DWORD", platform::REG_DWORD},
      {"REG_BINARY", platform::REG_BINARY},
  };
  for (const auto& [name, value] : kTypes) {
    if (EqualsNoCase(text, name)) {
      type = value;
      return true;
    }
  }
  return false;
}

// Decimal, or hexadecimal after "0x".
bool ParseDword(std::string_view text, DWORD& value) {
  value = 0;
  if (StartsWithNoCase(text, "0x")) {
    text.remove_prefix(2);
    if (text.empty() || text.size() > kMaxHexDwordDigits) return false;
    for (const char c : text) {
      const int digit = HexDigitValue(c);
      if (digit < 0) return false;
      value = (value << 4) | static_cast<DWORD>(digit);
    }
    return true;
  }
  if (text.empty()) return false;
  unsigned long long number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned>(c - '0');
    if (number > kMaxDecimalDword) return false;
  }
  value = static_cast<DWORD>(number);
  return true;
}

// Hex digits without separators, two per byte.
bool ParseBinary(std::string_view text, std::vector<std::uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigitValue(text[i]);
    const int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

// The bytes the hive stores for /t TYPE /d DATA; false when DATA does not fit
// the type.
bool EncodeData(DWORD type, const std::optional<std::string>& data, std::vector<std::uint8_t>& bytes) {
  const std::string text = data.value_or("");
  switch (type) {
    case platform::REG_DWORD: {
      DWORD value = 0;
      if (data && !ParseDword(text, value)) return false;
      for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
      return true;
    }
    case platform::REG_BINARY:
      return ParseBinary(text, bytes);
    default:
      bytes.assign(text.begin(), text.end());
      bytes.push_back(0);
      return true;
  }
}

std::string ShownName(std::string_view name) {
  return name.empty() ? "(Default)" : std::string(name);
}

}  // namespace

int RunAdd(const Options& options, Io& io) {
  std::string path;
  if (!ParseKeyArgument(options.positional[0], path)) {
    return FailWithUsage(io, kInvalidKey, options.operation);
  }
  DWORD type = platform::REG_SZ;
  if (options.type && !ParseType(*options.type, type)) {
    return FailWithUsage(io, kInvalidSyntax, options.operation);
  }
  std::vector<std::uint8_t> bytes;
  if (!EncodeData(type, options.data, bytes)) {
    return FailWithUsage(io, kInvalidSyntax, options.operation);
  }
  // /t or /d without /v set the default value, as `reg` does.
  const bool sets_value = options.value || options.default_value || options.type || options.data;
  const std::string name = options.value.value_or("");

  RegKey key;
  LONG rc = RegKey::Create(path, platform::KEY_WRITE, key);
  if (rc != ERROR_SUCCESS) return FailCode(io, rc);
  if (!sets_value) return Succeed(io);

  DWORD existing_type = 0;
  if (!options.force && key.QueryValue(name, &existing_type, nullptr, nullptr) == ERROR_SUCCESS &&
      !Confirm(io, "Value " + ShownName(name) + " exists, overwrite(Yes/No)? ")) {
    io.out << kCancelled << "\n";
    return 1;
  }
  rc = key.SetValue(name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
  return rc == ERROR_SUCCESS ? Succeed(io) : FailCode(io, rc);
}

int RunDelete(const Options& options, Io& io) {
  std::string path;
  if (!ParseKeyArgument(options.positional[0], path)) {
    return FailWithUsage(io, kInvalidKey, options.operation);
  }
  const std::string display = DisplayPath(path);
  const bool whole_key = !options.value && !options.default_value && !options.all_values;
  if (whole_key && path.empty()) return FailWithUsage(io, kInvalidKey, options.operation);

  RegKey key;
  LONG rc = RegKey::Open(path, platform::KEY_ALL_ACCESS, key);
  if (rc != ERROR_SUCCESS) return FailCode(io, rc);

  if (whole_key) {
    if (!options.force &&
        !Confirm(io, "Permanently delete the registry key " + display + " (Yes/No)? ")) {
      io.out << kCancelled << "\n";
      return 1;
    }
    key.Close();
    rc = RegKey::DeleteTree(path);
    return rc == ERROR_SUCCESS ? Succeed(io) : FailCode(io, rc);
  }

  if (options.all_values) {
    if (!options.force &&
        !Confirm(io, "Delete all values under the registry key " + display + " (Yes/No)? ")) {
      io.out << kCancelled << "\n";
      return 1;
    }
    std::vector<RegKey::Value> values;
    rc = key.EnumValues(values);
    for (const auto& value : values) {
      if (rc != ERROR_SUCCESS) break;
      rc = key.DeleteValue(value.name);
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;  // removed meanwhile
    }
    return rc == ERROR_SUCCESS ? Succeed(io) : FailCode(io, rc);
  }

  const std::string name = options.value.value_or("");
  DWORD type = 0;
  rc = key.QueryValue(name, &type, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return FailCode(io, rc);
  if (!options.force &&
      !Confirm(io, "Delete the registry value " + ShownName(name) + " (Yes/No)? ")) {
    io.out << kCancelled << "\n";
    return 1;
  }
  rc = key.DeleteValue(name);
  return rc == ERROR_SUCCESS ? Succeed(io) : FailCode(io, rc);
}

}  // namespace quillreg::detail
