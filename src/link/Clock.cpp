#include "link/Clock.h"

#include <chrono>
#include <thread>

namespace {

class CSteadyClock final : public IClock {
 public:
  std::int64_t NowSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  std::int64_t NowMilliseconds() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void SleepMs(int ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

}  // namespace

IClock& SystemClock() {
  static CSteadyClock clock;
  return clock;
}
