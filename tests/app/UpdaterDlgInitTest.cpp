// The dialog right after start: controls, fonts, system menu and the enabled
// states of the first two phases.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigFixture.h"

namespace {

const std::string kGoodFile = "[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0);

TEST(UpdaterDlgInit, GoodConfigurationLeavesFileAndComboEnabled) {
  DialogUnderTest t;
  t.Start(kGoodFile);
  EXPECT_EQ(t.ws.combo, (std::vector<std::string>{"USB", "COM1", "COM2", "COM3", "COM4", "COM5",
                                                  "COM6", "COM7", "COM8", "COM9"}));
  EXPECT_EQ(t.ws.ComboSelectedText(), "COM1");
  EXPECT_TRUE(t.ws.IsEnabled(IDC_FILE));
  EXPECT_TRUE(t.ws.IsEnabled(IDC_INTERFACE));
  EXPECT_TRUE(t.ws.IsEnabled(IDC_EXIT));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_UPDATE));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_CANCEL));
  EXPECT_TRUE(t.ws.logLines.empty());
  EXPECT_EQ(t.ws.logSelection, -1);
  EXPECT_EQ(t.dlg->LinkKind(), 0);
  EXPECT_EQ(t.dlg->ComPort(), 0);
  EXPECT_EQ(t.dlg->Transfer().transferState, 0);
}

TEST(UpdaterDlgInit, BadConfigurationDisablesEverythingButExit) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0, "INTEND=0\n"));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_FILE));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_INTERFACE));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_UPDATE));
  EXPECT_FALSE(t.ws.IsEnabled(IDC_CANCEL));
  EXPECT_TRUE(t.ws.IsEnabled(IDC_EXIT));
}

TEST(UpdaterDlgInit, FontsArialBoldItalic19And15) {
  DialogUnderTest t;
  t.Start(kGoodFile);
  for (int id : {IDC_UPDATE, IDC_FILE, IDC_PROGRESS_LABEL, IDC_PERCENT, IDC_INTERFACE_LABEL,
                 IDC_CANCEL, IDC_EXIT, IDC_GROUP, IDC_DOWNLOAD_LABEL}) {
    ASSERT_TRUE(t.ws.fonts.count(id)) << id;
    EXPECT_EQ(t.ws.fonts[id].face, "Arial");
    EXPECT_EQ(t.ws.fonts[id].cellHeight, 19);
    EXPECT_EQ(t.ws.fonts[id].weight, 700);
    EXPECT_TRUE(t.ws.fonts[id].italic);
  }
  EXPECT_EQ(t.ws.fonts[IDC_INTERFACE].cellHeight, 15);
  EXPECT_FALSE(t.ws.fonts.count(IDC_LOG));       // the log keeps the dialog font
  EXPECT_FALSE(t.ws.fonts.count(IDC_FILENAME));  // and so does the file name
}

TEST(UpdaterDlgInit, SystemMenuEntryOpensTheAboutBox) {
  DialogUnderTest t;
  t.Start(kGoodFile);
  EXPECT_EQ(t.ws.systemMenu,
            (std::vector<std::string>{"-", "16:&About Brimlow...", "32:Service journal..."}));
  t.ws.events.clear();
  t.dlg->OnSysCommand(0x10, 0);
  t.dlg->OnSysCommand(0x1F, 0);    // low four bits are not part of the command
  t.dlg->OnSysCommand(0xF060, 0);  // close: the window's own business
  ASSERT_EQ(t.ws.events.size(), 2u);
  EXPECT_EQ(t.ws.events[0].rfind("about:About Orvath:Solvane  (Rev00.01):", 0), 0u);

  DialogUnderTest c;
  c.Start(kGoodFile, CastrelStrings());
  EXPECT_EQ(c.ws.systemMenu.at(1), "16:&About Castrel...");
  c.dlg->OnSysCommand(0x10, 0);
  EXPECT_EQ(c.ws.events.back().rfind("about:About Brimlow:Castrel  (Rev00.02):", 0), 0u);
}

TEST(UpdaterDlgInit, EmptyString101AddsNoSeparatorAndNoEntry) {
  VariantStrings v = SolvaneStrings();
  v.aboutMenuEntry.clear();
  DialogUnderTest t;
  t.Start(kGoodFile, v);
  EXPECT_TRUE(t.ws.systemMenu.empty());
}

}  // namespace
