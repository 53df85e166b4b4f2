// CSerialPort with the POSIX channel over a real pseudo-terminal: the link opens
// the pty's slave by name through IAP_COM3, the test plays the device on the
// master side.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/SerialPort.h"
#include "support/FakeClock.h"

namespace {

constexpr int kPort = 3;

class SerialPty : public ::testing::Test {
 protected:
  SerialPty() {
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    // The test keeps its own slave descriptor (opened before the link makes the
    // tty exclusive) only to look at the line settings and the input queue.
    setenv("IAP_COM3", ttyname(slave), 1);
    port = std::make_unique<CSerialPort>(MakePlatformSerialChannel(), clock);
  }
  ~SerialPty() override {
    port.reset();
    if (master >= 0) close(master);
    close(slave);
    unsetenv("IAP_COM3");
  }

  void DeviceSends(const std::string& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    WaitUntilQueued(static_cast<int>(bytes.size()));
  }
  // Until the link's input queue holds at least n bytes (or two seconds passed).
  void WaitUntilQueued(int n) {
    for (int i = 0; i < 200 && Queued() < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int Queued() {
    int n = 0;
    ioctl(slave, FIONREAD, &n);
    return n;
  }
  // What the device received, collected until nothing more arrives for 100 ms.
  std::string DeviceReceives() {
    std::string got;
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, 100) > 0) {
      char chunk[512];
      const ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
  }
  speed_t LineSpeed() {
    termios t{};
    tcgetattr(slave, &t);
    return cfgetospeed(&t);
  }
  std::string Read(int max) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(max));
    const int n = port->ReadAvailable(buffer.data(), max);
    return std::string(buffer.begin(), buffer.begin() + std::max(n, 0));
  }

  int master = -1;
  int slave = -1;
  CFakeClock clock{1000};  // every look at the clock is one second later
  CFakeClock slow{1};      // a millisecond per look: a limit of seconds is never reached
  std::unique_ptr<CSerialPort> port;
};

TEST(SerialDevicePath, ComNIsTheEnvironmentsPathOrTheNthOnBoardPort) {
  unsetenv("IAP_COM4");
  EXPECT_EQ(SerialDevicePath(4), "/dev/ttyS3");
  EXPECT_EQ(SerialDevicePath(1), "/dev/ttyS0");
  setenv("IAP_COM4", "/dev/ttyUSB0", 1);
  EXPECT_EQ(SerialDevicePath(4), "/dev/ttyUSB0");
  setenv("IAP_COM4", "", 1);
  EXPECT_EQ(SerialDevicePath(4), "/dev/ttyS3");
  unsetenv("IAP_COM4");
}

// --- Opening and closing ----------------------------------------------------------

TEST_F(SerialPty, OpenTwiceKeepsTheFirstBaudRateUntilClosed) {
  ASSERT_TRUE(port->Open(kPort, 1200));
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B1200));
  EXPECT_TRUE(port->Open(kPort, 9600));
  EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B1200));

  port->Close();
  EXPECT_FALSE(port->IsOpen());
  port->Close();  // harmless
  ASSERT_TRUE(port->Open(kPort, 2400));
  EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B2400));
}

TEST_F(SerialPty, TheLineIsRawAndTheOtherStandardRatesAreTaken) {
  for (int baud : {4800, 19200, 38400, 57600, 115200}) {
    ASSERT_TRUE(port->Open(kPort, baud)) << baud;
    port->Close();
  }
  ASSERT_TRUE(port->Open(kPort, 9600));
  EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B9600));
  termios t{};
  tcgetattr(slave, &t);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  // Every byte value goes through unchanged both ways.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(port->Write(reinterpret_cast<const std::uint8_t*>(all.data()), 256), 256);
  EXPECT_EQ(DeviceReceives(), all);
  DeviceSends(all);
  EXPECT_EQ(Read(300), all);
}

