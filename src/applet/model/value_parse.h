// The applet's checks of typed numbers: the integer exchange of a dialog
// field refuses anything that is not a whole number with one standard
// message, and the field keeps the focus.
#pragma once

#include <string_view>

namespace applet {

// The message shown when a number field holds something else.
inline constexpr const char* kEnterIntegerText = "Please enter an integer.";

// Parses an optionally signed decimal integer with blanks around it; false
// for an empty text, other characters, or a value outside int.
bool ParseInt(std::string_view text, int& value);

}  // namespace applet
