// Every fault the simulator can show, against the command line: each must end
// with the updater's own lines for it and a failing exit, and neither program may
// hang.
#include <algorithm>
#include <gtest/gtest.h>

#include "e2e/E2eSupport.h"

namespace e2e {
namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return Count(lines, line) > 0;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i <= to; ++i) v.push_back(i);
  return v;
}

// The updater's failure after the handshake: error end, no success line.
void ExpectTransferFailed(const UpdateRun& run) {
  EXPECT_EQ(run.flashStatus, 1) << Dump(run);
  EXPECT_FALSE(Has(run.log, "UPS firmware update successful!")) << Dump(run);
  EXPECT_FALSE(Has(run.log, "Send EOF Command OK")) << Dump(run);
  EXPECT_NE(run.simStatus, 0) << Dump(run);   // no end-of-file frame reached the device
  EXPECT_NE(run.simStatus, -1) << Dump(run);  // and it did not have to be killed
}

// --- serial -------------------------------------------------------------------

TEST(SerialFault, OneNakIsRetriedAndTheUpdateSucceeds) {
  const DeviceMap map = Solvane(32);
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, map, Link::kSerial, {"--fault", "nak=3"});
  ASSERT_EQ(run.flashStatus, 0) << Dump(run);
  EXPECT_EQ(run.simStatus, 0) << Dump(run);
  std::vector<std::string> expected = ExpectedFrames(run.image, map, false);
  expected.insert(expected.begin() + 3, expected[2]);  // the third row twice
  EXPECT_EQ(run.frames, expected);
  EXPECT_EQ(Count(run.log, "N"), 1) << Dump(run);
}

TEST(SerialFault, ThreeNaksInARowEndTheTransfer) {
  const DeviceMap map = Solvane(16);
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, map, Link::kSerial, {"--fault", "nak=3,4,5"});
  ExpectTransferFailed(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 5));
  EXPECT_TRUE(Has(run.log, "Send the UPS firmware data Err")) << Dump(run);
  EXPECT_TRUE(Has(run.boxes, "solvane: Receive Error !")) << Dump(run);
  ASSERT_EQ(run.frames.size(), 5u);  // no end-of-file frame
  EXPECT_EQ(run.frames[2], run.frames[3]);
  EXPECT_EQ(run.frames[3], run.frames[4]);
}

TEST(SerialFault, GarbageRepliesCountAsWrongReplies) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Castrel(32), Link::kSerial, {"--fault", "garbage=2,3,4"});
  ExpectTransferFailed(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 4));
  EXPECT_EQ(Count(run.log, "??"), 3) << Dump(run);
  EXPECT_TRUE(Has(run.log, "Send the UPS firmware data Err")) << Dump(run);
  EXPECT_TRUE(Has(run.boxes, "castrel: Receive Error !")) << Dump(run);
}

TEST(SerialFault, SilentDeviceEndsWithReadDataErr) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Solvane(32), Link::kSerial, {"--fault", "silent-after=2"});
  ExpectTransferFailed(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 3));  // no second attempt
  EXPECT_EQ(run.log.back(), "read data Err") << Dump(run);
  EXPECT_TRUE(run.boxes.empty()) << Dump(run);
}

TEST(SerialFault, HangUpEndsWithReadDataErr) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Solvane(32), Link::kSerial, {"--fault", "hangup-after=4"});
  EXPECT_EQ(run.flashStatus, 1) << Dump(run);
  EXPECT_EQ(run.simStatus, 1) << Dump(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 5));
  EXPECT_TRUE(Has(run.log, "read data Err")) << Dump(run);
  EXPECT_FALSE(Has(run.log, "UPS firmware update successful!"));
}

TEST(SerialFault, NoReadyReplyFailsTheHandshake) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Solvane(32), Link::kSerial, {"--fault", "no-ready"});
  EXPECT_EQ(run.flashStatus, 1) << Dump(run);
  EXPECT_TRUE(Has(run.log, "Can't communicate with UPS, please check the RS232 cable connection."))
      << Dump(run);
  EXPECT_TRUE(Has(run.log, "UPS firmware update fault")) << Dump(run);
  EXPECT_FALSE(Has(run.log, "UPS ready for firmware update"));
  EXPECT_TRUE(Has(run.boxes, "ERROR: Firmware update check ready error")) << Dump(run);
  EXPECT_TRUE(run.frames.empty());
  EXPECT_EQ(run.simStatus, 1) << Dump(run);
}

