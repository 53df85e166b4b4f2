// The transfer worker against the simulated device: frames, acknowledgements,
// progress, protected ranges, retries, cancel, and the controls each end leaves.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "update/RecordFrames.h"
#include "update/UpdateRig.h"

namespace {

const std::vector<std::string> kTenPercents = {"0 %",  "10 %", "20 %", "30 %", "40 %",  "50 %",
                                               "60 %", "70 %", "80 %", "90 %", "100 %", ""};

bool HidRoad(const CUpdateRig& rig) { return rig.ws.ComboSelectedText() == "USB"; }

// The link was closed: HID writes fail until the next open, the serial port is shut.
bool LinkClosed(CUpdateRig& rig) {
  if (!HidRoad(rig)) return !rig.dlg.SerialPort().IsOpen();
  const std::uint8_t probe = 0x00;
  return !rig.dlg.HidDevice().WriteReports(&probe, 1);
}

void ExpectErrorEnd(CUpdateRig& rig) {
  EXPECT_TRUE(rig.ws.IsEnabled(IDC_FILE));
  EXPECT_TRUE(rig.ws.IsEnabled(IDC_CANCEL));
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_UPDATE));
  EXPECT_EQ(rig.ws.progress, 0);
  EXPECT_EQ(rig.ws.GetText(IDC_PERCENT), "0 %");
  EXPECT_EQ(rig.dlg.Transfer().progressBytes, 0);
  EXPECT_EQ(rig.BoxCount("Programming successfully !"), 0);
  EXPECT_FALSE(rig.Logged("UPS firmware update successful!"));
  EXPECT_EQ(rig.device.Count(SimMessage::kEndOfFile), 0);
  EXPECT_TRUE(LinkClosed(rig));
}

void ExpectSuccessEnd(CUpdateRig& rig) {
  EXPECT_TRUE(rig.ws.IsEnabled(IDC_FILE));
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_CANCEL));
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_UPDATE));
  EXPECT_EQ(rig.ws.progress, 0);
  EXPECT_EQ(rig.ws.GetText(IDC_PERCENT), "");
  EXPECT_EQ(rig.dlg.Transfer().deviceReady, 0);
  ASSERT_FALSE(rig.device.Received().empty());
  EXPECT_EQ(rig.device.Received().back().kind, SimMessage::kEndOfFile);
  ASSERT_EQ(rig.BoxCount("Programming successfully !"), 1);
  EXPECT_EQ(rig.ws.boxes.back().icon, BoxIcon::kInformation);
  EXPECT_EQ(rig.ws.boxes.back().caption, SolvaneStrings().appName);
  EXPECT_EQ(rig.ws.logLines.back(), kSeparator);
  // The device took every frame it was sent for what it would write.
  EXPECT_EQ(rig.device.Errors(), std::vector<std::string>{});
  // HID stays open for the next update; the serial port is given back.
  EXPECT_EQ(LinkClosed(rig), !HidRoad(rig));
}

class BothRoads : public ::testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Transfer, BothRoads, ::testing::Values("USB", "COM1"));

}  // namespace

TEST(TransferHid, OneAcknowledgedRowLogLines) {
  CUpdateRig rig("USB");
  rig.WriteRows(1);
  ASSERT_TRUE(rig.Update());
  // The first 65 is the link's own line for the report it read.
  EXPECT_EQ(
      rig.LogFrom("1 Wr", 9),
      (std::vector<std::string>{"1 Wr", "65", "65", "A\r", "1 Rd", "A\r", "Send EOF Command OK",
                                "Update finished 100 %!", "UPS firmware update successful!"}));
  EXPECT_FALSE(rig.Logged("UPS firmware update completed"));
  ExpectSuccessEnd(rig);
}

