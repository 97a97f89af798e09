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
                     std::vector<std::pair<std::uint16_t, const char*>> extra, bool answer = false) {
    Wire w;
    w.Header(flags, 1, answer ? 1 : 0, 1, static_cast<std::uint16_t>(extra.size()))
        .Question(Name("example.org"));
    if (answer) w.Record(Name("example.org"), dns::kTypeMX, dnstest::MxData(10, Name("mx.example.org")));
    w.Record(Name("example.org"), dns::kTypeNS, Name(nsName));
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
      {"the reply also carries the answer",
       referral(dnstest::kReply, "ns.example.org", {{dns::kTypeA, "ns.example.org"}}, true), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.found, c.expected) << c.label;
}

TEST(DnsMatch, OnlyTheReplyToTheQueryCounts) {
  constexpr std::uint16_t kId = 0xBEEF;
  const dns::DnsQuestion asked{"example.org", dns::kTypeMX, dns::kClassIN};
  auto reply = [](std::uint16_t id, std::uint16_t flags, std::vector<Bytes> questions) {
    Wire w;
    w.Header(flags, static_cast<std::uint16_t>(questions.size()), 1, 0, 0, id);
    for (const Bytes& question : questions) w.Add(question);
    return w.Record(Name("example.org"), dns::kTypeMX, dnstest::MxData(10, Name("mx.example.org"))).b;
  };
  auto question = [](const char* name, std::uint16_t type = dns::kTypeMX, std::uint16_t cls = dns::kClassIN) {
    return Wire().Add(Name(name)).U16(type).U16(cls).b;
  };
  const Bytes ours = question("example.org");
  struct Case {
    const char* label;
    Bytes message;
    bool match;
  } cases[] = {
      {"the reply", reply(kId, dnstest::kReply, {ours}), true},
      {"name in other case", reply(kId, dnstest::kReply, {question("EXAMPLE.Org")}), true},
      {"question name compressed",
       Wire().Header(dnstest::kReply, 1, 0, 0, 0, kId).Add(Ptr(18)).U16(15).U16(1)
           .Add(Name("example.org")).b,
       true},
      {"other id", reply(kId ^ 0x0100, dnstest::kReply, {ours}), false},
      {"response bit clear (our own query)", reply(kId, 0x0100, {ours}), false},
      {"other name", reply(kId, dnstest::kReply, {question("example.com")}), false},
      {"longer name", reply(kId, dnstest::kReply, {question("www.example.org")}), false},
      {"other type", reply(kId, dnstest::kReply, {question("example.org", dns::kTypeA)}), false},
      {"other class", reply(kId, dnstest::kReply, {question("example.org", dns::kTypeMX, 3)}), false},
      {"no question", reply(kId, dnstest::kReply, {}), false},
      {"a second question", reply(kId, dnstest::kReply, {ours, question("example.com")}), false},
      {"header only", Wire().Header(dnstest::kReply, 1, 0, 0, 0, kId).b, false},
      {"question without its class",
       Wire().Header(dnstest::kReply, 1, 0, 0, 0, kId).Add(Name("example.org")).U16(15).b, false},
      {"empty", Bytes(), false},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> copy(c.message);  // exactly these bytes
    EXPECT_EQ(dns::IsReplyTo(copy, kId, asked), c.match) << c.label;
  }
  // A final dot in the name asked is not part of the question sent.
  EXPECT_TRUE(dns::IsReplyTo(reply(kId, dnstest::kReply, {ours}), kId,
                             {"example.org.", dns::kTypeMX, dns::kClassIN}));
  // The rest of a matching reply is not looked at: it may still be malformed.
  dns::DnsResponse response;
  const Bytes cut = dnstest::Truncated(reply(kId, dnstest::kReply, {ours}), 3);
  EXPECT_TRUE(dns::IsReplyTo(cut, kId, asked));
  EXPECT_FALSE(Parse(cut, response));
}

// Two messages and the start of a third, as a TCP connection delivers them:
// all at once, one byte at a time, and in pieces that cut the length fields.
TEST(DnsTcpFramer, CutsTheStreamIntoMessages) {
  const Bytes first = ReplyWithAnswers(0).b;
  const Bytes second = Bytes(300, 0x5A);
  Bytes stream;
  for (const Bytes& message : {first, second}) {
    stream.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    stream.push_back(static_cast<std::uint8_t>(message.size() & 0xFF));
    stream.insert(stream.end(), message.begin(), message.end());
  }
  stream.insert(stream.end(), {0x01, 0x00, 0xAA});  // 256 announced, 1 sent
  for (const std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
    dns::DnsTcpFramer framer;
    std::vector<Bytes> messages;
    Bytes message;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      const std::size_t size = std::min(piece, stream.size() - at);
      framer.Append(std::span(stream).subspan(at, size));
      while (framer.Next(message)) messages.push_back(message);
    }
    EXPECT_EQ(messages, (std::vector<Bytes>{first, second})) << "pieces of " << piece;
  }
  dns::DnsTcpFramer empty_message;
  Bytes message = {1};
  empty_message.Append(Bytes{0x00, 0x00});
  EXPECT_TRUE(empty_message.Next(message));
  EXPECT_TRUE(message.empty());
  EXPECT_FALSE(empty_message.Next(message));
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
