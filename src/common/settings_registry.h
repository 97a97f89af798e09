// Reading and writing the settings of the mail service in the registry, below
// HKEY_LOCAL_MACHINE\software\Orvalen\Mail Service\<section>. Shared by the
// service (which only reads; reading creates a missing section key) and the
// applet (which also writes).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

// The product key below HKLM.
inline constexpr const char* kProductKey = "software\\Orvalen\\Mail Service";

// Opens (creating where missing) software, Orvalen, Mail Service and the
// section; an unopened key on failure (no right to the hive).
platform::RegKey OpenSettingsKey(std::string_view section);

// The 4-byte value, or `def` when the key cannot be opened or the value does
// not read into 4 bytes.
int ReadRegDword(std::string_view section, std::string_view value, int def);
// The text up to its first zero byte, or `def` when it cannot be read.
std::string ReadRegString(std::string_view section, std::string_view value, std::string_view def);
// The value's bytes; false when it cannot be read.
bool ReadRegBinary(std::string_view section, std::string_view value, std::vector<std::uint8_t>& data);
// The same with the reason: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when there
// is no such value (or section), or the error that kept it from being read
// (data untouched then).
LONG QueryRegBinary(std::string_view section, std::string_view value, std::vector<std::uint8_t>& data);
// The same with the value's type (platform::REG_*), for a look at how a
// value is stored.
LONG QueryRegValue(std::string_view section, std::string_view value, DWORD& type, std::vector<std::uint8_t>& data);

bool WriteRegString(std::string_view section, std::string_view value, std::string_view text);
bool WriteRegDword(std::string_view section, std::string_view value, int number);
bool WriteRegBinary(std::string_view section, std::string_view value, const void* data, std::size_t size);
