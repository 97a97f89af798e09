// The text helpers where their rules are not those of the standard library.
#include "common/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, TrimTakesEveryBlank) {
  EXPECT_EQ(text::Trim(" \t\r\n\v\fab c\f\v\n\r\t "), "ab c");
  EXPECT_EQ(text::TrimLeft("  a "), "a ");
  EXPECT_EQ(text::TrimRight("  a "), "  a");
  EXPECT_EQ(text::Trim(" \t "), "");
}

TEST(Text, CaseFoldingIsAscii) {
  EXPECT_TRUE(text::EqualsNoCase("X-Receiver:", "x-receiver:"));
  EXPECT_FALSE(text::EqualsNoCase("abc", "abcd"));
  EXPECT_EQ(text::ToLower("AbC\xC4"), "abc\xC4");  // bytes above 127 unchanged
  EXPECT_TRUE(text::StartsWithNoCase("HELO host", "helo"));
  EXPECT_FALSE(text::StartsWithNoCase("HE", "helo"));
}

TEST(Text, FieldsAndSplitting) {
  EXPECT_EQ(text::Split("a..b", '.'), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(text::Split("", '.'), (std::vector<std::string>{""}));
  EXPECT_EQ(text::ExtractField("d1|mx1", 1, '|'), "mx1");
  EXPECT_EQ(text::ExtractField("d1|mx1", 2, '|'), "");
  EXPECT_EQ(text::ExtractField("d1", 0, '|'), "d1");
}

TEST(Text, FormattingAndEscaping) {
  const std::string longText(5000, 'z');
  EXPECT_EQ(text::Format("<%s>%d", longText.c_str(), 7), "<" + longText + ">7");
  EXPECT_EQ(text::EscapePercent("100% sure %s"), "100%% sure %%s");
  EXPECT_EQ(text::ReplaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(text::ReplaceAll("abc", "", "x"), "abc");
}

TEST(Text, ControlBytesAreEscapedForTheLog) {
  const struct {
    std::string_view in;
    std::string_view out;
  } cases[] = {
      {"plain\ttext 100%", "plain\ttext 100%"},  // TAB and printable bytes stay
      {"a\r\nb", "a\\r\\nb"},
      {"\x1b]0;title\x07\x1b[31m", "\\x1b]0;title\\x07\\x1b[31m"},  // OSC and colour
      {std::string_view("\0\b\x7f", 3), "\\x00\\x08\\x7f"},
      {"\xc3\xa9\x80", "\xc3\xa9\x80"},  // bytes above 127 are text, not controls
  };
  for (const auto& c : cases) EXPECT_EQ(text::EscapeControls(c.in), c.out) << c.in;
}

}  // namespace
