#include "sim/SimFront.h"

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
  // steady_clock is CLOCK_MONOTONIC here; an absolute sleep keeps paced bytes on
  // their slots however long the work between them took.
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
  timespec until{};
  until.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
  until.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}
