// The checks of typed numbers, in the applet's fields and on quillctl's
// command line: the integer exchange of a dialog field refuses anything that
// is not a whole number with one standard message, a number outside the
// field's range with another, and the field keeps the focus.
#pragma once

#include <climits>
#include <optional>
#include <string>
#include <string_view>

namespace admin {

// The message shown when a number field holds something else.
inline constexpr const char* kEnterIntegerText = "Please enter an integer.";

// Parses an optionally signed decimal integer with blanks around it; false
// for an empty text, other characters, or a value outside int.
bool ParseInt(std::string_view text, int& value);

// "Please enter an integer between LOW and HIGH."
std::string IntegerRangeText(int low, int high);
// The integer exchange of a field that takes low..high: nothing when the
// text is such a number (value set), else the message to show (value kept).
std::optional<std::string> RefuseInt(std::string_view text, int low, int high, int& value);

}  // namespace admin
