// Text helpers of the registry tool: the UTF-16LE <-> UTF-8 conversions that
// .reg files need (Windows writes them in UTF-16LE, the hive keeps texts in
// UTF-8), and ASCII comparisons for command words and root key names.
#pragma once

#include <string>
#include <string_view>

#include "platform/ascii.h"

namespace quillreg {

// UTF-16LE bytes to UTF-8. An odd last byte is dropped (callers check the
// length where it matters); unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes);
// UTF-8 to UTF-16LE bytes; malformed sequences become U+FFFD.
std::string Utf8ToUtf16Le(std::string_view text);
bool IsValidUtf8(std::string_view text);

using platform::EqualsNoCase;
using platform::HexDigitValue;
using platform::StartsWithNoCase;

std::string_view TrimLeft(std::string_view text);
std::string_view TrimRight(std::string_view text);
inline std::string_view Trim(std::string_view text) { return TrimLeft(TrimRight(text)); }

}  // namespace quillreg
