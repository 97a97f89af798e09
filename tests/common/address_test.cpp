// The user and domain parts of addresses and the local-domain test.
#include "common/address.h"

#include <gtest/gtest.h>

namespace {

TEST(Address, UserAndDomainParts) {
  struct Case {
    const char* label;
    const char* address;
    const char* user;
    const char* domain;
  };
  const Case cases[] = {
      {"plain", "joe@d1.example", "joe", "d1.example"},
      {"display name and brackets", "Joe Bloggs <joe@d1.example>", "joe", "d1.example"},
      {"blanks inside brackets", "< joe@d1 >", "joe", "d1"},
      {"blanks around", "  joe@d1 \r\n", "joe", "d1"},
      {"trailing @ gives empty domain", "<joe@>", "joe", ""},
      {"no @ yields itself", " postmaster ", "postmaster", "postmaster"},
      {"no @ in brackets", "Joe <postmaster>", "postmaster", "postmaster"},
      {"open bracket only", "Joe <joe@d1", "joe", "d1"},
      {"first @ splits", "a@b@c", "a", "b@c"},
      {"empty brackets", "<>", "", ""},
      {"text after brackets ignored", "<joe@d1> trailing@x", "joe", "d1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(GetAddressUser(c.address), c.user);
    EXPECT_EQ(GetAddressDomain(c.address), c.domain);
  }
}

TEST(Address, StripAngleBrackets) {
  EXPECT_EQ(StripAngleBrackets("Joe <joe@d1>"), "joe@d1");
  EXPECT_EQ(StripAngleBrackets(" joe@d1 "), "joe@d1");
  EXPECT_EQ(StripAngleBrackets("<>"), "");
}

TEST(Address, LocalDomainIgnoresCase) {
  const std::vector<std::string> domains = {"d1.example", "Mail.Example"};
  EXPECT_TRUE(IsLocalAddress("Joe <joe@D1.EXAMPLE>", domains));
  EXPECT_TRUE(IsLocalAddress("x@mail.example", domains));
  EXPECT_FALSE(IsLocalAddress("x@sub.d1.example", domains));
  EXPECT_FALSE(IsLocalAddress("x@", domains));
  EXPECT_FALSE(IsLocalAddress("x@d1.example", {}));
  EXPECT_TRUE(IsLocalDomainName("MAIL.example", domains));
}

}  // namespace
