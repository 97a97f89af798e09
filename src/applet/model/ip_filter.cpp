#include "applet/model/ip_filter.h"

#include <algorithm>

#include "common/settings_table.h"
#include "common/text.h"

namespace applet {

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

}  // namespace applet
