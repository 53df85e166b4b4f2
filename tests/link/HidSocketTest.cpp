// CHidDevice over the socket HID channel, end to end: a small peer in the test
// listens on a Unix-domain socket, says hello as a device would, and answers the
// output reports it receives.

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "link/HidDevice.h"
#include "link/os/socket/HidSocketProtocol.h"
#include "support/FakeClock.h"

namespace {

constexpr std::uint16_t kVid = 0x0483;
constexpr std::uint16_t kPid = 0x5750;

std::vector<std::uint8_t> Message(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> m(hidsock::kHeaderSize + payload.size());
  m[0] = static_cast<std::uint8_t>(payload.size() & 0xFF);
  m[1] = static_cast<std::uint8_t>(payload.size() >> 8);
  m[2] = type;
  std::copy(payload.begin(), payload.end(), m.begin() + hidsock::kHeaderSize);
  return m;
}

std::vector<std::uint8_t> Hello(std::uint16_t vid, std::uint16_t pid, std::uint16_t version,
                                std::uint16_t in = 65, std::uint16_t out = 65) {
  std::vector<std::uint8_t> p;
  for (std::uint16_t v : {vid, pid, version, in, out}) {
    p.push_back(static_cast<std::uint8_t>(v & 0xFF));
    p.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return Message(hidsock::kHello, p);
}

// A hello message with bytes after the fixed part: a serial number, as sent.
std::vector<std::uint8_t> WithSerial(std::vector<std::uint8_t> hello, const std::string& serial) {
  hello.insert(hello.end(), serial.begin(), serial.end());
  const std::size_t size = hello.size() - hidsock::kHeaderSize;
  hello[0] = static_cast<std::uint8_t>(size & 0xFF);
  hello[1] = static_cast<std::uint8_t>(size >> 8);
  return hello;
}

std::vector<std::uint8_t> InputReport(const std::string& text, std::size_t length = 65) {
  std::vector<std::uint8_t> report(length, 0);
  std::memcpy(report.data() + 1, text.data(), std::min(text.size(), length - 1));
  return Message(hidsock::kInputReport, report);
}

// The device end of the socket.
class SocketPeer {
 public:
  explicit SocketPeer(const std::string& path) {
    m_listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(m_listener, 4), 0);
  }
  ~SocketPeer() {
    if (m_connection >= 0) close(m_connection);
    close(m_listener);
  }
  // Takes the next connection (the link's Open) and, unless told otherwise, says hello.
  bool Accept(int waitMs = 2000) {
    pollfd p{m_listener, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    if (m_connection >= 0) close(m_connection);
    m_connection = accept(m_listener, nullptr, nullptr);
    return m_connection >= 0;
  }
  void Send(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(send(m_connection, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next whole message from the link; type 0 when the link closed or went quiet.
  std::pair<std::uint8_t, std::vector<std::uint8_t>> Receive(int waitMs = 2000) {
    std::uint8_t header[3];
    if (!ReadFully(header, 3, waitMs)) return {0, {}};
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(header[0] | (header[1] << 8)));
    if (!ReadFully(payload.data(), payload.size(), waitMs)) return {0, {}};
    return {header[2], payload};
  }
  // True when the link has closed its end.
  bool SeesEndOfStream(int waitMs = 2000) {
    pollfd p{m_connection, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    char byte;
    return recv(m_connection, &byte, 1, 0) == 0;
  }
  void HangUp() {
    close(m_connection);
    m_connection = -1;
  }

 private:
  bool ReadFully(std::uint8_t* to, std::size_t n, int waitMs) {
    std::size_t got = 0;
    while (got < n) {
      pollfd p{m_connection, POLLIN, 0};
      if (poll(&p, 1, waitMs) <= 0) return false;
      const ssize_t r = recv(m_connection, to + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }
  int m_listener = -1;
  int m_connection = -1;
};

class HidSocket : public ::testing::Test {
 protected:
  HidSocket() {
    char name[] = "/tmp/iap-hidsock-XXXXXX";
    m_dir = mkdtemp(name);
    path = m_dir + "/device.sock";
    setenv(hidsock::kEnvVar, path.c_str(), 1);
    peer = std::make_unique<SocketPeer>(path);
    hid = std::make_unique<CHidDevice>(MakePlatformHidBackend(), clock);
    hid->SetLog([this](const std::string& line) { log.push_back(line); });
  }
  ~HidSocket() override {
    hid.reset();
    peer.reset();
    unsetenv(hidsock::kEnvVar);
    std::filesystem::remove_all(m_dir);
  }
  // Opens the link while the peer accepts and greets it.
  bool OpenWith(const std::vector<std::uint8_t>& hello, std::uint32_t vid = kVid,
                std::uint32_t pid = kPid) {
    std::thread device([&] {
      if (peer->Accept()) peer->Send(hello);
    });
    const bool opened = hid->Open(vid, pid);
    device.join();
    return opened;
  }

  std::string path;
  CFakeClock clock;
  std::unique_ptr<SocketPeer> peer;
  std::unique_ptr<CHidDevice> hid;
  std::vector<std::string> log;
  std::uint8_t reply[CHidDevice::kReplyArea] = {};
  std::uint32_t count = 0;

 private:
  std::string m_dir;
};

TEST_F(HidSocket, AHandshakeRunsOverTheSocketWithWholeReports) {
  ASSERT_TRUE(OpenWith(Hello(kVid, kPid, 0x0200)));
  const std::uint8_t command[] = {'#', 'F', 'L', 'A', 'S', 'H', '\r'};
  ASSERT_TRUE(hid->WriteReports(command, 7));
  auto [type, report] = peer->Receive();
  EXPECT_EQ(type, hidsock::kOutputReport);
  ASSERT_EQ(report.size(), 65u);
  EXPECT_EQ(report[0], 0);
  EXPECT_EQ(std::string(report.begin() + 1, report.begin() + 8), "#FLASH\r");
  EXPECT_EQ(report[8], 0);

  peer->Send(InputReport("#FH\r"));
  ASSERT_TRUE(hid->ReadLine(reply, count));
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "#FH\r");
  EXPECT_EQ(count, 65u);
  EXPECT_EQ(log, (std::vector<std::string>{"65"}));
}

TEST_F(HidSocket, AReportArrivingInPiecesAndRepliesSplitAcrossReportsAreJoined) {
  ASSERT_TRUE(OpenWith(Hello(kVid, kPid, 0x0200, 9, 9)));
  auto first = InputReport("A", 9);
  auto second = InputReport("\r", 9);
  std::thread device([&] {
    for (std::uint8_t byte : first) {
      peer->Send({byte});
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    peer->Send(second);
  });
  const bool got = hid->ReadLine(reply, count);
  device.join();
  ASSERT_TRUE(got);
  // All eight payload bytes of the first report, its zeros included, then the CR.
  EXPECT_EQ(reply[0], 'A');
  EXPECT_EQ(reply[7], 0);
  EXPECT_EQ(reply[8], '\r');
  EXPECT_EQ(reply[9], 0);
  EXPECT_EQ(log, (std::vector<std::string>{"9", "9"}));
}

TEST_F(HidSocket, OpenMatchesTheHelloLikeABusDevice) {
  EXPECT_FALSE(OpenWith(Hello(kVid, kPid, 0x0001)));
  EXPECT_TRUE(peer->SeesEndOfStream());  // the probe was let go
  EXPECT_FALSE(OpenWith(Hello(kVid, kPid + 1, 0x0200)));
  EXPECT_FALSE(OpenWith(Hello(kVid, kPid, 0x0200, 66, 65)));
  EXPECT_FALSE(OpenWith(Hello(kVid, kPid, 0x0200), 0x10000u + kVid, kPid));
  EXPECT_FALSE(OpenWith(Message(hidsock::kInputReport, {1, 2})));  // no hello
  // Every Open is a new connection; Close ends it.
  ASSERT_TRUE(OpenWith(Hello(kVid, kPid, 0x0200)));
  ASSERT_TRUE(OpenWith(Hello(kVid, kPid, 0x0200)));
  hid->Close();
  EXPECT_TRUE(peer->SeesEndOfStream());
  EXPECT_TRUE(hid->IsOpen());
  // Nobody listening: no device.
  peer.reset();
  EXPECT_FALSE(hid->Open(kVid, kPid));
  EXPECT_FALSE(hid->IsOpen());
}

// The probe as --list and the link take it: the fixed ten bytes, then the serial
// number string, whatever its length; a hello cut short is no device.
TEST_F(HidSocket, TheHelloGivesTheIdsAndTheSerialNumberAfterThem) {
  std::vector<std::uint8_t> cut = Hello(kVid, kPid, 0x0200);
  cut.pop_back();
  cut[0] = static_cast<std::uint8_t>(hidsock::kHelloSize - 1);
  const struct {
    const char* what;
    std::vector<std::uint8_t> hello;
    bool present;
    std::string serial;
  } cases[] = {
      {"a serial number", WithSerial(Hello(kVid, kPid, 0x0200, 9, 17), "SN-0042"), true, "SN-0042"},
      {"exactly ten bytes: none", Hello(kVid, kPid, 0x0200, 9, 17), true, ""},
      {"nine bytes", cut, false, ""},
  };
  const std::unique_ptr<IHidBackend> backend = MakePlatformHidBackend();
  ASSERT_EQ(backend->Enumerate(), std::vector<std::string>{path});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::thread device([&] {
      if (peer->Accept()) peer->Send(c.hello);
    });
    const std::unique_ptr<IHidProbe> probe = backend->OpenProbe(path);
    device.join();
    ASSERT_EQ(probe != nullptr, c.present);
    if (!probe) continue;
    HidAttributes attributes;
    attributes.serial = "left over";
    ASSERT_TRUE(probe->GetAttributes(attributes));
    ASSERT_TRUE(probe->GetReportLengths(attributes));
    EXPECT_EQ(attributes.versionNumber, 0x0200);
    EXPECT_EQ(attributes.outputReportLength, 17);  // the serial number moved nothing
    EXPECT_EQ(attributes.serial, c.serial);
  }
}

// A station's units: IAP_HID_SOCKET names several sockets, separated by ':' as in
// PATH; each is a device of its own, found in the order named.
TEST_F(HidSocket, SeveralSocketsAreSeveralDevicesInTheOrderNamed) {
  const std::string second = path + ".2";
  SocketPeer other(second);
  setenv(hidsock::kEnvVar, (":" + second + "::" + path + ":").c_str(), 1);
  const std::unique_ptr<IHidBackend> backend = MakePlatformHidBackend();
  ASSERT_EQ(backend->Enumerate(), (std::vector<std::string>{second, path}));
  std::thread devices([&] {
    if (other.Accept()) other.Send(WithSerial(Hello(kVid, kPid, 0x0200), "UNIT-B"));
    if (peer->Accept()) peer->Send(WithSerial(Hello(kVid, kPid, 0x0200), "UNIT-A"));
  });
  std::vector<std::string> serials;
  std::vector<std::unique_ptr<IHidProbe>> probes;  // both held at once
  for (const std::string& at : backend->Enumerate()) {
    probes.push_back(backend->OpenProbe(at));
    HidAttributes attributes;
    if (probes.back() && probes.back()->GetAttributes(attributes)) {
      serials.push_back(attributes.serial);
    }
  }
  devices.join();
  EXPECT_EQ(serials, (std::vector<std::string>{"UNIT-B", "UNIT-A"}));
}

TEST_F(HidSocket, ASilentPeerTimesTheReadOutAndThePlatformCodeIsLogged) {
  ASSERT_TRUE(OpenWith(Hello(kVid, kPid, 0x0200)));
  EXPECT_FALSE(hid->ReadLine(reply, count));
  EXPECT_EQ(log, (std::vector<std::string>{std::to_string(ETIMEDOUT)}));
  // Reading has ended; writing goes on.
  const std::uint8_t frame[] = {3, 'B', 1};
  EXPECT_TRUE(hid->WriteReports(frame, 3));
  EXPECT_EQ(peer->Receive().first, hidsock::kOutputReport);
}

TEST_F(HidSocket, APeerThatHangsUpOrBreaksTheProtocolFailsTheReadAtOnce) {
  ASSERT_TRUE(OpenWith(Hello(kVid, kPid, 0x0200)));
  peer->Send(Message('Z', {1, 2, 3}));
  EXPECT_FALSE(hid->ReadLine(reply, count));
  EXPECT_TRUE(log.empty());

  ASSERT_TRUE(OpenWith(Hello(kVid, kPid, 0x0200)));
  peer->HangUp();
  EXPECT_FALSE(hid->ReadLine(reply, count));
  EXPECT_TRUE(log.empty());
  const std::uint8_t frame[] = {3, 'B', 1};
  EXPECT_FALSE(hid->WriteReports(frame, 3));
}

TEST_F(HidSocket, AnAbortEndsAWaitingReadWithinASlice) {
  CHidDevice realTime(MakePlatformHidBackend(), SystemClock());
  std::thread device([&] {
    if (peer->Accept()) peer->Send(Hello(kVid, kPid, 0x0200));
  });
  ASSERT_TRUE(realTime.Open(kVid, kPid));
  device.join();
  std::atomic<bool> abort{false};
  realTime.SetAbort(&abort);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    abort = true;
  });
  std::vector<std::string> lines;
  realTime.SetLog([&](const std::string& line) { lines.push_back(line); });
  EXPECT_FALSE(realTime.ReadLine(reply, count));
  closer.join();
  EXPECT_TRUE(lines.empty());  // an abort is not a time-out
}

}  // namespace