TEST_F(SerialPty, OpenFailsForAMissingPortAnUnknownRateOrASecondOpenerAndSaysWhy) {
  setenv("IAP_COM5", "/dev/iap-no-such-tty", 1);
  EXPECT_FALSE(port->Open(5, 9600));
  EXPECT_EQ(port->LastOpenError().fault, SerialOpenFault::kNotFound);
  EXPECT_FALSE(port->LastOpenError().message.empty());
  // A regular file opens, but takes no line settings: no serial port.
  char file[] = "/tmp/iap-not-a-tty-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("IAP_COM5", file, 1);
  EXPECT_FALSE(port->Open(5, 9600));
  EXPECT_EQ(port->LastOpenError().fault, SerialOpenFault::kNotSerial);
  unlink(file);
  unsetenv("IAP_COM5");
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(port->Open(kPort, 12345));
  EXPECT_EQ(port->LastOpenError().fault, SerialOpenFault::kOther);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(port->Open(0, 9600));
  EXPECT_EQ(port->LastOpenError().fault, SerialOpenFault::kOther);

  ASSERT_TRUE(port->Open(kPort, 9600));
  CSerialPort second(MakePlatformSerialChannel(), clock);
  EXPECT_FALSE(second.Open(kPort, 9600));
  EXPECT_EQ(second.LastOpenError().fault, SerialOpenFault::kBusy);
  port->Close();
  EXPECT_TRUE(second.Open(kPort, 9600));
}

TEST_F(SerialPty, AFreshOpenStartsWithEmptyQueues) {
  port->SetClock(slow);
  ASSERT_TRUE(port->Open(kPort, 1200));
  // The ready reply and the CR after it; the handshake takes up to the "H".
  DeviceSends("#FH\r");
  std::uint8_t reply[32] = {};
  ASSERT_TRUE(port->ReadUntilH(reply, 30, 2));
  EXPECT_EQ(Queued(), 1);
  // Reopened at the programming baud rate, the link must not see that CR.
  port->Close();
  ASSERT_TRUE(port->Open(kPort, 9600));
  EXPECT_EQ(Queued(), 0);
  EXPECT_EQ(Read(10), "");
}

// --- Writing --------------------------------------------------------------------

TEST_F(SerialPty, WriteSendsEveryByteAndNothingForZeroOrAClosedLink) {
  const std::uint8_t frame[] = {0x25, 0x00, 0x10, 0x0D, 0x0A, 0x11, 0x13, 0xFF};
  EXPECT_EQ(port->Write(frame, 8), 0);  // not open
  ASSERT_TRUE(port->Open(kPort, 9600));
  EXPECT_EQ(port->Write(frame, 0), 0);
  EXPECT_EQ(port->Write(frame, -1), 0);
  EXPECT_EQ(DeviceReceives(), "");
  EXPECT_EQ(port->Write(frame, 8), 8);
  EXPECT_EQ(DeviceReceives(), std::string(reinterpret_cast<const char*>(frame), 8));
}

TEST_F(SerialPty, AByteThatCannotGoOutIsAFailedWrite) {
  ASSERT_TRUE(port->Open(kPort, 9600));
  // The device never reads: once the pty's buffers are full a byte waits its
  // second and the write fails instead of claiming the whole block went out.
  std::vector<std::uint8_t> flood(1 << 20, 0x55);
  EXPECT_EQ(port->Write(flood.data(), static_cast<int>(flood.size())), -1);
  // Once the device reads again, writing works again.
  DeviceReceives();
  const std::uint8_t ack[] = {'A', '\r'};
  EXPECT_EQ(port->Write(ack, 2), 2);
}

// --- Reading --------------------------------------------------------------------

TEST_F(SerialPty, ReadAvailableTakesOnlyWhatWasAskedFor) {
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(port->ReadAvailable(buffer, 1), 0);  // not open
  ASSERT_TRUE(port->Open(kPort, 9600));
  EXPECT_EQ(port->ReadAvailable(buffer, 1), 0);  // nothing there
  DeviceSends("abc");
  EXPECT_EQ(port->ReadAvailable(buffer, 1), 1);
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_EQ(Queued(), 2);
  EXPECT_EQ(Read(8), "bc");
}

TEST_F(SerialPty, ReadExactTakesTheCountOrFailsWhenTheTimeIsUp) {
  ASSERT_TRUE(port->Open(kPort, 9600));
  std::uint8_t reply[32] = {};
  DeviceSends("A\rX");
  EXPECT_TRUE(port->ReadExact(reply, 2, 8));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply)), "A\r");
  EXPECT_LT(clock.ms, 8000);
  EXPECT_EQ(Queued(), 1);  // the byte after the count stays

  // One byte only: the read runs to its limit of 8 whole seconds and fails.
  std::fill(std::begin(reply), std::end(reply), 0);
  clock.ms = 0;
  EXPECT_FALSE(port->ReadExact(reply, 2, 8));
  EXPECT_EQ(reply[0], 'X');
  EXPECT_GE(clock.ms, 8000);
  EXPECT_LE(clock.ms, 10000);
}

