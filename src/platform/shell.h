// The shell's "open" verb: a file opened with the desktop's handler, a
// program started with parameters. Results are those of ShellExecute.
#pragma once

#include <string_view>

namespace platform {

// ShellExecute "open" of a file with the desktop's handler (xdg-open, else
// $VISUAL/$EDITOR in a terminal). Returns the Windows results: above 32 on
// success; 2 when no handler program is found; 0 when out of resources.
int ShellOpenFile(std::string_view program, std::string_view file);
// ShellExecute "open" of a program with parameters, not waited for.
int ShellRunProgram(std::string_view program, std::string_view parameters);
// Runs a program with parameters (split as ShellRunProgram splits them),
// its standard streams on the null device, and waits for it: its exit code,
// or -1 when it could not be started or ended by a signal.
int RunProgramAndWait(std::string_view program, std::string_view parameters);

}  // namespace platform
