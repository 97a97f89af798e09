// The system's message texts for the Win32 error codes the applet and
// quillctl can meet when they remove or move mailbox folders and messages or
// read a list from the registry (FormatMessage's texts).
#pragma once

#include <string>

#include "platform/win_types.h"

namespace admin {

constexpr LONG ERROR_INVALID_NAME = 123;

// The text of a Win32 error code, ending with a full stop and a line break as
// the system's texts do; unknown codes give a generic text with the number.
std::string SystemErrorText(LONG code);

}  // namespace admin
