// The two fronts over real lines: a pty opened as the updater opens its COM port,
// and a Unix-domain socket spoken to as the socket HID channel speaks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "link/HidDevice.h"
#include "link/SerialPort.h"
#include "link/os/socket/HidBackendSocket.h"
#include "link/os/socket/HidSocketProtocol.h"
#include "sim/HidSocketFront.h"
#include "sim/PtySerialFront.h"
#include "sim/SimTestSupport.h"

namespace {

using namespace std::chrono_literals;

FrontOptions QuickOptions() {
  FrontOptions o;
  o.idleTimeoutSeconds = 10;
  o.lingerSeconds = 0.2;
  return o;
}

int OpenPort(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(fd, &tio);
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u);  // raw from the start
  return fd;
}

void WriteBytewise(int fd, const Bytes& bytes) {
  for (std::uint8_t b : bytes) ASSERT_EQ(::write(fd, &b, 1), 1);
}

TEST(PtySerialFrontTest, FullUpdateAcrossTheReopenAtProgrammingSpeed) {
  CIapDevice device(TestConfig(16, false), {});
  CPtySerialFront front(device, QuickOptions());
  std::string error;
  ASSERT_TRUE(front.Open(error)) << error;
  auto run = std::async(std::launch::async, [&] { return front.Run(); });

  int fd = OpenPort(front.Path());
  WriteBytewise(fd, Text("IAPMODE\r"));
  EXPECT_EQ(ReadFor(fd, 4, 2000ms), Text("#FH\r"));
  ::close(fd);  // as the updater does before opening at the programming speed
  std::this_thread::sleep_for(50ms);
  fd = OpenPort(front.Path());
  WriteBytewise(fd, HandFrame(false, 0x8000, Counting(16)));
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Text("A\r"));
  WriteBytewise(fd, HandFrame(false, 0x8010, Counting(16), true));
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Text("N\r"));
  WriteBytewise(fd, kEof16);
  ASSERT_EQ(run.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(run.get(), FrontEnd::kFinished);
  ::close(fd);
  EXPECT_EQ(device.Frames().size(), 3u);
  EXPECT_EQ(front.Timing().messagesIn, 3);
  EXPECT_TRUE(front.Timing().ended);
}

