// DNS query bytes and reply parsing: the exact query layout, label and name
// limits, record texts by type, name compression, and replies that lie
// about their contents (every one must fail without reading outside them).
#include "common/dns_message.h"

#include <gtest/gtest.h>

#include "common/dns_resolver.h"
#include "dns_test_wire.h"

namespace {

using dnstest::Bytes;
using dnstest::Name;
using dnstest::Ptr;
using dnstest::Wire;

const dns::DnsHeader kQueryHeader{1, 0x0100, 1, 0, 0, 0};

Bytes Query(std::string_view name, bool tcp) {
  Bytes query;
  EXPECT_TRUE(dns::BuildDnsQuery(kQueryHeader, name, 15, 1, tcp, query)) << name;
  return query;
}

// Parses a copy of exactly `bytes` (so an over-read leaves the allocation).
bool Parse(const Bytes& bytes, dns::DnsResponse& response) {
  const std::vector<std::uint8_t> copy(bytes);
  return dns::ParseDnsResponse(copy, response);
}

std::vector<std::string> AnswerTexts(const Bytes& bytes) {
  dns::DnsResponse response;
  EXPECT_TRUE(Parse(bytes, response));
  std::vector<std::string> texts;
  for (const dns::DnsRecord& r : response.answers) texts.push_back(r.text);
  return texts;
}

// A reply to the MX question for example.org with the given answers.
Wire ReplyWithAnswers(std::uint16_t answers, std::uint16_t flags = dnstest::kReplyAuthoritative) {
  Wire w;
  w.Header(flags, 1, answers, 0, 0).Question(Name("example.org"));
  return w;
}

TEST(DnsQuery, TwoLabelNameIsTheDocumentedDatagram) {
  const Bytes expected = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x07, 'e',  'x',  'a',  'm',  'p',  'l',  'e',
                          0x03, 'o',  'r',  'g',  0x00, 0x00, 0x0F, 0x00, 0x01};
  ASSERT_EQ(expected.size(), 29u);
  EXPECT_EQ(Query("example.org", false), expected);
  Bytes tcp = {0x00, 0x1D};
  tcp.insert(tcp.end(), expected.begin(), expected.end());
  EXPECT_EQ(Query("example.org", true), tcp);
}

TEST(DnsQuery, NameLimits) {
  const std::string l63(63, 'a'), l64(64, 'b'), l61(61, 'c'), l62(62, 'c');
  struct Case {
    const char* label;
    std::string name;
    bool valid;
    std::size_t nameOctets;  // octets of the question name when valid
  } cases[] = {
      {"labels of 63", l63 + "." + l63 + "." + l63, true, 3 * 64 + 1},
      {"label of 64", "x." + l64 + ".org", false, 0},
      {"255 octets", l63 + "." + l63 + "." + l63 + "." + l61, true, 255},
      {"256 octets", l63 + "." + l63 + "." + l63 + "." + l62, false, 0},
      {"empty label inside", "a..org", false, 0},
      {"leading dot", ".org", false, 0},
      {"final dot ignored", "example.org.", true, 13},
      {"root", "", true, 1},
  };
  for (const Case& c : cases) {
    Bytes query;
    EXPECT_EQ(dns::BuildDnsQuery(kQueryHeader, c.name, 15, 1, false, query), c.valid) << c.label;
    if (c.valid) {
      EXPECT_EQ(query.size(), 12 + c.nameOctets + 4) << c.label;
    }
  }
}

TEST(DnsParse, MxAnswersKeepAnswerOrderAndPreferenceForm) {
  Wire w = ReplyWithAnswers(4);
  w.Record(Name("example.org"), dns::kTypeMX, dnstest::MxData(10, Name("mx1.example.org")))
      .Record(Name("example.org"), dns::kTypeMX, dnstest::MxData(5, Name("mx2.example.org")))
      .Record(Name("example.org"), dns::kTypeMX, dnstest::MxData(0, Name("zero.example.org")))
      .Record(Name("example.org"), dns::kTypeMX, dnstest::MxData(100, Name("big.example.org")));
  EXPECT_EQ(AnswerTexts(w.b),
            (std::vector<std::string>{"10 mx1.example.org", "05 mx2.example.org",
                                      "00 zero.example.org", "100 big.example.org"}));
}

TEST(DnsParse, CompressedNamesReadBackInFullAndKeepThePosition) {
  // Owner: a pointer to the question name; exchange: "mx" + pointer; the A
  // record after them must still be read from the right place.
  Wire w = ReplyWithAnswers(2);
  const Bytes exchange = dnstest::Cat({{2, 'm', 'x'}, Ptr(dnstest::kQuestionNameOffset)});
  w.Record(Ptr(dnstest::kQuestionNameOffset), dns::kTypeMX, dnstest::MxData(10, exchange))
      .Record(Ptr(dnstest::kQuestionNameOffset), dns::kTypeA, dnstest::A(192, 0, 2, 1));
  dns::DnsResponse response;
  ASSERT_TRUE(Parse(w.b, response));
  ASSERT_EQ(response.answers.size(), 2u);
  EXPECT_EQ(response.questions.at(0).name, "example.org");
  EXPECT_EQ(response.answers[0].name, "example.org");
  EXPECT_EQ(response.answers[0].text, "10 mx.example.org");
  EXPECT_EQ(response.answers[1].text, "192.0.2.1");
}

