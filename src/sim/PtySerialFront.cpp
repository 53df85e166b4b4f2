#include "sim/PtySerialFront.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

CPtySerialFront::CPtySerialFront(CIapDevice& device, const FrontOptions& options)
    : m_device(device), m_options(options) {}

CPtySerialFront::~CPtySerialFront() { Close(); }

void CPtySerialFront::Close() {
  if (m_master >= 0) ::close(m_master);
  if (m_openWatch >= 0) ::close(m_openWatch);
  m_master = -1;
  m_openWatch = -1;
  m_holders = 0;
}

bool CPtySerialFront::Open(std::string& error) {
  m_master = posix_openpt(O_RDWR | O_NOCTTY);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
    error = std::string("cannot create a pty: ") + std::strerror(errno);
    Close();
    return false;
  }
  const char* name = ptsname(m_master);
  if (name == nullptr) {
    error = "cannot name the pty";
    Close();
    return false;
  }
  m_path = name;
  // Raw mode is set on the slave once; the setting stays with the pty when the
  // slave is closed and opened again. Closing it here also means the master sees
  // a hang-up until the updater opens the port, which tells the two states apart.
  const int slave = ::open(name, O_RDWR | O_NOCTTY);
  if (slave < 0) {
    error = std::string("cannot open ") + name + ": " + std::strerror(errno);
    Close();
    return false;
  }
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&tio, B9600);
  const bool raw = tcsetattr(slave, TCSANOW, &tio) == 0;
  ::close(slave);
  if (!raw) {
    error = std::string("cannot set the pty raw: ") + std::strerror(errno);
    Close();
    return false;
  }
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  // Every open and close of the port, however quickly one follows the other. The
  // slave is closed now, so the count of holders starts at zero.
  m_openWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_openWatch >= 0 && inotify_add_watch(m_openWatch, name, IN_OPEN | IN_CLOSE) < 0) {
    ::close(m_openWatch);
    m_openWatch = -1;
  }
  return true;
}

