// Console events: Ctrl+C, Ctrl+Break and the closing of the console, as the
// console control handler of a program running in a terminal sees them.
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
// default action (ending the process) happen. A null handler restores the
// default actions.
void SetConsoleControlHandler(std::function<bool(DWORD event)> handler);

// Whether standard input is a terminal (a person types, nothing is piped).
bool StandardInputIsTerminal();
// Reads one line typed on the terminal of standard input without showing it
// (a password), after writing `prompt` to standard error; the line end is
// not part of the line. False when standard input is no terminal or ends
// before a line end.
bool ReadSecretLine(std::string_view prompt, std::string& line);

// The reload signal of a daemon: a service manager sends SIGHUP to have the
// configuration read again. Installs `handler` for it (on the same thread as
// the console control handler); a null handler restores the default action.
// With a console control handler installed as well, SIGHUP stays the closing
// of the console when the terminal has really gone: the process had a
// controlling terminal when the reload handler was installed and has none
// now. A process that never had one (started by a service manager) or whose
// terminal is still there (kill -HUP from another shell) reloads.
void SetReloadSignalHandler(std::function<void()> handler);

}  // namespace platform
