// The IP filter (see ip_filter.h).
#include "net/ip_filter.h"

#include <climits>
#include <exception>

#include "common/text.h"

namespace {

constexpr std::string_view kEntrySeparators = "|,;- ";
constexpr int kAddressParts = 4;

struct Entry {
  std::string_view start;
  std::string_view end;
};

// Start and end of an entry: around the first separator character, or the
// whole entry for both.
Entry SplitEntry(std::string_view entry) {
  const std::size_t separator = entry.find_first_of(kEntrySeparators);
  if (separator == std::string_view::npos) return {entry, entry};
  return {entry.substr(0, separator), entry.substr(separator + 1)};
}

// A pattern entry matches when every part of the address equals the
// pattern's part at the same position, or that part is "*". Parts are
// compared as written ("001" is not "1"); a part the pattern lacks is the
// empty text, and pattern parts beyond the address's are ignored.
bool MatchesPattern(std::string_view pattern, std::string_view address) {
  const std::vector<std::string> address_parts = text::Split(address, '.');
  const std::vector<std::string> pattern_parts = text::Split(pattern, '.');
  for (std::size_t i = 0; i < address_parts.size(); ++i) {
    const std::string empty;
    const std::string& wanted = i < pattern_parts.size() ? pattern_parts[i] : empty;
    if (wanted != "*" && wanted != address_parts[i]) return false;
  }
  return true;
}

// The leading decimal digits of a part, 0 without any; saturates at INT_MAX
// instead of overflowing on a very long run of digits.
int LeadingNumber(std::string_view part) {
  long long value = 0;
  for (const char c : part) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

bool MatchesEntry(std::string_view entry, const char* address) {
  const Entry parts = SplitEntry(entry);
  if (parts.start.find('*') != std::string_view::npos) return MatchesPattern(parts.start, address);
  return IsAddressInRange(std::string(parts.start).c_str(), std::string(parts.end).c_str(), address);
}

}  // namespace

std::string NormalizeAddress(std::string_view address) {
  const std::vector<std::string> parts = text::Split(address, '.');
  if (parts.size() != kAddressParts) return std::string(address);
  return text::Format("%03d%03d%03d%03d", LeadingNumber(text::Trim(parts[0])), LeadingNumber(text::Trim(parts[1])),
                      LeadingNumber(text::Trim(parts[2])), LeadingNumber(text::Trim(parts[3])));
}

bool IsAddressInRange(const char* start, const char* end, const char* address) {
  // The ranges compare as plain byte strings. Between two 12-digit forms this
  // is the numeric order of the addresses, which is all a well-formed entry
  // needs; a locale's collation would only reorder the raw texts of malformed
  // entries, and in a way that changes from one machine to the next.
  const std::string low = NormalizeAddress(start ? start : "");
  const std::string high = NormalizeAddress(end ? end : "");
  const std::string value = NormalizeAddress(address ? address : "");
  return value >= low && value <= high;
}

bool IsAddressListed(const std::vector<std::string>& list, const char* address) {
  if (!address) address = "";
  for (const std::string& entry : list) {
    if (MatchesEntry(entry, address)) return true;
  }
  return false;
}

bool IsAddressAllowed(int mode, const std::vector<std::string>& list, const char* address) {
  try {
    switch (mode) {
      case kIPFilterOff:
        return true;
      case kIPFilterDenyListed:
        return !IsAddressListed(list, address);
      case kIPFilterAllowListed:
        return IsAddressListed(list, address);
      default:
        return false;
    }
  } catch (const std::exception&) {
    return false;  // a test that cannot be completed rejects the client
  }
}