bool CPtySerialFront::LineLetGoSinceLastLook() {
  // Anyone may open the tty: a second updater whose exclusive open is refused
  // still opens and closes it, and so do stty and the like. The line is down
  // only when the last of them has closed it, not at every close.
  bool letGo = false;
  bool down = false;  // the count reached zero and no open has followed yet
  if (m_openWatch >= 0) {
    alignas(inotify_event) char events[1024];
    ssize_t n;
    while ((n = ::read(m_openWatch, events, sizeof events)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if ((event->mask & IN_OPEN) != 0) {
          ++m_holders;
          if (down) letGo = true;  // let go and taken again between two looks
          down = false;
        }
        if ((event->mask & IN_CLOSE) != 0 && m_holders > 0 && --m_holders == 0) down = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }
  // The master's own view settles the count: it reports a hang-up exactly while
  // nobody has the port open. Identical events still unread are merged into one
  // by the kernel, so the count can drift; a drift must never make a close by
  // someone else look like the holder letting go, so a count at zero while the
  // port is held means an open went unseen.
  pollfd pfd{m_master, POLLOUT, 0};
  if (::poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP) != 0) {
    m_holders = 0;
    return true;
  }
  if (m_holders == 0) m_holders = 1;
  return letGo;
}

void CPtySerialFront::SendReply(const Bytes& reply, std::uint32_t baud) {
  if (!m_options.pace) {
    std::size_t done = 0;
    while (done < reply.size()) {
      const ssize_t n = ::write(m_master, reply.data() + done, reply.size() - done);
      if (n <= 0) {
        if (n < 0 && errno == EAGAIN) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        return;  // nobody on the line: the reply is lost, as on a real wire
      }
      done += static_cast<std::size_t>(n);
    }
    return;
  }
  // Half duplex: the answer starts when the frame has been received whole, and
  // each byte is handed over when its last bit has arrived at the other end.
  LineLetGoSinceLastLook();
  const SimClock::time_point start = SimClock::now();
  for (std::uint8_t byte : reply) {
    SleepUntil(m_schedule.Byte(start, baud));  // back to back once the line is free
    // A byte that was on the wire while the port was closed is lost, as on a real
    // line: the updater closes the port as soon as it has seen the 'H' of "#FH",
    // and opens it again at once, while the CR behind the 'H' is still on its way.
    // A close by anyone else leaves the holder's line up and its bytes coming.
    if (LineLetGoSinceLastLook()) continue;
    if (::write(m_master, &byte, 1) != 1) break;
  }
}

bool CPtySerialFront::TakeByte(std::uint8_t byte, SimClock::time_point now) {
  if (m_device.HasPartialMessage() &&
      std::chrono::duration<double>(now - m_lastByte).count() > m_options.resyncSeconds) {
    m_device.DropPartialMessage();
  }
  m_lastByte = now;
  if (!m_device.HasPartialMessage()) m_messageStart = now;
  SimClock::time_point received = now;
  if (m_options.pace) {
    received = m_schedule.Byte(now, m_device.CurrentBaud());
  }
  const int framesBefore = m_device.DataFrameCount();
  const DeviceOutput out = m_device.ReceiveByte(byte);
  if (out.message == SimMessage::kDataFrame || out.message == SimMessage::kEndOfFile) {
    if (framesBefore == 0 && out.message == SimMessage::kDataFrame) {
      m_timing.started = true;
      m_timing.firstFrameStart = m_messageStart;
    }
    if (m_timing.started) {
      ++m_timing.messagesIn;
      m_timing.bytesIn += static_cast<long>(m_device.Frames().back().size());
      m_timing.bytesOut += static_cast<long>(out.reply.size());
    }
    if (out.message == SimMessage::kEndOfFile) {
      if (m_options.pace) SleepUntil(received);
      m_timing.ended = m_timing.started;
      m_timing.endOfFile = received;
    }
  }
  if (out.hangUp) return false;
  if (!out.reply.empty()) SendReply(out.reply, out.replyBaud);
  return true;
}

FrontEnd CPtySerialFront::Run() {
  SimClock::time_point lastTraffic = SimClock::now();
  SimClock::time_point goneSince{};
  bool clientSeen = false;
  bool gone = false;
  std::uint8_t buffer[512];
  while (true) {
    if (m_device.Finished()) return FrontEnd::kFinished;
    if (m_options.stop != nullptr && m_options.stop->load()) return FrontEnd::kStopped;
    pollfd pfd{m_master, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 20);
    const SimClock::time_point now = SimClock::now();
    if (ready < 0 && errno != EINTR) return FrontEnd::kFailed;
    bool hangUp = ready > 0 && (pfd.revents & POLLHUP) != 0;
    if (ready > 0 && (pfd.revents & POLLIN) != 0) {
      const ssize_t n = ::read(m_master, buffer, sizeof buffer);
      if (n > 0) {
        lastTraffic = now;
        clientSeen = true;
        for (ssize_t i = 0; i < n; ++i) {
          if (!TakeByte(buffer[i], now)) {
            Close();
            return FrontEnd::kHungUp;
          }
          if (m_device.Finished()) return FrontEnd::kFinished;
        }
      } else if (n < 0 && errno == EIO) {
        hangUp = true;  // the slave is closed
      }
    }
    // Keeps the count of the port's holders current between replies, so that few
    // events wait unread (the kernel merges identical ones).
    if (m_options.pace) LineLetGoSinceLastLook();
    if (hangUp) {
      if (clientSeen && !gone) {
        gone = true;
        goneSince = now;
      }
      // The master keeps reporting the hang-up until the port is opened again.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else if (ready >= 0) {
      if (!clientSeen || gone) lastTraffic = now;  // the updater (re)opened the port
      clientSeen = true;
      gone = false;
    }
    if (const auto end =
            QuietEnd(m_options, now, lastTraffic, gone,
                     m_device.FaultShown() || m_device.InProgrammingMode(), goneSince)) {
      return *end;
    }
  }
}
