// Message boxes and beeps of the service program, which has no desktop.
#pragma once

#include <string_view>

#include "platform/win_types.h"

namespace platform {

// A message box of the service program: the caption and text go to
// standard error.
void MessageBoxToStderr(std::string_view text, std::string_view caption);

// A BEL on standard error when it is a terminal; otherwise nothing.
void Beep(DWORD frequency_hz, DWORD duration_ms);

}  // namespace platform
