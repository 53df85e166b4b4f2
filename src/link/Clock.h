#pragma once
// Time as the links need it: whole seconds on a monotonic clock for the timed
// serial reads (a wall-clock step must neither end nor stretch a read), and waits
// until a moment on that clock for the pauses between HID reports. A pause is
// reckoned from the moment the report before it went out, so a late wake-up makes
// that one pause longer and never shortens or shifts the next. Tests inject a fake
// clock, so the pauses a link keeps can be checked without waiting through them.

#include <chrono>
#include <cstdint>

class IClock {
 public:
  // A moment on the monotonic clock, counted from the clock's own epoch.
  using Time = std::chrono::nanoseconds;

  virtual ~IClock() = default;
  virtual std::int64_t NowSeconds() = 0;       // monotonic, whole seconds
  virtual std::int64_t NowMilliseconds() = 0;  // monotonic
  virtual Time Now() = 0;                      // monotonic, as fine as the system keeps it
  // Returns once Now() has reached deadline, never before: at once when it has
  // passed, else as soon after it as the system wakes the thread.
  virtual void SleepUntil(Time deadline) = 0;
};

// The process's steady clock. Its waits end on the system's timer a little before
// the deadline and watch the clock for the rest, so a pause comes out within
// microseconds of what was asked (the timer alone wakes a thread tens of
// microseconds late, more in a virtual machine, a millisecond or more on Windows).
IClock& SystemClock();
