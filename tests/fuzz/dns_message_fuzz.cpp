// The DNS reply parser (common/dns_message.h) on arbitrary replies, the
// referral test, the reply matching and the MX ordering on what it gives,
// and the query builder, the matching and the TCP framing on queries built
// for names taken from the input.
//   - the parser reads only the given bytes (the sanitizers see any read
//     outside them) and, when it accepts a reply, gives as many entries per
//     section as the header counts, names of at most 255 octets, and record
//     texts in the form of their type;
//   - a referral server is the address text of one additional A record of a
//     reply without answers;
//   - a message is the reply to a query only with its id, the response bit
//     and the one question asked (name in any case, type, class);
//   - SortMxByPreference only reorders, and puts MX texts in preference order;
//   - a query built for a name parses back to that name, type and class;
//   - the TCP framer gives back the messages of a stream, however cut.
#include <algorithm>
#include <string>
#include <vector>

#include "common/dns_message.h"
#include "common/dns_resolver.h"
#include "common/text.h"
#include "fuzz_check.h"

namespace {

// The preference of an MX text ("%02u %s"), or -1 when the text has none.
long MxPreference(const std::string& text) {
  std::size_t i = 0;
  long value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= 0xFFFF)
    value = value * 10 + (text[i++] - '0');
  return i > 0 && i < text.size() && text[i] == ' ' && value <= 0xFFFF ? value : -1;
}

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "a.b.c.d" with four decimal numbers of at most 255.
bool IsDottedQuad(const std::string& text) {
  std::size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t end = part < 3 ? text.find('.', start) : text.size();
    if (end == std::string::npos) return false;
    const std::string_view number = std::string_view(text).substr(start, end - start);
    if (!IsDigits(number) || number.size() > 3 || std::stoi(std::string(number)) > 255) return false;
    start = end + 1;
  }
  return true;
}

void CheckName(const std::string& name) {
  // 255 octets hold at most 253 characters of text (no final dot).
  FUZZ_CHECK(name.size() <= dns::kMaxNameOctets - 2, "name too long: " + fuzz::Printable(name));
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    FUZZ_CHECK(b >= 0x20 && b != 0x7F, "control character in a name: " + fuzz::Printable(name));
  }
}

// Types whose data is one domain name: NS, MD, MF, CNAME, MB, MG, MR, PTR.
bool IsOneNameType(int type) {
  constexpr int kOneNameTypes[] = {2, 3, 4, 5, 7, 8, 9, 12};
  return std::find(std::begin(kOneNameTypes), std::end(kOneNameTypes), type) != std::end(kOneNameTypes);
}

void CheckRecords(const std::vector<dns::DnsRecord>& records) {
  for (const dns::DnsRecord& record : records) {
    CheckName(record.name);
    switch (record.type) {
      case dns::kTypeA:
        FUZZ_CHECK(IsDottedQuad(record.text), "A text: " + fuzz::Printable(record.text));
        break;
      case dns::kTypeMX:
        FUZZ_CHECK(MxPreference(record.text) >= 0, "MX text: " + fuzz::Printable(record.text));
        FUZZ_CHECK(record.text.find(' ') >= 2, "MX preference under two digits");
        CheckName(record.text.substr(record.text.find(' ') + 1));
        break;
      case dns::kTypeAAAA:
        FUZZ_CHECK(std::count(record.text.begin(), record.text.end(), ':') == 7,
                   "AAAA text: " + fuzz::Printable(record.text));
        break;
      default:
        if (IsOneNameType(record.type)) {
          CheckName(record.text);
        } else {
          FUZZ_CHECK(record.text == dns::kUnsupportedText, "text of type " + std::to_string(record.type));
        }
    }
  }
}

void CheckSort(const std::vector<std::string>& texts) {
  std::vector<std::string> sorted = texts;
  SortMxByPreference(sorted);
  std::vector<std::string> a = texts, b = sorted;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  FUZZ_CHECK(a == b, "sorting lost or made up texts");
  bool seen_other = false;
  long last = -1;
  for (const std::string& text : sorted) {
    const long preference = MxPreference(text);
    if (preference < 0) {
      seen_other = true;
      continue;
    }
    FUZZ_CHECK(!seen_other, "an MX text after a text without preference");
    FUZZ_CHECK(preference >= last, "MX texts out of preference order");
    last = preference;
  }
}

