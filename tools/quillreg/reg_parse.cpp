// Parser of .reg files (grammar in reg_file.h). Works on the file decoded to
// UTF-8 and cut into lines; every step reads through string_view bounds.
#include <utility>

#include "quillreg/reg_file.h"
#include "quillreg/reg_text.h"

namespace quillreg {
namespace {

using platform::kMaxKeyDepth;
using platform::kMaxKeyNameChars;
using platform::kMaxValueBytes;
using platform::kMaxValueNameChars;

constexpr std::string_view kHeaderUnicode = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeaderAnsi = "REGEDIT4";
constexpr std::string_view kRootLong = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kRootShort = "HKLM";
constexpr std::size_t kMaxTypeDigits = 8;   // hex(N): N is a 32-bit type
constexpr std::size_t kMaxDwordDigits = 8;

constexpr DWORD kRegMultiSz = 7;

std::size_t CountChars(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// Decodes the file to UTF-8 (or takes REGEDIT4 bytes as they are).
// False for encodings the tool does not read.
bool DecodeFile(std::string_view bytes, std::string& text) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) {
    bytes.remove_prefix(2);
    if (bytes.size() % 2 != 0) return false;
    text = Utf16LeToUtf8(bytes);
    return true;
  }
  if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) return false;  // UTF-16BE
  if (bytes.size() >= 2 && at(0) != 0 && at(1) == 0) {  // UTF-16LE that lost its mark
    if (bytes.size() % 2 != 0) return false;
    text = Utf16LeToUtf8(bytes);
    return true;
  }
  if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) bytes.remove_prefix(3);
  text.assign(bytes);
  return true;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool ParseHexNumber(std::string_view digits, std::size_t max_digits, DWORD& value) {
  if (digits.empty() || digits.size() > max_digits) return false;
  value = 0;
  for (const char c : digits) {
    const int v = HexDigitValue(c);
    if (v < 0) return false;
    value = (value << 4) | static_cast<DWORD>(v);
  }
  return true;
}

class Parser {
 public:
  Parser(std::vector<std::string_view> lines, bool unicode)
      : lines_(std::move(lines)), unicode_(unicode) {}

  bool Run(RegScript& script);
  int error_line() const { return error_line_; }
  const std::string& error_reason() const { return error_reason_; }

 private:
  bool Fail(std::string reason) {
    error_line_ = static_cast<int>(index_) + 1;
    error_reason_ = std::move(reason);
    return false;
  }
  bool ParseKeyLine(std::string_view text, RegScript& script);
  bool ParseValueLine(std::string_view text, RegKeyEdit& key);
  bool ParseQuoted(std::string_view& text, std::string& out);
  bool ParseData(std::string_view text, RegValueEdit& value);
  bool ParseHexList(std::string_view text, std::vector<std::uint8_t>& out);

  std::vector<std::string_view> lines_;
  bool unicode_;
  std::size_t index_ = 0;  // the line being read
  int error_line_ = 0;
  std::string error_reason_;
};

bool Parser::Run(RegScript& script) {
  for (index_ = 1; index_ < lines_.size(); ++index_) {
    const std::string_view text = Trim(lines_[index_]);
    if (text.empty() || text.front() == ';') continue;
    if (text.front() == '[') {
      if (!ParseKeyLine(text, script)) return false;
    } else if (text.front() == '@' || text.front() == '"') {
      if (script.keys.empty()) return Fail("value before the first key");
      if (script.keys.back().remove) return Fail("value below a key that is being deleted");
      if (!ParseValueLine(text, script.keys.back())) return false;
    } else {
      return Fail("unrecognised line");
    }
  }
  return true;
}

bool Parser::ParseKeyLine(std::string_view text, RegScript& script) {
  const std::size_t close = text.rfind(']');
  if (close == std::string_view::npos) return Fail("missing \"]\" after the key name");
  if (!Trim(text.substr(close + 1)).empty()) return Fail("text after the key name");
  std::string_view name = text.substr(1, close - 1);
  RegKeyEdit key;
  key.line = static_cast<int>(index_) + 1;
  if (!name.empty() && name.front() == '-') {
    key.remove = true;
    name.remove_prefix(1);
  }
  const std::size_t slash = name.find('\\');
  const std::string_view root = name.substr(0, slash);
  if (!EqualsNoCase(root, kRootLong) && !EqualsNoCase(root, kRootShort)) {
    return Fail("only HKEY_LOCAL_MACHINE keys can be imported");
  }
  std::string_view path = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  std::size_t depth = 0;
  std::size_t start = 0;
  while (!path.empty() && start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty()) return Fail("empty key name in the key path");
    if (CountChars(part) > kMaxKeyNameChars) return Fail("key name longer than 255 characters");
    if (++depth > kMaxKeyDepth) return Fail("key path deeper than 512 levels");
    start = end + 1;
  }
  if (key.remove && path.empty()) return Fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
  key.path.assign(path);
  script.keys.push_back(std::move(key));
  return true;
}

