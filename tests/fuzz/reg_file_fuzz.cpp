// The .reg import of quillreg (quillreg/reg_file.h) on arbitrary file bytes:
// only the parser and the writer run, the hive is never touched.
//   - a file that is refused leaves no script behind (all or nothing);
//   - every line number of a script is within the file;
//   - a parsed script, written back out as an export would write it (the
//     keys that are not deleted, with the values that are not deleted),
//     parses again to the same keys and values; the Windows form (UTF-16LE)
//     gives the same script when the texts are valid UTF-8 (the only texts
//     that form can hold).
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "quillreg/reg_file.h"
#include "quillreg/reg_text.h"

namespace {

using quillreg::RegExportKey;
using quillreg::RegParseStatus;
using quillreg::RegScript;

constexpr DWORD kRegMultiSz = 7;

bool IsTextType(DWORD type) {
  return type == platform::REG_SZ || type == platform::REG_EXPAND_SZ || type == kRegMultiSz;
}

std::string AsText(const std::vector<std::uint8_t>& data) { return std::string(data.begin(), data.end()); }

// The keys an export would write for the script's additions.
std::vector<RegExportKey> ExportOf(const RegScript& script) {
  std::vector<RegExportKey> keys;
  for (const auto& key : script.keys) {
    if (key.remove) continue;
    RegExportKey out;
    out.path = key.path;
    for (const auto& value : key.values) {
      if (value.remove) continue;
      // A text value that is not valid UTF-8 (a REGEDIT4 file's bytes) is
      // written as UTF-16 and cannot come back unchanged; it is left out.
      if (IsTextType(value.type) && !quillreg::IsValidUtf8(AsText(value.data))) continue;
      out.values.push_back({value.name, value.type, value.data});
    }
    keys.push_back(std::move(out));
  }
  return keys;
}

// Every name and text of the export is valid UTF-8.
bool AllUtf8(const std::vector<RegExportKey>& keys) {
  for (const auto& key : keys) {
    if (!quillreg::IsValidUtf8(key.path)) return false;
    for (const auto& value : key.values) {
      if (!quillreg::IsValidUtf8(value.name)) return false;
    }
  }
  return true;
}

// The export read back must be the export: the same keys in order, each with
// its values, the default value first (as the writer puts it).
void CheckSame(const std::vector<RegExportKey>& expected, const RegScript& read, const char* form) {
  FUZZ_CHECK(read.keys.size() == expected.size(), std::string(form) + ": key count differs");
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const auto& want = expected[k];
    const auto& got = read.keys[k];
    FUZZ_CHECK(!got.remove && got.path == want.path, std::string(form) + ": key path '" +
                                                         fuzz::Printable(got.path) + "' instead of '" +
                                                         fuzz::Printable(want.path) + "'");
    std::vector<const platform::RegKey::Value*> ordered;
    for (const auto& value : want.values) {
      if (value.name.empty()) ordered.push_back(&value);
    }
    for (const auto& value : want.values) {
      if (!value.name.empty()) ordered.push_back(&value);
    }
    FUZZ_CHECK(got.values.size() == ordered.size(),
               std::string(form) + ": value count differs in '" + fuzz::Printable(want.path) + "'");
    for (std::size_t v = 0; v < ordered.size(); ++v) {
      const auto& value = got.values[v];
      FUZZ_CHECK(!value.remove && value.name == ordered[v]->name,
                 std::string(form) + ": value name '" + fuzz::Printable(value.name) + "' instead of '" +
                     fuzz::Printable(ordered[v]->name) + "'");
      FUZZ_CHECK(value.type == ordered[v]->type,
                 std::string(form) + ": type of '" + fuzz::Printable(value.name) + "'");
      FUZZ_CHECK(value.data == ordered[v]->data, std::string(form) + ": data of '" +
                                                     fuzz::Printable(value.name) + "': '" +
                                                     fuzz::Printable(AsText(value.data)) + "' instead of '" +
                                                     fuzz::Printable(AsText(ordered[v]->data)) + "'");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RegScript script;
  const auto result = quillreg::ParseRegFile(bytes, script);
  if (result.status != RegParseStatus::kOk) {
    FUZZ_CHECK(script.keys.empty(), "a refused file left a partial script");
    if (result.status == RegParseStatus::kBadLine) {
      FUZZ_CHECK(result.line >= 1 && static_cast<std::size_t>(result.line) <= size, "bad line number");
      FUZZ_CHECK(!result.reason.empty(), "a bad line without a reason");
    }
    return 0;
  }
  for (const auto& key : script.keys) {
    FUZZ_CHECK(key.line >= 1 && static_cast<std::size_t>(key.line) <= size, "key line outside the file");
    for (const auto& value : key.values) {
      FUZZ_CHECK(value.line >= key.line && static_cast<std::size_t>(value.line) <= size,
                 "value line outside its key");
    }
  }

  const std::vector<RegExportKey> exported = ExportOf(script);
  const std::string text = quillreg::EmitRegText(exported);
  RegScript again;
  const auto reread = quillreg::ParseRegFile(text, again);
  FUZZ_CHECK(reread.status == RegParseStatus::kOk, "the written text does not parse: line " +
                                                       std::to_string(reread.line) + " " + reread.reason +
                                                       "\n" + fuzz::Printable(text));
  CheckSame(exported, again, "UTF-8 form");

  if (AllUtf8(exported)) {
    RegScript windows;
    const auto wide = quillreg::ParseRegFile(quillreg::EmitRegFile(exported), windows);
    FUZZ_CHECK(wide.status == RegParseStatus::kOk,
               "the Windows form does not parse: line " + std::to_string(wide.line) + " " + wide.reason);
    CheckSame(exported, windows, "Windows form");
  }
  return 0;
}
