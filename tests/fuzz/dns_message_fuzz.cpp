// The DNS reply parser (common/dns_message.h) on arbitrary replies, the
// referral test and the MX ordering on what it gives, and the query builder
// on names taken from the input.
//   - the parser reads only the given bytes (the sanitizers see any read
//     outside them) and, when it accepts a reply, gives as many entries per
//     section as the header counts, names of at most 255 octets, and record
//     texts in the form of their type;
//   - a referral server is the address text of one additional A record;
//   - SortMxByPreference only reorders, and puts MX texts in preference order;
//   - a query built for a name parses back to that name, type and class.
#include <algorithm>
#include <string>
#include <vector>

#include "common/dns_message.h"
#include "common/dns_resolver.h"
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

// A query for a name made of the input's printable characters must parse
// back as its question.
void CheckQuery(std::string_view input) {
  std::string name;
  for (const char c : input.substr(0, 300)) {
    if (c > 0x20 && c < 0x7F) name.push_back(c);
  }
  const dns::DnsHeader header{1, dns::kFlagRecursionDesired, 1, 0, 0, 0};
  std::vector<std::uint8_t> query;
  for (const bool tcp : {false, true}) {
    if (!dns::BuildDnsQuery(header, name, dns::kTypeMX, dns::kClassIN, tcp, query)) return;
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
    }
    std::vector<std::string> texts;
    for (const dns::DnsRecord& record : response.answers) texts.push_back(record.text);
    CheckSort(texts);
  }
  CheckQuery(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
