// The IP filter entries (net/ip_filter.h): the input is the client address
// on its first line and one list entry per further line, the first byte
// choosing the mode. Whatever the entries hold:
//   - the modes decide as documented from IsAddressListed (0 accepts all,
//     1 the unlisted, 2 the listed, others nobody), and nothing throws;
//   - an entry that is the address itself (no separator, no "*") lists it,
//     and so does the range from the address to itself;
//   - NormalizeAddress gives 12 or more digits for four parts and leaves
//     anything else as it is.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "net/ip_filter.h"

namespace {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void CheckNormalize(const std::string& address) {
  const std::string normal = NormalizeAddress(address);
  std::size_t dots = 0;
  for (const char c : address) dots += c == '.';
  if (dots != 3) {
    FUZZ_CHECK(normal == address, "not four parts, yet changed: " + fuzz::Printable(address));
    return;
  }
  FUZZ_CHECK(normal.size() >= 12, "short normal form: " + normal);
  for (const char c : normal) FUZZ_CHECK(c >= '0' && c <= '9', "non-digit in normal form: " + normal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputCursor cursor(data, size);
  const int mode = static_cast<int>(cursor.Byte() % 4);
  std::vector<std::string> lines = SplitLines(cursor.Rest());
  // The address is C text: it ends at a NUL byte.
  const std::string address = lines.front().c_str();
  lines.erase(lines.begin());

  const bool listed = IsAddressListed(lines, address.c_str());
  const bool allowed = IsAddressAllowed(mode, lines, address.c_str());
  const bool expected = mode == kIPFilterOff           ? true
                        : mode == kIPFilterDenyListed  ? !listed
                        : mode == kIPFilterAllowListed ? listed
                                                       : false;
  FUZZ_CHECK(allowed == expected, "mode " + std::to_string(mode) + " decided against the list");
  FUZZ_CHECK(!IsAddressListed({}, address.c_str()), "an empty list lists an address");

  CheckNormalize(address);
  for (const std::string& entry : lines) CheckNormalize(entry);

  FUZZ_CHECK(IsAddressInRange(address.c_str(), address.c_str(), address.c_str()),
             "an address is outside the range of itself: " + fuzz::Printable(address));
  if (address.find_first_of("|,;- *") == std::string::npos) {
    FUZZ_CHECK(IsAddressListed({address}, address.c_str()),
               "an address does not match itself as entry: " + fuzz::Printable(address));
  }
  return 0;
}