TEST(DnsParse, RecordTextsByType) {
  const Bytes aaaa = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0a, 0xff, 0xff};
  const Bytes soa = dnstest::Cat({Name("ns.example.org"), Name("host.example.org"), Bytes(20, 0)});
  struct Case {
    const char* label;
    std::uint16_t type;
    Bytes data;
    const char* text;
  } cases[] = {
      {"A", dns::kTypeA, dnstest::A(10, 0, 255, 7), "10.0.255.7"},
      {"AAAA groups without shortening", dns::kTypeAAAA, aaaa, "2001:db8:0:0:0:0:a:ffff"},
      {"NS", dns::kTypeNS, Name("ns.example.org"), "ns.example.org"},
      {"CNAME", dns::kTypeCNAME, Name("alias.example.org"), "alias.example.org"},
      {"PTR", dns::kTypePTR, Name("host.example.org"), "host.example.org"},
      {"type 3 (MD) is a name", 3, Name("md.example.org"), "md.example.org"},
      {"root name", dns::kTypeNS, Name(""), ""},
      {"SOA", 6, soa, "Unsupported"},
      {"type 0", 0, {1, 2}, "Unsupported"},
      {"type 29", 29, {}, "Unsupported"},
  };
  for (const Case& c : cases) {
    // A second record after the first checks that the first one's data
    // was stepped over correctly.
    Wire w = ReplyWithAnswers(2);
    w.Record(Name("example.org"), c.type, c.data)
        .Record(Name("example.org"), dns::kTypeA, dnstest::A(1, 2, 3, 4));
    EXPECT_EQ(AnswerTexts(w.b), (std::vector<std::string>{c.text, "1.2.3.4"})) << c.label;
  }
}

TEST(DnsParse, ControlCharactersInLabelsCannotReachALogLine) {
  Wire w = ReplyWithAnswers(1);
  w.Record(Name("example.org"), dns::kTypeCNAME, {5, 'a', '\r', '\n', 0, 'b', 0});
  EXPECT_EQ(AnswerTexts(w.b), (std::vector<std::string>{"a???b"}));
}

