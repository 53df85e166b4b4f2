#include "sim/HidSocketFront.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/os/socket/HidSocketProtocol.h"

namespace {

void PutU16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xff));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

CHidSocketFront::CHidSocketFront(CIapDevice& device, const FrontOptions& options,
                                 std::string socketPath)
    : m_device(device), m_options(options), m_path(std::move(socketPath)) {}

CHidSocketFront::~CHidSocketFront() {
  CloseAll();
  if (m_listener >= 0) {
    ::close(m_listener);
    ::unlink(m_path.c_str());
  }
}

void CHidSocketFront::CloseAll() {
  for (Connection& c : m_connections) ::close(c.fd);
  m_connections.clear();
}

bool CHidSocketFront::Open(std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (m_path.empty() || m_path.size() >= sizeof address.sun_path) {
    error = "socket path must be 1 to " + std::to_string(sizeof address.sun_path - 1) +
            " characters: " + m_path;
    return false;
  }
  std::memcpy(address.sun_path, m_path.c_str(), m_path.size() + 1);
  struct stat st {};
  if (::lstat(m_path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = m_path + " exists and is not a socket";
      return false;
    }
    ::unlink(m_path.c_str());
  }
  m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listener < 0 ||
      ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listener, 8) != 0) {
    error = "cannot listen on " + m_path + ": " + std::strerror(errno);
    if (m_listener >= 0) ::close(m_listener);
    m_listener = -1;
    return false;
  }
  return true;
}

