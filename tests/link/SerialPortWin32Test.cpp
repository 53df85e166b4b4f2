// The Win32 serial channel under wine. wine_null_modem.py points COM7 and COM8 at
// two ptys whose masters it joins like a null-modem cable: the suite opens COM7 as
// the link and plays the device on COM8. The link's timing logic is covered by
// the pty suite; this one proves the Win32 calls underneath.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "link/HidDevice.h"
#include "link/SerialPort.h"
#include "support/FakeClock.h"

namespace {

constexpr int kLink = 7;
constexpr int kDevice = 8;

class SerialWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("IAP_NULL_MODEM"), nullptr)
        << "run through wine_null_modem.py, which provides COM7 and COM8";
    ASSERT_TRUE(device.Open(kDevice, 9600));
  }
  void DeviceSends(const std::string& bytes) {
    const int n = static_cast<int>(bytes.size());
    ASSERT_EQ(device.Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), n), n);
    Sleep(300);  // the relay between the ptys takes a moment
  }
  // What one end received, collected until nothing more arrives for 300 ms.
  static std::string Drain(CSerialPort& end) {
    std::string got;
    for (int quiet = 0; quiet < 60;) {
      std::uint8_t chunk[256];
      const int n = end.ReadAvailable(chunk, sizeof chunk);
      if (n > 0) {
        got.append(reinterpret_cast<char*>(chunk), static_cast<std::size_t>(n));
        quiet = 0;
      } else {
        Sleep(5);
        ++quiet;
      }
    }
    return got;
  }

  CFakeClock slow{1};  // a millisecond per look: limits of seconds are not reached
  CSerialPort port{MakePlatformSerialChannel(), slow};
  CSerialPort device{MakePlatformSerialChannel(), SystemClock()};
};

// (Windows' serial driver also turns away a second opener; wine does not do so
// for a tty, so that is not checked here.)
TEST_F(SerialWin32, EveryByteValueGoesThroughBothWaysAndReopenWorks) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(all.data());
  EXPECT_EQ(port.Write(bytes, 256), 0);  // not open
  ASSERT_TRUE(port.Open(kLink, 1200));
  EXPECT_TRUE(port.Open(kLink, 9600));
  port.Close();
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  ASSERT_TRUE(port.Open(kLink, 9600));
  EXPECT_EQ(port.Write(bytes, 0), 0);
  EXPECT_EQ(port.Write(bytes, 256), 256);
  EXPECT_EQ(Drain(device), all);
  DeviceSends(all);
  EXPECT_EQ(Drain(port), all);

  CSerialPort missing(MakePlatformSerialChannel(), slow);
  EXPECT_FALSE(missing.Open(6, 9600));  // COM6 leads nowhere
}

TEST_F(SerialWin32, ReadsTakeWhatWasAskedAndAReopenDropsWhatWasLeft) {
  ASSERT_TRUE(port.Open(kLink, 1200));
  std::uint8_t reply[32] = {};
  DeviceSends("abc");
  EXPECT_EQ(port.ReadAvailable(reply, 1), 1);
  EXPECT_EQ(reply[0], 'a');
  EXPECT_EQ(Drain(port), "bc");

  std::fill(std::begin(reply), std::end(reply), 0);
  DeviceSends("#FH\r");
  EXPECT_TRUE(port.ReadUntilH(reply, 30, 2));
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "#FH");
  // The CR is still queued; reopened at the programming rate, the link drops it.
  port.Close();
  ASSERT_TRUE(port.Open(kLink, 9600));
  EXPECT_EQ(Drain(port), "");

  CFakeClock fast(1000);  // a second per look
  port.SetClock(fast);
  DeviceSends("X");
  EXPECT_FALSE(port.ReadExact(reply, 2, 8));
  EXPECT_EQ(reply[0], 'X');
  EXPECT_GE(fast.ms, 8000);
}

TEST_F(SerialWin32, ARealTimeReadWaitsForBytesStillOnTheirWay) {
  CSerialPort realTime;  // the platform channel and the system clock
  ASSERT_TRUE(realTime.Open(kLink, 9600));
  std::thread sender([this] {
    Sleep(200);
    DeviceSends("A");
    DeviceSends("\r");
  });
  std::uint8_t reply[4] = {};
  EXPECT_TRUE(realTime.ReadExact(reply, 2, 5));
  sender.join();
  EXPECT_EQ(reply[0], 'A');
  EXPECT_EQ(reply[1], '\r');
}

// The Win32 HID backend walks SetupAPI's list of HID interfaces; under wine there
// is none with these ids, and the walk must end cleanly with "not found".
TEST(HidWin32, OpenWithoutADeviceFindsNothing) {
  CHidDevice hid;
  EXPECT_FALSE(hid.Open(0x0483, 0x5750));
  EXPECT_FALSE(hid.IsOpen());
  std::uint8_t reply[CHidDevice::kReplyArea] = {};
  std::uint32_t count = 0;
  EXPECT_FALSE(hid.ReadLine(reply, count));
  const std::uint8_t frame[] = {3, 'B', 1};
  EXPECT_FALSE(hid.WriteReports(frame, 3));
}

}  // namespace
