// The HID channel to the device simulator over a Unix-domain stream socket. One
// connection is one device on the bus: every Open connects anew, and the
// connection ends when the link lets go of its last handle. Reports travel whole,
// framed as HidSocketProtocol.h describes.

#include "link/os/socket/HidBackendSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "link/os/socket/HidSocketProtocol.h"

namespace {

constexpr int kHelloWaitMs = 2000;

using SteadyClock = std::chrono::steady_clock;

int MillisecondsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, kHidAbortSliceMs));
}

std::uint16_t U16At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

class CSocketConnection {
 public:
  explicit CSocketConnection(int fd) : m_fd(fd) {}
  ~CSocketConnection() { ::close(m_fd); }
  CSocketConnection(const CSocketConnection&) = delete;
  CSocketConnection& operator=(const CSocketConnection&) = delete;

  // Sends one message whole: 1, kHidTimedOut, kHidFailed or kHidAborted. A message
  // cut off part way would leave the peer out of step, so after a partial send the
  // connection takes no more messages.
  int Send(std::uint8_t type, const std::uint8_t* payload, int size, int timeoutMs,
           const std::atomic<bool>* abort, long& error) {
    if (m_broken || size < 0 || size > 0xFFFF) return Fail(error, EPIPE);
    std::vector<std::uint8_t> message(hidsock::kHeaderSize + static_cast<std::size_t>(size));
    message[0] = static_cast<std::uint8_t>(size & 0xFF);
    message[1] = static_cast<std::uint8_t>(size >> 8);
    message[2] = type;
    if (size > 0)
      std::memcpy(message.data() + hidsock::kHeaderSize, payload, static_cast<std::size_t>(size));
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t sent = 0;
    while (sent < message.size()) {
      const ssize_t n =
          ::send(m_fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Fail(error, errno);
      int result = 0;
      if (HidAbortRequested(abort)) result = kHidAborted;
      const int slice = MillisecondsLeft(deadline);
      if (result == 0 && slice == 0) {
        error = ETIMEDOUT;
        result = kHidTimedOut;
      }
      if (result != 0) {
        if (sent > 0) m_broken = true;
        return result;
      }
      pollfd p{m_fd, POLLOUT, 0};
      ::poll(&p, 1, slice);
    }
    return 1;
  }

  // Waits for the next whole message: 1 with type and payload filled, kHidTimedOut,
  // kHidFailed (the peer went away or sent garbage) or kHidAborted.
  int Receive(std::uint8_t& type, std::vector<std::uint8_t>& payload, int timeoutMs,
              const std::atomic<bool>* abort, long& error) {
    if (m_broken) return Fail(error, EPIPE);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (m_received.size() >= hidsock::kHeaderSize) {
        const std::size_t size = U16At(m_received, 0);
        if (m_received.size() >= hidsock::kHeaderSize + size) {
          type = m_received[2];
          payload.assign(
              m_received.begin() + hidsock::kHeaderSize,
              m_received.begin() + static_cast<std::ptrdiff_t>(hidsock::kHeaderSize + size));
          m_received.erase(
              m_received.begin(),
              m_received.begin() + static_cast<std::ptrdiff_t>(hidsock::kHeaderSize + size));
          return 1;
        }
      }
      std::uint8_t chunk[4096];
      const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        m_received.insert(m_received.end(), chunk, chunk + n);
        continue;
      }
      if (n == 0) return Fail(error, ECONNRESET);  // the device went off the bus
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(error, errno);
      if (HidAbortRequested(abort)) return kHidAborted;
      const int slice = MillisecondsLeft(deadline);
      if (slice == 0) {
        error = ETIMEDOUT;
        return kHidTimedOut;
      }
      pollfd p{m_fd, POLLIN, 0};
      ::poll(&p, 1, slice);
    }
  }

  // The peer broke the protocol: nothing more is taken from it.
  void MarkBroken() { m_broken = true; }

 private:
  int Fail(long& error, int code) {
    error = code;
    return kHidFailed;
  }

  int m_fd;
  bool m_broken = false;
  std::vector<std::uint8_t> m_received;
};

