#pragma once
// Time as the links need it: whole seconds on a monotonic clock for the timed
// serial reads (a wall-clock step must neither end nor stretch a read), and
// sleeps for the pauses between HID reports. Tests inject a fake clock, so the
// pauses a link asks for can be checked without waiting through them.

#include <cstdint>

class IClock {
 public:
  virtual ~IClock() = default;
  virtual std::int64_t NowSeconds() = 0;       // monotonic, whole seconds
  virtual std::int64_t NowMilliseconds() = 0;  // monotonic
  virtual void SleepMs(int ms) = 0;
};

// The process's steady clock.
IClock& SystemClock();
