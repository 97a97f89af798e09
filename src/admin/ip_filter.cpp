#include "admin/ip_filter.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/settings_table.h"
#include "common/text.h"

namespace admin {

int ReadIpFilterMode() { return settings::ReadNumber(settings::kIPFilterMode); }

void SaveIpFilterMode(int mode) { settings::WriteNumber(settings::kIPFilterMode, mode); }

AddressParts SplitAddress(const std::string& address) {
  AddressParts parts;
  for (std::size_t i = 0; i < parts.size(); ++i)
    parts[i] = text::ExtractField(address, static_cast<int>(i), '.');
  return parts;
}

std::string JoinAddress(const AddressParts& parts) {
  return parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
}

bool IsRange(const std::string& start, const std::string& end) { return !end.empty() && end != start; }

bool IsAddressPartChar(char c) { return (c >= '0' && c <= '9') || c == '*'; }

bool IsAddressPartText(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(kAddressPartMaxChars)) return false;
  for (const char c : text)
    if (!IsAddressPartChar(c)) return false;
  return true;
}

bool MovesToNextPart(char c) { return c == '.' || c == ' '; }

std::optional<AddressParts> PastedAddressParts(std::string_view text) {
  const std::string address = text::Trim(text);
  if (address.find('.') == std::string::npos) return std::nullopt;
  const auto dots = std::count(address.begin(), address.end(), '.');
  if (dots >= static_cast<long>(AddressParts().size())) return std::nullopt;
  const AddressParts parts = SplitAddress(address);
  for (const std::string& part : parts)
    if (!IsAddressPartText(part)) return std::nullopt;
  return parts;
}

void CIpAddressForm::Init(const std::string& start, const std::string& end) {
  m_arrStart = SplitAddress(start);
  m_arrEnd = SplitAddress(end);
  m_nRange = IsRange(start, end) ? 1 : 0;
}

void CIpAddressForm::ShowRange() {
  m_arrEnd = m_arrStart;
  m_nRange = 1;
}

std::string EntryEnd(const std::string& start, const std::string& end) { return end.empty() ? start : end; }

namespace {

constexpr int kMaxAddressPart = 255;

// The address as one number, or nothing when it is no dotted address (with
// `pattern`, "*" parts count as 0).
std::optional<std::uint32_t> AddressValue(std::string_view address, bool pattern) {
  const std::vector<std::string> parts = text::Split(address, '.');
  if (parts.size() != AddressParts().size()) return std::nullopt;
  std::uint32_t value = 0;
  for (const std::string& part : parts) {
    int number = 0;
    if (pattern && part == "*") {
      number = 0;
    } else if (part.empty() || part.size() > static_cast<std::size_t>(kAddressPartMaxChars) ||
               part.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    } else {
      number = std::stoi(part);
      if (number > kMaxAddressPart) return std::nullopt;
    }
    value = (value << 8) | static_cast<std::uint32_t>(number);
  }
  return value;
}

}  // namespace

std::optional<std::string> FilterEntryRefusal(std::string_view start, std::string_view end) {
  const std::optional<std::uint32_t> first = AddressValue(start, true);
  if (!first) return std::string(kBadAddressText);
  if (end.empty() || end == start) return std::nullopt;
  if (start.find('*') != std::string_view::npos) return std::string(kPatternWithEndText);
  const std::optional<std::uint32_t> last = AddressValue(end, false);
  if (!last) return std::string(kBadAddressText);
  if (*last < *first) return std::string(kRangeBackwardsText);
  return std::nullopt;
}

}  // namespace admin
