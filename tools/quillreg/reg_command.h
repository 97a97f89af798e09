// The quillreg command: a work-alike of the Windows `reg` command over the
// HKEY_LOCAL_MACHINE hive.
//
//   quillreg query  KEY [/v NAME | /ve] [/s]
//   quillreg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   quillreg delete KEY [/v NAME | /ve | /va] [/f]
//   quillreg import FILE.reg
//   quillreg export KEY FILE.reg [/y]
//
// Output, "ERROR: ..." messages (on the error stream) and exit codes (0 on
// success, 1 on failure) are those of `reg`. Questions ("overwrite?") are
// read from `in`; its end counts as "No".
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quillreg {

// `args` are the words after the program name.
int RunRegCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err);

}  // namespace quillreg