// --- USB over the socket channel ------------------------------------------------

TEST(HidFault, NakEndsTheTransferAtOnce) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Castrel(16), Link::kHid, {"--fault", "nak=2"});
  ExpectTransferFailed(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 2));
  EXPECT_TRUE(Has(run.log, "Send the UPS firmware data Err")) << Dump(run);
  EXPECT_TRUE(Has(run.boxes, "castrel: Receive Error !")) << Dump(run);
  EXPECT_EQ(run.frames.size(), 2u);
}

TEST(HidFault, GarbageWithoutCrEndsWithReadDataErr) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Solvane(32), Link::kHid, {"--fault", "garbage=3"});
  ExpectTransferFailed(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 3));
  EXPECT_TRUE(Has(run.log, "read data Err")) << Dump(run);
  EXPECT_FALSE(Has(run.log, "3 Rd")) << Dump(run);
}

TEST(HidFault, SilentDeviceEndsWithReadDataErr) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Castrel(32), Link::kHid, {"--fault", "silent-after=1"});
  ExpectTransferFailed(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 2));
  EXPECT_TRUE(Has(run.log, "read data Err")) << Dump(run);
}

TEST(HidFault, HangUpEndsWithReadDataErr) {
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, Solvane(16), Link::kHid, {"--fault", "hangup-after=6"});
  EXPECT_EQ(run.flashStatus, 1) << Dump(run);
  EXPECT_EQ(run.simStatus, 1) << Dump(run);
  EXPECT_EQ(WrittenFrameNumbers(run.log), Range(1, 7));
  EXPECT_TRUE(Has(run.log, "read data Err")) << Dump(run);
}

TEST(HidFault, NoReadyOrNoBaudAckFailTheHandshakeAfterThreeTries) {
  for (const char* fault : {"no-ready", "no-baud-ack"}) {
    SCOPED_TRACE(fault);
    CScratchDir dir;
    const UpdateRun run = RunUpdate(dir, Solvane(32), Link::kHid, {"--fault", fault});
    EXPECT_EQ(run.flashStatus, 1) << Dump(run);
    EXPECT_EQ(run.simStatus, 1) << Dump(run);
    EXPECT_TRUE(Has(run.log, "UPS no ready for firmware update")) << Dump(run);
    EXPECT_FALSE(Has(run.log, "Send Baud Rate Command OK"));
    EXPECT_TRUE(Has(run.boxes, "solvane: Firmware update check ready error")) << Dump(run);
    EXPECT_TRUE(run.frames.empty());
    // The explanation follows how far the tries got: a device that answered ready
    // once and then refused the baud-rate command is not "no ready reply".
    const std::string said = std::string(fault) == "no-ready"
                                 ? "no ready reply from the USB device"
                                 : "answered ready but did not acknowledge the command for 9600";
    EXPECT_TRUE(std::any_of(run.boxes.begin(), run.boxes.end(), [&](const std::string& line) {
      return line.rfind("iapflash: ", 0) == 0 && line.find(said) != std::string::npos &&
             line.find("3 tries") != std::string::npos;
    })) << Dump(run);
  }
}

TEST(HidFault, ADeviceWithOtherIdsOrAnOldVersionIsNotFound) {
  for (const std::vector<std::string>& ids :
       {std::vector<std::string>{"--vid", "0x1208"}, {"--pid", "0x00E3"}, {"--hid-version", "1"}}) {
    SCOPED_TRACE(ids[0]);
    CScratchDir dir;
    std::vector<std::string> options = ids;
    options.insert(options.end(), {"--timeout", "1"});
    const UpdateRun run = RunUpdate(dir, Castrel(16), Link::kHid, options);
    EXPECT_EQ(run.flashStatus, 1) << Dump(run);
    EXPECT_TRUE(Has(run.log, "Can not find the HID Device!")) << Dump(run);
    EXPECT_FALSE(Has(run.log, "Find the HID Device OK!"));
    EXPECT_EQ(run.simStatus, 1) << Dump(run);  // idle time-out, nothing received
  }
}

}  // namespace
}  // namespace e2e
