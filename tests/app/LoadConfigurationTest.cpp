// Reading and checking the configuration file: what the technician sees for each
// kind of fault, and which values end up in force.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ConfigFixture.h"

namespace {

std::vector<std::string> Events(const CScriptedWindowSystem& ws) { return ws.events; }

TEST(LoadConfiguration, MissingFileIsReportedAndDisablesTheStart) {
  DialogUnderTest t;
  t.Start("");
  EXPECT_EQ(Events(t.ws),
            (std::vector<std::string>{"box:solvane:IAP Config File is not exist:information",
                                      "log:A config file is needed for IAP progress"}));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_FILE));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_INTERFACE));
  EXPECT_EQ(ActiveProfile.ROMHEAD, 0u);
  EXPECT_EQ(ActiveProfile.recordSize, 0u);
}

TEST(LoadConfiguration, CastrelReadsItsOwnFile) {
  DialogUnderTest t;
  t.dir.Write("MpptConfigFile.ini", "[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0));
  t.Start("", CastrelStrings());
  ASSERT_EQ(t.ws.boxes.size(), 1u);
  EXPECT_EQ(t.ws.boxes[0].caption, "castrel");
  EXPECT_EQ(t.ws.boxes[0].text, "IAP Config File is not exist");

  DialogUnderTest u;
  u.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0), CastrelStrings());
  EXPECT_TRUE(u.ws.events.empty());
  EXPECT_TRUE(u.ws.IsEnabled(IDC_FILE));
}

TEST(LoadConfiguration, DeviceCountZeroOrMissingOr65535) {
  DialogUnderTest zero;
  zero.Start("[DEVICELIST]\nDEVICECOUNT=0\n" + GoodSection(0));
  EXPECT_TRUE(zero.ws.events.empty());
  EXPECT_TRUE(zero.ws.IsEnabled(IDC_FILE));
  EXPECT_TRUE(zero.ws.IsEnabled(IDC_INTERFACE));
  EXPECT_EQ(ActiveProfile.recordSize, 0u);
  EXPECT_EQ(ActiveProfile.ROMTAIL, 0u);

  DialogUnderTest noKey;
  noKey.Start("[DEVICELIST]\n" + GoodSection(0));
  EXPECT_EQ(noKey.ws.boxes.at(0).text, "IAP Config File is not exist");

  DialogUnderTest big;
  big.Start("[DEVICELIST]\nDEVICECOUNT=65535\n" + GoodSection(0));
  EXPECT_EQ(big.ws.boxes.at(0).text, "IAP Config File is not exist");
  EXPECT_FALSE(big.ws.IsEnabled(IDC_FILE));
}

TEST(LoadConfiguration, MissingKeysBecome0xffffMaskedAndPass) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=1\n[DEVICE0]\nCOMMUNICATBDRATE=2400\nPROGRAMBDRATE=2400\n");
  EXPECT_TRUE(t.ws.events.empty());
  EXPECT_EQ(ActiveProfile.recordSize, 0xffu);
  EXPECT_EQ(ActiveProfile.ROMHEAD, 0xfff0u);
  EXPECT_EQ(ActiveProfile.ROMTAIL, 0xffffu);
  EXPECT_EQ(ActiveProfile.IAPSTART, 0xfff0u);
  EXPECT_EQ(ActiveProfile.PAGESIZE, 0xffffu);
  EXPECT_EQ(t.dlg->Profiles()[0].VID, 0xffffu);
  EXPECT_STREQ(t.dlg->Profiles()[0].FLASHCMD, "");
  EXPECT_TRUE(t.ws.IsEnabled(IDC_FILE));
}

TEST(LoadConfiguration, RecordSizeIsTheLowByte) {
  DialogUnderTest t288;
  t288.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, "RAWDATASIZE=288\n"));
  EXPECT_TRUE(t288.ws.events.empty());
  EXPECT_EQ(ActiveProfile.recordSize, 32u);
  EXPECT_EQ(t288.dlg->Profiles()[0].RAWDATASIZE, 288u);

  DialogUnderTest t256;
  t256.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, "RAWDATASIZE=256\n"));
  EXPECT_EQ(Events(t256.ws),
            (std::vector<std::string>{"box:solvane:IAP Config File is error:information",
                                      "log:Please check the config file"}));
  EXPECT_FALSE(t256.ws.IsEnabled(IDC_FILE));
  EXPECT_FALSE(t256.ws.IsEnabled(IDC_INTERFACE));
}

