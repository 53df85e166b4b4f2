#pragma once
// A clock for link tests: time moves only when the test (or the link, by sleeping
// or by looking at the time) moves it, and every requested pause is recorded.

#include <cstdint>
#include <vector>

#include "link/Clock.h"

class CFakeClock final : public IClock {
 public:
  // Milliseconds added every time the link looks at the clock.
  explicit CFakeClock(std::int64_t stepPerLookMs = 0) : m_step(stepPerLookMs) {}

  std::int64_t NowSeconds() override { return NowMilliseconds() / 1000; }
  std::int64_t NowMilliseconds() override {
    ++looks;
    ms += m_step;
    return ms;
  }
  void SleepMs(int pause) override {
    sleeps.push_back(pause);
    ms += pause;
  }
  int SleptMs() const {
    int total = 0;
    for (int pause : sleeps) total += pause;
    return total;
  }

  std::int64_t ms = 0;
  int looks = 0;
  std::vector<int> sleeps;

 private:
  std::int64_t m_step;
};
