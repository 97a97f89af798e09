// The relay's retry values: what RetryFor and RetrySchedule accept, and the
// wait before each try.
#include "common/retry_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(RetryPolicy, ValuesAcceptedAndRefused) {
  const struct {
    const char* text;
    bool valid_for;       // as RetryFor
    long long for_seconds;
    bool valid_schedule;  // as RetrySchedule
    std::vector<std::int64_t> waits;
  } cases[] = {
      {"0", true, 0, false, {}},  // off; no schedule waits nothing
      {"5d", true, 5 * 86400, false, {}},  // days only for RetryFor
      {" 90s ", true, 90, true, {90}},
      {"2H", true, 7200, true, {7200}},
      {"5m,10m,20m,40m,60m", false, 0, true, {300, 600, 1200, 2400, 3600}},
      {"1s, 2s", false, 0, true, {1, 2}},
      {"0s", true, 0, false, {}},  // a wait of nothing would retry in a loop
      {"5", false, 0, false, {}},   // no unit
      {"m", false, 0, false, {}},
      {"-5m", false, 0, false, {}},
      {"5w", false, 0, false, {}},
      {"1m,,2m", false, 0, false, {}},
      {"", false, 0, false, {}},
      {"400d", false, 0, false, {}},  // more than a year
      {"99999999999s", false, 0, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::int64_t seconds = -1;
    EXPECT_EQ(ParseRetryFor(c.text, seconds), c.valid_for);
    if (c.valid_for) {
      EXPECT_EQ(seconds, c.for_seconds);
    }
    std::vector<std::int64_t> waits{42};
    EXPECT_EQ(ParseRetrySchedule(c.text, waits), c.valid_schedule);
    EXPECT_EQ(waits, c.valid_schedule ? c.waits : std::vector<std::int64_t>{42}) << "unchanged when refused";
  }
}

TEST(RetryPolicy, LastWaitRepeatsAndWaitsReadAsMinutesWhenWhole) {
  const RetryPolicy policy{3600, {60, 120, 300}};
  EXPECT_TRUE(policy.Enabled());
  EXPECT_EQ(policy.WaitAfter(1), 60);
  EXPECT_EQ(policy.WaitAfter(3), 300);
  EXPECT_EQ(policy.WaitAfter(50), 300);
  EXPECT_FALSE(RetryPolicy{}.Enabled());
  EXPECT_EQ(RetryWaitText(3600), "60 minutes");
  EXPECT_EQ(RetryWaitText(90), "90 seconds");
}

}  // namespace
