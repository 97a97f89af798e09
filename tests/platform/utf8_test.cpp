// The UTF-8 code point reader and writer that registry name folding and the
// registry tool's .reg conversions rely on: every well-formed length at its
// edges, and each way a sequence can be malformed.
#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using platform::AppendUtf8;
using platform::DecodeUtf8;

// The euro sign. Viewed cut short, its third byte is still in memory behind
// the view, so a reader that looks past the view would take it.
constexpr std::string_view kEuro = "\xE2\x82\xAC";

TEST(Utf8, ReadsAndWritesEachLengthAtItsEdges) {
  struct Edge {
    char32_t cp;
    std::string_view bytes;
    const char* label;
  };
  using namespace std::string_view_literals;
  const Edge edges[] = {
      {0x00, "\0"sv, "NUL byte"},
      {0x7F, "\x7F", "last one-byte"},
      {0x80, "\xC2\x80", "first two-byte"},
      {0x7FF, "\xDF\xBF", "last two-byte"},
      {0x800, "\xE0\xA0\x80", "first three-byte"},
      {0x20AC, kEuro, "euro sign"},
      {0xD7FF, "\xED\x9F\xBF", "just below the surrogates"},
      {0xE000, "\xEE\x80\x80", "just above the surrogates"},
      {0xFFFF, "\xEF\xBF\xBF", "last three-byte"},
      {0x10000, "\xF0\x90\x80\x80", "first four-byte"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF", "last code point"},
  };
  for (const Edge& e : edges) {
    char32_t cp = 0;
    EXPECT_EQ(DecodeUtf8(e.bytes, 0, cp), e.bytes.size()) << e.label;
    EXPECT_EQ(cp, e.cp) << e.label;
    std::string written;
    AppendUtf8(e.cp, written);
    EXPECT_EQ(written, e.bytes) << e.label;
  }
}

TEST(Utf8, ReadsOnlyTheSequenceAtThePosition) {
  struct Case {
    const char* label;
    std::string_view text;
    std::size_t pos;
    std::size_t length;  // 0: refused
    char32_t cp;
  };
  const Case cases[] = {
      {"after ASCII", "a\xC3\xA9", 1, 2, 0xE9},
      {"followed by more text", "\xC3\xA9xyz", 0, 2, 0xE9},
      {"between two others", "\xC3\xA9\xE2\x82\xAC\xC3\xA9", 2, 3, 0x20AC},
      {"inside a sequence", kEuro, 1, 0, 0},
      {"position at the end", "ab", 2, 0, 0},
  };
  for (const Case& c : cases) {
    char32_t cp = 0;
    EXPECT_EQ(DecodeUtf8(c.text, c.pos, cp), c.length) << c.label;
    if (c.length != 0) {
      EXPECT_EQ(cp, c.cp) << c.label;
    }
  }
}

TEST(Utf8, RefusesMalformedSequences) {
  struct Malformed {
    const char* label;
    std::string_view text;
  };
  const Malformed cases[] = {
      {"lone continuation byte", "\x80"},
      {"last continuation byte", "\xBF"},
      {"overlong NUL", "\xC0\x80"},
      {"overlong two-byte", "\xC1\xBF"},
      {"overlong three-byte", "\xE0\x9F\xBF"},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF"},
      {"high surrogate", "\xED\xA0\x80"},
      {"low surrogate", "\xED\xBF\xBF"},
      {"past U+10FFFF", "\xF4\x90\x80\x80"},
      {"lead F5", "\xF5\x80\x80\x80"},
      {"five-byte lead", "\xF8\x88\x80\x80\x80"},
      {"byte FE", "\xFE"},
      {"byte FF", "\xFF"},
      {"two-byte cut short", "\xC3"},
      {"three-byte cut short", "\xE2\x82"},
      {"four-byte cut short", "\xF0\x9F\x98"},
      {"cut by the view", kEuro.substr(0, 2)},
      {"two-byte with ASCII second", "\xC3" "A"},
      {"three-byte with ASCII third", "\xE2\x82" "A"},
      {"four-byte with a new lead inside", "\xF0\x9F\xC3\xA9"},
      {"empty text", ""},
  };
  for (const Malformed& c : cases) {
    char32_t cp = 0;
    EXPECT_EQ(DecodeUtf8(c.text, 0, cp), 0u) << c.label;
  }
}

TEST(Utf8, EveryCodePointMakesTheRoundTrip) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string written;
    AppendUtf8(cp, written);
    const std::size_t expected = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    char32_t read = 0;
    ASSERT_EQ(DecodeUtf8(written, 0, read), expected) << std::hex << static_cast<std::uint32_t>(cp);
    ASSERT_EQ(read, cp) << std::hex << static_cast<std::uint32_t>(cp);
  }
}

}  // namespace