TEST(TransferSerial, OneAcknowledgedRowLogLinesAndCompletionOnlyAtTheEnd) {
  CUpdateRig rig("COM1");
  rig.WriteRows(1);
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(
      rig.LogFrom("UPS ready for firmware update", 3),
      (std::vector<std::string>{"UPS ready for firmware update", kSeparator, "Map bin file OK"}));
  EXPECT_EQ(rig.LogFrom("1 Wr", 9),
            (std::vector<std::string>{"1 Wr", "A\r", "1 Rd", "A\r", "Send EOF Command OK",
                                      "Update finished 100 %!", "UPS firmware update successful!",
                                      "UPS firmware update completed", kSeparator}));
  EXPECT_EQ(std::count(rig.ws.logLines.begin(), rig.ws.logLines.end(),
                       std::string("UPS firmware update completed")),
            1);
  ExpectSuccessEnd(rig);
}

TEST_P(BothRoads, TenRowsRunFromTenToOneHundredPercent) {
  CUpdateRig rig(GetParam());
  rig.WriteRows(10);
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.ws.percentHistory, kTenPercents);
  const auto frames = rig.device.Of(SimMessage::kDataFrame);
  ASSERT_EQ(frames.size(), 10u);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Bytes& f = frames[i];
    const Bytes& row = rig.rows[i];
    ASSERT_EQ(f.size(), 37u);
    EXPECT_EQ(f[0], 0x25);
    EXPECT_EQ(f[1], 0x20);
    EXPECT_EQ(f[2], row[2]);
    EXPECT_EQ(f[3], row[3]);
    EXPECT_TRUE(std::equal(row.begin() + 5, row.end(), f.begin() + 4));
  }
  EXPECT_TRUE(rig.Logged("10 Wr"));
  EXPECT_FALSE(rig.Logged("11 Wr"));
  EXPECT_TRUE(rig.Logged("Update finished 100 %!"));
  EXPECT_EQ(rig.device.Of(SimMessage::kEndOfFile).back(), EndOfFileFrame(false));
  EXPECT_EQ(rig.dlg.Transfer().progressBytes, 11 * 37);  // as it stood at the end-of-file step
  ExpectSuccessEnd(rig);
}

TEST_P(BothRoads, RowInTheIapRangeIsSteppedOverButCounted) {
  CUpdateRig rig(GetParam());
  std::vector<std::uint32_t> addresses;
  for (unsigned i = 0; i < 10; ++i) addresses.push_back(i == 2 ? 0xF400u : 0x8000u + 0x20u * i);
  rig.WriteImage(addresses);
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.ws.percentHistory, kTenPercents);
  addresses.erase(addresses.begin() + 2);
  EXPECT_EQ(rig.FrameAddresses(), addresses);
  EXPECT_TRUE(rig.Logged("9 Wr"));
  EXPECT_FALSE(rig.Logged("10 Wr"));
  ExpectSuccessEnd(rig);
}

TEST_P(BothRoads, ProtectedRangeBounds) {
  CUpdateRig rig(GetParam());
  // Bounds are compared with their low four bits cleared, as the profile is
  // masked when it is read.
  DeviceProfile section;
  section.IAPEND = 0xF80C;
  ActiveProfile.IAPEND = MaskedProfile(section).IAPEND;
  rig.WriteImage({0x8000, 0xEFE0, 0xF000, 0xF800, 0xF820, 0xFEE0, 0xFF00, 0xFFF0});
  ASSERT_TRUE(rig.Update());
  if (HidRoad(rig)) {
    EXPECT_EQ(rig.FrameAddresses(), (std::vector<std::uint32_t>{0x8000, 0xEFE0, 0xF820, 0xFEE0}));
  } else {
    EXPECT_EQ(rig.FrameAddresses(),
              (std::vector<std::uint32_t>{0x8000, 0xEFE0, 0xF800, 0xF820, 0xFEE0}));
  }
  ExpectSuccessEnd(rig);
}