bool Parser::ParseValueLine(std::string_view text, RegKeyEdit& key) {
  RegValueEdit value;
  value.line = static_cast<int>(index_) + 1;
  if (text.front() == '@') {
    text.remove_prefix(1);
  } else if (!ParseQuoted(text, value.name)) {
    return false;
  }
  if (CountChars(value.name) > kMaxValueNameChars) return Fail("value name too long");
  text = TrimLeft(text);
  if (text.empty() || text.front() != '=') return Fail("missing \"=\" after the value name");
  text = TrimLeft(text.substr(1));
  if (!ParseData(text, value)) return false;
  key.values.push_back(std::move(value));
  return true;
}

// `text` starts at the opening quote; on success it is left just after the
// closing one. Only \\ and \" are escapes (as regedit writes them); any other
// backslash is taken as it is, so hand-written "c:\temp" survives.
bool Parser::ParseQuoted(std::string_view& text, std::string& out) {
  out.clear();
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      text.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      out.push_back(text[++i]);
      continue;
    }
    out.push_back(c);
  }
  return Fail("missing closing quote");
}

bool Parser::ParseData(std::string_view text, RegValueEdit& value) {
  if (!text.empty() && text.front() == '-') {
    if (!Trim(text.substr(1)).empty()) return Fail("text after \"-\"");
    value.remove = true;
    return true;
  }
  if (!text.empty() && text.front() == '"') {
    std::string content;
    if (!ParseQuoted(text, content)) return false;
    if (!Trim(text).empty()) return Fail("text after the closing quote");
    if (content.size() >= kMaxValueBytes) return Fail("value data too large");
    value.type = platform::REG_SZ;
    value.data.assign(content.begin(), content.end());
    value.data.push_back(0);
    return true;
  }
  if (StartsWithNoCase(text, "dword:")) {
    DWORD number = 0;
    if (!ParseHexNumber(Trim(text.substr(6)), kMaxDwordDigits, number)) {
      return Fail("dword data must be 1 to 8 hexadecimal digits");
    }
    value.type = platform::REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) {
      value.data.push_back(static_cast<std::uint8_t>(number >> shift));
    }
    return true;
  }
  if (!StartsWithNoCase(text, "hex")) return Fail("unrecognised value data");
  text.remove_prefix(3);
  value.type = platform::REG_BINARY;
  if (!text.empty() && text.front() == '(') {
    const std::size_t close = text.find(')');
    if (close == std::string_view::npos ||
        !ParseHexNumber(text.substr(1, close - 1), kMaxTypeDigits, value.type)) {
      return Fail("bad value type in hex(...)");
    }
    text.remove_prefix(close + 1);
  }
  if (text.empty() || text.front() != ':') return Fail("missing \":\" after hex");
  const int first_line = static_cast<int>(index_) + 1;
  if (!ParseHexList(text.substr(1), value.data)) return false;
  // Version 5 files hold texts in UTF-16LE; the hive keeps them in UTF-8.
  const bool text_type = value.type == platform::REG_SZ || value.type == platform::REG_EXPAND_SZ ||
                         value.type == kRegMultiSz;
  if (unicode_ && text_type) {
    if (value.data.size() % 2 != 0) {
      error_line_ = first_line;
      error_reason_ = "text data of odd length";
      return false;
    }
    const std::string utf8 = Utf16LeToUtf8(std::string_view(
        reinterpret_cast<const char*>(value.data.data()), value.data.size()));
    value.data.assign(utf8.begin(), utf8.end());
  }
  return true;
}

// Comma-separated bytes of one or two hex digits; a line ending in "\"
// continues on the next line.
bool Parser::ParseHexList(std::string_view text, std::vector<std::uint8_t>& out) {
  for (;;) {
    std::string_view part = Trim(text);
    bool more = false;
    if (!part.empty() && part.back() == '\\') {
      more = true;
      part = TrimRight(part.substr(0, part.size() - 1));
    }
    while (!part.empty()) {
      const std::size_t comma = part.find(',');
      const std::string_view token = Trim(part.substr(0, comma));
      DWORD byte = 0;
      if (!ParseHexNumber(token, 2, byte)) return Fail("bad byte in hex data");
      if (out.size() >= kMaxValueBytes) return Fail("value data too large");
      out.push_back(static_cast<std::uint8_t>(byte));
      if (comma == std::string_view::npos) break;
      part = TrimLeft(part.substr(comma + 1));
    }
    if (!more) return true;
    if (index_ + 1 >= lines_.size()) return Fail("the last line ends in a continuation \"\\\"");
    text = lines_[++index_];
  }
}

}  // namespace

RegParseResult ParseRegFile(std::string_view bytes, RegScript& script) {
  script.keys.clear();
  RegParseResult result;
  if (bytes.size() > kMaxRegFileBytes) {
    result.status = RegParseStatus::kTooLarge;
    return result;
  }
  std::string text;
  if (!DecodeFile(bytes, text)) {
    result.status = RegParseStatus::kNotRegScript;
    return result;
  }
  std::vector<std::string_view> lines = SplitLines(text);
  const std::string_view header = lines.empty() ? std::string_view() : Trim(lines.front());
  const bool unicode = header == kHeaderUnicode;
  if (!unicode && header != kHeaderAnsi) {
    result.status = RegParseStatus::kNotRegScript;
    return result;
  }
  Parser parser(std::move(lines), unicode);
  if (!parser.Run(script)) {
    script.keys.clear();
    result.status = RegParseStatus::kBadLine;
    result.line = parser.error_line();
    result.reason = parser.error_reason();
  }
  return result;
}

}  // namespace quillreg
