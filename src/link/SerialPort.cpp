#include "link/SerialPort.h"

#include <algorithm>
#include <utility>

CSerialPort::CSerialPort() : CSerialPort(MakePlatformSerialChannel(), SystemClock()) {}

CSerialPort::CSerialPort(std::unique_ptr<ISerialChannel> channel, IClock& clock)
    : m_channel(std::move(channel)), m_clock(&clock) {}

CSerialPort::~CSerialPort() { Close(); }

void CSerialPort::SetChannel(std::unique_ptr<ISerialChannel> channel) {
  Close();
  m_channel = std::move(channel);
  if (m_channel) m_channel->SetDevice(m_device);
}

void CSerialPort::SetDevice(std::string path) {
  m_device = std::move(path);
  if (m_channel) m_channel->SetDevice(m_device);
}

std::string CSerialPort::DeviceFor(int portNumber) const {
  return m_device.empty() ? SerialDevicePath(portNumber) : m_device;
}

bool CSerialPort::Open(int portNumber, int baudRate) {
  if (m_open) return true;
  m_refusal.reset();
  if (!m_channel || portNumber < 1 || baudRate <= 0) {
    m_refusal = SerialOpenError{SerialOpenFault::kOther,
                                portNumber < 1 ? "no such port number" : "no such baud rate"};
    return false;
  }
  m_open = m_channel->Open(portNumber, baudRate);
  return m_open;
}

SerialOpenError CSerialPort::LastOpenError() const {
  if (m_refusal) return *m_refusal;
  if (!m_channel) return {SerialOpenFault::kOther, "no serial channel"};
  return m_channel->LastOpenError();
}

void CSerialPort::Close() {
  if (!m_open) return;
  m_channel->Close();
  m_open = false;
}

int CSerialPort::Write(const std::uint8_t* data, int length) {
  if (!m_open || length <= 0 || data == nullptr) return 0;
  for (int i = 0; i < length; ++i) {
    // A byte that has not gone out within the wait is a failed write: the device
    // would get a frame with a hole in it, so the rest of the block is not sent.
    if (!m_channel->WriteByte(data[i], kWriteWaitMs)) return -1;
  }
  return length;
}

int CSerialPort::ReadAvailable(std::uint8_t* buffer, int maxLength) {
  if (!m_open || buffer == nullptr || maxLength <= 0) return 0;
  const int waiting = m_channel->BytesWaiting();
  if (waiting <= 0) return 0;
  const int got = m_channel->Read(buffer, std::min(waiting, maxLength));
  return got > 0 ? got : 0;
}

// Both timed reads measure the elapsed whole seconds before each look at the input
// queue, so a limit of L seconds lasts between L-1 and L seconds, and a byte taken
// in the look after the measurement that reached the limit does not count.
bool CSerialPort::ReadExact(std::uint8_t* buffer, int count, int seconds) {
  if (count <= 0) return true;
  if (!m_open || buffer == nullptr) return false;
  const std::int64_t start = m_clock->NowSeconds();
  std::int64_t elapsed = 0;
  int i = 0;
  while (elapsed < seconds) {
    elapsed = m_clock->NowSeconds() - start;
    if (Aborted()) return false;
    if (ReadAvailable(buffer + i, 1) == 1) {
      if (++i == count) break;
      continue;
    }
    m_channel->WaitForInput(kPollSliceMs);
  }
  return elapsed < seconds;
}

bool CSerialPort::ReadUntilH(std::uint8_t* buffer, int maxCount, int seconds) {
  if (!m_open || buffer == nullptr || maxCount <= 0) return false;
  const std::int64_t start = m_clock->NowSeconds();
  std::int64_t elapsed = 0;
  int i = 0;
  bool overflow = false;
  while (elapsed < seconds) {
    elapsed = m_clock->NowSeconds() - start;
    if (Aborted()) return false;
    if (ReadAvailable(buffer + i, 1) != 1) {
      m_channel->WaitForInput(kPollSliceMs);
      continue;
    }
    if (buffer[i] == 'H') break;
    if (++i == maxCount) {
      overflow = true;
      break;
    }
  }
  return elapsed < seconds && !overflow;
}
