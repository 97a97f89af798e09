// The system's message texts for the Win32 error codes that file and
// registry operations report (FormatMessage's texts), for messages that say
// why something failed: the applet's and quillctl's messages and the
// service's log.
#pragma once

#include <string>

#include "platform/win_types.h"

// The text of a Win32 error code, ending with a full stop and a line break as
// the system's texts do; unknown codes give a generic text with the number.
std::string SystemErrorText(LONG code);