// A second updater started on the same COM port while the first is transferring:
// the port is taken, so every one of its opens is refused, but each attempt still
// opens and closes the tty. With pacing, the device must go on answering the
// updater that holds the line, byte for byte; only when that updater itself lets
// go of the port (the reopen at the programming speed) is a byte on the wire lost.
// (Run by root, as here, the refused opens reach the tty and show as open/close
// pairs; without that privilege they are turned away before they open it.)
TEST(PtySerialFrontTest, PacedRepliesReachTheHolderWhileASecondUpdaterIsRefused) {
  constexpr int kPort = 8;
  CIapDevice device(TestConfig(16, false), {});
  std::atomic<bool> stop{false};
  FrontOptions options = QuickOptions();
  options.pace = true;
  options.stop = &stop;
  CPtySerialFront front(device, options);
  std::string error;
  ASSERT_TRUE(front.Open(error)) << error;
  struct PortName {  // COM8 stands for the pty while the test runs
    std::string var = "IAP_COM" + std::to_string(kPort);
    ~PortName() { ::unsetenv(var.c_str()); }
  } portName;
  ::setenv(portName.var.c_str(), front.Path().c_str(), 1);
  auto run = std::async(std::launch::async, [&] { return front.Run(); });
  struct Stop {  // a failed assertion must not wait for the idle time-out
    std::atomic<bool>& stop;
    ~Stop() { stop.store(true); }
  } stopOnExit{stop};

  CSerialPort holder;
  ASSERT_TRUE(holder.Open(kPort, 2400));
  const Bytes command = Text("IAPMODE\r");
  ASSERT_EQ(holder.Write(command.data(), static_cast<int>(command.size())), 8);
  std::uint8_t ready[8] = {};
  ASSERT_TRUE(holder.ReadUntilH(ready, 3, 3));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ready)), "#FH");
  // The updater lets go at once and opens the port again at the programming
  // speed, while the CR behind the 'H' is still on its way: that CR is lost, or,
  // when the reopen came late (a loaded machine), it waits as a stale byte.
  holder.Close();
  ASSERT_TRUE(holder.Open(kPort, 9600));
  std::this_thread::sleep_for(30ms);  // well past the CR's slot at 2400 baud
  std::uint8_t stale[8] = {};
  const int staleCount = holder.ReadAvailable(stale, sizeof stale);
  EXPECT_TRUE(staleCount == 0 || (staleCount == 1 && stale[0] == '\r')) << staleCount;

  std::atomic<bool> intruding{true};
  std::atomic<int> refused{0};
  std::atomic<int> admitted{0};
  std::thread second([&] {
    CSerialPort other;
    while (intruding.load()) {
      if (other.Open(kPort, 9600)) {
        ++admitted;
        other.Close();
      } else {
        ++refused;
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  struct Join {
    std::atomic<bool>& intruding;
    std::thread& second;
    ~Join() {
      intruding.store(false);
      if (second.joinable()) second.join();
    }
  } join{intruding, second};

  constexpr int kFrames = 12;
  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const Bytes frame =
        HandFrame(false, static_cast<std::uint32_t>(0x8000 + 16 * i), Counting(16, i));
    ASSERT_EQ(holder.Write(frame.data(), static_cast<int>(frame.size())), 21);
    std::uint8_t reply[2] = {};
    ASSERT_TRUE(holder.ReadExact(reply, 2, 3)) << "a reply byte went missing";
    EXPECT_EQ(Bytes(reply, reply + 2), Text("A\r"));
  }
  intruding.store(false);
  second.join();
  EXPECT_GT(refused.load(), 0);
  EXPECT_EQ(admitted.load(), 0);

  ASSERT_EQ(holder.Write(kEof16.data(), static_cast<int>(kEof16.size())), 8);
  ASSERT_EQ(run.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(run.get(), FrontEnd::kFinished);
  EXPECT_EQ(device.AcceptedFrameCount(), kFrames);
  EXPECT_TRUE(device.Errors().empty());
}

TEST(LineScheduleTest, BytesTakeTheirWireTimeOneAfterTheOther) {
  CLineSchedule line;
  const SimClock::time_point t0 = SimClock::now();
  const auto byte2400 = ByteTime(2400);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(byte2400).count(), 4166);
  // 21 frame bytes that the updater wrote all at once arrive one byte time apart.
  SimClock::time_point received{};
  for (int i = 0; i < 21; ++i) received = line.Byte(t0, 2400);
  EXPECT_EQ(received, t0 + 21 * byte2400);
  // The answer follows on the same line.
  EXPECT_EQ(line.Byte(t0, 2400), t0 + 22 * byte2400);
  EXPECT_EQ(line.Byte(t0, 2400), t0 + 23 * byte2400);
  // A byte sent after a pause starts when it is sent, at the speed then in force.
  const SimClock::time_point later = t0 + std::chrono::seconds(1);
  EXPECT_EQ(line.Byte(later, 9600), later + ByteTime(9600));
}

TEST(LineScheduleTest, AnswersWaitForTheNextInterruptInterval) {
  CLineSchedule usb;
  const SimClock::time_point t0 = SimClock::now();
  EXPECT_EQ(usb.Answer(t0), t0 + std::chrono::milliseconds(1));
  // Two answers cannot share one interval.
  EXPECT_EQ(usb.Answer(t0), t0 + std::chrono::milliseconds(2));
  const SimClock::time_point later = t0 + std::chrono::milliseconds(40);
  EXPECT_EQ(usb.Answer(later), later + std::chrono::milliseconds(1));
}

// The updater's side of the socket HID channel, reduced to what the tests need.
class CHidClient {
 public:
  explicit CHidClient(const std::string& path) {
    m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~CHidClient() { ::close(m_fd); }
  bool connected = false;
  // One whole message: type and payload; type 0 when nothing came in time.
  std::pair<std::uint8_t, Bytes> Receive(std::chrono::milliseconds limit = 2000ms) {
    const Bytes header = ReadFor(m_fd, 3, limit);
    if (header.size() < 3) return {0, {}};
    const std::size_t n = header[0] | (std::size_t{header[1]} << 8);
    return {header[2], ReadFor(m_fd, n, limit)};
  }
  void Send(std::uint8_t type, const Bytes& payload) {
    Bytes m = {static_cast<std::uint8_t>(payload.size()),
               static_cast<std::uint8_t>(payload.size() >> 8), type};
    m.insert(m.end(), payload.begin(), payload.end());
    ASSERT_EQ(::send(m_fd, m.data(), m.size(), MSG_NOSIGNAL), static_cast<ssize_t>(m.size()));
  }
  void SendReport(const Bytes& data, std::size_t length = 65) {
    Bytes report(length, 0);
    std::copy(data.begin(), data.end(), report.begin() + 1);
    Send(hidsock::kOutputReport, report);
  }
  // The reply text of the next input report (payload up to its first zero).
  Bytes Reply() {
    auto [type, payload] = Receive();
    EXPECT_EQ(type, hidsock::kInputReport);
    if (payload.empty()) return {};
    EXPECT_EQ(payload[0], 0);  // report id
    Bytes text;
    for (std::size_t i = 1; i < payload.size() && payload[i] != 0; ++i) text.push_back(payload[i]);
    return text;
  }
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
};

TEST(HidSocketFrontTest, GreetsEveryConnectionAndKeepsTheDeviceStateAcrossThem) {
  CScratchDir dir;
  SimConfig config = TestConfig(32, false);
  config.outputReportLength = 17;
  config.inputReportLength = 9;
  CIapDevice device(config, {});
  CHidSocketFront front(device, QuickOptions(), dir.File("hid.sock"));
  std::string error;
  ASSERT_TRUE(front.Open(error)) << error;
  auto run = std::async(std::launch::async, [&] { return front.Run(); });
  {
    CHidClient probe(front.Path());
    ASSERT_TRUE(probe.connected);
    auto [type, hello] = probe.Receive();
    EXPECT_EQ(type, hidsock::kHello);
    EXPECT_EQ(hello, (Bytes{0x09, 0x12, 0x01, 0x00, 0x02, 0x00, 9, 0, 17, 0}));
    probe.SendReport(Text("IAPMODE\r"), 17);
    const Bytes ready = probe.Reply();
    EXPECT_EQ(ready, Text("#FH\r"));
  }
  CHidClient client(front.Path());
  ASSERT_EQ(client.Receive().first, hidsock::kHello);
  // Still in programming mode: the frame goes out in three 16-byte payloads.
  const Bytes frame = HandFrame(false, 0x8020, Counting(32));
  for (std::size_t at = 0; at < frame.size(); at += 16) {
    client.SendReport(
        Bytes(frame.begin() + static_cast<std::ptrdiff_t>(at),
              frame.begin() + static_cast<std::ptrdiff_t>(std::min(at + 16, frame.size()))),
        17);
  }
  EXPECT_EQ(client.Reply(), Text("A\r"));
  client.SendReport(kEof16, 17);
  ASSERT_EQ(run.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(run.get(), FrontEnd::kFinished);
  EXPECT_EQ(device.Flash().Read(0x803F), 31);
  EXPECT_EQ(front.Timing().reportsIn, 4);
}

TEST(HidSocketFrontTest, AnUnknownMessageClosesOnlyThatConnection) {
  CScratchDir dir;
  CIapDevice device(TestConfig(16, false), {});
  CHidSocketFront front(device, QuickOptions(), dir.File("hid.sock"));
  std::string error;
  ASSERT_TRUE(front.Open(error)) << error;
  auto run = std::async(std::launch::async, [&] { return front.Run(); });
  CHidClient odd(front.Path());
  ASSERT_EQ(odd.Receive().first, hidsock::kHello);
  odd.Send('Z', {1, 2, 3});
  EXPECT_EQ(odd.Receive(1000ms).first, 0);  // closed, nothing more
  CHidClient good(front.Path());
  ASSERT_EQ(good.Receive().first, hidsock::kHello);
  good.SendReport(Text("IAPMODE\r"));
  EXPECT_EQ(good.Reply(), Text("#FH\r"));
  good.SendReport(kEof16);
  ASSERT_EQ(run.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(run.get(), FrontEnd::kFinished);
}

// Two updaters on one device, each with the real link: the second is told the
// device is not there, the first goes on undisturbed and may open it anew, and
// once it has let go the other gets the device.
TEST(HidSocketFrontTest, OneUpdaterAtATimeTheNextFindsNoDevice) {
  CScratchDir dir;
  CIapDevice device(TestConfig(16, false), {});
  CHidSocketFront front(device, QuickOptions(), dir.File("hid.sock"));
  std::string error;
  ASSERT_TRUE(front.Open(error)) << error;
  auto run = std::async(std::launch::async, [&] { return front.Run(); });
  const std::uint16_t vid = device.Config().vendorId;
  const std::uint16_t pid = device.Config().productId;
  CHidDevice first(MakeSocketHidBackend(front.Path()), SystemClock());
  CHidDevice second(MakeSocketHidBackend(front.Path()), SystemClock());
  std::uint8_t reply[CHidDevice::kReplyArea] = {};
  std::uint32_t count = 0;

  ASSERT_TRUE(first.Open(vid, pid));
  EXPECT_FALSE(second.Open(vid, pid));
  const Bytes command = Text("IAPMODE\r");
  ASSERT_TRUE(first.WriteReports(command.data(), static_cast<int>(command.size())));
  ASSERT_TRUE(first.ReadLine(reply, count));
  EXPECT_STREQ(reinterpret_cast<const char*>(reply), "#FH\r");
  // Opening anew lets go of its own connection first: that one is not in its way.
  ASSERT_TRUE(first.Open(vid, pid));
  EXPECT_FALSE(second.Open(vid, pid));

  first.Close();
  ASSERT_TRUE(second.Open(vid, pid));
  EXPECT_FALSE(first.Open(vid, pid));
  const Bytes frame = HandFrame(false, 0x8000, Counting(16));
  ASSERT_TRUE(second.WriteReports(frame.data(), static_cast<int>(frame.size())));
  ASSERT_TRUE(second.ReadLine(reply, count));
  EXPECT_STREQ(reinterpret_cast<const char*>(reply), "A\r");
  ASSERT_TRUE(second.WriteReports(kEof16.data(), static_cast<int>(kEof16.size())));
  ASSERT_EQ(run.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(run.get(), FrontEnd::kFinished);
  EXPECT_EQ(device.Flash().Read(0x800F), 15);
}

TEST(HidSocketFrontTest, LeavesAFileThatIsNotASocketAlone) {
  CScratchDir dir;
  dir.Write("busy", "keep me");
  CIapDevice device(TestConfig(16, false), {});
  CHidSocketFront front(device, QuickOptions(), dir.File("busy"));
  std::string error;
  EXPECT_FALSE(front.Open(error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