class CSocketWriteHandle final : public IHidWriteHandle {
 public:
  explicit CSocketWriteHandle(std::shared_ptr<CSocketConnection> connection)
      : m_connection(std::move(connection)) {}
  int WriteReport(const std::uint8_t* report, int length, int timeoutMs,
                  const std::atomic<bool>* abort) override {
    return m_connection->Send(hidsock::kOutputReport, report, length, timeoutMs, abort,
                              m_lastError);
  }
  long LastError() const override { return m_lastError; }

 private:
  std::shared_ptr<CSocketConnection> m_connection;
  long m_lastError = 0;
};

class CSocketReadHandle final : public IHidReadHandle {
 public:
  explicit CSocketReadHandle(std::shared_ptr<CSocketConnection> connection)
      : m_connection(std::move(connection)) {}
  int ReadReport(std::uint8_t* buffer, int length, int timeoutMs,
                 const std::atomic<bool>* abort) override {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    const int result = m_connection->Receive(type, payload, timeoutMs, abort, m_lastError);
    if (result != 1) return result;
    if (type != hidsock::kInputReport || payload.empty()) {
      m_connection->MarkBroken();
      m_lastError = EPROTO;
      return kHidFailed;
    }
    const int count = std::min(static_cast<int>(payload.size()), length);
    std::memcpy(buffer, payload.data(), static_cast<std::size_t>(count));
    return count;
  }
  long LastError() const override { return m_lastError; }

 private:
  std::shared_ptr<CSocketConnection> m_connection;
  long m_lastError = 0;
};

class CSocketProbe final : public IHidProbe {
 public:
  CSocketProbe(std::shared_ptr<CSocketConnection> connection, const HidAttributes& attributes)
      : m_connection(std::move(connection)), m_attributes(attributes) {}
  bool GetAttributes(HidAttributes& attributes) override {
    CopyIdentity(m_attributes, attributes);
    return true;
  }
  bool GetReportLengths(HidAttributes& attributes) override {
    attributes.inputReportLength = m_attributes.inputReportLength;
    attributes.outputReportLength = m_attributes.outputReportLength;
    return true;
  }
  std::unique_ptr<IHidWriteHandle> OpenWriteHandle() override {
    return std::make_unique<CSocketWriteHandle>(m_connection);
  }
  std::unique_ptr<IHidReadHandle> OpenReadHandle() override {
    return std::make_unique<CSocketReadHandle>(m_connection);
  }

 private:
  std::shared_ptr<CSocketConnection> m_connection;
  HidAttributes m_attributes;
};

class CSocketBackend final : public IHidBackend {
 public:
  explicit CSocketBackend(std::vector<std::string> socketPaths)
      : m_socketPaths(std::move(socketPaths)) {}

  // Every socket named is a device on the bus; whether a peer listens there and
  // greets is found out by the probe, as a bus device's descriptors are read.
  std::vector<std::string> Enumerate() override { return m_socketPaths; }

  std::unique_ptr<IHidProbe> OpenProbe(const std::string& path) override {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return nullptr;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
      ::close(fd);
      return nullptr;
    }
    auto connection = std::make_shared<CSocketConnection>(fd);
    // The peer introduces itself first, as a device's descriptors would. One that
    // hangs up instead is a device another updater holds: no device here.
    std::uint8_t type = 0;
    std::vector<std::uint8_t> hello;
    long error = 0;
    if (connection->Receive(type, hello, kHelloWaitMs, nullptr, error) != 1 ||
        type != hidsock::kHello || hello.size() < hidsock::kHelloSize)
      return nullptr;
    HidAttributes attributes;
    attributes.vendorId = U16At(hello, 0);
    attributes.productId = U16At(hello, 2);
    attributes.versionNumber = U16At(hello, 4);
    attributes.inputReportLength = U16At(hello, 6);
    attributes.outputReportLength = U16At(hello, 8);
    // What follows the fixed part is the serial number string, as the device gives it.
    attributes.serial.assign(hello.begin() + hidsock::kHelloSize, hello.end());
    return std::make_unique<CSocketProbe>(std::move(connection), attributes);
  }

 private:
  std::vector<std::string> m_socketPaths;
};

}  // namespace

std::unique_ptr<IHidBackend> MakeSocketHidBackend(const std::string& socketPaths) {
  return std::make_unique<CSocketBackend>(hidsock::SocketPaths(socketPaths));
}
