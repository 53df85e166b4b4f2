#pragma once
// A scripted in-application programmer behind fake links: the serial channel and
// the HID backend hand every byte the updater sends to one device model, which
// cuts the stream into messages (programming-mode command, baud-rate command,
// data frame, end-of-file frame), records them and answers through a responder
// the test may replace. The shared fake clock stands in for time: the links' waits
// move it on instead of sleeping.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/os/HidChannel.h"
#include "link/os/SerialChannel.h"
#include "support/FakeClock.h"
#include "support/FakeHidBackend.h"
#include "update/RecordFrames.h"

enum class MsgKind { kCommand, kBaud, kData, kEof };

inline void PrintTo(MsgKind kind, std::ostream* os) {
  static const char* const kNames[] = {"Command", "Baud", "Data", "Eof"};
  *os << kNames[static_cast<int>(kind)];
}

struct FakeMessage {
  MsgKind kind;
  int index;  // 0-based, counted per kind in arrival order
  Bytes bytes;
};

class CFakeIap {
 public:
  using Responder = std::function<std::optional<std::string>(const FakeMessage&)>;

  // The device's answer to a message when nothing is scripted: ready for every
  // command, "A" CR for the baud-rate command and every data frame whose check
  // byte is right, "N" CR for a wrong one, nothing after the end-of-file frame.
  static std::optional<std::string> Normal(const FakeMessage& m) {
    switch (m.kind) {
      case MsgKind::kCommand:
        return std::string("#FH\r");
      case MsgKind::kBaud:
        return std::string("A\r");
      case MsgKind::kData:
        return CheckByte(m.bytes.data(), m.bytes.size() - 1) == m.bytes.back() ? std::string("A\r")
                                                                               : std::string("N\r");
      case MsgKind::kEof:
        return std::nullopt;
    }
    return std::nullopt;
  }

  // The links' waits for input pass in real time (1 ms slices) instead of moving
  // the fake clock: a silent device then keeps the worker waiting until aborted.
  std::atomic<bool> realTimeWaits{false};
  bool address24 = false;  // the 24-bit end-of-file frame is 9 bytes, though its byte 0 is 8
  Responder responder = Normal;
  // Makes the HID write of a message fail (time-out) before the device takes it.
  std::function<bool(const FakeMessage&)> refuseWrite;

  // Serial side: one byte as it arrives.
  void SerialByte(std::uint8_t b) {
    std::lock_guard lock(m_mutex);
    m_pending.push_back(b);
    const std::size_t need = Needed(m_pending);
    if (need != 0 && m_pending.size() >= need) {
      Bytes msg;
      msg.swap(m_pending);
      Dispatch(std::move(msg), m_serialInput);
    }
  }
  // HID side: the payload of one output report (report id removed). Every message
  // the updater sends fits one 64-byte payload; the rest is zero padding.
  bool HidReport(const std::uint8_t* payload, std::size_t size) {
    std::lock_guard lock(m_mutex);
    const Bytes all(payload, payload + size);
    std::size_t need = Needed(all);
    if (need == 0 || need > size) need = size;
    Bytes msg(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(need));
    if (refuseWrite && refuseWrite(Classify(msg, false))) return false;
    std::deque<std::uint8_t> reply;
    Dispatch(std::move(msg), reply);
    if (!reply.empty()) m_hidReplies.emplace_back(reply.begin(), reply.end());
    return true;
  }