TEST(LoadConfiguration, MaskedZeroFailsButRomtailKeepsItsLowBits) {
  DialogUnderTest iap;
  iap.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, "IAPSTART=15\n"));
  EXPECT_EQ(iap.ws.boxes.size(), 1u);
  EXPECT_EQ(ActiveProfile.IAPSTART, 0u);
  EXPECT_EQ(iap.dlg->Profiles()[0].IAPSTART, 15u);  // the table keeps the value as read

  DialogUnderTest tail;
  tail.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, "ROMTAIL=15\n"));
  EXPECT_TRUE(tail.ws.events.empty());
  EXPECT_EQ(ActiveProfile.ROMTAIL, 15u);
}

TEST(LoadConfiguration, BadBaudRatesWarnButLeaveTheStartEnabled) {
  for (const char* key :
       {"PROGRAMBDRATE=4800\n", "COMMUNICATBDRATE=4800\n", "PROGRAMBDRATE=1200\n"}) {
    DialogUnderTest t;
    t.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, key));
    EXPECT_EQ(Events(t.ws),
              (std::vector<std::string>{"box:solvane:IAP Config File is error:information",
                                        "log:Please check the modify the Baud rate"}))
        << key;
    EXPECT_TRUE(t.ws.IsEnabled(IDC_FILE));
    EXPECT_TRUE(t.ws.IsEnabled(IDC_INTERFACE));
  }
  DialogUnderTest ok;
  ok.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, "COMMUNICATBDRATE=1200\n"));
  EXPECT_TRUE(ok.ws.events.empty());
}

TEST(LoadConfiguration, BothChecksFailInOrderBoxLineBoxLine) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, "PAGESIZE=0\nPROGRAMBDRATE=19200\n"));
  EXPECT_EQ(Events(t.ws),
            (std::vector<std::string>{"box:solvane:IAP Config File is error:information",
                                      "log:Please check the config file",
                                      "box:solvane:IAP Config File is error:information",
                                      "log:Please check the modify the Baud rate"}));
}

TEST(LoadConfiguration, EntryZeroFeedsTheLinksTheLastSectionIsInForce) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=2\n" + GoodSection(0) +
          "[DEVICE1]\nVID=0x1111\nPID=0x2222\nCOMMUNICATBDRATE=1200\nPROGRAMBDRATE=2400\n"
          "RAWDATASIZE=16\nROMHEAD=0x10000\nROMTAIL=0x3FFFF\nINTSTART=0x30000\n"
          "INTEND=0x30FF0\nPAGESIZE=0x400\nIAPSTART=0x20000\nIAPEND=0x20FF0\n"
          "IAPMARK=0x10800\nFLASHCMD=XYZ#\n");
  EXPECT_TRUE(t.ws.events.empty());
  EXPECT_EQ(t.dlg->DeviceCount(), 2u);
  EXPECT_EQ(t.dlg->Profiles()[0].VID, 0x0483u);
  EXPECT_EQ(t.dlg->Profiles()[0].PID, 0x5750u);
  EXPECT_STREQ(t.dlg->Profiles()[0].FLASHCMD, "IAP#");
  EXPECT_STREQ(t.dlg->Profiles()[1].FLASHCMD, "XYZ#");
  EXPECT_EQ(ActiveProfile.COMMUNICATBDRATE, 1200u);
  EXPECT_EQ(ActiveProfile.PROGRAMBDRATE, 2400u);
  EXPECT_EQ(ActiveProfile.recordSize, 16u);
  EXPECT_EQ(ActiveProfile.ROMHEAD, 0x10000u);
  EXPECT_EQ(ActiveProfile.ROMTAIL, 0x3FFFFu);
  EXPECT_EQ(ActiveProfile.PAGESIZE, 0x400u);
  EXPECT_TRUE(Uses24BitAddresses(ActiveProfile));
}

