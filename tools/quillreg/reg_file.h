// The .reg text format: parsing a file's bytes into a script of key and value
// edits, applying a script to the hive, and writing keys back out.
//
// Accepted input (what Windows writes, and what people type):
//   - UTF-16LE with a byte-order mark and CR LF ("Windows Registry Editor
//     Version 5.00"), or UTF-8 / ASCII with LF or CR LF, with or without a
//     UTF-8 byte-order mark; "REGEDIT4" files are taken byte for byte.
//   - [HKEY_LOCAL_MACHINE\key] (or [HKLM\key]), [-KEY] to delete a key tree.
//   - "name"="text" (escapes \\ and \" only; any other backslash is kept),
//     @= for the default value,
//     "name"=dword:0000006e, "name"=hex:01,02,..., "name"=hex(N):...,
//     "name"=- to delete; hex lists may continue over lines ending in "\".
//   - Blank lines and lines starting with ";" are ignored.
// The parser reads untrusted bytes: every read is bounded, and the file,
// names and values have fixed size limits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace quillreg {

// A file larger than this is refused before parsing (a full export of the
// service's settings is a few kilobytes).
constexpr std::size_t kMaxRegFileBytes = 64 * 1024 * 1024;

struct RegValueEdit {
  std::string name;  // "" is the default value
  bool remove = false;
  DWORD type = platform::REG_NONE;
  std::vector<std::uint8_t> data;  // the bytes the hive stores
  int line = 0;
};

struct RegKeyEdit {
  std::string path;  // below HKEY_LOCAL_MACHINE; "" is the root itself
  bool remove = false;
  std::vector<RegValueEdit> values;
  int line = 0;
};

struct RegScript {
  std::vector<RegKeyEdit> keys;
};

enum class RegParseStatus {
  kOk,
  kNotRegScript,  // no header line, or an encoding the tool does not read
  kBadLine,       // `line` and `reason` tell which and why
  kTooLarge,
};

struct RegParseResult {
  RegParseStatus status = RegParseStatus::kOk;
  int line = 0;
  std::string reason;
};

// Parses a whole .reg file. On anything but kOk the script is left empty:
// a file is applied completely or not at all, never up to a broken line.
RegParseResult ParseRegFile(std::string_view bytes, RegScript& script);

// Applies a parsed script to the hive in file order: deleting a missing key
// or value is no error. Stops at the first failure and returns its code.
LONG ApplyRegScript(const RegScript& script);

// One key as an export writes it.
struct RegExportKey {
  std::string path;  // below HKEY_LOCAL_MACHINE, stored spelling
  std::vector<platform::RegKey::Value> values;
};

// Reads the key `path` and every key below it (parents first, subkeys in
// enumeration order) for an export.
LONG CollectExportKeys(std::string_view path, std::vector<RegExportKey>& keys);

// The .reg text of `keys` as UTF-8 with CR LF line ends, and the same text
// in the form Windows writes (UTF-16LE with a byte-order mark).
std::string EmitRegText(const std::vector<RegExportKey>& keys);
std::string EmitRegFile(const std::vector<RegExportKey>& keys);

}  // namespace quillreg
