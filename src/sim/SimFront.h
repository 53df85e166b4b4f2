#pragma once
// What the two fronts of the simulator (pty serial line, HID over a local socket)
// share: how long they wait, how they pace, how a run ends, and the timing of the
// transfer that the benchmarks read.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

using SimClock = std::chrono::steady_clock;

struct FrontOptions {
  // Give bytes the time the configured baud rate gives them (10 bits a byte), and
  // answer HID reports no sooner than one 1 ms interrupt interval.
  bool pace = false;
  // No traffic at all for this long: nobody is updating, give up.
  double idleTimeoutSeconds = 600.0;
  // After a fault has been shown or programming mode entered, the updater gone for
  // this long: it has given up.
  double lingerSeconds = 1.0;
  // A message left unfinished on the serial line for this long is dropped, so the
  // device finds the start of the next one.
  double resyncSeconds = 1.0;
  // Set from elsewhere (a signal handler, a test) to end the run.
  const std::atomic<bool>* stop = nullptr;
};

enum class FrontEnd {
  kFinished,     // end-of-file frame received
  kHungUp,       // a hang-up fault dropped the line
  kClientGone,   // the updater went away after a fault or a cancel
  kIdleTimeout,  // nothing happened for the idle time-out
  kStopped,      // asked to stop (signal, test)
  kFailed,       // the line itself failed
};

const char* FrontEndText(FrontEnd end);

// The ends of a run that do not come from the updater's traffic, the same on both
// fronts: the updater went away for good once it had something to give up on (a
// fault had shown, or the device was in programming mode: it cancelled or was
// closed), or nothing happened for the idle time-out. Checked once per pass of a
// front's loop. The linger covers the serial updater's close and reopen between
// the ready reply and the first frame.
inline std::optional<FrontEnd> QuietEnd(const FrontOptions& options, SimClock::time_point now,
                                        SimClock::time_point lastTraffic, bool updaterGone,
                                        bool updateUnderWay, SimClock::time_point goneSince) {
  using std::chrono::duration;
  if (updaterGone && updateUnderWay &&
      duration<double>(now - goneSince).count() > options.lingerSeconds) {
    return FrontEnd::kClientGone;
  }
  if (duration<double>(now - lastTraffic).count() > options.idleTimeoutSeconds) {
    return FrontEnd::kIdleTimeout;
  }
  return std::nullopt;
}

// Device-side view of one transfer: from the arrival of the first byte of the first
// data frame to the moment the end-of-file frame had been received whole.
struct TransferTiming {
  bool started = false;
  bool ended = false;
  SimClock::time_point firstFrameStart{};
  SimClock::time_point endOfFile{};
  long messagesIn = 0;  // data frames and end-of-file frame
  long reportsIn = 0;   // HID output reports that carried them
  long bytesIn = 0;     // frame bytes
  long bytesOut = 0;    // reply bytes to data frames

  double Seconds() const {
    return started && ended ? std::chrono::duration<double>(endOfFile - firstFrameStart).count()
                            : 0.0;
  }
};

// Sleeps until t on the monotonic clock (absolute, so that pauses do not add up).
void SleepUntil(SimClock::time_point t);

// Time one byte takes on a line of the given baud rate: start bit, 8 data bits,
// stop bit.
inline SimClock::duration ByteTime(std::uint32_t baud) {
  return std::chrono::duration_cast<SimClock::duration>(
      std::chrono::nanoseconds(baud == 0 ? 0 : static_cast<std::int64_t>(10'000'000'000LL / baud)));
}

// The wire's timetable with pacing. Serial: one line used in turns (the device
// answers only after a frame is in, the updater sends only after the answer), so
// every byte, either way, takes its byte time once the line is free. HID: an
// answer goes out no sooner than one interrupt interval after what it answers,
// and no sooner than one interval after the previous answer.
class CLineSchedule {
 public:
  // A byte that started at `start` (or as soon as the line was free): the moment
  // its last bit is on the other side.
  SimClock::time_point Byte(SimClock::time_point start, std::uint32_t baud) {
    m_free = std::max(m_free, start) + ByteTime(baud);
    return m_free;
  }
  SimClock::time_point Free() const { return m_free; }
  // The earliest moment an input report answering something received at `received`
  // may reach the host.
  SimClock::time_point Answer(SimClock::time_point received) {
    m_lastAnswer = std::max(received, m_lastAnswer) + kInterruptInterval;
    return m_lastAnswer;
  }

  static constexpr std::chrono::milliseconds kInterruptInterval{1};

 private:
  SimClock::time_point m_free{};
  SimClock::time_point m_lastAnswer{};
};
