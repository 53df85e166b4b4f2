#include "link/Clock.h"

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>

#include <cerrno>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif

namespace {

using std::chrono::steady_clock;

IClock::Time SteadyNow() {
  return std::chrono::duration_cast<IClock::Time>(steady_clock::now().time_since_epoch());
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

#ifdef _WIN32

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// A high-resolution waitable timer wakes within about a millisecond of its time;
// the plain one and Sleep only at the next tick of the system timer.
constexpr IClock::Time kSpinTail = std::chrono::milliseconds(1);

// One timer per waiting thread: a station's units pace their reports on threads
// of their own, and one timer set by two threads would wake only one of them.
class CThreadTimer {
 public:
  CThreadTimer() {
    // Windows before 10 1803 refuses the high-resolution flag.
    m_timer = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                       TIMER_ALL_ACCESS);
    if (m_timer == nullptr)
      m_timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  ~CThreadTimer() {
    if (m_timer != nullptr) ::CloseHandle(m_timer);
  }
  CThreadTimer(const CThreadTimer&) = delete;
  CThreadTimer& operator=(const CThreadTimer&) = delete;

  // Waits at least span (a waitable timer's absolute times are wall-clock times,
  // so the deadline on the monotonic clock is given to it as what is left of it).
  void Wait(IClock::Time span) {
    const auto ticks = (span.count() + 99) / 100;  // 100 ns units, rounded up
    if (ticks <= 0) return;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ticks);  // negative: relative to now
    if (m_timer != nullptr && ::SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE) &&
        ::WaitForSingleObject(m_timer, INFINITE) == WAIT_OBJECT_0) {
      return;
    }
    ::Sleep(static_cast<DWORD>((span.count() + 999'999) / 1'000'000));
  }

 private:
  HANDLE m_timer = nullptr;
};

void TimerWaitUntil(IClock::Time until) {
  thread_local CThreadTimer timer;
  const IClock::Time left = until - SteadyNow();
  if (left.count() > 0) timer.Wait(left);
}

#else

// With a timer slack of a nanosecond the kernel's timer wakes a thread some tens of
// microseconds late; the default slack of 50 us would add to that.
constexpr IClock::Time kSpinTail = std::chrono::microseconds(200);

void TimerWaitUntil(IClock::Time until) {
#ifdef __linux__
  // The slack is the thread's own: set once on every thread that waits here.
  thread_local const bool exact = ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)exact;
#endif
  // steady_clock is CLOCK_MONOTONIC.
  timespec at{};
  at.tv_sec = static_cast<time_t>(until.count() / 1'000'000'000);
  at.tv_nsec = static_cast<long>(until.count() % 1'000'000'000);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

#endif

class CSteadyClock final : public IClock {
 public:
  std::int64_t NowSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(Now()).count();
  }
  std::int64_t NowMilliseconds() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Now()).count();
  }
  Time Now() override { return SteadyNow(); }
  void SleepUntil(Time deadline) override {
    // The timer takes the wait up to a little before the deadline and the clock is
    // watched from there: the timer's lateness would otherwise be added to every
    // pause. The watch costs that little stretch of processor time per wait.
    const Time wake = deadline - kSpinTail;
    if (SteadyNow() < wake) TimerWaitUntil(wake);
    while (SteadyNow() < deadline) CpuRelax();
  }
};

}  // namespace

IClock& SystemClock() {
  static CSteadyClock clock;
  return clock;
}
