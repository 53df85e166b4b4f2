#pragma once
// A clock for the link and update tests: time moves only when the test (or the
// link, by sleeping or by looking at the time) moves it, and every requested pause
// is recorded. A worker thread may move it while the test's thread reads it.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "link/Clock.h"

class CFakeClock final : public IClock {
 public:
  // stepPerLookMs: milliseconds added every time the link looks at the clock.
  explicit CFakeClock(std::int64_t stepPerLookMs = 0, std::int64_t startMs = 0)
      : ms(startMs), m_step(stepPerLookMs) {}

  std::int64_t NowSeconds() override { return NowMilliseconds() / 1000; }
  std::int64_t NowMilliseconds() override {
    ++looks;
    return ms += m_step;
  }
  void SleepMs(int pause) override {
    {
      std::lock_guard lock(m_mutex);
      sleeps.push_back(pause);
    }
    ms += pause;
  }
  void Advance(int pause) { ms += pause; }
  int SleptMs() const {
    std::lock_guard lock(m_mutex);
    int total = 0;
    for (int pause : sleeps) total += pause;
    return total;
  }

  std::atomic<std::int64_t> ms;
  std::atomic<int> looks{0};
  std::vector<int> sleeps;  // read once the link has stopped

 private:
  std::int64_t m_step;
  mutable std::mutex m_mutex;
};
