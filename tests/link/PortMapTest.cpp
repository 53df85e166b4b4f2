// Which device COMn opens on POSIX: IAP_COMn, else the user's port map
// ($XDG_CONFIG_HOME/iap-updater/ports.ini, or under $HOME/.config), else the
// on-board port. Real map files in a real directory.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/os/SerialChannel.h"
#include "link/os/posix/PortMap.h"
#include "support/TestDir.h"

namespace {

class PortMapTest : public ::testing::Test {
 protected:
  // The variables the tests change, cleared now and restored afterwards.
  PortMapTest() {
    for (const char* name : kVariables) {
      const char* value = getenv(name);
      saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
  }
  ~PortMapTest() override {
    for (size_t i = 0; i < std::size(kVariables); ++i) {
      saved[i] ? setenv(kVariables[i], saved[i]->c_str(), 1) : unsetenv(kVariables[i]);
    }
  }
  // Writes the map as it lies under base (a config directory inside dir).
  void WriteMap(const std::string& base, const std::string& text) {
    std::filesystem::create_directories(dir.File(base + "/iap-updater"));
    dir.Write(base + "/iap-updater/ports.ini", text);
  }

  static constexpr const char* kVariables[] = {"XDG_CONFIG_HOME", "HOME",     "IAP_COM1",
                                               "IAP_COM2",        "IAP_COM3", "IAP_COM5"};
  std::vector<std::optional<std::string>> saved;
  CTestDir dir;
};

TEST_F(PortMapTest, EnvironmentThenMapThenOnBoardPort) {
  setenv("HOME", dir.File("home").c_str(), 1);
  WriteMap("home/.config", "[PORTS]\nCOM1=/dev/ttyUSB0\nCOM5=/dev/ttyUSB1\n");
  WriteMap("xdg", "[PORTS]\nCOM5=/dev/ttyACM0\n");

  setenv("IAP_COM1", "/dev/pts/7", 1);
  EXPECT_EQ(SerialDevicePath(1), "/dev/pts/7");
  setenv("IAP_COM1", "", 1);  // set but empty: as if unset
  EXPECT_EQ(SerialDevicePath(1), "/dev/ttyUSB0") << "the map under $HOME/.config";
  EXPECT_EQ(SerialDevicePath(2), "/dev/ttyS1") << "a port the map lacks";

  setenv("XDG_CONFIG_HOME", dir.File("xdg").c_str(), 1);
  EXPECT_EQ(SerialDevicePath(5), "/dev/ttyACM0");
  EXPECT_EQ(SerialDevicePath(1), "/dev/ttyS0") << "only one map is read";

  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_EQ(PortMapPath(), "");
  EXPECT_EQ(SerialDevicePath(5), "/dev/ttyS4");
}

TEST_F(PortMapTest, MapIsReadAsAnIniFile) {
  setenv("XDG_CONFIG_HOME", dir.File("cfg").c_str(), 1);
  EXPECT_EQ(SerialDevicePath(1), "/dev/ttyS0") << "no file";
  WriteMap("cfg",
           "; pasted from iapflash --list\r\n"
           "[other]\r\nCOM1=/dev/wrong\r\n"
           "[ ports ]\r\n"
           "  com1 = \"/dev/serial/by-id/usb-Vendor_Adapter_A1-if00-port0\"  \r\n"
           "COM2=\r\n"
           "COM1=/dev/second-of-repeated-keys\r\n");
  EXPECT_EQ(SerialDevicePath(1), "/dev/serial/by-id/usb-Vendor_Adapter_A1-if00-port0");
  EXPECT_EQ(PortMapProblem(1), "");
}

// Ports are added to the map by pasting the block iapflash --list prints onto its
// end, [PORTS] line and all: every such section counts, in whatever case it was
// typed, and a port the map named earlier keeps its device.
TEST_F(PortMapTest, EverySectionOfPortsIsReadWhateverItsCase) {
  setenv("XDG_CONFIG_HOME", dir.File("cfg").c_str(), 1);
  EXPECT_TRUE(PortMapEntries(9).empty()) << "no file";
  WriteMap("cfg",
           "[ports]\nCOM1=/dev/ttyUSB0\n"
           "[Other]\nCOM2=/dev/wrong\n"
           "[Ports]\nCOM2=/dev/ttyUSB1\nCOM1=/dev/pasted-again\n"
           "[PORTS]\nCOM3=\nCOM12=/dev/ttyACM0\n");
  EXPECT_EQ(SerialDevicePath(1), "/dev/ttyUSB0") << "the first of repeated keys";
  EXPECT_EQ(SerialDevicePath(2), "/dev/ttyUSB1") << "from the second section";
  EXPECT_EQ(SerialDevicePath(3), "") << "an empty value in the third";
  EXPECT_EQ(SerialDevicePath(12), "/dev/ttyACM0");
  EXPECT_NE(PortMapProblem(3).find("gives COM3 no device"), std::string::npos);
  const std::map<int, std::string> expected = {
      {1, "/dev/ttyUSB0"}, {2, "/dev/ttyUSB1"}, {3, ""}, {12, "/dev/ttyACM0"}};
  EXPECT_EQ(PortMapEntries(99), expected);
  EXPECT_EQ(PortMapEntries(9).count(12), 0u) << "only up to the highest port asked for";

  WriteMap("cfg", std::string("[PORTS]\nCOM1=/dev/ttyUSB0\n\0", 27));
  EXPECT_TRUE(PortMapEntries(9).empty()) << "a map that is turned away names nothing";
}

// A map that is at fault for a port makes it open nothing: the on-board port it
// would fall back to may be another device altogether.
TEST_F(PortMapTest, AnEmptyValueOrAMapThatIsNoTextOpensNothing) {
  setenv("XDG_CONFIG_HOME", dir.File("cfg").c_str(), 1);
  const std::string map = dir.File("cfg/iap-updater/ports.ini");
  WriteMap("cfg", "[PORTS]\nCOM1=/dev/ttyUSB0\nCOM2=\nCOM5=\"\"\n");
  EXPECT_EQ(SerialDevicePath(2), "");
  EXPECT_EQ(SerialDevicePath(5), "") << "quotes around nothing";
  EXPECT_EQ(PortMapProblem(2), "the port map " + map + " gives COM2 no device (an empty COM2=)");
  EXPECT_EQ(SerialDevicePath(3), "/dev/ttyS2") << "a port the map says nothing about";
  EXPECT_EQ(PortMapProblem(3), "");
  setenv("IAP_COM2", "/dev/pts/7", 1);
  EXPECT_EQ(SerialDevicePath(2), "/dev/pts/7") << "the environment comes first";

  WriteMap("cfg", std::string("[PORTS]\nCOM1=/dev/ttyUSB0\n\0", 27));
  EXPECT_EQ(SerialDevicePath(1), "");
  EXPECT_EQ(PortMapProblem(1),
            "the port map " + map + " is turned away: it is not text: it holds NUL bytes");
}

}  // namespace
