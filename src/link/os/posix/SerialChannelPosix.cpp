// Serial ports on POSIX systems through termios. COMn is a name the technician
// knows from the device's documentation; here it stands for, in this order: the
// device bound to it in this process (iapflash --port), the tty named by the
// environment variable IAP_COMn (a USB adapter, a simulator's pty), the one the
// user's port map names for it, or else the n-th on-board port, /dev/ttyS<n-1>.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/os/SerialChannel.h"
#include "link/os/posix/PortMap.h"

namespace {

bool BaudConstant(int baud, speed_t& speed) {
  struct Rate {
    int baud;
    speed_t speed;
  };
  static constexpr Rate kRates[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B921600
      {921600, B921600},
#endif
  };
  for (const Rate& rate : kRates) {
    if (rate.baud == baud) {
      speed = rate.speed;
      return true;
    }
  }
  return false;
}

class CPosixSerialChannel final : public ISerialChannel {
 public:
  ~CPosixSerialChannel() override { Close(); }

  bool Open(int portNumber, int baud) override {
    Close();
    m_openError = {};
    speed_t speed;
    if (!BaudConstant(baud, speed)) {
      m_openError = {SerialOpenFault::kOther, "no such baud rate"};
      return false;
    }
    const std::string path = DeviceFor(portNumber);
    // O_NONBLOCK: neither the open (waiting for carrier) nor any read or write may block.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      KeepOpenError(errno);
      return false;
    }
    if (!Configure(fd, speed)) {
      KeepOpenError(errno);
      ::close(fd);
      return false;
    }
    m_fd = fd;
    return true;
  }

  SerialOpenError LastOpenError() const override { return m_openError; }

  void Close() override {
    if (m_fd < 0) return;
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
  }

  bool WriteByte(std::uint8_t byte, int timeoutMs) override {
    if (m_fd < 0) return false;
    for (;;) {
      const ssize_t n = ::write(m_fd, &byte, 1);
      if (n == 1) return true;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      // The output queue is full (flow control, a stalled adapter): wait for room
      // once. A byte that is not taken in time is not written at all, so nothing
      // of it can disturb the bytes that follow.
      if (!WaitFor(POLLOUT, timeoutMs)) return false;
      timeoutMs = 0;
    }
  }

  int BytesWaiting() override {
    if (m_fd < 0) return -1;
    int waiting = 0;
    if (::ioctl(m_fd, FIONREAD, &waiting) < 0) return -1;
    return waiting;
  }

  int Read(std::uint8_t* buffer, int n) override {
    if (m_fd < 0 || n <= 0) return -1;
    for (;;) {
      const ssize_t got = ::read(m_fd, buffer, static_cast<size_t>(n));
      if (got >= 0) return static_cast<int>(got);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return -1;
    }
  }

  void WaitForInput(int timeoutMs) override {
    if (m_fd < 0) return;
    pollfd p{m_fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    // A line that has hung up reports so at once and forever: sleep the slice
    // instead of letting the caller spin through its time limit.
    if (r > 0 && (p.revents & POLLIN) == 0) ::poll(nullptr, 0, timeoutMs);
  }

 private:
  bool WaitFor(short events, int timeoutMs) {
    pollfd p{m_fd, events, 0};
    for (;;) {
      const int r = ::poll(&p, 1, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      return r > 0 && (p.revents & events) != 0;
    }
  }

  static bool Configure(int fd, speed_t speed) {
    // Not shared with any other opener: TIOCEXCL turns away later opens of the
    // tty, the lock other programs that use flock (and a second link in this
    // process) that try to open it alongside us.
    if (::ioctl(fd, TIOCEXCL) < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) return false;
    termios t{};
    if (::tcgetattr(fd, &t) < 0) return false;
    // Raw 8-bit bytes both ways: no line editing, no echo, no CR/LF translation,
    // no XON/XOFF taken out of the data, no signals. Stop bits and hardware flow
    // control stay as the port has them; parity is off because the data is 8-bit.
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) < 0 || ::cfsetospeed(&t, speed) < 0) return false;
    if (::tcsetattr(fd, TCSANOW, &t) < 0) return false;
    // A freshly opened port starts with empty queues: nothing the device sent
    // before (the CR after its ready reply, say) reaches the next reader.
    ::tcflush(fd, TCIOFLUSH);
    return true;
  }

  void KeepOpenError(int error) {
    SerialOpenFault fault = SerialOpenFault::kOther;
    if (error == ENOENT || error == ENXIO || error == ENODEV) fault = SerialOpenFault::kNotFound;
    if (error == EBUSY || error == EWOULDBLOCK) fault = SerialOpenFault::kBusy;
    if (error == EACCES || error == EPERM) fault = SerialOpenFault::kPermission;
    if (error == ENOTTY) fault = SerialOpenFault::kNotSerial;
    m_openError = {fault, std::strerror(error)};
  }

  int m_fd = -1;
  SerialOpenError m_openError;
};

}  // namespace

std::string SerialDevicePath(int portNumber) {
  if (auto bound = BoundSerialDevice(portNumber)) return *bound;
  const std::string var = "IAP_COM" + std::to_string(portNumber);
  if (const char* path = std::getenv(var.c_str()); path != nullptr && *path != '\0') return path;
  if (auto mapped = MappedSerialDevice(portNumber)) return *mapped;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::unique_ptr<ISerialChannel> MakePlatformSerialChannel() {
  return std::make_unique<CPosixSerialChannel>();
}
