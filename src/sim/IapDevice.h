#pragma once
// The device side of the update protocol: the in-application programmer of a
// power-conversion device as the updater sees it. It assembles the messages that
// arrive (byte by byte over serial, report by report over HID), checks every data
// frame on its own terms (length, count byte, XOR check byte), writes accepted
// data into an emulated flash and says what to answer. It keeps no clock: the
// fronts that carry the bytes decide when things happen.
//
// Messages understood:
//   programming-mode command   FLASHCMD with CR for its '#'   -> "#FH" CR
//   baud-rate command          03 42 01                        -> "A" CR
//   data frame, 16-bit layout  S+5, S, addr 15..0, data, check -> "A" CR or "N" CR
//   data frame, 24-bit layout  S+6, addr 23..0, S, data, check -> "A" CR or "N" CR
//   end-of-file, 16-bit        08 03 00 00 45 4F 46 47          (no answer)
//   end-of-file, 24-bit        08 00 00 00 04 45 4F 46 47       (no answer)
// Before the programming-mode command the device is running its application and
// ignores everything else.
//
// A data frame is refused ("N" CR, nothing written) when it is malformed, when
// any of its bytes would land in a protected range, or when it would change a
// byte already programmed (anything but 0xFF) to another value. Flash is not
// rewritten in place: the programmer takes fill (0xFF) over erased bytes, data
// over fill, and a row sent again unchanged; anything else would leave a byte
// other than the one it acknowledged.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/EmulatedFlash.h"
#include "sim/FaultPlan.h"
#include "sim/SimConfig.h"

enum class SimMessage {
  kNone,                // nothing completed by this input
  kProgrammingCommand,  // the programming-mode command (answered or not)
  kBaudCommand,         // 03 42 01
  kDataFrame,           // anything else received in programming mode, numbered
  kEndOfFile,           // one of the two end-of-file frames
  kIgnored,             // text that is not the programming-mode command
};

struct DeviceOutput {
  SimMessage message = SimMessage::kNone;
  Bytes reply;                  // to send back, in order; empty: no answer
  std::uint32_t replyBaud = 0;  // the line speed the reply goes out at (serial pacing)
  bool hangUp = false;          // drop the line now (fault)
};

class CIapDevice {
 public:
  CIapDevice(const SimConfig& config, const FaultPlan& faults);

  // Serial: one byte as it arrives.
  DeviceOutput ReceiveByte(std::uint8_t byte);
  // HID: the payload of one output report (report id already removed). A message
  // starts at the beginning of a report and may run on into the next ones; what
  // follows a completed message in its report is padding and is dropped.
  DeviceOutput ReceiveReport(const std::uint8_t* payload, std::size_t size);

  // A message has begun but not ended (used to resynchronise after a pause on the
  // line, and to time the start of a frame).
  bool HasPartialMessage() const { return m_state != State::kIdle; }
  void DropPartialMessage();

  bool InProgrammingMode() const { return m_programming; }
  // The end-of-file frame has arrived: the update is over.
  bool Finished() const { return m_finished; }
  // A fault has been shown that may end the updater's attempt.
  bool FaultShown() const { return m_faultShown; }
  bool HungUp() const { return m_hungUp; }
  // Line speed now: COMMUNICATBDRATE until the ready reply, PROGRAMBDRATE after it.
  std::uint32_t CurrentBaud() const;

  // Everything received after the handshake, in arrival order, the end-of-file
  // frame last.
  const std::vector<Bytes>& Frames() const { return m_frames; }
  int DataFrameCount() const { return m_dataFrames; }
  int AcceptedFrameCount() const { return m_accepted; }
  const CEmulatedFlash& Flash() const { return m_flash; }
  // Everything the device objects to, in order: each data frame it refused for
  // what it would have written (a byte in the programmer's range IAPSTART up to,
  // not including, IAPEND, or in the reserved range INTSTART..INTEND, both bounds
  // inside; or another value over a programmed byte), with the reason; and,
  // answered all the same, an end-of-file frame of the other address width and a
  // row at IAPEND over USB, whose programmer keeps that row for itself.
  const std::vector<std::string>& Errors() const { return m_errors; }
  const SimConfig& Config() const { return m_config; }

 private:
  enum class State { kIdle, kText, kFrame };

  // The line a message came in on: the programmer's own code ends at IAPEND on
  // one and takes in the row at IAPEND on the other.
  enum class Link { kSerial, kUsb };

  bool IsFrameStart(std::uint8_t byte) const;
  // Adds one byte to the message being assembled; true when it completed one.
  bool Assemble(std::uint8_t byte);
  DeviceOutput Complete(Link link);
  DeviceOutput OnText(const Bytes& text);
  DeviceOutput OnFrame(const Bytes& frame, Link link);
  DeviceOutput OnDataFrame(const Bytes& frame, int number, Link link);
  // Why the frame's data may not go into the flash; empty when it may.
  std::string Refusal(int number, std::uint32_t address, const std::uint8_t* data) const;
  bool CheckDataFrame(const Bytes& frame, std::uint32_t& address, const std::uint8_t*& data) const;
  DeviceOutput Answer(SimMessage message, const char* text) const;

  SimConfig m_config;
  FaultPlan m_faults;
  Bytes m_command;
  CEmulatedFlash m_flash;
  State m_state = State::kIdle;
  Bytes m_partial;
  std::size_t m_expected = 0;
  bool m_programming = false;
  bool m_finished = false;
  bool m_silent = false;
  bool m_hungUp = false;
  bool m_faultShown = false;
  int m_dataFrames = 0;
  int m_accepted = 0;
  std::vector<Bytes> m_frames;
  std::vector<std::string> m_errors;
};

// The two bytes of line noise sent for a garbage fault.
inline constexpr std::uint8_t kGarbageReply[2] = {'?', '?'};
