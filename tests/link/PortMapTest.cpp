// Which device COMn opens on POSIX: IAP_COMn, else the user's port map
// ($XDG_CONFIG_HOME/iap-updater/ports.ini, or under $HOME/.config), else the
// on-board port. Real map files in a real directory, and a real pty opened through
// the map.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "link/SerialPort.h"
#include "link/os/SerialChannel.h"
#include "link/os/posix/PortMap.h"
#include "support/TestDir.h"

namespace {

// Sets or clears an environment variable for one test and restores it afterwards.
class CScopedEnv {
 public:
  CScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = getenv(name)) m_old = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~CScopedEnv() { m_old ? setenv(m_name, m_old->c_str(), 1) : unsetenv(m_name); }

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

class PortMapTest : public ::testing::Test {
 protected:
  // Writes the map under base (as XDG_CONFIG_HOME would name it).
  void WriteMap(const std::string& base, const std::string& text) {
    std::filesystem::create_directories(base + "/iap-updater");
    dir.Write(base.substr(dir.Path().size() + 1) + "/iap-updater/ports.ini", text);
  }

  CTestDir dir;
  CScopedEnv xdg{"XDG_CONFIG_HOME", nullptr};
  CScopedEnv home{"HOME", nullptr};
  CScopedEnv com1{"IAP_COM1", nullptr};
  CScopedEnv com2{"IAP_COM2", nullptr};
};

TEST_F(PortMapTest, EnvironmentBeatsTheMapWhichBeatsTheOnBoardPort) {
  setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
  WriteMap(dir.File("config"),
           "[PORTS]\nCOM1=/dev/serial/by-id/adapter-a\nCOM2=/dev/serial/by-id/adapter-b\n");
  setenv("IAP_COM1", "/dev/pts/77", 1);
  EXPECT_EQ(SerialDevicePath(1), "/dev/pts/77");
  EXPECT_EQ(SerialDevicePath(2), "/dev/serial/by-id/adapter-b");
  EXPECT_EQ(SerialDevicePath(3), "/dev/ttyS2");
  setenv("IAP_COM1", "", 1);  // set but empty: as if unset
  EXPECT_EQ(SerialDevicePath(1), "/dev/serial/by-id/adapter-a");
}

TEST_F(PortMapTest, MapLivesUnderXdgConfigHomeElseHomeDotConfig) {
  setenv("HOME", dir.File("home").c_str(), 1);
  WriteMap(dir.File("home/.config"), "[PORTS]\nCOM5=/dev/ttyUSB0\n");
  WriteMap(dir.File("xdg"), "[PORTS]\nCOM5=/dev/ttyACM0\n");

  EXPECT_EQ(PortMapPath(), dir.File("home/.config/iap-updater/ports.ini"));
  EXPECT_EQ(SerialDevicePath(5), "/dev/ttyUSB0");
  setenv("XDG_CONFIG_HOME", "", 1);  // empty counts as unset
  EXPECT_EQ(SerialDevicePath(5), "/dev/ttyUSB0");
  setenv("XDG_CONFIG_HOME", dir.File("xdg").c_str(), 1);
  EXPECT_EQ(SerialDevicePath(5), "/dev/ttyACM0");

  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_EQ(PortMapPath(), "");
  EXPECT_EQ(SerialDevicePath(5), "/dev/ttyS4");
}

TEST_F(PortMapTest, MapIsReadAsAnIniFileAndGapsFallThrough) {
  setenv("XDG_CONFIG_HOME", dir.File("cfg").c_str(), 1);
  EXPECT_EQ(MappedSerialDevice(1), std::nullopt) << "no file";
  WriteMap(dir.File("cfg"),
           "; pasted from iapflash --list\r\n"
           "[other]\r\nCOM1=/dev/wrong\r\n"
           "[ ports ]\r\n"
           "  com1 = \"/dev/serial/by-id/usb-Vendor_Adapter_A1-if00-port0\"  \r\n"
           "COM2=\r\n"
           "COM1=/dev/second-of-repeated-keys\r\n");
  EXPECT_EQ(SerialDevicePath(1), "/dev/serial/by-id/usb-Vendor_Adapter_A1-if00-port0");
  EXPECT_EQ(SerialDevicePath(2), "/dev/ttyS1") << "an empty value maps nothing";
  EXPECT_EQ(SerialDevicePath(9), "/dev/ttyS8") << "a key the map lacks";
}

TEST_F(PortMapTest, PortOpenedThroughTheMapReachesTheDevice) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  setenv("XDG_CONFIG_HOME", dir.File("cfg").c_str(), 1);
  WriteMap(dir.File("cfg"), std::string("[PORTS]\nCOM4=") + ttyname(slave) + "\n");
  close(slave);  // the link opens the slave by the mapped name

  CSerialPort port;
  ASSERT_TRUE(port.Open(4, 9600));
  const std::uint8_t bytes[] = {'I', 'A', 'P', '\r'};
  EXPECT_EQ(port.Write(bytes, 4), 4);
  std::string got;
  pollfd p{master, POLLIN, 0};
  while (got.size() < 4 && poll(&p, 1, 2000) > 0) {
    char buffer[16];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, "IAP\r");
  port.Close();
  close(master);
}

}  // namespace
