#pragma once
// A HID bus in memory: devices with attributes and report lengths, scripted input
// reports, a record of every output report written (with the fake time it was
// written at), and counts of the handles alive, so tests can see what the link
// opens and lets go. A device may instead be played by a model (the update tests'
// programmer): it takes every output report and hands out the input reports.

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/os/HidChannel.h"
#include "support/FakeClock.h"

struct FakeHidRead {
  int result;                        // count, kHidTimedOut, kHidFailed
  std::vector<std::uint8_t> report;  // report id first
};

struct FakeHidDevice {
  std::string path;
  HidAttributes attributes;
  bool probeOpens = true;
  bool writeOpens = true;
  bool readOpens = true;
  std::deque<int> writeResults;   // empty: every write succeeds
  std::deque<FakeHidRead> reads;  // empty: the read times out
  long errorCode = 997;
  // A device model: takes an output report (true: written, false: time-out) and
  // gives the next input report's payload (none: nothing came in time).
  std::function<bool(const std::uint8_t* report, int length)> modelWrite;
  std::function<std::optional<std::string>()> modelRead;
  std::vector<std::vector<std::uint8_t>> written;
  std::vector<std::int64_t> writtenAtMs;
  int readsAsked = 0;
};

struct FakeHidBus {
  explicit FakeHidBus(CFakeClock& c) : clock(c) {}
  std::shared_ptr<FakeHidDevice> Add(const std::string& path, std::uint16_t vid, std::uint16_t pid,
                                     std::uint16_t version, std::uint16_t in = 65,
                                     std::uint16_t out = 65) {
    auto device = std::make_shared<FakeHidDevice>();
    device->path = path;
    device->attributes = {vid, pid, version, in, out, {}, {}};
    devices.push_back(device);
    return device;
  }
  CFakeClock& clock;
  std::vector<std::shared_ptr<FakeHidDevice>> devices;
  int liveProbes = 0;
  int probesOpened = 0;  // ever
  int liveWriteHandles = 0;
  int liveReadHandles = 0;
};

class CFakeHidWrite final : public IHidWriteHandle {
 public:
  CFakeHidWrite(FakeHidBus& bus, std::shared_ptr<FakeHidDevice> device)
      : m_bus(bus), m_device(std::move(device)) {
    ++m_bus.liveWriteHandles;
  }
  ~CFakeHidWrite() override { --m_bus.liveWriteHandles; }
  int WriteReport(const std::uint8_t* report, int length, int timeoutMs,
                  const std::atomic<bool>*) override {
    if (m_device->modelWrite) {
      if (m_device->modelWrite(report, length)) return 1;
      m_bus.clock.Advance(timeoutMs);
      return kHidTimedOut;
    }
    int result = 1;
    if (!m_device->writeResults.empty()) {
      result = m_device->writeResults.front();
      m_device->writeResults.pop_front();
    }
    if (result == kHidTimedOut) m_bus.clock.ms += timeoutMs;
    if (result == 1) {
      m_device->written.emplace_back(report, report + length);
      m_device->writtenAtMs.push_back(m_bus.clock.ms);
    }
    return result;
  }
  long LastError() const override { return m_device->errorCode; }

 private:
  FakeHidBus& m_bus;
  std::shared_ptr<FakeHidDevice> m_device;
};

class CFakeHidRead final : public IHidReadHandle {
 public:
  CFakeHidRead(FakeHidBus& bus, std::shared_ptr<FakeHidDevice> device)
      : m_bus(bus), m_device(std::move(device)) {
    ++m_bus.liveReadHandles;
  }
  ~CFakeHidRead() override { --m_bus.liveReadHandles; }
  int ReadReport(std::uint8_t* buffer, int length, int timeoutMs,
                 const std::atomic<bool>* abort) override {
    if (m_device->modelRead) return ModelRead(buffer, length, timeoutMs, abort);
    ++m_device->readsAsked;
    if (m_device->reads.empty()) {
      m_bus.clock.ms += timeoutMs;
      return kHidTimedOut;
    }
    FakeHidRead read = m_device->reads.front();
    m_device->reads.pop_front();
    if (read.result > 0) {
      read.report.resize(static_cast<std::size_t>(length), 0);
      std::memcpy(buffer, read.report.data(), static_cast<std::size_t>(length));
    }
    return read.result;
  }
  long LastError() const override { return m_device->errorCode; }

 private:
  int ModelRead(std::uint8_t* buffer, int length, int timeoutMs, const std::atomic<bool>* abort) {
    const auto payload = m_device->modelRead();
    if (!payload) {
      m_bus.clock.Advance(timeoutMs);
      return HidAbortRequested(abort) ? kHidAborted : kHidTimedOut;
    }
    std::fill(buffer, buffer + length, std::uint8_t{0});
    std::copy_n(payload->begin(),
                std::min<std::size_t>(payload->size(), static_cast<std::size_t>(length - 1)),
                buffer + 1);
    return length;
  }

  FakeHidBus& m_bus;
  std::shared_ptr<FakeHidDevice> m_device;
};

class CFakeHidProbe final : public IHidProbe {
 public:
  CFakeHidProbe(FakeHidBus& bus, std::shared_ptr<FakeHidDevice> device)
      : m_bus(bus), m_device(std::move(device)) {
    ++m_bus.liveProbes;
    ++m_bus.probesOpened;
  }
  ~CFakeHidProbe() override { --m_bus.liveProbes; }
  bool GetAttributes(HidAttributes& attributes) override {
    CopyIdentity(m_device->attributes, attributes);
    return true;
  }
  bool GetReportLengths(HidAttributes& attributes) override {
    attributes.inputReportLength = m_device->attributes.inputReportLength;
    attributes.outputReportLength = m_device->attributes.outputReportLength;
    return true;
  }
  std::unique_ptr<IHidWriteHandle> OpenWriteHandle() override {
    if (!m_device->writeOpens) return nullptr;
    return std::make_unique<CFakeHidWrite>(m_bus, m_device);
  }
  std::unique_ptr<IHidReadHandle> OpenReadHandle() override {
    if (!m_device->readOpens) return nullptr;
    return std::make_unique<CFakeHidRead>(m_bus, m_device);
  }

 private:
  FakeHidBus& m_bus;
  std::shared_ptr<FakeHidDevice> m_device;
};

class CFakeHidBackend final : public IHidBackend {
 public:
  explicit CFakeHidBackend(FakeHidBus& bus) : m_bus(bus) {}
  std::vector<std::string> Enumerate() override {
    std::vector<std::string> paths;
    for (const auto& device : m_bus.devices) paths.push_back(device->path);
    return paths;
  }
  std::unique_ptr<IHidProbe> OpenProbe(const std::string& path) override {
    for (const auto& device : m_bus.devices)
      if (device->path == path && device->probeOpens)
        return std::make_unique<CFakeHidProbe>(m_bus, device);
    return nullptr;
  }

 private:
  FakeHidBus& m_bus;
};
