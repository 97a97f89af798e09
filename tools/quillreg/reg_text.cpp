// UTF conversions and small text helpers for the registry tool.
#include "quillreg/reg_text.h"

#include <cstdint>

#include "platform/utf8.h"

namespace quillreg {
namespace {

using platform::AppendUtf8;
using platform::DecodeUtf8;

constexpr char32_t kReplacement = 0xFFFD;

void AppendUnit(char16_t unit, std::string& out) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>(unit >> 8));
}

}  // namespace

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const std::size_t units = bytes.size() / 2;
  const auto unit = [&](std::size_t i) -> char16_t {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char16_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(low) - 0xDC00), out);
        ++i;
        continue;
      }
    }
    AppendUtf8((u >= 0xD800 && u <= 0xDFFF) ? kReplacement : char32_t(u), out);
  }
  return out;
}

std::string Utf8ToUtf16Le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = 0;
    const std::size_t used = DecodeUtf8(text, pos, cp);
    if (used == 0) {
      cp = kReplacement;
      pos += 1;
    } else {
      pos += used;
    }
    if (cp >= 0x10000) {
      AppendUnit(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)), out);
      AppendUnit(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)), out);
    } else {
      AppendUnit(static_cast<char16_t>(cp), out);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = 0;
    const std::size_t used = DecodeUtf8(text, pos, cp);
    if (used == 0) return false;
    pos += used;
  }
  return true;
}

namespace {
// A .reg line is trimmed of spaces and tabs only.
bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsSpaceOrTab(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && IsSpaceOrTab(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace quillreg