// Matching on an arbitrary message, asked with the id of its own first two
// bytes: the header-only test agrees with what the whole parse sees.
void CheckReplyMatch(std::span<const std::uint8_t> message, const dns::DnsResponse* parsed) {
  const std::uint16_t id = message.size() >= 2 ? static_cast<std::uint16_t>((message[0] << 8) | message[1]) : 0;
  const dns::DnsQuestion asked{"example.org", dns::kTypeMX, dns::kClassIN};
  const bool matches = dns::IsReplyTo(message, id, asked);
  FUZZ_CHECK(!dns::IsReplyTo(message, static_cast<std::uint16_t>(id + 1), asked), "a reply with another id");
  if (parsed != nullptr) {
    const dns::DnsHeader& h = parsed->header;
    const bool expected = (h.flags & dns::kFlagResponse) != 0 && parsed->questions.size() == 1 &&
                          text::EqualsNoCase(parsed->questions[0].name, asked.name) &&
                          parsed->questions[0].type == asked.type && parsed->questions[0].cls == asked.cls;
    FUZZ_CHECK(matches == expected, std::string("reply match ") + (matches ? "taken" : "refused"));
  } else if (matches) {
    FUZZ_CHECK(message.size() >= dns::kHeaderSize + 6 && (message[2] & 0x80) != 0 && message[4] == 0 &&
                   message[5] == 1,
               "a message without the response bit or one question taken as the reply");
  }
}

// The matching rules on a query built for `name` with `id`: the query itself
// is no reply (response bit clear); with the bit set it is, also with the
// name in other case; another id, type, class or name is not.
void CheckQueryMatch(const std::vector<std::uint8_t>& query, std::uint16_t id, const std::string& name) {
  const dns::DnsQuestion asked{name, dns::kTypeMX, dns::kClassIN};
  FUZZ_CHECK(!dns::IsReplyTo(query, id, asked), "a query taken as its own reply");
  std::vector<std::uint8_t> reply = query;
  reply[2] |= 0x80;
  FUZZ_CHECK(dns::IsReplyTo(reply, id, asked), "the reply refused");
  FUZZ_CHECK(!dns::IsReplyTo(reply, static_cast<std::uint16_t>(id ^ 0x8000), asked), "another id taken");
  std::vector<std::uint8_t> changed = reply;
  for (std::size_t i = dns::kHeaderSize; i + 4 < changed.size(); ++i) {
    const char c = static_cast<char>(changed[i]);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) changed[i] ^= 0x20;
  }
  FUZZ_CHECK(dns::IsReplyTo(changed, id, asked), "the name in other case refused");
  changed = reply;
  changed[changed.size() - 3] ^= 0x01;
  FUZZ_CHECK(!dns::IsReplyTo(changed, id, asked), "another type taken");
  changed = reply;
  changed[changed.size() - 1] ^= 0x02;
  FUZZ_CHECK(!dns::IsReplyTo(changed, id, asked), "another class taken");
  if (changed.size() > dns::kHeaderSize + 5) {
    changed = reply;
    const char first = static_cast<char>(changed[dns::kHeaderSize + 1]);  // of the first label
    changed[dns::kHeaderSize + 1] = first == 'x' || first == 'X' ? 'y' : 'x';
    FUZZ_CHECK(!dns::IsReplyTo(changed, id, asked), "another name taken");
  }
}

