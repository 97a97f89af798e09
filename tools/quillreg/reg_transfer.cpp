// quillreg import and export: .reg files to and from the hive. File names are
// Windows or native path texts (mapped by the platform layer).
#include <ostream>

#include "platform/files.h"
#include "quillreg/reg_command_internal.h"
#include "quillreg/reg_file.h"

namespace quillreg::detail {
namespace {

// Exports carry the settings' passwords, so they are as private as the hive.
constexpr unsigned kExportFileMode = 0600;
constexpr std::size_t kReadChunk = 64 * 1024;

enum class ReadResult { kOk, kCannotOpen, kTooLarge };

ReadResult ReadWholeFile(const std::string& path, std::string& bytes) {
  platform::File file = platform::File::Open(path, platform::File::Mode::Read);
  if (!file.IsOpen()) return ReadResult::kCannotOpen;
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    const long got = file.Read(chunk.data(), chunk.size());
    if (got < 0) return ReadResult::kCannotOpen;
    if (got == 0) return ReadResult::kOk;
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxRegFileBytes) return ReadResult::kTooLarge;
    bytes.append(chunk.data(), static_cast<std::size_t>(got));
  }
}

}  // namespace

int RunImport(const Options& options, Io& io) {
  const std::string& file_name = options.positional[0];
  std::string bytes;
  switch (ReadWholeFile(file_name, bytes)) {
    case ReadResult::kCannotOpen:
      return Fail(io, kFileError);
    case ReadResult::kTooLarge:
      return Fail(io, "The registry script is too large.");
    case ReadResult::kOk:
      break;
  }
  RegScript script;
  const RegParseResult parsed = ParseRegFile(bytes, script);
  switch (parsed.status) {
    case RegParseStatus::kOk:
      break;
    case RegParseStatus::kTooLarge:
      return Fail(io, "The registry script is too large.");
    case RegParseStatus::kNotRegScript:
      return Fail(io,
                  "The specified file is not a registry script. You can only import binary "
                  "registry files from within the registry editor.");
    case RegParseStatus::kBadLine:
      // Nothing has been written: a script is applied whole or not at all.
      return Fail(io, "Line " + std::to_string(parsed.line) + " of the registry script: " +
                          parsed.reason + ".");
  }
  const LONG rc = ApplyRegScript(script);
  return rc == ERROR_SUCCESS ? Succeed(io) : FailCode(io, rc);
}

int RunExport(const Options& options, Io& io) {
  std::string path;
  if (!ParseKeyArgument(options.positional[0], path)) {
    return FailWithUsage(io, kInvalidKey, options.operation);
  }
  const std::string& file_name = options.positional[1];
  std::vector<RegExportKey> keys;
  const LONG rc = CollectExportKeys(path, keys);
  if (rc != ERROR_SUCCESS) return FailCode(io, rc);

  if (!options.overwrite && platform::IsRegularFile(file_name) &&
      !Confirm(io, "File " + file_name + " already exists. Overwrite (Yes/No)? ")) {
    io.out << kCancelled << "\n";
    return 1;
  }
  const std::string bytes = EmitRegFile(keys);
  platform::File file =
      platform::File::Open(file_name, platform::File::Mode::WriteTruncate, kExportFileMode);
  if (!file.IsOpen() || !file.Write(bytes.data(), bytes.size())) return Fail(io, kFileError);
  file.Close();
  return Succeed(io);
}

}  // namespace quillreg::detail
