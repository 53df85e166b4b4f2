// What the simulator reads and writes: the updater's INI file, fault options, and
// the flash image as S-records.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/EmulatedFlash.h"
#include "sim/FaultPlan.h"
#include "sim/SimConfig.h"
#include "sim/SimTestSupport.h"

namespace {

const char* kTwoSections =
    "[DEVICELIST]\r\nDEVICECOUNT=2\r\n"
    "[DEVICE0]\r\nVID=0x1209\r\nPID=0x0002\r\nFLASHCMD=FWUPDATE#\r\nRAWDATASIZE=16\r\n"
    "COMMUNICATBDRATE=1200\r\nPROGRAMBDRATE=2400\r\nROMTAIL=0xFFFF\r\n"
    "[DEVICE1]\r\nVID=0x1111\r\nPID=0x2222\r\nFLASHCMD=OTHER#\r\n"
    "COMMUNICATBDRATE=9600\r\nPROGRAMBDRATE=9600\r\nRAWDATASIZE=0x120\r\n"
    "ROMHEAD=0x00F008\r\nROMTAIL=0x1011FFFF\r\nINTSTART=0x11F0F\r\nINTEND=0x11F8F\r\n"
    "IAPSTART=0x10800\r\nIAPEND=0x10C00\r\n";

TEST(SimConfigTest, IdsFromTheFirstSectionTheRestFromTheLast) {
  CScratchDir dir;
  dir.Write("InvConfigFile.ini", kTwoSections);
  SimConfig c;
  std::string error;
  ASSERT_TRUE(LoadSimConfig(dir.File("InvConfigFile.ini"), c, error)) << error;
  EXPECT_EQ(c.vendorId, 0x1209);
  EXPECT_EQ(c.productId, 0x0002);
  EXPECT_EQ(c.flashCmd, "FWUPDATE#");
  EXPECT_EQ(ExpectedProgrammingCommand(c), Text("FWUPDATE\r"));
  EXPECT_EQ(c.handshakeBaud, 9600u);
  EXPECT_EQ(c.programBaud, 9600u);
  EXPECT_EQ(c.recordSize, 32);  // low byte of 0x120
  EXPECT_TRUE(c.address24);     // ROMTAIL keeps 24 bits: 0x11FFFF
  EXPECT_EQ(c.romTail, 0x11FFFFu);
  EXPECT_EQ(c.romHead, 0x00F000u);
  EXPECT_EQ(c.intStart, 0x11F00u);
  EXPECT_EQ(c.intEnd, 0x11F80u);
  EXPECT_EQ(c.iapStart, 0x10800u);
  EXPECT_EQ(c.iapEnd, 0x10C00u);
  EXPECT_EQ(c.inputReportLength, 65);
  EXPECT_EQ(c.versionNumber, 2);
}

TEST(SimConfigTest, RefusesWhatTheDeviceCannotServe) {
  CScratchDir dir;
  SimConfig c;
  std::string error;
  EXPECT_FALSE(LoadSimConfig(dir.File("missing.ini"), c, error));
  dir.Write("none.ini", "[DEVICELIST]\nDEVICECOUNT=0\n");
  EXPECT_FALSE(LoadSimConfig(dir.File("none.ini"), c, error));
  const std::string base =
      "[DEVICELIST]\nDEVICECOUNT=1\n[DEVICE0]\nVID=1\nPID=2\nFLASHCMD=GO#\n"
      "COMMUNICATBDRATE=9600\nPROGRAMBDRATE=9600\nROMTAIL=0xFFFF\n";
  dir.Write("big.ini", base + "RAWDATASIZE=64\n");
  error.clear();
  EXPECT_FALSE(LoadSimConfig(dir.File("big.ini"), c, error));
  EXPECT_NE(error.find("64"), std::string::npos);
  dir.Write("ok.ini", base + "RAWDATASIZE=16\n");
  EXPECT_TRUE(LoadSimConfig(dir.File("ok.ini"), c, error)) << error;
  EXPECT_FALSE(c.address24);
}

TEST(FaultPlanTest, ParsesEveryFaultAndRejectsTheRest) {
  FaultPlan plan;
  std::string error;
  for (const char* f : {"silent-after=0", "hangup-after=12", "nak=3,4,5", "nak=9", "garbage=7",
                        "no-ready", "no-baud-ack"}) {
    EXPECT_TRUE(ParseFault(f, plan, error)) << f;
  }
  EXPECT_EQ(plan.silentAfter, 0);
  EXPECT_EQ(plan.hangupAfter, 12);
  EXPECT_EQ(plan.nak, (std::set<int>{3, 4, 5, 9}));
  EXPECT_EQ(plan.garbage, (std::set<int>{7}));
  EXPECT_TRUE(plan.noReady && plan.noBaudAck);
  for (const char* f : {"nak=", "nak=0", "nak=1,,2", "nak=-1", "silent-after", "silent-after=x",
                        "no-ready=1", "hangup=3", "garbage=2,"}) {
    FaultPlan other;
    EXPECT_FALSE(ParseFault(f, other, error)) << f;
    EXPECT_TRUE(other.Empty()) << f;
  }
}

// Decodes S-record text independently: address -> byte, verifying counts and
// checksums; records the data record types met.
std::map<std::uint32_t, std::uint8_t> DecodeSRecords(const std::string& text,
                                                     std::set<char>& types) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    EXPECT_GE(line.size(), 4u);
    EXPECT_EQ(line[0], 'S');
    std::vector<unsigned> b;
    for (std::size_t i = 2; i + 1 < line.size(); i += 2) {
      b.push_back(static_cast<unsigned>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    EXPECT_EQ(b[0] + 1, b.size()) << line;
    unsigned sum = 0;
    for (unsigned v : b) sum += v;
    EXPECT_EQ(sum & 0xff, 0xffu) << line;
    types.insert(line[1]);
    const int addressBytes = line[1] == '1' ? 2 : line[1] == '2' ? 3 : 0;
    if (addressBytes == 0) continue;
    std::uint32_t address = 0;
    for (int i = 0; i < addressBytes; ++i) address = address << 8 | b[1 + i];
    for (std::size_t i = 1 + addressBytes; i + 1 < b.size(); ++i) {
      bytes[address++] = static_cast<std::uint8_t>(b[i]);
    }
  }
  return bytes;
}

TEST(EmulatedFlashTest, ImageHoldsExactlyTheWrittenBytes) {
  for (const bool wide : {false, true}) {
    CEmulatedFlash flash;
    const std::uint32_t base = wide ? 0x00FFF8 : 0x8008;  // runs across a 16-byte boundary
    const Bytes first = Counting(20, 1);
    flash.Write(base, first.data(), first.size());
    const Bytes second = Counting(3, 0xA0);
    flash.Write(base + 40, second.data(), second.size());  // after a gap
    const Bytes again = {0x55};
    flash.Write(base, again.data(), again.size());  // the later write wins
    std::set<char> types;
    const std::string text = flash.ToSRecords(wide);
    const auto decoded = DecodeSRecords(text, types);
    EXPECT_EQ(decoded, flash.Bytes());
    EXPECT_EQ(decoded.size(), 23u);
    EXPECT_EQ(decoded.at(base), 0x55);
    EXPECT_EQ(types, (std::set<char>{'0', wide ? '2' : '1', wide ? '8' : '9'}));
    std::istringstream lines(text);
    std::string line;
    int dataLines = 0;
    while (std::getline(lines, line)) dataLines += line[1] == (wide ? '2' : '1');
    EXPECT_EQ(dataLines, 3);  // 8 + 12 bytes split at the boundary, then the 3 bytes
  }
}

}  // namespace
