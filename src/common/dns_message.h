// DNS messages (RFC 1035) as the resolver sends and reads them: building one
// query, and parsing a reply into its sections with the record data already
// turned into the texts the callers see ("10 mx.example.org", "192.0.2.1").
//
// Every reply byte comes from the network and is read through DnsReader, a
// cursor that knows where the message ends: a reply that is shorter than its
// counts claim, a name longer than 255 octets, a compression pointer loop or
// a name that runs past its record's data all make ParseDnsResponse return
// false, and nothing outside the given bytes is ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dns {

// Record types with a text of their own.
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeNS = 2;
constexpr std::uint16_t kTypeCNAME = 5;
constexpr std::uint16_t kTypePTR = 12;
constexpr std::uint16_t kTypeMX = 15;
constexpr std::uint16_t kTypeAAAA = 28;
constexpr std::uint16_t kClassIN = 1;

// Header flag bits looked at by the resolver.
constexpr std::uint16_t kFlagResponse = 0x8000;  // QR: the message is a reply
constexpr std::uint16_t kFlagRecursionDesired = 0x0100;
constexpr std::uint16_t kFlagAuthoritative = 0x0400;
constexpr std::uint16_t kRcodeMask = 0x000F;

// RFC 1035 2.3.4: a label holds at most 63 octets, a whole name (length
// bytes and the final zero included) at most 255.
constexpr std::size_t kMaxLabelLength = 63;
constexpr std::size_t kMaxNameOctets = 255;
// A name of 255 octets has at most 127 labels; a walk that follows more
// pointers than that is going round in a loop.
constexpr int kMaxPointerJumps = 128;
// Fixed part of a header and of a resource record after its owner name.
constexpr std::size_t kHeaderSize = 12;

// The text given for the data of every record type without a text of its own.
inline constexpr const char* kUnsupportedText = "Unsupported";

// The six header words, in host order.
struct DnsHeader {
  std::uint16_t id = 0;
  std::uint16_t flags = 0;
  std::uint16_t questions = 0;
  std::uint16_t answers = 0;
  std::uint16_t authorities = 0;
  std::uint16_t additionals = 0;
};

struct DnsQuestion {
  std::string name;
  std::uint16_t type = 0;
  std::uint16_t cls = 0;
};

struct DnsRecord {
  std::string name;  // owner name
  std::uint16_t type = 0;
  std::uint16_t cls = 0;
  std::uint32_t ttl = 0;
  std::uint16_t length = 0;  // data length as the reply states it
  std::string text;          // the data as text (see RecordDataText rules)
};

struct DnsResponse {
  DnsHeader header;
  std::vector<DnsQuestion> questions;
  std::vector<DnsRecord> answers;
  std::vector<DnsRecord> authorities;
  std::vector<DnsRecord> additionals;
};

// Bounds-checked reading of one message. Every read either succeeds within
// the message or fails without moving the cursor past its end.
class DnsReader {
 public:
  explicit DnsReader(std::span<const std::uint8_t> message) : m_data(message) {}

  std::size_t Position() const { return m_nPos; }
  std::size_t Size() const { return m_data.size(); }

  bool ReadU8(std::uint8_t& value);
  bool ReadU16(std::uint16_t& value);  // network order
  bool ReadU32(std::uint32_t& value);  // network order
  bool ReadBytes(std::uint8_t* out, std::size_t count);
  bool Skip(std::size_t count);

  // Reads a domain name at the cursor: labels joined by ".", no final dot,
  // the root name as "". Compression pointers are followed; the cursor ends
  // after the name as written here (after the first pointer, if any). The
  // walk may not reach `scan_limit` bytes past the cursor (the record data
  // length for names inside record data). Control characters in labels are
  // given as "?" so that a name can go into a log line.
  bool ReadName(std::size_t scan_limit, std::string& name);

 private:
  std::span<const std::uint8_t> m_data;
  std::size_t m_nPos = 0;
};

// Builds a query: the header words in network order, the question name, its
// type and class; with `tcp` the message is preceded by its two-byte length.
// False when the name is not a valid domain: a label longer than 63
// characters, an empty label inside the name (".a", "a..b"), or more than 255
// octets in all. One final "." is allowed and ignored; "" asks for the root.
bool BuildDnsQuery(const DnsHeader& header, std::string_view name, std::uint16_t type,
                   std::uint16_t cls, bool tcp, std::vector<std::uint8_t>& query);

// Parses a whole reply (without a TCP length field). False when the reply is
// malformed in any way (see the file comment); `response` is then undefined.
bool ParseDnsResponse(std::span<const std::uint8_t> message, DnsResponse& response);

// Is `message` the reply to our query with this id and question? Only then
// may the resolver use it: a forger who cannot see the query must guess the
// id, and a late reply to another query names another question. True when
// the response bit is set, the id is the same and the message holds exactly
// one question: the name asked (without regard to case, RFC 4343; a final
// "." of `question.name` ignored, as BuildDnsQuery ignores it), its type and
// class. Reads only the header and the question, so a reply that matches may
// still fail ParseDnsResponse later.
bool IsReplyTo(std::span<const std::uint8_t> message, std::uint16_t id, const DnsQuestion& question);

// The referral in a reply, if it is one: a non-authoritative reply without
// answers and without an error code whose first authority record names a
// server that the additional section gives an IPv4 address for. Returns that
// address text, or "" when the reply is not a referral (a reply that carries
// answers is an answer, whatever else it holds). Names compare without
// regard to case.
std::string FindReferralServer(const DnsResponse& response);

// Cuts the bytes of a DNS TCP connection into messages: each one follows a
// two-byte length field (RFC 1035 4.2.2), and a message may arrive in any
// number of pieces, or several in one piece. The buffer holds at most one
// unfinished message (65535 bytes and its length field) besides the bytes of
// the last Append, as long as the caller takes every finished message with
// Next before it appends again.
class DnsTcpFramer {
 public:
  void Append(std::span<const std::uint8_t> bytes);
  // Takes the next whole message (without its length field); false when no
  // whole message is in yet.
  bool Next(std::vector<std::uint8_t>& message);

 private:
  std::vector<std::uint8_t> m_buffer;  // received bytes not yet taken
};

}  // namespace dns
