#pragma once
// The simulator's programmer (CIapDevice) behind fake links, in this process: the
// serial channel and the HID backend hand it every byte the updater sends; it
// assembles the messages, checks every frame against its device map, programs
// its emulated flash and says what to answer. Around it this adapter records each
// message the device completed, numbered per kind, lets a test put another answer
// in the device's place (responder) and fail a HID write before the device sees
// it (refuseWrite). The shared fake clock stands in for time: the links' waits
// move it on instead of sleeping.

#include <array>
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
#include "sim/IapDevice.h"
#include "support/FakeClock.h"
#include "support/FakeHidBackend.h"

inline void PrintTo(SimMessage kind, std::ostream* os) {
  static const char* const kNames[] = {"None",      "ProgrammingCommand", "BaudCommand",
                                       "DataFrame", "EndOfFile",          "Ignored"};
  *os << kNames[static_cast<int>(kind)];
}

// One message as the device took it in.
struct IapMessage {
  SimMessage kind;
  int index;    // 0-based, counted per kind in arrival order
  Bytes bytes;  // the message as it arrived, frames as the device recorded them
  std::optional<std::string> answer;  // the device's own answer; none: it stays silent
};

class CSimulatedIap {
 public:
  using Responder = std::function<std::optional<std::string>(const IapMessage&)>;

  // What the device answers when nothing is scripted.
  static std::optional<std::string> Normal(const IapMessage& m) { return m.answer; }

  // The device's configuration, asked for when the updater first talks to it and
  // again when it talks to it after an end-of-file frame (the programmer has
  // started the application; the next programming-mode command finds it afresh).
  std::function<SimConfig()> config;
  // The links' waits for input pass in real time (1 ms slices) instead of moving
  // the fake clock: a silent device then keeps the worker waiting until aborted.
  std::atomic<bool> realTimeWaits{false};
  Responder responder = Normal;
  // Makes the HID write of a message fail (time-out) before the device takes it.
  std::function<bool(const IapMessage&)> refuseWrite;
  // Serial: bytes that reach the port right after its next open (guarded by the lock).
  std::string lateBytes;