  // Serial input queue.
  int SerialWaiting() {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_serialInput.size());
  }
  int SerialRead(std::uint8_t* buffer, int n) {
    std::lock_guard lock(m_mutex);
    int i = 0;
    for (; i < n && !m_serialInput.empty(); ++i) {
      buffer[i] = m_serialInput.front();
      m_serialInput.pop_front();
    }
    return i;
  }
  void SerialFlush() {
    std::lock_guard lock(m_mutex);
    m_serialInput.clear();
    m_pending.clear();
    // Bytes still on the wire when the port was flushed arrive just after it.
    m_serialInput.insert(m_serialInput.end(), lateBytes.begin(), lateBytes.end());
    lateBytes.clear();
  }
  // Serial: bytes that reach the port right after its next open (guarded by the lock).
  std::string lateBytes;
  // The next HID reply, if any.
  std::optional<std::string> NextHidReply() {
    std::lock_guard lock(m_mutex);
    if (m_hidReplies.empty()) return std::nullopt;
    std::string r = std::move(m_hidReplies.front());
    m_hidReplies.pop_front();
    return r;
  }

  std::vector<FakeMessage> Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
  }
  std::vector<Bytes> Of(MsgKind kind) const {
    std::vector<Bytes> out;
    for (const auto& m : Received()) {
      if (m.kind == kind) out.push_back(m.bytes);
    }
    return out;
  }
  int Count(MsgKind kind) const { return static_cast<int>(Of(kind).size()); }

 private:
  // Length of the message that starts the stream; 0 while it cannot be told yet.
  static bool IsFrameLength(std::uint8_t b0) {
    return b0 == 0x15 || b0 == 0x16 || b0 == 0x25 || b0 == 0x26;
  }
  std::size_t Needed(const Bytes& s) const {
    if (s.empty()) return 0;
    const std::uint8_t b0 = s[0];
    if (IsFrameLength(b0)) return b0;
    if (b0 == 0x03) return 3;
    if (b0 == 0x08) return address24 ? 9 : 8;
    // Anything else is command text, up to its CR.
    const auto cr = std::find(s.begin(), s.end(), std::uint8_t{0x0D});
    return cr == s.end() ? 0 : static_cast<std::size_t>(cr - s.begin()) + 1;
  }
  FakeMessage Classify(const Bytes& msg, bool count) {
    MsgKind kind = MsgKind::kCommand;
    if (IsFrameLength(msg[0])) {
      kind = MsgKind::kData;
    } else if (msg[0] == 0x03) {
      kind = MsgKind::kBaud;
    } else if (msg[0] == 0x08) {
      kind = MsgKind::kEof;
    }
    int& counter = m_counts[static_cast<int>(kind)];
    FakeMessage m{kind, counter, msg};
    if (count) ++counter;
    return m;
  }
  void Dispatch(Bytes msg, std::deque<std::uint8_t>& out) {
    const FakeMessage m = Classify(msg, true);
    m_received.push_back(m);
    // The responder may call back into the test (cancel, shutdown): not under the lock.
    m_mutex.unlock();
    const auto reply = responder(m);
    m_mutex.lock();
    if (reply) out.insert(out.end(), reply->begin(), reply->end());
  }

  mutable std::mutex m_mutex;
  Bytes m_pending;
  std::deque<std::uint8_t> m_serialInput;
  std::deque<std::string> m_hidReplies;
  std::vector<FakeMessage> m_received;
  int m_counts[4] = {};
};

// The serial port COM<n>: one device model behind it.
class CFakeSerialChannel : public ISerialChannel {
 public:
  struct Opening {
    int port;
    int baud;
  };
  CFakeSerialChannel(CFakeIap& device, CFakeClock& clock, std::vector<Opening>& openings,
                     bool present = true)
      : m_device(device), m_clock(clock), m_openings(openings), m_present(present) {}

  bool Open(int portNumber, int baud) override {
    if (!m_present) return false;
    m_openings.push_back({portNumber, baud});
    m_device.SerialFlush();
    return true;
  }
  void Close() override {}
  bool WriteByte(std::uint8_t byte, int) override {
    m_device.SerialByte(byte);
    return true;
  }
  int BytesWaiting() override { return m_device.SerialWaiting(); }
  int Read(std::uint8_t* buffer, int n) override { return m_device.SerialRead(buffer, n); }
  void WaitForInput(int timeoutMs) override {
    if (m_device.realTimeWaits) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else if (m_device.SerialWaiting() == 0) {
      m_clock.Advance(timeoutMs);
    }
  }

 private:
  CFakeIap& m_device;
  CFakeClock& m_clock;
  std::vector<Opening>& m_openings;
  bool m_present;
};

// The programmer behind the shared fake HID bus: one interface with 65-byte
// reports both ways, present or not.
inline constexpr std::uint16_t kFakeIapVid = 0x0483, kFakeIapPid = 0x5750;

inline void AttachToHidBus(CFakeIap& device, FakeHidBus& bus, bool present) {
  if (!present) return;
  auto hid = bus.Add("fake-hid-0", kFakeIapVid, kFakeIapPid, 2, 65, 65);
  hid->errorCode = 1460;
  hid->modelWrite = [&device](const std::uint8_t* report, int length) {
    return device.HidReport(report + 1, static_cast<std::size_t>(length - 1));
  };
  hid->modelRead = [&device] { return device.NextHidReply(); };
}
