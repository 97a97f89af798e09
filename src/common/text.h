// Small text helpers over std::string with the semantics the mail code needs
// (blanks are space, tab, CR, LF, vertical tab and form feed; "without regard
// to case" is ASCII case folding).
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ascii.h"

namespace text {

std::string Trim(std::string_view s);       // blanks removed at both ends
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string ToUpper(std::string_view s);
std::string ToLower(std::string_view s);
using platform::EqualsNoCase;
using platform::IsBlank;
using platform::StartsWithNoCase;
bool StartsWith(std::string_view s, std::string_view prefix);
// Every occurrence of `from` replaced by `to`.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);
// "%" doubled, so that the text can be used as a printf format.
std::string EscapePercent(std::string_view s);
// Client text made safe for one log line: CR and LF as \r and \n, every other
// control byte but TAB (ESC, BEL, BS, DEL, ...) as \xHH, so that a
// client can neither start a log line nor send a terminal escape sequence to
// whoever reads the log.
std::string EscapeControls(std::string_view s);
// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);
// Splits at every occurrence of `separator` (empty fields kept; an empty
// text is one empty field).
std::vector<std::string> Split(std::string_view s, char separator);
// Field `index` of s split at `separator` (the MFC AfxExtractSubString rule):
// empty when there are fewer fields.
std::string ExtractField(std::string_view s, int index, char separator);

}  // namespace text
