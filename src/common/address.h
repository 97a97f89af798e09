// Mail addresses: the user and domain parts, inside angle brackets where
// present ("Joe <joe@d1>" -> "joe", "d1"). An address without "@" yields
// itself (trimmed) for both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

std::string GetAddressUser(std::string_view address);
std::string GetAddressDomain(std::string_view address);
// The address with its angle brackets and surrounding blanks removed.
std::string StripAngleBrackets(std::string_view address);
// True when the domain part of `address` equals one of `domains`, without
// regard to case.
bool IsLocalAddress(std::string_view address, const std::vector<std::string>& domains);
bool IsLocalDomainName(std::string_view domain, const std::vector<std::string>& domains);
