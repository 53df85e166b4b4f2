#pragma once
// A clock for the link and update tests: time moves only when the test (or the
// link, by waiting or by looking at the time) moves it, and every wait is recorded.
// Its grain is the millisecond: a wait ends on the first whole millisecond at or
// after its deadline, never before it, and a look at the time gives that whole
// millisecond. A worker thread may move it while the test's thread reads it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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
  Time Now() override { return std::chrono::milliseconds(NowMilliseconds()); }
  void SleepUntil(Time deadline) override {
    const std::int64_t until = std::chrono::ceil<std::chrono::milliseconds>(deadline).count();
    const std::int64_t from = ms;
    {
      std::lock_guard lock(m_mutex);
      sleeps.push_back(static_cast<int>(until > from ? until - from : 0));
    }
    if (until > from) ms = until;
    if (afterSleep) afterSleep();
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
  std::vector<int> sleeps;  // each wait's length; read once the link has stopped
  // Runs at the end of every wait, the time already moved (a test's event that
  // falls within a wait: an abort, say).
  std::function<void()> afterSleep;

 private:
  std::int64_t m_step;
  mutable std::mutex m_mutex;
};
