// The INI reader: the lookup rules a technician's hand-edited file relies on.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/ProfileIni.h"
#include "support/TestDir.h"

namespace {

TEST(ProfileIniParseInt, DecimalHexSignAndJunk) {
  EXPECT_EQ(CProfileIni::ParseInt("9600"), 9600u);
  EXPECT_EQ(CProfileIni::ParseInt("0x8000"), 0x8000u);
  EXPECT_EQ(CProfileIni::ParseInt("0XffF0"), 0xfff0u);
  EXPECT_EQ(CProfileIni::ParseInt("512 bytes"), 512u);
  EXPECT_EQ(CProfileIni::ParseInt("0x1FZ"), 0x1fu);
  EXPECT_EQ(CProfileIni::ParseInt(""), 0u);
  EXPECT_EQ(CProfileIni::ParseInt("abc"), 0u);
  EXPECT_EQ(CProfileIni::ParseInt("0x"), 0u);  // "0" then junk
  EXPECT_EQ(CProfileIni::ParseInt("-512"), 0xFFFFFE00u);
  EXPECT_EQ(CProfileIni::ParseInt("+7"), 7u);
  EXPECT_EQ(CProfileIni::ParseInt("99999999999"), 0xFFFFFFFFu);
  EXPECT_EQ(CProfileIni::ParseInt("0x123456789"), 0xFFFFFFFFu);
}

TEST(ProfileIniLookup, CaseBlanksFirstWinsAndDefaults) {
  CTestDir dir;
  dir.Write("a.ini",
            "; a comment line\r\n"
            "[DeviceList]\r\n"
            "  DeviceCount =  2  \r\n"
            "DEVICECOUNT=5\r\n"
            "[DEVICE0]\n"
            "flashcmd = IAP# \n"
            "EMPTY=\n"
            "QUOTED=\"A B\"\n"
            "[devicelist]\r"
            "DEVICECOUNT=7\r");
  const CProfileIni ini(dir.File("a.ini"));
  ASSERT_TRUE(ini.FileExists());
  EXPECT_EQ(ini.GetInt("DEVICELIST", "devicecount", 0xffff), 2u);  // first of repeated keys
  EXPECT_EQ(ini.GetInt("device0", "EMPTY", 0xffff), 0u);           // present but empty
  EXPECT_EQ(ini.GetInt("DEVICE0", "MISSING", 0xffff), 0xffffu);
  EXPECT_EQ(ini.GetInt("DEVICE9", "VID", 0xffff), 0xffffu);

  char text[16];
  EXPECT_EQ(ini.GetString("Device0", "FLASHCMD", "", text, sizeof text), 4u);
  EXPECT_STREQ(text, "IAP#");
  ini.GetString("DEVICE0", "QUOTED", "", text, sizeof text);
  EXPECT_STREQ(text, "A B");
  ini.GetString("DEVICE0", "NOKEY", "dflt", text, sizeof text);
  EXPECT_STREQ(text, "dflt");
}

TEST(ProfileIniLookup, TextIsCutToRoomMinusOne) {
  CTestDir dir;
  dir.Write("b.ini", "[D]\nFLASHCMD=0123456789ABCDEFGHIJ#\nP=12345678\n");
  const CProfileIni ini(dir.File("b.ini"));
  char flash[16];
  std::memset(flash, 'x', sizeof flash);
  EXPECT_EQ(ini.GetString("D", "FLASHCMD", "", flash, sizeof flash), 15u);
  EXPECT_STREQ(flash, "0123456789ABCDE");
  char guard[9] = {0, 0, 0, 0, 0, 0, 0, 0, 'G'};
  ini.GetString("D", "P", "", guard, 8);
  EXPECT_STREQ(guard, "1234567");
  EXPECT_EQ(guard[8], 'G');  // nothing written past the room
}

TEST(ProfileIniLookup, MissingFileGivesDefaults) {
  CTestDir dir;
  const CProfileIni ini(dir.File("none.ini"));
  EXPECT_FALSE(ini.FileExists());
  EXPECT_TRUE(ini.Refusal().empty());
  EXPECT_EQ(ini.GetInt("DEVICELIST", "DEVICECOUNT", 0xffff), 0xffffu);
}

// A file that is no INI text is turned away whole, in bounded memory: it is there,
// but gives only defaults, and says why.
TEST(ProfileIniRefusal, FilesThatAreNoTextAreTurnedAway) {
  CTestDir dir;
  const std::string head = "[DEVICELIST]\nDEVICECOUNT=1\n";
  const std::size_t limit = CProfileIni::kMaxFileBytes;
  dir.Write("limit.ini", head + std::string(limit - head.size(), ';'));
  dir.Write("large.ini", head + std::string(limit - head.size() + 1, ';'));
  dir.Write("binary.ini", head + std::string(1, '\0') + "\n");
  std::filesystem::create_directory(dir.File("directory.ini"));
  std::vector<std::pair<std::string, std::string>> cases = {
      {dir.File("limit.ini"), ""},
      {dir.File("large.ini"), "it is larger than 1 MiB"},
      {dir.File("binary.ini"), "it is not text: it holds NUL bytes"},
      {dir.File("directory.ini"), "it is not a regular file"}};
#ifndef _WIN32
  cases.emplace_back("/dev/zero", "it is not a regular file");  // endless
#endif
  for (const auto& [path, refusal] : cases) {
    const CProfileIni ini(path);
    EXPECT_TRUE(ini.FileExists()) << path;
    EXPECT_EQ(ini.Refusal(), refusal) << path;
    EXPECT_EQ(ini.GetInt("DEVICELIST", "DEVICECOUNT", 0xffff), refusal.empty() ? 1u : 0xffffu)
        << path;
  }
}

}  // namespace