TEST_P(BothRoads, CancelWhileAReplyIsAwaitedEndsAtTheNextSendStep) {
  CUpdateRig rig(GetParam());
  rig.WriteRows(5);
  rig.device.responder = [&](const IapMessage& m) {
    if (m.kind == SimMessage::kDataFrame && m.index == 1) rig.dlg.OnCancelUpdate();
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 2);
  // The reply was read and judged first: the row counts as acknowledged.
  EXPECT_EQ(rig.LogFrom("2 Rd", 3),
            (std::vector<std::string>{"2 Rd", "A\r", "***User cancel firmware update!!!"}));
  EXPECT_FALSE(rig.Logged("3 Wr"));
  EXPECT_EQ(rig.dlg.Transfer().cancelRequested, 0);
  EXPECT_EQ(rig.ws.logLines.back(), "***User cancel firmware update!!!");
  ExpectErrorEnd(rig);
}

TEST_P(BothRoads, CancelLeftOverFromAnErrorEndDoesNotStopTheNextTransfer) {
  CUpdateRig rig(GetParam());
  rig.WriteRows(3);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame) return std::string("N\r");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  ASSERT_TRUE(rig.ws.IsEnabled(IDC_CANCEL));  // still enabled after the error end
  rig.dlg.OnCancelUpdate();

  rig.device.responder = CSimulatedIap::Normal;
  const auto before = rig.device.Count(SimMessage::kDataFrame);
  ASSERT_TRUE(rig.Update());
  EXPECT_FALSE(rig.Logged("***User cancel firmware update!!!"));
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame) - before, 3);
  EXPECT_EQ(rig.device.Count(SimMessage::kEndOfFile), 1);
}

TEST_P(BothRoads, TrailingPartialRowIsNeverSent) {
  CUpdateRig rig(GetParam());
  rig.WriteImage({0x8000, 0x8020, 0x8040}, 10);  // 121 bytes
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 3);
  const auto received = rig.device.Received();
  EXPECT_EQ(received.back().kind, SimMessage::kEndOfFile);
  EXPECT_EQ(rig.ws.percentHistory, (std::vector<std::string>{"0 %", "30 %", "61 %", "91 %", ""}));
  EXPECT_TRUE(rig.Logged("Update finished 91 %!"));
  ExpectSuccessEnd(rig);
}

TEST_P(BothRoads, TmpBinRewrittenSinceFileIsNeverSent) {
  CUpdateRig rig(GetParam());
  rig.WriteRows(3);
  // A second updater runs File in the same directory between this File and the
  // transfer: its image goes to tmp.bin.
  std::string other = rig.dir.Read("tmp.bin");
  other[10] = static_cast<char>(other[10] + 1);
  rig.dir.Write("tmp.bin", other);
  ASSERT_TRUE(rig.Update());
  EXPECT_TRUE(rig.Logged("Map bin file Error"));
  EXPECT_EQ(rig.BoxCount("BIN File Changed Error !"), 1);
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 0);
  EXPECT_EQ(rig.device.Count(SimMessage::kEndOfFile), 0);
  EXPECT_FALSE(rig.Logged("UPS firmware update successful!"));
  EXPECT_TRUE(rig.ws.IsEnabled(IDC_FILE));  // to prepare the image anew
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_UPDATE));
  EXPECT_TRUE(LinkClosed(rig));
}

TEST_P(BothRoads, ImageShorterThanOneStrideSendsOnlyTheEndOfFileFrame) {
  CUpdateRig rig(GetParam());
  rig.WriteImage({}, 20);
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 0);
  EXPECT_EQ(rig.device.Count(SimMessage::kEndOfFile), 1);
  EXPECT_TRUE(rig.Logged("Update finished !"));
  ExpectSuccessEnd(rig);
}

TEST_P(BothRoads, RecordSizeWithoutAFrameLayoutIsRefused) {
  CUpdateRig rig(GetParam());
  ActiveProfile.recordSize = 64;
  rig.WriteImage({0x8000, 0x8040});
  ASSERT_TRUE(rig.Update());
  const std::string refusal = "Record size 64 can not be sent, only 16 or 32 bytes per record!";
  EXPECT_TRUE(rig.Logged(refusal));
  EXPECT_EQ(rig.BoxCount(refusal), 1);
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 0);
  EXPECT_FALSE(rig.Logged("1 Wr"));
  ExpectErrorEnd(rig);
}

