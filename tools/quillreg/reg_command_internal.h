// Shared parts of the quillreg operations: parsed options, messages, key
// arguments, value formatting and the yes/no question.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace quillreg::detail {

struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// The options of one command line; which ones an operation accepts is
// checked while parsing.
struct Options {
  std::string operation;  // upper case: QUERY, ADD, ...
  std::vector<std::string> positional;
  std::optional<std::string> value;  // /v NAME
  bool default_value = false;        // /ve
  bool all_values = false;           // /va
  bool recurse = false;              // /s
  bool force = false;                // /f
  bool overwrite = false;            // /y
  std::optional<std::string> type;   // /t
  std::optional<std::string> data;   // /d
};

inline constexpr std::string_view kSuccess = "The operation completed successfully.";
inline constexpr std::string_view kCancelled = "The registry operation was cancelled.";
inline constexpr std::string_view kNotFound =
    "The system was unable to find the specified registry key or value.";
inline constexpr std::string_view kInvalidKey = "Invalid key name.";
inline constexpr std::string_view kInvalidSyntax = "Invalid syntax.";
inline constexpr std::string_view kFileError =
    "Error opening the file. There may be a disk or file system error.";

// Writes "ERROR: <message>" to the error stream; returns the exit code 1.
int Fail(Io& io, std::string_view message);
// The same, followed by the hint to the operation's usage text.
int FailWithUsage(Io& io, std::string_view message, std::string_view operation);
// The message for a hive result code.
int FailCode(Io& io, LONG code);
int Succeed(Io& io);

// "HKLM\a\b" or "HKEY_LOCAL_MACHINE\a\b" (any case) to the path below the
// root, with empty components dropped; false for any other root.
bool ParseKeyArgument(std::string_view text, std::string& path);
// "HKEY_LOCAL_MACHINE" followed by "\path" when the path is not empty.
std::string DisplayPath(std::string_view path);

// Asks `question` (e.g. "Delete ... (Yes/No)? ") until the answer starts with
// y or n; false on n or at the end of the input.
bool Confirm(Io& io, std::string_view question);

// "REG_SZ", "REG_DWORD", ... and the data as `reg query` shows it.
std::string TypeName(DWORD type);
std::string FormatData(DWORD type, const std::vector<std::uint8_t>& data);
// One value line of a query: four spaces, name, four spaces, type, four
// spaces, data ("(Default)" for the unnamed value).
std::string ValueLine(std::string_view name, DWORD type, const std::vector<std::uint8_t>& data);

int RunQuery(const Options& options, Io& io);
int RunAdd(const Options& options, Io& io);
int RunDelete(const Options& options, Io& io);
int RunImport(const Options& options, Io& io);
int RunExport(const Options& options, Io& io);

}  // namespace quillreg::detail
