// The user and domain parts of mail addresses (see address.h).
#include "common/address.h"

#include "common/text.h"

namespace {

// What lies inside the angle brackets: after the first "<" (when there is
// one) and, within that, before the first ">" (when there is one).
std::string_view InsideBrackets(std::string_view address) {
  const std::size_t open = address.find('<');
  if (open == std::string_view::npos) return address;
  std::string_view inner = address.substr(open + 1);
  const std::size_t close = inner.find('>');
  if (close != std::string_view::npos) inner = inner.substr(0, close);
  return inner;
}

}  // namespace

std::string GetAddressUser(std::string_view address) {
  std::string_view inner = InsideBrackets(address);
  const std::size_t at = inner.find('@');
  if (at != std::string_view::npos) inner = inner.substr(0, at);
  return text::Trim(inner);
}

std::string GetAddressDomain(std::string_view address) {
  std::string_view inner = InsideBrackets(address);
  const std::size_t at = inner.find('@');
  if (at != std::string_view::npos) inner = inner.substr(at + 1);
  return text::Trim(inner);
}

std::string StripAngleBrackets(std::string_view address) { return text::Trim(InsideBrackets(address)); }

bool IsLocalDomainName(std::string_view domain, const std::vector<std::string>& domains) {
  for (const std::string& local : domains) {
    if (text::EqualsNoCase(domain, local)) return true;
  }
  return false;
}

bool IsLocalAddress(std::string_view address, const std::vector<std::string>& domains) {
  return IsLocalDomainName(GetAddressDomain(address), domains);
}
