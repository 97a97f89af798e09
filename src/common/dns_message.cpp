// DNS query building and bounds-checked reply parsing (see dns_message.h).
//
// RFC 1035 4.1 message layout:
//   header (12 octets) | question* | answer RR* | authority RR* | additional RR*
//   question = QNAME QTYPE(16) QCLASS(16)
//   RR       = NAME TYPE(16) CLASS(16) TTL(32) RDLENGTH(16) RDATA
// RFC 1035 4.1.4 name compression: a length octet with the two top bits set
// starts a two-octet pointer to an earlier name; the octets 64..191 are not
// defined there and are stepped over as the resolver always did.
#include "common/dns_message.h"

#include <algorithm>
#include <cstdint>

#include "common/text.h"

namespace dns {
namespace {

constexpr std::uint8_t kPointerMark = 0xC0;  // top bits of a compression pointer

// A name as written in a query: one final "." (an absolute name) is left out.
std::string_view WithoutFinalDot(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return name;
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Is the record type one whose data is a single domain name: NS, MD, MF,
// CNAME, MB, MG, MR, PTR.
bool IsNameType(std::uint16_t type) {
  switch (type) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 7:
    case 8:
    case 9:
    case 12:
      return true;
    default:
      return false;
  }
}

// Reads the data of one record at the reader's cursor and gives its text.
bool ReadRecordData(DnsReader& reader, DnsRecord& record) {
  if (record.type == kTypeA) {
    std::uint8_t a[4];
    if (!reader.ReadBytes(a, sizeof a)) return false;
    record.text = text::Format("%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return true;
  }
  if (record.type == kTypeAAAA) {
    std::uint16_t g[8];
    for (std::uint16_t& group : g)
      if (!reader.ReadU16(group)) return false;
    record.text =
        text::Format("%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
    return true;
  }
  if (IsNameType(record.type)) return reader.ReadName(record.length, record.text);
  if (record.type == kTypeMX) {
    std::uint16_t preference = 0;
    if (!reader.ReadU16(preference)) return false;
    // The exchange name may use what is left of the data after the preference.
    const std::size_t limit = record.length >= 2 ? record.length - 2u : 0u;
    std::string exchange;
    if (!reader.ReadName(limit, exchange)) return false;
    record.text = text::Format("%02u %s", static_cast<unsigned>(preference), exchange.c_str());
    return true;
  }
  record.text = kUnsupportedText;
  return reader.Skip(record.length);
}

bool ReadRecords(DnsReader& reader, std::uint16_t count, std::vector<DnsRecord>& records) {
  for (std::uint16_t i = 0; i < count; ++i) {
    DnsRecord record;
    if (!reader.ReadName(reader.Size(), record.name) || !reader.ReadU16(record.type) ||
        !reader.ReadU16(record.cls) || !reader.ReadU32(record.ttl) ||
        !reader.ReadU16(record.length) || !ReadRecordData(reader, record))
      return false;
    records.push_back(std::move(record));
  }
  return true;
}

}  // namespace

bool DnsReader::ReadU8(std::uint8_t& value) {
  if (m_nPos >= m_data.size()) return false;
  value = m_data[m_nPos++];
  return true;
}

bool DnsReader::ReadU16(std::uint16_t& value) {
  if (m_data.size() - m_nPos < 2) return false;
  value = static_cast<std::uint16_t>((m_data[m_nPos] << 8) | m_data[m_nPos + 1]);
  m_nPos += 2;
  return true;
}

bool DnsReader::ReadU32(std::uint32_t& value) {
  std::uint16_t high = 0, low = 0;
  if (m_data.size() - m_nPos < 4) return false;
  ReadU16(high);
  ReadU16(low);
  value = (static_cast<std::uint32_t>(high) << 16) | low;
  return true;
}

bool DnsReader::ReadBytes(std::uint8_t* out, std::size_t count) {
  if (m_data.size() - m_nPos < count) return false;
  std::copy_n(m_data.begin() + static_cast<std::ptrdiff_t>(m_nPos), count, out);
  m_nPos += count;
  return true;
}

bool DnsReader::Skip(std::size_t count) {
  if (m_data.size() - m_nPos < count) return false;
  m_nPos += count;
  return true;
}

bool DnsReader::ReadName(std::size_t scan_limit, std::string& name) {
  name.clear();
  const std::size_t size = m_data.size();
  // Where the walk must stop: the end of the record's data (saturating, so
  // that no limit a caller passes can wrap around).
  const std::size_t limit_end = scan_limit > SIZE_MAX - m_nPos ? SIZE_MAX : m_nPos + scan_limit;
  std::size_t pos = m_nPos;
  std::size_t after = 0;  // cursor after the name, once a pointer was followed
  bool jumped = false;
  int jumps = 0;
  std::size_t octets = 1;  // the final zero octet

  for (;;) {
    if (pos >= limit_end || pos >= size) return false;
    const std::uint8_t length = m_data[pos];
    if (length == 0) {
      if (!name.empty()) name.pop_back();  // the final "."
      m_nPos = jumped ? after : pos + 1;
      return true;
    }
    if (length <= kMaxLabelLength) {
      octets += 1u + length;
      if (octets > kMaxNameOctets || size - pos - 1 < length) return false;
      for (std::size_t i = 1; i <= length; ++i) {
        const unsigned char c = m_data[pos + i];
        name.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
      }
      name.push_back('.');
      pos += 1u + length;
    } else if ((length & kPointerMark) == kPointerMark) {
      if (pos + 1 >= size || ++jumps > kMaxPointerJumps) return false;
      if (!jumped) {
        after = pos + 2;
        jumped = true;
      }
      pos = (static_cast<std::size_t>(length & ~kPointerMark) << 8) | m_data[pos + 1];
    } else {
      ++pos;  // 64..191: no label type of RFC 1035; stepped over
    }
  }
}

bool BuildDnsQuery(const DnsHeader& header, std::string_view name, std::uint16_t type,
                   std::uint16_t cls, bool tcp, std::vector<std::uint8_t>& query) {
  query.clear();
  name = WithoutFinalDot(name);
  if (tcp) PutU16(query, 0);  // filled in at the end
  const std::size_t start = query.size();
  PutU16(query, header.id);
  PutU16(query, header.flags);
  PutU16(query, header.questions);
  PutU16(query, header.answers);
  PutU16(query, header.authorities);
  PutU16(query, header.additionals);

  std::size_t octets = 1;  // the final zero octet
  if (!name.empty()) {
    for (const std::string& label : text::Split(name, '.')) {
      if (label.empty() || label.size() > kMaxLabelLength) return false;
      octets += 1 + label.size();
      if (octets > kMaxNameOctets) return false;
      query.push_back(static_cast<std::uint8_t>(label.size()));
      query.insert(query.end(), label.begin(), label.end());
    }
  }
  query.push_back(0);
  PutU16(query, type);
  PutU16(query, cls);
  if (tcp) {
    const std::size_t length = query.size() - start;
    query[0] = static_cast<std::uint8_t>(length >> 8);
    query[1] = static_cast<std::uint8_t>(length & 0xFF);
  }
  return true;
}

bool ParseDnsResponse(std::span<const std::uint8_t> message, DnsResponse& response) {
  response = DnsResponse();
  DnsReader reader(message);
  DnsHeader& h = response.header;
  if (!reader.ReadU16(h.id) || !reader.ReadU16(h.flags) || !reader.ReadU16(h.questions) ||
      !reader.ReadU16(h.answers) || !reader.ReadU16(h.authorities) ||
      !reader.ReadU16(h.additionals))
    return false;
  for (std::uint16_t i = 0; i < h.questions; ++i) {
    DnsQuestion question;
    if (!reader.ReadName(reader.Size(), question.name) || !reader.ReadU16(question.type) ||
        !reader.ReadU16(question.cls))
      return false;
    response.questions.push_back(std::move(question));
  }
  return ReadRecords(reader, h.answers, response.answers) &&
         ReadRecords(reader, h.authorities, response.authorities) &&
         ReadRecords(reader, h.additionals, response.additionals);
}

bool IsReplyTo(std::span<const std::uint8_t> message, std::uint16_t id, const DnsQuestion& question) {
  DnsReader reader(message);
  std::uint16_t reply_id = 0, flags = 0, questions = 0;
  if (!reader.ReadU16(reply_id) || !reader.ReadU16(flags) || !reader.ReadU16(questions)) return false;
  if (reply_id != id || (flags & kFlagResponse) == 0 || questions != 1) return false;
  DnsQuestion asked;
  return reader.Skip(6) && reader.ReadName(reader.Size(), asked.name) && reader.ReadU16(asked.type) &&
         reader.ReadU16(asked.cls) && asked.type == question.type && asked.cls == question.cls &&
         text::EqualsNoCase(asked.name, WithoutFinalDot(question.name));
}

std::string FindReferralServer(const DnsResponse& response) {
  const DnsHeader& h = response.header;
  if ((h.flags & kFlagAuthoritative) != 0 || (h.flags & kRcodeMask) != 0) return std::string();
  if (!response.answers.empty()) return std::string();
  if (response.authorities.empty() || response.additionals.empty()) return std::string();
  const std::string& server = response.authorities.front().text;
  // Only an address record can be queried; an AAAA record of the same server
  // listed first must not hide its A record.
  for (const DnsRecord& record : response.additionals)
    if (record.type == kTypeA && text::EqualsNoCase(record.name, server)) return record.text;
  return std::string();
}

void DnsTcpFramer::Append(std::span<const std::uint8_t> bytes) {
  m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

bool DnsTcpFramer::Next(std::vector<std::uint8_t>& message) {
  if (m_buffer.size() < 2) return false;
  const std::size_t length = (static_cast<std::size_t>(m_buffer[0]) << 8) | m_buffer[1];
  if (m_buffer.size() - 2 < length) return false;
  const auto begin = m_buffer.begin() + 2;
  const auto end = begin + static_cast<std::ptrdiff_t>(length);
  message.assign(begin, end);
  m_buffer.erase(m_buffer.begin(), end);
  return true;
}

}  // namespace dns