// A TCP stream of the query and its reply, cut into pieces whose sizes come
// from the input, is framed back into the two messages.
void CheckFraming(const std::vector<std::uint8_t>& tcp_query, std::string_view input) {
  const std::vector<std::uint8_t> message(tcp_query.begin() + 2, tcp_query.end());
  std::vector<std::uint8_t> reply = message;
  reply[2] |= 0x80;
  std::vector<std::uint8_t> stream = tcp_query;
  stream.insert(stream.end(), tcp_query.begin(), tcp_query.begin() + 2);  // the same length
  stream.insert(stream.end(), reply.begin(), reply.end());
  dns::DnsTcpFramer framer;
  std::vector<std::vector<std::uint8_t>> taken;
  std::vector<std::uint8_t> next;
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size(); ++i) {
    const std::size_t piece = i < input.size() ? 1 + static_cast<unsigned char>(input[i]) % 32 : stream.size();
    const std::size_t size = std::min(piece, stream.size() - at);
    framer.Append(std::span(stream).subspan(at, size));
    at += size;
    while (framer.Next(next)) taken.push_back(next);
  }
  FUZZ_CHECK(taken == (std::vector<std::vector<std::uint8_t>>{message, reply}),
             "framing gave " + std::to_string(taken.size()) + " messages, not the two sent");
}

// A query for a name made of the input's printable characters must parse
// back as its question.
void CheckQuery(std::string_view input) {
  std::string name;
  for (const char c : input.substr(0, 300)) {
    if (c > 0x20 && c < 0x7F) name.push_back(c);
  }
  const std::uint16_t id = input.size() >= 2 ? static_cast<std::uint16_t>(input[0] << 8 | input[1]) : 1;
  const dns::DnsHeader header{id, dns::kFlagRecursionDesired, 1, 0, 0, 0};
  std::vector<std::uint8_t> query;
  for (const bool tcp : {false, true}) {
    if (!dns::BuildDnsQuery(header, name, dns::kTypeMX, dns::kClassIN, tcp, query)) return;
    if (tcp) {
      CheckFraming(query, input);
    } else {
      CheckQueryMatch(query, id, name);
    }
    const std::size_t skip = tcp ? 2 : 0;
    FUZZ_CHECK(
        !tcp || (query.size() >= 2 && ((query[0] << 8) | query[1]) == static_cast<int>(query.size() - 2)),
        "TCP length field");
    dns::DnsResponse parsed;
    FUZZ_CHECK(dns::ParseDnsResponse(std::span(query).subspan(skip), parsed), "a built query does not parse");
    FUZZ_CHECK(parsed.questions.size() == 1, "query question count");
    std::string expected = name;
    if (!expected.empty() && expected.back() == '.') expected.pop_back();
    FUZZ_CHECK(
        parsed.questions[0].name == expected,
        "question '" + fuzz::Printable(parsed.questions[0].name) + "' for '" + fuzz::Printable(name) + "'");
    FUZZ_CHECK(parsed.questions[0].type == dns::kTypeMX && parsed.questions[0].cls == dns::kClassIN,
               "query type");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dns::DnsResponse response;
  if (dns::ParseDnsResponse(std::span(data, size), response)) {
    const dns::DnsHeader& h = response.header;
    FUZZ_CHECK(response.questions.size() == h.questions && response.answers.size() == h.answers &&
                   response.authorities.size() == h.authorities &&
                   response.additionals.size() == h.additionals,
               "section sizes differ from the header counts");
    for (const dns::DnsQuestion& question : response.questions) CheckName(question.name);
    CheckRecords(response.answers);
    CheckRecords(response.authorities);
    CheckRecords(response.additionals);

    const std::string referral = dns::FindReferralServer(response);
    if (!referral.empty()) {
      const bool listed =
          std::any_of(response.additionals.begin(), response.additionals.end(),
                      [&](const dns::DnsRecord& r) { return r.type == dns::kTypeA && r.text == referral; });
      FUZZ_CHECK(listed, "referral server that no additional A record gives: " + fuzz::Printable(referral));
      FUZZ_CHECK((h.flags & dns::kFlagAuthoritative) == 0, "referral from an authoritative reply");
      FUZZ_CHECK(response.answers.empty(), "referral from a reply that carries answers");
    }
    std::vector<std::string> texts;
    for (const dns::DnsRecord& record : response.answers) texts.push_back(record.text);
    CheckSort(texts);
    CheckReplyMatch(std::span(data, size), &response);
  } else {
    CheckReplyMatch(std::span(data, size), nullptr);
  }
  CheckQuery(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
