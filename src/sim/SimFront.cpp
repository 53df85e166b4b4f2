#include "sim/SimFront.h"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

const char* FrontEndText(FrontEnd end) {
  switch (end) {
    case FrontEnd::kFinished:
      return "end-of-file frame received";
    case FrontEnd::kHungUp:
      return "line dropped (hang-up fault)";
    case FrontEnd::kClientGone:
      return "the updater went away before the end";
    case FrontEnd::kIdleTimeout:
      return "idle time-out";
    case FrontEnd::kStopped:
      return "stopped";
    case FrontEnd::kFailed:
      return "line failed";
  }
  return "?";
}

void SleepUntil(SimClock::time_point t) {
  // A device keeps its times to the microsecond; a simulator that woke on the
  // kernel's timer alone would be tens of microseconds late on every byte and every
  // answer (more with the default 50 us timer slack), and the benchmarks would
  // count that against the updater. So the timer, with a slack of a nanosecond on
  // this thread, takes the wait to a little before t, and the clock is watched for
  // the rest: never sooner than t, within a microsecond or so of it.
  constexpr std::chrono::microseconds kWatched(200);
  thread_local const bool exact = ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)exact;
  const SimClock::time_point wake = t - kWatched;
  if (SimClock::now() < wake) {
    // steady_clock is CLOCK_MONOTONIC here; an absolute sleep keeps paced bytes on
    // their slots however long the work between them took.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wake.time_since_epoch());
    timespec until{};
    until.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
    until.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
  }
  while (SimClock::now() < t) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}
