// Update Firmware: opening the chosen link, the programming-mode handshake on
// each link, every failure road, and FLASHCMD as stored before and after.

#include <gtest/gtest.h>

#include "update/UpdateRig.h"

namespace {

std::vector<SimMessage> Kinds(const CUpdateRig& rig) {
  std::vector<SimMessage> kinds;
  for (const auto& m : rig.device.Received()) kinds.push_back(m.kind);
  return kinds;
}

std::optional<std::string> Silent(const IapMessage&) { return std::nullopt; }

}  // namespace

TEST(HandshakeHid, CommandEndsInCarriageReturnAndNoBaudRateCommandAt2400) {
  CUpdateRig rig("USB");
  rig.SetFlashCmd("ABC#");
  rig.WriteRows(1);
  rig.dlg.OnUpdateFirmware();
  // The worker cannot end before this thread serves it.
  EXPECT_EQ(rig.dlg.Transfer().deviceReady, 1);
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_UPDATE));
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_FILE));
  EXPECT_EQ(rig.FlashCmd(), "ABC#");
  ASSERT_TRUE(rig.ws.RunUntil([&] { return !rig.dlg.WorkerRunning(); }));

  ASSERT_FALSE(rig.device.Received().empty());
  EXPECT_EQ(rig.device.Received()[0].bytes, (Bytes{'A', 'B', 'C', 0x0D}));
  EXPECT_EQ(Kinds(rig), (std::vector<SimMessage>{SimMessage::kProgrammingCommand,
                                                 SimMessage::kDataFrame, SimMessage::kEndOfFile}));
  EXPECT_LT(rig.Log("Open The HID Interface!"), rig.Log("Find the HID Device OK!"));
  EXPECT_LT(rig.Log("Find the HID Device OK!"), rig.Log("UPS ready for firmware update"));
  EXPECT_FALSE(rig.Logged("Send Baud Rate Command OK"));
  EXPECT_TRUE(rig.Logged("UPS firmware update successful!"));
}

TEST(HandshakeHid, BaudRateCommandAt9600) {
  CUpdateRig rig("USB");
  ActiveProfile.PROGRAMBDRATE = 9600;
  rig.WriteRows(1);
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(Kinds(rig),
            (std::vector<SimMessage>{SimMessage::kProgrammingCommand, SimMessage::kBaudCommand,
                                     SimMessage::kDataFrame, SimMessage::kEndOfFile}));
  EXPECT_EQ(rig.device.Of(SimMessage::kBaudCommand)[0], (Bytes{0x03, 0x42, 0x01}));
  EXPECT_EQ(rig.Log("Send Baud Rate Command OK") + 1, rig.Log("UPS ready for firmware update"));
}

TEST(HandshakeHid, UnacknowledgedBaudRateCommandFailsAfterThreeFullTries) {
  CUpdateRig rig("USB");
  ActiveProfile.PROGRAMBDRATE = 9600;
  rig.WriteRows(1);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kBaudCommand) return std::string("N\r");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(Kinds(rig),
            (std::vector<SimMessage>{SimMessage::kProgrammingCommand, SimMessage::kBaudCommand,
                                     SimMessage::kProgrammingCommand, SimMessage::kBaudCommand,
                                     SimMessage::kProgrammingCommand, SimMessage::kBaudCommand}));
  EXPECT_TRUE(rig.Logged("UPS no ready for firmware update"));
  ASSERT_EQ(rig.BoxCount("Firmware update check ready error"), 1);
  EXPECT_EQ(rig.ws.boxes.back().caption, SolvaneStrings().appName);
  EXPECT_EQ(rig.ws.boxes.back().icon, BoxIcon::kWarning);
  EXPECT_FALSE(rig.Logged("Map bin file OK"));  // no worker
  EXPECT_TRUE(rig.ws.IsEnabled(IDC_UPDATE));
  EXPECT_EQ(rig.FlashCmd(), "UPS#");
  const std::uint8_t probe = 0;
  EXPECT_FALSE(rig.dlg.HidDevice().WriteReports(&probe, 1));  // closed
}

TEST(HandshakeHid, DeviceNotFoundMeansNoInterface) {
  CUpdateRig rig("USB", false);
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.LogFrom("Open The HID Interface!", 3),
            (std::vector<std::string>{"Open The HID Interface!", "Can not find the HID Device!",
                                      "Please choose the right interface first!"}));
  ASSERT_EQ(rig.ws.boxes.size(), 1u);
  EXPECT_EQ(rig.ws.boxes[0].text, "Open the Device error");
  EXPECT_EQ(rig.ws.boxes[0].caption, "ERROR");
  EXPECT_EQ(rig.dlg.LinkKind(), 0);
  EXPECT_EQ(rig.FlashCmd(), "UPS#");
}

