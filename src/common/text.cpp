// Small text helpers over std::string (see text.h for the contracts).
#include "common/text.h"

#include <cstdio>

namespace text {

std::string TrimLeft(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size() && IsBlank(s[begin])) ++begin;
  return std::string(s.substr(begin));
}

std::string TrimRight(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0 && IsBlank(s[end - 1])) --end;
  return std::string(s.substr(0, end));
}

std::string Trim(std::string_view s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return std::string(s.substr(begin, end - begin));
}

std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = platform::ToUpperAscii(c);
  return out;
}

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = platform::ToLowerAscii(c);
  return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

std::string EscapePercent(std::string_view s) { return ReplaceAll(s, "%", "%%"); }

std::string EscapeControls(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatV(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed <= 0) return std::string();
  std::string out(static_cast<std::size_t>(needed), '\0');
  // vsnprintf writes the terminating zero too: give it room for it.
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

std::vector<std::string> Split(std::string_view s, char separator) {
  std::vector<std::string> fields;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t hit = s.find(separator, begin);
    if (hit == std::string_view::npos) break;
    fields.emplace_back(s.substr(begin, hit - begin));
    begin = hit + 1;
  }
  fields.emplace_back(s.substr(begin));
  return fields;
}

std::string ExtractField(std::string_view s, int index, char separator) {
  if (index < 0) return std::string();
  std::size_t begin = 0;
  for (int i = 0; i < index; ++i) {
    const std::size_t hit = s.find(separator, begin);
    if (hit == std::string_view::npos) return std::string();
    begin = hit + 1;
  }
  const std::size_t end = s.find(separator, begin);
  return std::string(s.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
}

}  // namespace text
