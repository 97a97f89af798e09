// Wildcard matching, pattern expansion, forward rules and the lenient base64
// decoder of AUTH.
#include <gtest/gtest.h>

#include <cstring>

#include "smtp/smtp_base64.h"
#include "smtp/smtp_forward.h"

namespace {

TEST(MatchWildcard, Patterns) {
  struct Case {
    const char* text;
    const char* pattern;
    bool case_sensitive;
    bool match;
  };
  const Case cases[] = {
      {"joe@d1.test", "*@d1.test", true, true},
      {"joe@d1.test", "*@D1.test", true, false},
      {"joe@d1.test", "*@D1.TEST", false, true},
      {"joe@d1.test", "j?e@*", true, true},
      {"je@d1.test", "j?e@*", true, false},
      {"", "", true, true},
      {"", "*", true, true},
      {"", "**", true, true},
      {"", "?", true, false},
      {"a", "", true, false},
      {"abc", "*", true, true},
      {"abc", "a*", true, true},
      {"abc", "*c", true, true},
      {"abc", "*b", true, false},
      {"abcbc", "a*bc", true, true},  // needs back-tracking
      {"abcbd", "a*bc", true, false},
      {"mississippi", "m*iss*ppi", true, true},
      {"mississippi", "m*iss*ppix", true, false},
      {"x@sub.d1.test", "*@*.d1.test", true, true},
      {"x@d1.test", "*@*.d1.test", true, false},
      {"a*b", "a*b", true, true},
      {"ab", "a?*", true, true},
      {"a", "a?*", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchWildcard(c.text, c.pattern, c.case_sensitive), c.match)
        << "\"" << c.text << "\" ~ \"" << c.pattern << "\"";
  }
}

TEST(ExpandPattern, Examples) {
  struct Case {
    const char* source;
    const char* pattern;
    const char* result;
  };
  const Case cases[] = {
      {"joe", "*", "joe"},
      {"d1.test", "d2.test", "d2.test"},
      {"joe", "info", "info"},
      {"", "info", "info"},
      {"joe", "?", "j"},
      {"joe", "x?*", "xoe"},   // the literal uses up "j"
      {"joe", "??", "jo"},
      {"jo", "???", "jo"},     // "?" past the end of the source stops
      {"joe", "a*", "aoe"},
      {"joe", "*x", "joe"},    // "*" ends the expansion
      {"joe", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExpandPattern(c.source, c.pattern), c.result) << c.source << " / " << c.pattern;
  }
}

TEST(ForwardRules, FirstMatchingRuleRewrites) {
  const std::vector<std::string> rules = {"*@d1.test|*@d2.test", "info@*|sales@d1.test|ignored",
                                          "no-bar@d3.test", "*@d4.test|nobody"};
  struct Case {
    const char* address;
    const char* result;
  };
  const Case cases[] = {
      {"joe@d1.test", "joe@d2.test"},
      {"joe@D1.test", "joe@D1.test"},        // case-sensitive: no rule
      {"info@d1.test", "info@d2.test"},      // the first rule wins
      {"info@x.test", "sales@d1.test"},
      {"no-bar@d3.test", "no-bar@d3.test"},  // empty target: unchanged
      {"a@d4.test", "a@d4.test"},            // target without "@": unchanged
      {"stranger@else.test", "stranger@else.test"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ApplyForwardRules(c.address, rules), c.result) << c.address;
  EXPECT_EQ(ApplyForwardTarget("joe", "*@d2.test"), "joe") << "address without @";
}

TEST(DecodeBase64, Lenient) {
  struct Case {
    const char* label;
    const char* input;
    std::string decoded;
  };
  const Case cases[] = {
      {"plain", "am9l", "joe"},
      {"padding skipped", "am9lMQ==", "joe1"},
      {"three characters give two bytes", "am9", "jo"},
      {"two characters give one byte", "am", "j"},
      {"one character gives none", "a", ""},
      {"blanks and junk skipped", " a m\t9*l ", "joe"},
      {"padding inside", "am=9l", "joe"},
      {"NUL bytes decoded", "AGpvZQBwdw==", std::string("\0joe\0pw", 7)},
      {"all of the alphabet", "+/+/", "\xfb\xff\xbf"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    unsigned char out[64] = {};
    std::size_t length = sizeof out;
    EXPECT_TRUE(DecodeBase64(c.input, std::strlen(c.input), out, &length));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), c.decoded);
    EXPECT_EQ(DecodeBase64Line(c.input), c.decoded);
  }
}

TEST(DecodeBase64, Capacity) {
  unsigned char out[4] = {0, 0, 0, 0x55};
  std::size_t length = 2;
  EXPECT_FALSE(DecodeBase64("am9lMQ==", 8, out, &length));
  EXPECT_EQ(length, 4u) << "the full decoded length is reported";
  EXPECT_EQ(out[0], 'j');
  EXPECT_EQ(out[1], 'o');
  EXPECT_EQ(out[2], 0) << "writing stops at the capacity";
  length = 3;
  EXPECT_TRUE(DecodeBase64("am9l", 4, out, &length));
  EXPECT_EQ(length, 3u);

  EXPECT_FALSE(DecodeBase64(nullptr, 4, out, &length));
  EXPECT_FALSE(DecodeBase64("am9l", 4, out, nullptr));
}

}  // namespace