TEST(HandshakeHid, NothingSelectedKeepsTheLastInterfaceKind) {
  CUpdateRig rig("none");
  rig.WriteRows(1);
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.Log("Please select interface") + 1, rig.Log("Open The HID Interface!"));
  EXPECT_TRUE(rig.Logged("UPS firmware update successful!"));
}

TEST(Handshake, FlashCmdWithoutFinalHashSendsNothing) {
  for (const char* text : {"UPS", ""}) {
    CUpdateRig rig("USB");
    rig.SetFlashCmd(text);
    ASSERT_TRUE(rig.Update());
    EXPECT_TRUE(rig.device.Received().empty());
    // The link was opened first.
    EXPECT_EQ(rig.Log("Find the HID Device OK!") + 1,
              rig.Log("Please modify the FLASHCMD in config file first!"));
    ASSERT_EQ(rig.ws.boxes.size(), 1u);
    EXPECT_EQ(rig.ws.boxes[0].text, "the FLASHCMD is error");
    EXPECT_EQ(rig.ws.boxes[0].caption, "ERROR");
    EXPECT_EQ(rig.ws.boxes[0].icon, BoxIcon::kNone);
    EXPECT_EQ(rig.FlashCmd(), text);
  }
}

TEST(HandshakeSerial, ReopensAtTheProgrammingBaudRate) {
  const std::pair<unsigned, int> cases[] = {{9600, 9600}, {2400, 2400}, {4800, 2400}};
  for (const auto& [programRate, expected] : cases) {
    CUpdateRig rig("COM3");
    ActiveProfile.PROGRAMBDRATE = programRate;
    rig.WriteRows(1);
    // Other bytes before the ready reply are accepted; the read stops at the 'H'.
    rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
      if (m.kind == SimMessage::kProgrammingCommand) return std::string("\x11zz#FH\r");
      return CSimulatedIap::Normal(m);
    };
    ASSERT_TRUE(rig.Update());
    ASSERT_EQ(rig.openings.size(), 2u);
    EXPECT_EQ(rig.openings[0].port, 3);
    EXPECT_EQ(rig.openings[0].baud, 1200);
    EXPECT_EQ(rig.openings[1].port, 3);
    EXPECT_EQ(rig.openings[1].baud, expected);
    EXPECT_EQ(Kinds(rig),
              (std::vector<SimMessage>{SimMessage::kProgrammingCommand, SimMessage::kDataFrame,
                                       SimMessage::kEndOfFile}));
    EXPECT_EQ(rig.Log("Com3 Is Finded") + 1, rig.Log("UPS ready for firmware update"));
    EXPECT_EQ(rig.dlg.Transfer().deviceReady, 0);
    EXPECT_EQ(rig.FlashCmd(), "UPS#");
  }
}

TEST(HandshakeSerial, OpenPortIsClosedAndReopenedAtTheHandshakeRate) {
  CUpdateRig rig("COM3");
  ASSERT_TRUE(rig.dlg.SerialPort().Open(3, 57600));
  rig.WriteRows(1);
  ASSERT_TRUE(rig.Update());
  ASSERT_EQ(rig.openings.size(), 3u);
  EXPECT_EQ(rig.openings[1].baud, 1200);
  EXPECT_EQ(rig.openings[2].baud, 2400);
}

TEST(HandshakeSerial, SilentDeviceFailsAfterThreeTries) {
  CUpdateRig rig("COM2");
  rig.WriteRows(1);
  rig.device.responder = Silent;
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(Kinds(rig), (std::vector<SimMessage>{SimMessage::kProgrammingCommand,
                                                 SimMessage::kProgrammingCommand,
                                                 SimMessage::kProgrammingCommand}));
  EXPECT_EQ(rig.LogFrom("Can't communicate with UPS, please check the RS232 cable connection.", 2),
            (std::vector<std::string>{
                "Can't communicate with UPS, please check the RS232 cable connection.",
                "UPS firmware update fault"}));
  ASSERT_EQ(rig.ws.boxes.size(), 1u);
  EXPECT_EQ(rig.ws.boxes[0].text, "Firmware update check ready error");
  EXPECT_EQ(rig.ws.boxes[0].caption, "ERROR");
  EXPECT_FALSE(rig.dlg.SerialPort().IsOpen());
  EXPECT_FALSE(rig.Logged("Map bin file OK"));
  EXPECT_EQ(rig.FlashCmd(), "UPS#");
}

TEST(HandshakeSerial, PortThatCannotBeOpened) {
  CUpdateRig rig("COM3", false);
  ASSERT_TRUE(rig.Update());
  EXPECT_TRUE(rig.device.Received().empty());
  const std::vector<std::string> expected = {
      "box:" + SolvaneStrings().appName +
          ":Can Not Open Com3,Please Choose the right Com Port:warning",
      "log:Can Not Open Com3 !", "box:ERROR:Open the Device error:none",
      "log:Please choose the right interface first!"};
  EXPECT_EQ(rig.ws.events, expected);
  EXPECT_EQ(rig.dlg.LinkKind(), 0);
}
