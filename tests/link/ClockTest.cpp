// The system clock's waits: they end on the system's timer a little early and
// watch the clock for the rest, so what is checked here is the promise the links
// build their pauses on: a wait never returns before its deadline, on any thread
// and however near or far the deadline is (inside the watched stretch, beyond it,
// already past). How long after the deadline a wait returns is the machine's
// business and is not looked at.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "link/Clock.h"

namespace {

using std::chrono::microseconds;

TEST(SystemClock, AWaitNeverEndsBeforeItsDeadline) {
  IClock& clock = SystemClock();
  const microseconds aheads[] = {microseconds(-500), microseconds(0),   microseconds(30),
                                 microseconds(150),  microseconds(900), microseconds(2500),
                                 microseconds(12000)};
  for (const microseconds ahead : aheads) {
    const IClock::Time deadline = clock.Now() + ahead;
    clock.SleepUntil(deadline);
    EXPECT_GE(clock.Now(), deadline) << ahead.count() << " us ahead";
  }
}

// A station paces the reports of its units on threads of their own, side by side.
TEST(SystemClock, WaitsOnSeveralThreadsAtOnceEachKeepTheirDeadline) {
  constexpr int kThreads = 3;
  constexpr int kWaits = 20;
  std::vector<int> early(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &early] {
      IClock& clock = SystemClock();
      for (int i = 0; i < kWaits; ++i) {
        const IClock::Time deadline = clock.Now() + microseconds(300 + 700 * ((i + t) % 4));
        clock.SleepUntil(deadline);
        if (clock.Now() < deadline) ++early[static_cast<std::size_t>(t)];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(early, std::vector<int>(kThreads, 0));
}

TEST(SystemClock, TheCoarseReadingsAreTheFineOneCutDown) {
  IClock& clock = SystemClock();
  const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now()).count();
  const std::int64_t ms = clock.NowMilliseconds();
  const std::int64_t s = clock.NowSeconds();
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now()).count();
  EXPECT_LE(before, ms);
  EXPECT_LE(ms, after);
  EXPECT_LE(before / 1000, s);
  EXPECT_LE(s, after / 1000);
}

}  // namespace
