// Building DNS messages byte by byte for the resolver tests: replies are
// written out by hand here (not by the code under test), so that a test
// states exactly which bytes the parser gets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dnstest {

using Bytes = std::vector<std::uint8_t>;

// A domain name in wire form without compression: length-prefixed labels
// and the final zero ("" is the root).
inline Bytes Name(std::string_view dotted) {
  Bytes out;
  std::size_t start = 0;
  while (start < dotted.size()) {
    std::size_t dot = dotted.find('.', start);
    if (dot == std::string_view::npos) dot = dotted.size();
    out.push_back(static_cast<std::uint8_t>(dot - start));
    out.insert(out.end(), dotted.begin() + start, dotted.begin() + dot);
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

// A compression pointer to `offset`.
inline Bytes Ptr(std::uint16_t offset) {
  return {static_cast<std::uint8_t>(0xC0 | (offset >> 8)),
          static_cast<std::uint8_t>(offset & 0xFF)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// `bytes` without their last `cut` bytes.
inline Bytes Truncated(Bytes bytes, std::size_t cut) {
  bytes.resize(bytes.size() - cut);
  return bytes;
}

struct Wire {
  Bytes b;
  Wire& U8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Wire& U16(std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    return *this;
  }
  Wire& U32(std::uint32_t v) { return U16(static_cast<std::uint16_t>(v >> 16)).U16(v & 0xFFFF); }
  Wire& Add(const Bytes& bytes) {
    b.insert(b.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Wire& Header(std::uint16_t flags, std::uint16_t qd, std::uint16_t an, std::uint16_t ns,
               std::uint16_t ar, std::uint16_t id = 1) {
    return U16(id).U16(flags).U16(qd).U16(an).U16(ns).U16(ar);
  }
  Wire& Question(const Bytes& name, std::uint16_t type = 15) { return Add(name).U16(type).U16(1); }
  // A resource record of class IN; the data length is that of `data`.
  Wire& Record(const Bytes& owner, std::uint16_t type, const Bytes& data,
               std::uint32_t ttl = 3600) {
    return Add(owner)
        .U16(type)
        .U16(1)
        .U32(ttl)
        .U16(static_cast<std::uint16_t>(data.size()))
        .Add(data);
  }
  std::size_t Size() const { return b.size(); }
};

inline Bytes MxData(std::uint16_t preference, const Bytes& exchange) {
  return Cat(
      {{static_cast<std::uint8_t>(preference >> 8), static_cast<std::uint8_t>(preference & 0xFF)},
       exchange});
}

inline Bytes A(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return {a, b, c, d};
}

// Flags of a reply: response bit, recursion desired and available, plus
// the authoritative bit when asked.
constexpr std::uint16_t kReply = 0x8180;
constexpr std::uint16_t kReplyAuthoritative = 0x8580;
// Offset of the question name in every message (right after the header).
constexpr std::uint16_t kQuestionNameOffset = 12;

}  // namespace dnstest
