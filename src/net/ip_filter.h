// The IP filter: whether the service talks to a client at all, decided from
// its dotted IPv4 address, the filter mode and the address list that the
// connection thread copied when the client connected.
//
// Modes: 0 accepts everyone, 1 accepts everyone not listed, 2 accepts only
// listed addresses, any other value rejects everyone.
//
// A list entry is a start text, optionally one separator (the first of
// "|,;- " in the entry) and an end text; without a separator the entry is its
// own start and end. A start containing "*" is a pattern matched part by part
// ("192.168.*.*"); any other entry is a range compared in 12-digit form.
// Malformed entries are not reported; they simply match differently.
//
// Callers inside a class with a member of the same name (the connection
// thread) reach these as ::IsAddressAllowed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr int kIPFilterOff = 0;
inline constexpr int kIPFilterDenyListed = 1;
inline constexpr int kIPFilterAllowListed = 2;

// The decision of the mode for `address`; false also when testing fails.
bool IsAddressAllowed(int mode, const std::vector<std::string>& list, const char* address);
// True when at least one entry matches `address` (an empty list lists nothing).
bool IsAddressListed(const std::vector<std::string>& list, const char* address);
// The range test of one entry: start <= address <= end, each in its 12-digit
// form when it has four parts, otherwise as written.
bool IsAddressInRange(const char* start, const char* end, const char* address);
// "192.168.0.10" -> "192168000010": four "."-separated parts, each trimmed and
// taken by its leading digits (none count as 0) and written with three digits
// (wider when above 999). A text without exactly four parts is returned as is.
std::string NormalizeAddress(std::string_view address);
