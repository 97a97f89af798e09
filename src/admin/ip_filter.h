// The IP filter page's mode and the address dialog's rules: an address is
// typed as four parts of at most three characters each (digits and "*"),
// either one address or a start and an end. As in the system's IP address
// control, "." and a blank move on to the next part, and a pasted dotted
// address fills the parts.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace admin {

// IPFilterMode: 0 no filter, 1 refuse the listed addresses, 2 accept only them.
int ReadIpFilterMode();
void SaveIpFilterMode(int mode);

inline constexpr int kAddressPartMaxChars = 3;
using AddressParts = std::array<std::string, 4>;

// The four dot-separated parts of an address text (missing parts empty).
AddressParts SplitAddress(const std::string& address);
// "%s.%s.%s.%s" of the four parts.
std::string JoinAddress(const AddressParts& parts);
// A range is shown when the end is given and differs from the start.
bool IsRange(const std::string& start, const std::string& end);
// The characters an address part holds: digits and "*".
bool IsAddressPartChar(char c);
// A text an address part can hold: at most three such characters.
bool IsAddressPartText(std::string_view text);
// The typed characters that move on to the next part instead.
bool MovesToNextPart(char c);
// The parts of a pasted address ("10.0.0.1", "192.168.*.*", blanks around
// it allowed; missing parts empty), or nothing when the text has no dot, has
// more than four parts or a part that a part field cannot hold: then it is
// pasted into the one part as any text is.
std::optional<AddressParts> PastedAddressParts(std::string_view text);
// The state of the address dialog: the eight parts and whether the range
// part is shown. Showing the range part starts the end from the start.
struct CIpAddressForm {
  AddressParts m_arrStart;
  AddressParts m_arrEnd;
  int m_nRange = 1;

  // Splits the texts into parts; the range part is shown when the end is
  // given and differs from the start.
  void Init(const std::string& start, const std::string& end);
  void ShowRange();
  void HideRange() { m_nRange = 0; }
  std::string StartText() const { return JoinAddress(m_arrStart); }
  // The end address, or empty when no range is set.
  std::string EndText() const { return m_nRange ? JoinAddress(m_arrEnd) : std::string(); }
};

// The end stored for an entry: the range end, or the start for one address.
std::string EntryEnd(const std::string& start, const std::string& end);

// Why an entry with this start and end (empty or equal to the start for one
// address) matches otherwise than it reads, or nothing. The address dialog
// lets any parts through (the filter compares them as the service does);
// quillctl takes only entries that mean what they say: four numbers from 0
// to 255, "*" parts in a pattern, which has no end, and a range that does
// not end before it starts.
std::optional<std::string> FilterEntryRefusal(std::string_view start, std::string_view end);
inline constexpr const char* kBadAddressText =
    "An address is four numbers from 0 to 255 separated by dots (10.0.0.1); a pattern may have \"*\" "
    "parts (192.168.*.*).";
inline constexpr const char* kPatternWithEndText = "A pattern with \"*\" parts stands alone: it has no range end.";
inline constexpr const char* kRangeBackwardsText = "The range ends before it starts.";

}  // namespace admin