  // Serial side: one byte as it arrives.
  void SerialByte(std::uint8_t b) {
    std::lock_guard lock(m_mutex);
    Session& s = Current();
    const DeviceOutput out = s.device.ReceiveByte(b);
    if (auto m = Taken(s, b, out)) Dispatch(std::move(*m), m_serialInput);
  }
  // HID side: the payload of one output report (report id removed).
  bool HidReport(const std::uint8_t* payload, std::size_t size) {
    std::lock_guard lock(m_mutex);
    // The write may yet fail: the device takes the report on a copy of itself,
    // kept only when the write goes through. The report goes in a byte at a time
    // to see where the message ends; what follows it is padding, which the device
    // drops when given the whole report too.
    Session s = Current();
    std::optional<IapMessage> m;
    for (std::size_t i = 0; i < size && !m; ++i) {
      m = Taken(s, payload[i], s.device.ReceiveReport(payload + i, 1));
    }
    if (m && refuseWrite && refuseWrite(*m)) return false;
    *m_session = std::move(s);
    if (!m) return true;  // the message goes on in the next report
    std::deque<std::uint8_t> reply;
    Dispatch(std::move(*m), reply);
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
  void SerialOpened() {
    std::lock_guard lock(m_mutex);
    m_serialInput.clear();
    // Closing and reopening the port is a pause on the line: the device drops a
    // message cut short by it, as it resynchronises after any pause.
    if (m_session) {
      m_session->device.DropPartialMessage();
      m_session->partial.clear();
    }
    // Bytes still on the wire when the port was reopened arrive just after it.
    m_serialInput.insert(m_serialInput.end(), lateBytes.begin(), lateBytes.end());
    lateBytes.clear();
  }
  // The next HID reply, if any.
  std::optional<std::string> NextHidReply() {
    std::lock_guard lock(m_mutex);
    if (m_hidReplies.empty()) return std::nullopt;
    std::string r = std::move(m_hidReplies.front());
    m_hidReplies.pop_front();
    return r;
  }

  std::vector<IapMessage> Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
  }
  std::vector<Bytes> Of(SimMessage kind) const {
    std::vector<Bytes> out;
    for (const auto& m : Received()) {
      if (m.kind == kind) out.push_back(m.bytes);
    }
    return out;
  }
  int Count(SimMessage kind) const { return static_cast<int>(Of(kind).size()); }
  // Everything the device objected to (frames it refused, frames of the wrong
  // layout), over every update of the test.
  std::vector<std::string> Errors() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> all = m_earlierErrors;
    if (m_session) {
      const auto& now = m_session->device.Errors();
      all.insert(all.end(), now.begin(), now.end());
    }
    return all;
  }

 private:
  struct Session {
    CIapDevice device;
    Bytes partial;  // the bytes of the message being assembled
  };

  Session& Current() {
    if (!m_session || m_session->device.Finished() || m_session->device.HungUp()) {
      if (m_session) {
        const auto& errors = m_session->device.Errors();
        m_earlierErrors.insert(m_earlierErrors.end(), errors.begin(), errors.end());
      }
      m_session.emplace(Session{CIapDevice(config(), FaultPlan{}), {}});
    }
    return *m_session;
  }

  // Follows the message being assembled by one more byte; the message when the
  // byte completed one.
  std::optional<IapMessage> Taken(Session& s, std::uint8_t byte, const DeviceOutput& out) {
    if (out.message == SimMessage::kNone) {
      // Bytes the idle device passes over (padding, an idle line) begin nothing.
      if (s.device.HasPartialMessage()) {
        s.partial.push_back(byte);
      } else {
        s.partial.clear();
      }
      return std::nullopt;
    }
    Bytes bytes = std::move(s.partial);
    s.partial.clear();
    bytes.push_back(byte);
    if (out.message == SimMessage::kDataFrame || out.message == SimMessage::kEndOfFile) {
      bytes = s.device.Frames().back();
    }
    std::optional<std::string> answer;
    if (!out.reply.empty()) answer.emplace(out.reply.begin(), out.reply.end());
    return IapMessage{out.message, m_counts[static_cast<int>(out.message)], std::move(bytes),
                      std::move(answer)};
  }

  void Dispatch(IapMessage m, std::deque<std::uint8_t>& out) {
    ++m_counts[static_cast<int>(m.kind)];
    m_received.push_back(m);
    // The responder may call back into the test (cancel, shutdown): not under the lock.
    m_mutex.unlock();
    const auto reply = responder(m);
    m_mutex.lock();
    if (reply) out.insert(out.end(), reply->begin(), reply->end());
  }

  mutable std::mutex m_mutex;
  std::optional<Session> m_session;
  std::vector<std::string> m_earlierErrors;
  std::deque<std::uint8_t> m_serialInput;
  std::deque<std::string> m_hidReplies;
  std::vector<IapMessage> m_received;
  std::array<int, 6> m_counts{};  // by SimMessage
};

// The serial port COM<n>: the device behind it.
class CFakeSerialChannel : public ISerialChannel {
 public:
  struct Opening {
    int port;
    int baud;
  };
  CFakeSerialChannel(CSimulatedIap& device, CFakeClock& clock, std::vector<Opening>& openings,
                     bool present = true)
      : m_device(device), m_clock(clock), m_openings(openings), m_present(present) {}

  bool Open(int portNumber, int baud) override {
    if (!m_present) return false;
    m_openings.push_back({portNumber, baud});
    m_device.SerialOpened();
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
  CSimulatedIap& m_device;
  CFakeClock& m_clock;
  std::vector<Opening>& m_openings;
  bool m_present;
};

// The device on the shared fake HID bus, with the USB identity and report
// lengths of its configuration, present or not.
inline void AttachToHidBus(CSimulatedIap& device, FakeHidBus& bus, bool present) {
  if (!present) return;
  const SimConfig c = device.config();
  auto hid = bus.Add("fake-hid-0", c.vendorId, c.productId, c.versionNumber, c.inputReportLength,
                     c.outputReportLength);
  hid->errorCode = 1460;
  hid->modelWrite = [&device](const std::uint8_t* report, int length) {
    return device.HidReport(report + 1, static_cast<std::size_t>(length - 1));
  };
  hid->modelRead = [&device] { return device.NextHidReply(); };
}
