#include "link/HidDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace {
constexpr std::uint8_t kCarriageReturn = 0x0D;
}

CHidDevice::CHidDevice() : CHidDevice(MakePlatformHidBackend(), SystemClock()) {}

CHidDevice::CHidDevice(std::unique_ptr<IHidBackend> backend, IClock& clock)
    : m_backend(std::move(backend)), m_clock(&clock) {}

CHidDevice::~CHidDevice() { Close(); }

void CHidDevice::SetBackend(std::unique_ptr<IHidBackend> backend) {
  Close();
  m_backend = std::move(backend);
}

void CHidDevice::LogNumber(long value) {
  if (m_log) m_log(std::to_string(value));
}

bool CHidDevice::WaitUntilUnlessAborted(IClock::Time deadline) {
  constexpr IClock::Time kSlice = std::chrono::milliseconds(kHidAbortSliceMs);
  for (;;) {
    if (HidAbortRequested(m_abort)) return false;
    const IClock::Time now = m_clock->Now();
    if (now >= deadline) return true;
    m_clock->SleepUntil(std::min(deadline, now + kSlice));
  }
}

bool CHidDevice::Open(std::uint32_t vendorId, std::uint32_t productId) {
  // The update procedure opens the link at every press of Update Firmware: what
  // the last Open held is let go before the new search.
  Close();
  bool found = false;
  if (m_backend) {
    // A chosen device is probed alone: the search opens a probe on every
    // candidate, and on the simulator's socket a probe is the device taken, so
    // looking at the others would get in the way of the updaters that hold them.
    const std::vector<std::string> candidates = m_selection.path.empty()
                                                    ? m_backend->Enumerate()
                                                    : std::vector<std::string>{m_selection.path};
    for (const std::string& path : candidates) {
      std::unique_ptr<IHidProbe> probe = m_backend->OpenProbe(path);
      if (!probe) continue;
      HidAttributes attributes;
      if (!probe->GetAttributes(attributes)) continue;
      if (!m_selection.serial.empty() && attributes.serial != m_selection.serial) continue;
      // The ids are compared as the caller's full values, so an id above 0xFFFF
      // from the configuration never matches a 16-bit device id.
      if (attributes.vendorId != vendorId || attributes.productId != productId ||
          !RunsProgrammer(attributes.versionNumber))
        continue;
      if (!probe->GetReportLengths(attributes)) continue;
      if (!OutputLengthFits(attributes.outputReportLength) ||
          !InputLengthFits(attributes.inputReportLength))
        continue;
      std::unique_ptr<IHidWriteHandle> writeHandle = probe->OpenWriteHandle();
      std::unique_ptr<IHidReadHandle> readHandle = probe->OpenReadHandle();
      // A device that cannot be written to or read from is of no use: keep
      // looking, and say "not found" rather than fail every write or read later.
      if (!writeHandle || !readHandle) continue;
      m_probe = std::move(probe);
      m_writeHandle = std::move(writeHandle);
      m_readHandle = std::move(readHandle);
      m_caps = attributes;
      m_openedPath = path;
      m_readClosedError = 0;
      found = true;
      break;
    }
  }
  m_openFlag = found;
  return found;
}

void CHidDevice::Close() {
  m_readHandle.reset();
  m_writeHandle.reset();
  m_probe.reset();
}

bool CHidDevice::WriteReports(const std::uint8_t* data, int length) {
  if (length <= 0 || data == nullptr || !m_writeHandle) return false;
  const int reportLength = m_caps.outputReportLength;
  const int payload = reportLength - 1;
  const int count = (length + payload - 1) / payload;
  std::uint8_t report[kMaxOutputReport];
  for (int i = 0; i < count; ++i) {
    // Report id 0, then this report's slice of the block, zero-padded at the end.
    std::memset(report, 0, sizeof report);
    const int offset = i * payload;
    const int take = std::min(payload, length - offset);
    std::memcpy(report + 1, data + offset, static_cast<std::size_t>(take));
    const int result = m_writeHandle->WriteReport(report, reportLength, kWriteTimeoutMs, m_abort);
    if (result != 1) {
      if (result == kHidTimedOut) LogNumber(m_writeHandle->LastError());
      m_writeHandle.reset();
      return false;
    }
    // The device needs time to take each report: 35 ms between reports, or at
    // 9600 baud on its programming side 16 ms after the first and 11 ms after
    // every later one. Each pause runs from the moment this report went out, so
    // it is never shorter than that, whatever the write or a wake-up took.
    if (i + 1 < count) {
      const IClock::Time wentOut = m_clock->Now();
      const std::chrono::milliseconds pause(m_paced9600 ? (i == 0 ? 16 : 11) : 35);
      if (!WaitUntilUnlessAborted(wentOut + pause)) return false;
    }
  }
  return true;
}

bool CHidDevice::ReadLine(std::uint8_t* buffer, std::uint32_t& lastReportCount) {
  if (buffer == nullptr || !m_openFlag) return false;
  if (!m_readHandle) {
    // Reading ended with an earlier time-out: this read waits its time for nothing
    // and fails the same way, until the device is opened again.
    if (!WaitUntilUnlessAborted(m_clock->Now() + std::chrono::milliseconds(kReadTimeoutMs)))
      return false;
    LogNumber(m_readClosedError);
    return false;
  }
  // The line, its CR and the terminating zero must fit the reply area with the
  // area's last byte left at zero.
  constexpr int kLineRoom = kReplyArea - 1;
  const int reportLength = m_caps.inputReportLength;
  int pos = 0;
  for (;;) {
    std::memset(m_receive, 0, sizeof m_receive);
    const int got = m_readHandle->ReadReport(m_receive, reportLength, kReadTimeoutMs, m_abort);
    if (got == kHidTimedOut) {
      m_readClosedError = m_readHandle->LastError();
      m_readHandle.reset();
      LogNumber(m_readClosedError);
      return false;
    }
    if (got < 0) {
      m_readHandle.reset();
      return false;
    }
    bool found = false;
    bool overflow = false;
    // Byte 0 is the report id. Zero bytes before the CR are part of the line;
    // whatever follows the CR in its report is dropped.
    for (int j = 1; j < reportLength; ++j) {
      const std::uint8_t byte = m_receive[j];
      const int needed = byte == kCarriageReturn ? 2 : 3;  // room for the CR and the zero
      if (pos + needed > kLineRoom) {
        overflow = true;
        break;
      }
      buffer[pos++] = byte;
      if (byte == kCarriageReturn) {
        buffer[pos] = 0;
        found = true;
        break;
      }
    }
    m_lastReadCount = static_cast<std::uint32_t>(got);
    lastReportCount = m_lastReadCount;
    LogNumber(got);
    if (overflow) {
      // A device that talks past the reply area before its CR is out of step: end
      // the read as a time-out would, so the rest of its talk is not taken for
      // the next reply.
      buffer[pos] = 0;
      m_readClosedError = 0;
      m_readHandle.reset();
      return false;
    }
    if (found) return true;
  }
}