TEST_F(SerialPty, ReadExactWaitsForBytesThatArriveLater) {
  CSerialPort realTime(MakePlatformSerialChannel(), SystemClock());
  ASSERT_TRUE(realTime.Open(kPort, 9600));
  std::thread device([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(write(master, "A", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(write(master, "\r", 1), 1);
  });
  std::uint8_t reply[4] = {};
  EXPECT_TRUE(realTime.ReadExact(reply, 2, 5));
  device.join();
  EXPECT_EQ(reply[0], 'A');
  EXPECT_EQ(reply[1], '\r');
}

TEST_F(SerialPty, ABytePolledAfterTheLimitWasReachedDoesNotCount) {
  ASSERT_TRUE(port->Open(kPort, 9600));
  std::uint8_t reply[4] = {};
  // The first look at the clock is the start, the second already 1 s later: with
  // a limit of 1 s the byte that this poll takes comes too late.
  DeviceSends("A\r");
  EXPECT_FALSE(port->ReadExact(reply, 1, 1));
  EXPECT_EQ(reply[0], 'A');
}

TEST_F(SerialPty, ReadUntilHStopsAfterTheHAndLeavesTheRestQueued) {
  port->SetClock(slow);
  ASSERT_TRUE(port->Open(kPort, 1200));
  std::uint8_t reply[32] = {};
  DeviceSends("#FH\r");
  EXPECT_TRUE(port->ReadUntilH(reply, 30, 2));
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "#FH");
  EXPECT_EQ(Queued(), 1);
  EXPECT_EQ(Read(4), "\r");

  std::fill(std::begin(reply), std::end(reply), 0);
  DeviceSends("Hello");
  EXPECT_TRUE(port->ReadUntilH(reply, 30, 2));
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "H");
  EXPECT_EQ(Queued(), 4);
}

TEST_F(SerialPty, ReadUntilHFailsAfterMaxCountBytesWithoutHBeforeTheTimeIsUp) {
  port->SetClock(slow);
  ASSERT_TRUE(port->Open(kPort, 1200));
  std::uint8_t reply[32] = {};
  std::fill(std::begin(reply), std::end(reply), 0xEE);
  DeviceSends(std::string(30, 'x') + "H12");
  EXPECT_FALSE(port->ReadUntilH(reply, 30, 2));
  EXPECT_LT(slow.ms, 2000);
  EXPECT_EQ(reply[29], 'x');
  EXPECT_EQ(reply[30], 0xEE);  // nothing stored past maxCount
  EXPECT_EQ(Queued(), 3);      // the "H" came too late and stays

  // Silence: the read fails when its time is up.
  port->SetClock(clock);
  clock.ms = 0;
  Read(10);
  EXPECT_FALSE(port->ReadUntilH(reply, 30, 2));
  EXPECT_GE(clock.ms, 2000);
}

TEST_F(SerialPty, TimedReadsGiveUpOnAbortAndOnAClosedLink) {
  std::uint8_t reply[4] = {};
  EXPECT_FALSE(port->ReadExact(reply, 2, 8));  // not open: nothing can arrive
  EXPECT_FALSE(port->ReadUntilH(reply, 4, 2));
  EXPECT_EQ(clock.looks, 0);

  ASSERT_TRUE(port->Open(kPort, 9600));
  std::atomic<bool> abort{true};
  port->SetAbort(&abort);
  clock.looks = 0;
  EXPECT_FALSE(port->ReadExact(reply, 2, 100));
  EXPECT_FALSE(port->ReadUntilH(reply, 4, 100));
  EXPECT_LE(clock.looks, 4);
}

TEST_F(SerialPty, ADeviceThatHangsUpFailsWritesAndReads) {
  ASSERT_TRUE(port->Open(kPort, 9600));
  close(master);
  master = -1;
  const std::uint8_t frame[] = {1, 2, 3};
  EXPECT_EQ(port->Write(frame, 3), -1);
  std::uint8_t reply[4] = {};
  EXPECT_EQ(port->ReadAvailable(reply, 4), 0);
  EXPECT_FALSE(port->ReadExact(reply, 2, 3));
  EXPECT_FALSE(port->ReadUntilH(reply, 4, 3));
  port->Close();
  EXPECT_FALSE(port->IsOpen());
}

}  // namespace