bool CHidSocketFront::Send(int fd, std::uint8_t type, const Bytes& payload) {
  Bytes message;
  PutU16(message, static_cast<std::uint16_t>(payload.size()));
  message.push_back(type);
  message.insert(message.end(), payload.begin(), payload.end());
  std::size_t done = 0;
  while (done < message.size()) {
    const ssize_t n = ::send(fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool CHidSocketFront::Accept() {
  const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  const SimConfig& config = m_device.Config();
  Bytes hello;
  PutU16(hello, config.vendorId);
  PutU16(hello, config.productId);
  PutU16(hello, config.versionNumber);
  PutU16(hello, config.inputReportLength);
  PutU16(hello, config.outputReportLength);
  hello.insert(hello.end(), config.serialNumber.begin(), config.serialNumber.end());
  if (!Send(fd, hidsock::kHello, hello)) {
    ::close(fd);
    return false;
  }
  m_connections.push_back({fd, {}});
  return true;
}

void CHidSocketFront::Refuse() {
  // Closed before any hello: the updater's channel finds no device there.
  const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) ::close(fd);
}

bool CHidSocketFront::TakeReport(Connection& connection, const Bytes& report,
                                 SimClock::time_point now, bool& hangUp) {
  if (report.empty()) return true;
  // Byte 0 is the report id; the device reads the payload behind it.
  if (!m_device.HasPartialMessage()) {
    m_messageStart = now;
    m_messageReports = 0;
  }
  ++m_messageReports;
  const int framesBefore = m_device.DataFrameCount();
  const DeviceOutput out = m_device.ReceiveReport(report.data() + 1, report.size() - 1);
  if (out.message == SimMessage::kDataFrame || out.message == SimMessage::kEndOfFile) {
    if (framesBefore == 0 && out.message == SimMessage::kDataFrame) {
      m_timing.started = true;
      m_timing.firstFrameStart = m_messageStart;
    }
    if (m_timing.started) {
      ++m_timing.messagesIn;
      m_timing.reportsIn += m_messageReports;
      m_timing.bytesIn += static_cast<long>(m_device.Frames().back().size());
      m_timing.bytesOut += static_cast<long>(out.reply.size());
    }
    if (out.message == SimMessage::kEndOfFile) {
      m_timing.ended = m_timing.started;
      m_timing.endOfFile = now;
    }
  }
  if (out.hangUp) {
    hangUp = true;
    return false;
  }
  if (out.reply.empty()) return true;
  // The answer in input reports: report id 0, the reply bytes, zero padding.
  const std::size_t payload = std::max<std::size_t>(m_device.Config().inputReportLength, 2) - 1;
  for (std::size_t at = 0; at < out.reply.size(); at += payload) {
    Bytes input(payload + 1, 0);
    const std::size_t n = std::min(payload, out.reply.size() - at);
    std::copy_n(out.reply.begin() + static_cast<std::ptrdiff_t>(at), n, input.begin() + 1);
    // A full-speed interrupt endpoint is polled once a millisecond: the answer
    // cannot reach the host sooner than the next poll after what it answers.
    if (m_options.pace) SleepUntil(m_schedule.Answer(now));
    if (!Send(connection.fd, hidsock::kInputReport, input)) return false;
  }
  return true;
}

bool CHidSocketFront::Serve(Connection& connection, SimClock::time_point now, bool& hangUp) {
  // Everything there is, up to the end of the stream if the updater has let go:
  // a connection that is over must not stand in the way of the next one.
  for (;;) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;  // unplugged
    connection.inbox.insert(connection.inbox.end(), buffer, buffer + n);
    while (connection.inbox.size() >= hidsock::kHeaderSize) {
      const std::size_t length = connection.inbox[0] | (std::size_t{connection.inbox[1]} << 8);
      if (connection.inbox.size() < hidsock::kHeaderSize + length) break;
      const std::uint8_t type = connection.inbox[2];
      const auto begin = connection.inbox.begin() + hidsock::kHeaderSize;
      const Bytes payload(begin, begin + static_cast<std::ptrdiff_t>(length));
      connection.inbox.erase(connection.inbox.begin(), begin + static_cast<std::ptrdiff_t>(length));
      if (type != hidsock::kOutputReport) return false;  // not ours to understand
      if (!TakeReport(connection, payload, now, hangUp)) return false;
      if (m_device.Finished()) return true;
    }
  }
}

FrontEnd CHidSocketFront::Run() {
  SimClock::time_point lastTraffic = SimClock::now();
  SimClock::time_point goneSince{};
  bool clientSeen = false;
  while (true) {
    if (m_device.Finished()) return FrontEnd::kFinished;
    if (m_options.stop != nullptr && m_options.stop->load()) return FrontEnd::kStopped;
    std::vector<pollfd> fds;
    fds.push_back({m_listener, POLLIN, 0});
    for (const Connection& c : m_connections) fds.push_back({c.fd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), 20);
    const SimClock::time_point now = SimClock::now();
    if (ready < 0 && errno != EINTR) return FrontEnd::kFailed;
    if (ready > 0) {
      // Connections first, in the order they came: a new one is served next pass.
      std::vector<int> closing;
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        lastTraffic = now;
        Connection& c = m_connections[i - 1];
        bool hangUp = false;
        if (!Serve(c, now, hangUp)) closing.push_back(c.fd);
        if (hangUp) {
          CloseAll();
          return FrontEnd::kHungUp;
        }
        if (m_device.Finished()) return FrontEnd::kFinished;
      }
      for (int fd : closing) {
        ::close(fd);
        std::erase_if(m_connections, [fd](const Connection& c) { return c.fd == fd; });
        if (m_connections.empty()) goneSince = now;
      }
      // One updater at a time. Every Open of the updater lets go of its last
      // connection before it connects anew, and poll looks at the listener
      // before the connections: a newcomer seen here came after that close, which
      // was seen too and served above to the end of its stream. A connection
      // still here belongs to an updater that holds the device, and the newcomer
      // is turned away. Being turned away is no traffic: it keeps no idle
      // simulator alive.
      if ((fds[0].revents & POLLIN) != 0) {
        if (!m_connections.empty()) {
          Refuse();
        } else if (Accept()) {
          clientSeen = true;
          lastTraffic = now;
        }
      }
    }
    if (const auto end =
            QuietEnd(m_options, now, lastTraffic, clientSeen && m_connections.empty(),
                     m_device.FaultShown() || m_device.InProgrammingMode(), goneSince)) {
      return *end;
    }
  }
}
