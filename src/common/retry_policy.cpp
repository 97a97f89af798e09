// The relay's retry values (see retry_policy.h).
#include "common/retry_policy.h"

#include <algorithm>

#include "common/text.h"

namespace {

// A longer wait or retry time is a typing error, not a plan.
constexpr std::int64_t kMaxSeconds = 366LL * 24 * 3600;

std::int64_t UnitSeconds(char unit) {
  switch (unit) {
    case 's': return 1;
    case 'm': return 60;
    case 'h': return 3600;
    case 'd': return 24 * 3600;
    default: return 0;
  }
}

}  // namespace

std::int64_t RetryPolicy::WaitAfter(int tries) const {
  if (waits.empty()) return 0;
  const std::size_t index = tries < 1 ? 0 : static_cast<std::size_t>(tries - 1);
  return waits[std::min(index, waits.size() - 1)];
}

bool ParseRetryDuration(std::string_view text, std::string_view units, bool allow_zero,
                        std::int64_t& seconds) {
  const std::string trimmed = text::Trim(text);
  if (trimmed == "0" && allow_zero) {
    seconds = 0;
    return true;
  }
  if (trimmed.size() < 2) return false;
  const char unit = static_cast<char>(text::ToLower(trimmed.substr(trimmed.size() - 1))[0]);
  if (units.find(unit) == std::string_view::npos) return false;
  const std::string digits = trimmed.substr(0, trimmed.size() - 1);
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::int64_t value = std::stoll(digits) * UnitSeconds(unit);
  if (value > kMaxSeconds || (value == 0 && !allow_zero)) return false;
  seconds = value;
  return true;
}

bool ParseRetryFor(std::string_view text, std::int64_t& seconds) {
  return ParseRetryDuration(text, "smhd", true, seconds);
}

bool ParseRetrySchedule(std::string_view text, std::vector<std::int64_t>& waits) {
  std::vector<std::int64_t> parsed;
  for (const std::string& field : text::Split(text, ',')) {
    std::int64_t seconds = 0;
    if (!ParseRetryDuration(field, "smh", false, seconds)) return false;
    parsed.push_back(seconds);
  }
  if (parsed.empty()) return false;
  waits = std::move(parsed);
  return true;
}

std::string RetryWaitText(std::int64_t seconds) {
  if (seconds % 60 == 0) return text::Format("%lld minutes", static_cast<long long>(seconds / 60));
  return text::Format("%lld seconds", static_cast<long long>(seconds));
}
