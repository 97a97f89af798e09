// Writing .reg files in the form Windows' registry editor writes them:
// header, a blank line, then per key "[HKEY_LOCAL_MACHINE\path]", its values
// and a blank line; hex lists wrapped near 80 columns with a trailing "\".
#include <cstdio>

#include "quillreg/reg_file.h"
#include "quillreg/reg_text.h"

namespace quillreg {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kCrLf = "\r\n";
// A hex line is broken once it passes this many characters; continuation
// lines start with two spaces, as regedit writes them.
constexpr std::size_t kHexWrapColumn = 76;
constexpr std::string_view kBom = "\xFF\xFE";

constexpr DWORD kRegMultiSz = 7;

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// A REG_SZ that regedit would write as "text": one terminating zero and no
// other, valid UTF-8, and no line breaks (which the line format cannot hold).
bool FitsQuotedString(const std::vector<std::uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
  if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) return false;
  return IsValidUtf8(text);
}

void AppendHexList(std::string line, std::string_view bytes, std::string& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    line.push_back(kDigits[b >> 4]);
    line.push_back(kDigits[b & 0x0F]);
    if (i + 1 == bytes.size()) break;
    line.push_back(',');
    if (line.size() > kHexWrapColumn) {
      out += line;
      out += "\\";
      out += kCrLf;
      line = "  ";
    }
  }
  out += line;
  out += kCrLf;
}

void AppendValue(const platform::RegKey::Value& value, std::string& out) {
  const std::string name = value.name.empty() ? "@" : Quote(value.name);
  const std::string_view raw(reinterpret_cast<const char*>(value.data.data()), value.data.size());
  if (value.type == platform::REG_SZ && FitsQuotedString(value.data)) {
    out += name + "=" + Quote(raw.substr(0, raw.size() - 1));
    out += kCrLf;
    return;
  }
  if (value.type == platform::REG_DWORD && value.data.size() == 4) {
    char number[16];
    const DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                    (static_cast<DWORD>(value.data[3]) << 24);
    std::snprintf(number, sizeof number, "%08x", v);
    out += name + "=dword:" + number;
    out += kCrLf;
    return;
  }
  std::string prefix = name + "=hex";
  if (value.type != platform::REG_BINARY) {
    char type[16];
    std::snprintf(type, sizeof type, "(%x)", value.type);
    prefix += type;
  }
  prefix += ":";
  const bool text_type = value.type == platform::REG_SZ || value.type == platform::REG_EXPAND_SZ ||
                         value.type == kRegMultiSz;
  AppendHexList(prefix, text_type ? Utf8ToUtf16Le(raw) : std::string(raw), out);
}

}  // namespace

std::string EmitRegText(const std::vector<RegExportKey>& keys) {
  std::string out(kHeader);
  out += kCrLf;
  out += kCrLf;
  for (const RegExportKey& key : keys) {
    out += "[HKEY_LOCAL_MACHINE";
    if (!key.path.empty()) out += "\\" + key.path;
    out += "]";
    out += kCrLf;
    // regedit writes the default value first.
    for (const auto& value : key.values) {
      if (value.name.empty()) AppendValue(value, out);
    }
    for (const auto& value : key.values) {
      if (!value.name.empty()) AppendValue(value, out);
    }
    out += kCrLf;
  }
  return out;
}

std::string EmitRegFile(const std::vector<RegExportKey>& keys) {
  return std::string(kBom) + Utf8ToUtf16Le(EmitRegText(keys));
}

}  // namespace quillreg
