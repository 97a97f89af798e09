// The state root and the mapping of Windows path texts to Linux paths.
//
// Everything Windows keeps machine-wide lives below the state root, the
// environment variable QUILLPOST_HOME (default /var/lib/quillpost):
//   registry.db      the HKEY_LOCAL_MACHINE hive
//   run/             named kernel objects and the service manager's state
//   drive_c/, ...    the drive letters c:, d:, ...
//
// A path text is mapped just before the file system is touched:
//   "X:\a\b"  -> $QUILLPOST_HOME/drive_x/a/b   (any drive letter, either case)
//   "/a/b"    -> itself (a native path)
//   other     -> relative to the current folder
// "\" and "/" both separate; runs of separators count as one. A component that
// does not exist with the exact spelling is matched without regard to case
// against the existing entries of its folder; new entries keep the spelling given.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The state root, without trailing slash. Created (0755) on first use.
std::string StateRoot();
// $STATE_ROOT/run, created (0755) on first use.
std::string RunFolder();

// Maps a Windows or native path text to the Linux path to open (see above).
// A trailing separator of the text is kept as a trailing "/".
std::string MapPath(std::string_view path);
// The path MapPath gives when the text names something that exists as
// spelled, made without looking at the disk; empty for a text with "." or
// ".." components. An operation on something that must exist can try it
// first and fall back to MapPath when it fails: the same result, one look
// at the disk fewer.
std::string SpelledPath(std::string_view path);

// Full native path of the running program file, and its folder (with a
// trailing "/"): the module folder, where the trace log goes by default.
std::string ModuleFilePath();
std::string ModuleFolder();

// Removes trailing "\" and "/" characters (both count as separators).
std::string StripTrailingSeparators(std::string_view path);

// The last component of a path text ("\" and "/" both separate).
std::string FileNamePart(std::string_view path);

}  // namespace platform