// A record size without any frame layout is turned away before the programming-
// mode command: a device put into programming mode would be left without its
// application by a transfer that cannot send its first frame.
TEST_P(BothRoads, UnsupportedRecordSizeNeverReachesProgrammingMode) {
  for (const int size : {8, 17, 48, 128, 255}) {
    CUpdateRig rig(GetParam());
    rig.WriteImage({0x8000, 0x8020});
    ActiveProfile.recordSize = static_cast<std::uint8_t>(size);
    ASSERT_TRUE(rig.Update());
    EXPECT_EQ(rig.device.Count(SimMessage::kProgrammingCommand), 0) << size;
    EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 0) << size;
    EXPECT_EQ(rig.BoxCount("Can't support this file !"), 1) << size;
    EXPECT_FALSE(rig.Logged("UPS ready for firmware update")) << size;
  }
}

TEST_P(BothRoads, MissingImageEndsAtOnceAndLeavesTheLinkOpen) {
  CUpdateRig rig(GetParam());
  ASSERT_TRUE(rig.Update());
  EXPECT_TRUE(rig.Logged("Map bin file Error"));
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_FILE));
  EXPECT_FALSE(rig.ws.IsEnabled(IDC_UPDATE));
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 0);
  EXPECT_FALSE(LinkClosed(rig));
}

TEST_P(BothRoads, SixteenByteRecordsAndTwentyFourBitFrames) {
  CUpdateRig rig(GetParam());
  ActiveProfile.recordSize = 16;
  ActiveProfile.ROMTAIL = 0x1FFFF;
  ActiveProfile.IAPSTART = 0x1F000;
  ActiveProfile.IAPEND = 0x1F800;
  ActiveProfile.INTSTART = 0x1FF00;
  ActiveProfile.INTEND = 0x1FFF0;
  rig.WriteImage({0x12340, 0x12350, 0x1F400});
  ASSERT_TRUE(rig.Update());
  const auto frames = rig.device.Of(SimMessage::kDataFrame);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Bytes(frames[1].begin(), frames[1].begin() + 5), (Bytes{0x16, 0x01, 0x23, 0x50, 0x10}));
  EXPECT_TRUE(std::equal(rig.rows[1].begin() + 5, rig.rows[1].end(), frames[1].begin() + 5));
  EXPECT_EQ(rig.device.Of(SimMessage::kEndOfFile).back(),
            (Bytes{0x08, 0x00, 0x00, 0x00, 0x04, 0x45, 0x4F, 0x46, 0x47}));
  ExpectSuccessEnd(rig);
}

TEST(TransferSerial, TheReadyReplysLateCarriageReturnDoesNotShiftTheAcknowledgements) {
  CUpdateRig rig("COM1");
  rig.WriteRows(3);
  // The CR behind "#FH" is still on the wire when the port is reopened at the
  // programming baud rate, so it lands in the fresh input queue.
  rig.device.responder = [&rig](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kProgrammingCommand) {
      rig.device.lateBytes = "\r";
      return std::string("#FH");
    }
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Of(SimMessage::kDataFrame).size(),
            3u);  // every row once: no reply was misread
  EXPECT_EQ(rig.LogFrom("1 Wr", 4), (std::vector<std::string>{"1 Wr", "A\r", "1 Rd", "A\r"}));
  ExpectSuccessEnd(rig);
}

TEST(TransferSerial, TwoWrongRepliesThenAckSendTheSameRowThreeTimes) {
  CUpdateRig rig("COM1");
  rig.WriteRows(3);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame && m.index < 2) return std::string("N\r");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  const auto frames = rig.device.Of(SimMessage::kDataFrame);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0], frames[1]);
  EXPECT_EQ(frames[1], frames[2]);
  EXPECT_NE(frames[2], frames[3]);
  EXPECT_EQ(rig.LogFrom("3 Wr", 4), (std::vector<std::string>{"3 Wr", "A\r", "3 Rd", "A\r"}));
  // One stride of progress for the row, not three.
  EXPECT_EQ(rig.ws.percentHistory,
            (std::vector<std::string>{"0 %", "33 %", "33 %", "33 %", "66 %", "100 %", ""}));
  EXPECT_EQ(rig.dlg.Transfer().progressBytes, 4 * 37);
  ExpectSuccessEnd(rig);
}