TEST(LoadConfiguration, OneBadSectionAmongGoodOnesStaysDisabled) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=3\n" + GoodSection(0, "ROMHEAD=0\n") + GoodSection(1) +
          GoodSection(2, "COMMUNICATBDRATE=300\n"));
  EXPECT_EQ(t.ws.boxes.size(), 2u);
  EXPECT_EQ(t.ws.logLines, (std::vector<std::string>{"Please check the config file",
                                                     "Please check the modify the Baud rate"}));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_FILE));  // a later good section enables nothing
}

TEST(LoadConfiguration, MoreSectionsThanTheTableHoldsIsRefused) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=129\n" + GoodSection(0));
  EXPECT_EQ(Events(t.ws),
            (std::vector<std::string>{"box:solvane:IAP Config File is error:information",
                                      "log:Please check the config file"}));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_FILE));
  EXPECT_EQ(ActiveProfile.ROMHEAD, 0u);  // nothing read
}

TEST(LoadConfiguration, NegativePageSizeWrapsAndLongFlashCmdIsCut) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=1\n" +
          GoodSection(0, "PAGESIZE=-512\nFLASHCMD=ABCDEFGHIJKLMNOPQ#\nIAPCODEPROTECT=123456789\n"));
  EXPECT_EQ(ActiveProfile.PAGESIZE, 0xFFFFFE00u);
  EXPECT_STREQ(t.dlg->Profiles()[0].FLASHCMD, "ABCDEFGHIJKLMNO");
  EXPECT_STREQ(t.dlg->Profiles()[0].IAPCODEPROTECT, "1234567");
}

TEST(LoadConfiguration, AWorkingDirectoryTooLongForThePathIsAMissingFile) {
  DialogUnderTest t;
  // A real directory holding a good file, whose path plus the file name needs more
  // than the 259 characters the path may have.
  std::filesystem::path deep = t.dir.Path();
  while (deep.string().size() < 250) deep /= std::string(40, 'd');
  std::filesystem::create_directories(deep);
  std::ofstream(deep / "MpptConfigFile.ini") << "[DEVICELIST]\nDEVICECOUNT=1\n" << GoodSection(0);
  t.ws.currentDirectory = deep.string();
  t.Start("");
  ASSERT_EQ(t.ws.boxes.size(), 1u);
  EXPECT_EQ(t.ws.boxes[0].text, "IAP Config File is not exist");
  EXPECT_FALSE(t.ws.IsEnabled(IDC_FILE));

  // The same file from a short enough directory is read.
  DialogUnderTest shortDir;
  shortDir.ws.currentDirectory = t.dir.Path();
  shortDir.dir.Write("unused", "");
  std::ofstream(std::filesystem::path(t.dir.Path()) / "MpptConfigFile.ini")
      << "[DEVICELIST]\nDEVICECOUNT=1\n"
      << GoodSection(0);
  shortDir.Start("");
  EXPECT_TRUE(shortDir.ws.events.empty());
}

}  // namespace

TEST(LoadConfiguration, PageSizeMustBeAWholeNumberOfRows) {
  // Page starts off the row grid would put fill rows across blocks and into the
  // protected ranges: such a page size is turned away like a PAGESIZE of 0.
  for (const char* bad : {"PAGESIZE=3\n", "PAGESIZE=0x30\n", "PAGESIZE=0x1F0\n", "PAGESIZE=-512\n",
                          "PAGESIZE=0x10\n"}) {
    DialogUnderTest t;
    t.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, bad));  // record size 32
    EXPECT_EQ(Events(t.ws),
              (std::vector<std::string>{"box:solvane:IAP Config File is error:information",
                                        "log:Please check the config file"}))
        << bad;
    EXPECT_FALSE(t.ws.IsEnabled(IDC_FILE)) << bad;
  }
  for (const char* good : {"PAGESIZE=0x20\n", "PAGESIZE=0x200\n", "PAGESIZE=0x1E0\n"}) {
    DialogUnderTest t;
    t.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, good));
    EXPECT_TRUE(t.ws.events.empty()) << good;
  }
}
