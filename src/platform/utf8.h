// UTF-8 code points one at a time, for the code that folds or converts texts
// (registry names, .reg files) without a locale.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Decodes the sequence that starts at `pos` into `cp` and returns its length
// (1 to 4). Returns 0, and `cp` means nothing, when the bytes there are not
// one well-formed sequence: a stray continuation byte or invalid lead byte, a
// sequence cut short by the end of `text` or by a byte that is no
// continuation, an overlong form, a surrogate (U+D800..U+DFFF) or a value
// past U+10FFFF. Also 0 when `pos` is at or past the end.
std::size_t DecodeUtf8(std::string_view text, std::size_t pos, char32_t& cp);

// Appends the UTF-8 form of `cp`, which must be a code point (at most
// U+10FFFF); surrogates are written as they are.
void AppendUtf8(char32_t cp, std::string& out);

}  // namespace platform
