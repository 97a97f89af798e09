// The order in which the relay's senders take files, and the bound on the
// transactions open to one mail server.
#include "relay/relay_schedule.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace {

// One step of a schedule's script: Next() and the item it must give (-1:
// none), or Done() for a destination.
struct Step {
  char op;  // 'n': Next, 'd': Done
  int item = -1;
  const char* destination = "";
};
Step Next(int item) { return {'n', item, ""}; }
Step Done(const char* destination) { return {'d', -1, destination}; }

TEST(RelaySchedule, BoundPerDestinationAndTurns) {
  const struct {
    const char* name;
    int bound;
    std::vector<const char*> items;  // the destination of each item, in the order added
    std::vector<Step> script;
  } cases[] = {
      {"the bound holds a destination back until one of its items is done", 2, {"a", "a", "a"},
       {Next(0), Next(1), Next(-1), Done("a"), Next(2), Next(-1)}},
      {"destinations take turns, each in the order its items came", 4, {"a", "a", "a", "b", "b", "c"},
       {Next(0), Next(3), Next(5), Next(1), Next(4), Next(2), Next(-1)}},
      {"a full destination does not hold up the others", 1, {"a", "a", "b"},
       {Next(0), Next(2), Next(-1), Done("b"), Next(-1), Done("a"), Next(1)}},
      {"a done item of another destination frees nothing", 1, {"a", "a"},
       {Next(0), Done("x"), Next(-1), Done("a"), Next(1)}},
      {"a bound below one is one", 0, {"a", "a"}, {Next(0), Next(-1), Done("a"), Next(1)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRelaySchedule schedule(c.bound);
    for (std::size_t i = 0; i < c.items.size(); ++i) schedule.Add(c.items[i], i);
    for (std::size_t s = 0; s < c.script.size(); ++s) {
      // Ready() tells how many items Next() would give one after another.
      CRelaySchedule copy = schedule;
      std::size_t given = 0;
      while (copy.Next()) ++given;
      EXPECT_EQ(schedule.Ready(), given) << "step " << s;
      const Step& step = c.script[s];
      if (step.op == 'd') {
        schedule.Done(step.destination);
        continue;
      }
      const std::optional<std::size_t> next = schedule.Next();
      EXPECT_EQ(next ? static_cast<int>(*next) : -1, step.item) << "step " << s;
    }
    EXPECT_FALSE(schedule.Waiting());
  }
}

TEST(RelaySchedule, HostSlotsWaitForAFreeSlotAndEndAtCancel) {
  using namespace std::chrono_literals;
  CHostSlots slots(2);
  ASSERT_TRUE(slots.Acquire("127.0.0.2"));
  ASSERT_TRUE(slots.Acquire("127.0.0.2"));
  ASSERT_TRUE(slots.Acquire("127.0.0.3"));  // another host has its own slots

  auto third = std::async(std::launch::async, [&] { return slots.Acquire("127.0.0.2"); });
  EXPECT_EQ(third.wait_for(100ms), std::future_status::timeout);
  slots.Release("127.0.0.2");
  ASSERT_EQ(third.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(third.get());

  auto fourth = std::async(std::launch::async, [&] { return slots.Acquire("127.0.0.2"); });
  EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);
  slots.Cancel();
  ASSERT_EQ(fourth.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(fourth.get());
  EXPECT_FALSE(slots.Acquire("127.0.0.4"));  // cancelled until reset

  slots.Reset();
  EXPECT_TRUE(slots.Acquire("127.0.0.4"));
}

}  // namespace