TEST(TransferSerial, ThreeWrongRepliesEndTheTransferAndTheNextStartsWithFreshRetries) {
  CUpdateRig rig("COM1");
  rig.WriteRows(3);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame) return std::string("xx");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  const auto frames = rig.device.Of(SimMessage::kDataFrame);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], frames[2]);
  EXPECT_EQ(rig.LogFrom("3 Rd", 2),
            (std::vector<std::string>{"3 Rd", "Send the UPS firmware data Err"}));
  EXPECT_EQ(rig.BoxCount("Receive Error !"), 1);
  EXPECT_EQ(rig.ws.boxes.back().icon, BoxIcon::kWarning);
  EXPECT_EQ(rig.dlg.Transfer().missingAckCount, 3);
  ExpectErrorEnd(rig);

  // A wrong reply before the first acknowledgement of the next transfer is retried.
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame && m.index == 3) return std::string("N\r");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 3 + 4);
  EXPECT_EQ(rig.device.Count(SimMessage::kEndOfFile), 1);
  EXPECT_EQ(rig.BoxCount("Receive Error !"), 1);
}

TEST(TransferSerial, SilentDeviceEndsAfterEightSecondsWithoutRetry) {
  CUpdateRig rig("COM1");
  rig.WriteRows(3);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame) return std::nullopt;
    return CSimulatedIap::Normal(m);
  };
  const auto start = rig.clock.NowMilliseconds();
  ASSERT_TRUE(rig.Update());
  const auto waited = rig.clock.NowMilliseconds() - start;
  EXPECT_GE(waited, 7000);
  EXPECT_LT(waited, 9000);
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 1);
  EXPECT_EQ(rig.LogFrom("1 Wr", 2), (std::vector<std::string>{"1 Wr", "read data Err"}));
  EXPECT_EQ(rig.BoxCount("Receive Error !"), 0);
  EXPECT_FALSE(rig.Logged("UPS firmware update completed"));
  ExpectErrorEnd(rig);
}

TEST(TransferHid, WrongReplyEndsAtOnce) {
  CUpdateRig rig("USB");
  rig.WriteRows(3);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame) return std::string("N\r");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 1);
  EXPECT_EQ(rig.LogFrom("1 Rd", 2),
            (std::vector<std::string>{"1 Rd", "Send the UPS firmware data Err"}));
  EXPECT_EQ(rig.BoxCount("Receive Error !"), 1);
  ExpectErrorEnd(rig);
}

TEST(TransferHid, SilentDeviceEndsWithReadError) {
  CUpdateRig rig("USB");
  rig.WriteRows(2);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame) return std::nullopt;
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 1);
  EXPECT_TRUE(rig.Logged("read data Err"));
  ExpectErrorEnd(rig);
}

TEST(TransferHid, FailedEndOfFileWriteIsAnErrorNotASuccess) {
  CUpdateRig rig("USB");
  rig.WriteRows(2);
  rig.device.refuseWrite = [](const IapMessage& m) { return m.kind == SimMessage::kEndOfFile; };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 2);
  EXPECT_TRUE(rig.Logged("WriteUPS error"));
  EXPECT_FALSE(rig.Logged("Send EOF Command OK"));
  ExpectErrorEnd(rig);
}

TEST(TransferHid, FailedDataFrameWriteEndsWithWriteError) {
  CUpdateRig rig("USB");
  rig.WriteRows(3);
  rig.device.refuseWrite = [](const IapMessage& m) {
    return m.kind == SimMessage::kDataFrame && m.index == 1;
  };
  ASSERT_TRUE(rig.Update());
  EXPECT_EQ(rig.LogFrom("2 Wr", 3).back(), "WriteUPS error");
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 1);
  ExpectErrorEnd(rig);
}
