// The serialised list format of every list value in the registry:
//   u16 element count (little-endian), then the elements.
//   A text element is one serialised string; a CUserAccount element is three
//   (user name, full name, password).
//   A serialised string is its length and that many bytes, no terminator: a
//   length below 255 is one byte; a longer one is 0xFF and a u16 length.
// An empty list is 00 00; two texts of 5 and 6 characters make 15 bytes.
//
// The readers never read past the buffer: a truncated count or string, or
// bytes left over, make them fail and leave the output untouched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/user_account.h"

namespace serial_list {

using Bytes = std::vector<std::uint8_t>;

Bytes WriteTexts(const std::vector<std::string>& texts);
Bytes WriteAccounts(const std::vector<CUserAccount>& accounts);

bool ReadTexts(const std::uint8_t* data, std::size_t size, std::vector<std::string>& texts);
bool ReadAccounts(const std::uint8_t* data, std::size_t size, std::vector<CUserAccount>& accounts);

}  // namespace serial_list
