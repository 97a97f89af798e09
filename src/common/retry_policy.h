// How long the relay keeps trying a recipient after a temporary failure, and
// how long it waits before each next try: the values RetryFor ("5d") and
// RetrySchedule ("5m,10m,20m,40m,60m", the last wait repeats). A RetryFor of
// "0" switches retries off: the relay makes one pass and what fails goes to
// the bad-mail folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct RetryPolicy {
  std::int64_t retry_for = 0;      // seconds; 0: off
  std::vector<std::int64_t> waits;  // seconds before the 2nd, 3rd, ... try

  bool Enabled() const { return retry_for > 0; }
  // The wait after the try numbered `tries` (1 = the first try); the last
  // wait of the schedule repeats.
  std::int64_t WaitAfter(int tries) const;

  bool operator==(const RetryPolicy&) const = default;
};

// A number with one unit among `units` ("s", "m", "h", "d"): "90s", "5m".
// A bare "0" is zero in any unit. False for anything else, for a value of
// zero with a unit where `allow_zero` is false, and for more than a year.
bool ParseRetryDuration(std::string_view text, std::string_view units, bool allow_zero,
                        std::int64_t& seconds);

// RetryFor (units s, m, h, d) and RetrySchedule (units s, m, h; one or more
// waits separated by ",", each above zero); false for a malformed value.
bool ParseRetryFor(std::string_view text, std::int64_t& seconds);
bool ParseRetrySchedule(std::string_view text, std::vector<std::int64_t>& waits);

// A wait for a log line: "N minutes" when it is whole minutes, else
// "N seconds".
std::string RetryWaitText(std::int64_t seconds);
