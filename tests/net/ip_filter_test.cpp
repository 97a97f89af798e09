// The IP filter: modes, range and pattern entries, separators and the
// 12-digit form that ranges are compared in.
#include "net/ip_filter.h"

#include <gtest/gtest.h>

namespace {

using List = std::vector<std::string>;

TEST(IpFilter, Modes) {
  struct Case {
    const char* label;
    int mode;
    List list;
    const char* address;
    bool allowed;
  };
  const List listed = {"10.0.0.1 10.0.0.255"};
  const Case cases[] = {
      {"mode 0, listed", 0, listed, "10.0.0.7", true},
      {"mode 0, not listed", 0, listed, "8.8.8.8", true},
      {"mode 1, listed", 1, listed, "10.0.0.7", false},
      {"mode 1, not listed", 1, listed, "8.8.8.8", true},
      {"mode 1, empty list", 1, {}, "10.0.0.7", true},
      {"mode 2, listed", 2, listed, "10.0.0.7", true},
      {"mode 2, not listed", 2, listed, "8.8.8.8", false},
      {"mode 2, empty list", 2, {}, "127.0.0.1", false},
      {"mode 3", 3, listed, "10.0.0.7", false},
      {"mode -1", -1, {}, "127.0.0.1", false},
      {"mode 2, no address", 2, listed, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(IsAddressAllowed(c.mode, c.list, c.address), c.allowed);
  }
}

TEST(IpFilter, Entries) {
  struct Case {
    const char* label;
    const char* entry;
    const char* address;
    bool listed;
  };
  const Case cases[] = {
      {"range start", "10.0.0.1 10.0.0.255", "10.0.0.1", true},
      {"range inside", "10.0.0.1 10.0.0.255", "10.0.0.200", true},
      {"range end", "10.0.0.1 10.0.0.255", "10.0.0.255", true},
      {"range above", "10.0.0.1 10.0.0.255", "10.0.1.1", false},
      {"range below", "10.0.0.1 10.0.0.255", "10.0.0.0", false},
      {"numeric, not textual order", "9.0.0.1 10.0.0.1", "9.100.0.0", true},
      {"across the second part", "10.0.0.1 10.2.0.0", "10.1.255.255", true},
      {"hyphen", "10.0.0.1-10.0.0.5", "10.0.0.3", true},
      {"comma", "10.0.0.1,10.0.0.5", "10.0.0.5", true},
      {"semicolon", "10.0.0.1;10.0.0.5", "10.0.0.6", false},
      {"bar", "10.0.0.1|10.0.0.5", "10.0.0.1", true},
      {"first separator wins", "10.0.0.1 -10.0.0.5", "10.0.0.3", false},
      {"single address", "192.168.0.7", "192.168.0.7", true},
      {"single address, neighbour", "192.168.0.7", "192.168.0.8", false},
      {"single address, padded", "192.168.0.7", "192.168.000.007", true},
      {"written as by the applet", "192.168.0.10 192.168.0.10", "192.168.0.10", true},
      {"padded range", "010.000.000.001 010.000.000.009", "10.0.0.5", true},
      {"pattern", "192.168.*.*", "192.168.4.20", true},
      {"pattern, other network", "192.168.*.*", "192.169.4.20", false},
      {"pattern end unused", "192.168.*.* 1.1.1.1", "192.168.4.20", true},
      {"short pattern meets empty parts", "192.*", "192.168.4.20", false},
      {"pattern parts compare as text", "010.*.*.*", "10.0.0.5", false},
      {"pattern star in last part", "10.0.0.*", "10.0.0.99", true},
      {"empty entry", "", "10.0.0.1", false},
      {"no end after separator", "10.0.0.1 ", "10.0.0.1", false},
      {"malformed end compares as text", "10.0.0.1 zzz", "10.0.0.9", true},
      {"letters count as 0", "a.b.c.d", "0.0.0.0", true},
      {"numbers above 255", "10.0.0.1 10.0.0.300", "10.0.0.299", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(IsAddressListed({c.entry}, c.address), c.listed);
  }
}

TEST(IpFilter, FirstMatchingEntryOfManyLists) {
  const List list = {"1.2.3.4", "garbage", "172.16.*.*", "10.0.0.1 10.0.0.9"};
  EXPECT_TRUE(IsAddressListed(list, "172.16.9.9"));
  EXPECT_TRUE(IsAddressListed(list, "10.0.0.9"));
  EXPECT_FALSE(IsAddressListed(list, "10.0.0.10"));
  EXPECT_FALSE(IsAddressListed({}, "1.2.3.4"));
}

TEST(IpFilter, NormalizeAddress) {
  struct Case {
    const char* label;
    const char* text;
    const char* normal;
  };
  const Case cases[] = {
      {"dotted", "192.168.0.10", "192168000010"},
      {"padded", "010.000.000.001", "010000000001"},
      {"blanks in parts", " 10 . 0 .0. 1 ", "010000000001"},
      {"leading digits", "10x.0.0.1", "010000000001"},
      {"no digits", "*.a..1", "000000000001"},
      {"negative sign is no digit", "-5.0.0.1", "000000000001"},
      {"above 999 widens", "1000.0.0.1", "1000000000001"},
      {"huge part saturates", "99999999999999999999.0.0.0", "2147483647000000000"},
      {"three parts unchanged", "10.0.1", "10.0.1"},
      {"five parts unchanged", "1.2.3.4.5", "1.2.3.4.5"},
      {"empty unchanged", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(NormalizeAddress(c.text), c.normal);
  }
}

TEST(IpFilter, RangeTestToleratesNull) {
  EXPECT_FALSE(IsAddressInRange(nullptr, nullptr, "10.0.0.1"));
  EXPECT_TRUE(IsAddressInRange("10.0.0.1", "10.0.0.1", "10.0.0.1"));
  EXPECT_FALSE(IsAddressInRange("10.0.0.1", "10.0.0.9", nullptr));
}

}  // namespace