// Every malformed reply fails as a whole; none may read outside the bytes.
TEST(DnsParse, MalformedRepliesFail) {
  const std::string l63(63, 'a');
  const Bytes name255 = Name(l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b'));
  const Bytes name256 = Name(l63 + "." + l63 + "." + l63 + "." + std::string(62, 'b'));
  ASSERT_EQ(name255.size(), 255u);

  struct Case {
    const char* label;
    Bytes bytes;
    bool ok;
  } cases[] = {
      {"header only, no counts", Wire().Header(dnstest::kReply, 0, 0, 0, 0).b, true},
      {"short header", {0, 1, 0x81, 0x80, 0, 0, 0}, false},
      {"answer count larger than the answers",
       ReplyWithAnswers(2).Record(Name("example.org"), dns::kTypeA, dnstest::A(1, 1, 1, 1)).b,
       false},
      {"question count larger than the questions",
       Wire().Header(dnstest::kReply, 3, 0, 0, 0).Question(Name("a")).b, false},
      {"name of 255 octets",
       ReplyWithAnswers(1).Record(name255, dns::kTypeA, dnstest::A(1, 1, 1, 1)).b, true},
      {"name of 256 octets",
       ReplyWithAnswers(1).Record(name256, dns::kTypeA, dnstest::A(1, 1, 1, 1)).b, false},
      {"pointer onto itself",
       Wire().Header(dnstest::kReply, 1, 0, 0, 0).Add(Ptr(12)).U16(15).U16(1).b, false},
      {"two pointers in a loop",
       Wire().Header(dnstest::kReply, 1, 0, 0, 0).Add(Ptr(14)).Add(Ptr(12)).U16(15).U16(1).b,
       false},
      {"label pointing back into a loop",
       Wire().Header(dnstest::kReply, 1, 0, 0, 0).U8(1).U8('a').Add(Ptr(12)).U16(15).U16(1).b,
       false},
      {"pointer beyond the message",
       ReplyWithAnswers(1).Record(Ptr(0x3FFF), dns::kTypeA, dnstest::A(1, 1, 1, 1)).b, false},
      {"compression making a name too long",
       Wire()
           .Header(dnstest::kReply, 1, 1, 0, 0)
           .Question(Name(l63 + "." + l63 + "." + l63))
           .Record(dnstest::Cat({{63}, Bytes(63, 'x'), Ptr(12)}), dns::kTypeA,
                   dnstest::A(1, 1, 1, 1))
           .b,
       false},
      {"label running past the end", Wire().Header(dnstest::kReply, 1, 0, 0, 0).U8(40).U8('a').b,
       false},
      {"MX data shorter than a preference",
       ReplyWithAnswers(1).Record(Name("example.org"), dns::kTypeMX, {0}).b, false},
      {"name longer than its record data",
       ReplyWithAnswers(1)
           .Add(Name("example.org"))
           .U16(dns::kTypeNS)
           .U16(1)
           .U32(0)
           .U16(3)
           .Add(Name("ns.example.org"))
           .b,
       false},
      {"unsupported data longer than the message",
       ReplyWithAnswers(1).Add(Name("example.org")).U16(6).U16(1).U32(0).U16(200).U8(0).b, false},
      {"A data cut short",
       ReplyWithAnswers(1).Add(Name("example.org")).U16(1).U16(1).U32(0).U16(4).U8(1).U8(2).b,
       false},
  };
  for (const Case& c : cases) {
    dns::DnsResponse response;
    EXPECT_EQ(Parse(c.bytes, response), c.ok) << c.label;
  }
}

TEST(DnsParse, EveryPrefixOfAGoodReplyFails) {
  Wire w;
  w.Header(dnstest::kReply, 1, 2, 1, 1)
      .Question(Name("example.org"))
      .Record(Ptr(12), dns::kTypeMX, dnstest::MxData(10, dnstest::Cat({{2, 'm', 'x'}, Ptr(12)})))
      .Record(Ptr(12), dns::kTypeAAAA, Bytes(16, 0x11))
      .Record(Ptr(12), dns::kTypeNS, Name("ns.example.org"))
      .Record(Name("ns.example.org"), dns::kTypeA, dnstest::A(192, 0, 2, 53));
  dns::DnsResponse response;
  ASSERT_TRUE(Parse(w.b, response));
  EXPECT_EQ(response.answers.at(1).text, "1111:1111:1111:1111:1111:1111:1111:1111");
  for (std::size_t n = 0; n < w.b.size(); ++n) {
    const Bytes prefix(w.b.begin(), w.b.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(Parse(prefix, response)) << "prefix of " << n << " bytes";
  }
}

TEST(DnsParse, ReferralServerIsTheAddressOfTheFirstAuthority) {
  auto referral = [](std::uint16_t flags, const char* nsName,
                     std::vector<std::pair<std::uint16_t, const char*>> extra) {
    Wire w;
    w.Header(flags, 1, 0, 1, static_cast<std::uint16_t>(extra.size()))
        .Question(Name("example.org"))
        .Record(Name("example.org"), dns::kTypeNS, Name(nsName));
    for (const auto& [type, owner] : extra)
      w.Record(Name(owner), type, type == dns::kTypeA ? dnstest::A(192, 0, 2, 53) : Bytes(16, 0));
    dns::DnsResponse response;
    EXPECT_TRUE(Parse(w.b, response));
    return dns::FindReferralServer(response);
  };
  struct Case {
    const char* label;
    std::string found;
    const char* expected;
  } cases[] = {
      {"plain referral",
       referral(dnstest::kReply, "ns.example.org", {{dns::kTypeA, "ns.example.org"}}),
       "192.0.2.53"},
      {"names compare without case",
       referral(dnstest::kReply, "NS.Example.ORG", {{dns::kTypeA, "ns.example.org"}}),
       "192.0.2.53"},
      {"AAAA listed before the A record",
       referral(dnstest::kReply, "ns.example.org",
                {{dns::kTypeAAAA, "ns.example.org"}, {dns::kTypeA, "ns.example.org"}}),
       "192.0.2.53"},
      {"authoritative reply",
       referral(dnstest::kReplyAuthoritative, "ns.example.org", {{dns::kTypeA, "ns.example.org"}}),
       ""},
      {"error code set",
       referral(dnstest::kReply | 3, "ns.example.org", {{dns::kTypeA, "ns.example.org"}}), ""},
      {"no address for the server",
       referral(dnstest::kReply, "ns.example.org", {{dns::kTypeA, "other.example.org"}}), ""},
      {"no additional section", referral(dnstest::kReply, "ns.example.org", {}), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.found, c.expected) << c.label;
}

TEST(DnsSort, MxTextsByPreferenceStable) {
  std::vector<std::string> texts = {"10 b.example", "05 a.example",  "Unsupported",
                                    "10 c.example", "100 z.example", "00 first.example",
                                    "192.0.2.1"};
  SortMxByPreference(texts);
  EXPECT_EQ(texts, (std::vector<std::string>{"00 first.example", "05 a.example", "10 b.example",
                                             "10 c.example", "100 z.example", "Unsupported",
                                             "192.0.2.1"}));
}

}  // namespace
