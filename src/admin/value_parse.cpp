#include "admin/value_parse.h"

#include <charconv>

#include "common/text.h"

namespace admin {

bool ParseInt(std::string_view text, int& value) {
  const std::string trimmed = text::Trim(text);
  std::string_view digits = trimmed;
  // from_chars takes a minus sign but no plus sign.
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '-') return false;
  }
  int parsed = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  value = parsed;
  return true;
}

std::string IntegerRangeText(int low, int high) {
  return text::Format("Please enter an integer between %d and %d.", low, high);
}

std::optional<std::string> RefuseInt(std::string_view text, int low, int high, int& value) {
  int parsed = 0;
  if (!ParseInt(text, parsed)) return std::string(kEnterIntegerText);
  if (parsed < low || parsed > high) return IntegerRangeText(low, high);
  value = parsed;
  return std::nullopt;
}

}  // namespace admin
