// Console events, message boxes without a desktop, beeps, GUIDs and the
// shell's "open" verb.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace platform {

constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;

// Installs the console control handler: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break,
// SIGHUP the closing of the console; SIGTERM counts as Ctrl+C. The handler
// runs on a thread of its own (as Windows runs it); returning false lets the
// default action (ending the process) happen.
void SetConsoleControlHandler(std::function<bool(DWORD event)> handler);

// A message box of the service program: it has no desktop, so the caption
// and text go to standard error.
void MessageBoxToStderr(std::string_view text, std::string_view caption);

// A BEL on standard error when it is a terminal; otherwise nothing.
void Beep(DWORD frequency_hz, DWORD duration_ms);

// A new random GUID in its text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// (upper-case hexadecimal).
std::string NewGuidText();

// ShellExecute "open" of a file with the desktop's handler (xdg-open, else
// $VISUAL/$EDITOR in a terminal). Returns the Windows results: above 32 on
// success; 2 when no handler program is found; 0 when out of resources.
int ShellOpenFile(std::string_view program, std::string_view file);
// ShellExecute "open" of a program with parameters, not waited for.
int ShellRunProgram(std::string_view program, std::string_view parameters);

}  // namespace platform
