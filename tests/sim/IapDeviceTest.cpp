// The device side of the protocol: handshake, frame checking, end-of-file frames,
// flash contents and the injected faults.
#include <gtest/gtest.h>

#include "sim/IapDevice.h"
#include "sim/SimTestSupport.h"

namespace {

const Bytes kCommand = Text("IAPMODE\r");
const Bytes kBaud = {0x03, 0x42, 0x01};

// A device that has answered the programming-mode command.
CIapDevice ReadyDevice(int recordSize, bool address24, const FaultPlan& faults = {}) {
  CIapDevice device(TestConfig(recordSize, address24), faults);
  Feed(device, kCommand);
  return device;
}

TEST(IapDeviceHandshake, AnswersOnlyItsOwnCommandAndThenChangesSpeed) {
  CIapDevice device(TestConfig(32, false), {});
  EXPECT_EQ(device.CurrentBaud(), 2400u);
  // The application ignores other text, a command without CR and binary messages.
  EXPECT_TRUE(Feed(device, Text("IAPMODX\r")).reply.empty());
  EXPECT_TRUE(Feed(device, kBaud).reply.empty());
  EXPECT_TRUE(Feed(device, HandFrame(false, 0x8000, Counting(32))).reply.empty());
  EXPECT_FALSE(device.InProgrammingMode());

  bool early = false;
  const DeviceOutput ready = Feed(device, kCommand, &early);
  EXPECT_FALSE(early);
  EXPECT_EQ(ready.message, SimMessage::kProgrammingCommand);
  EXPECT_EQ(ready.reply, Text("#FH\r"));
  EXPECT_EQ(ready.replyBaud, 2400u);  // the reply still at the handshake speed
  EXPECT_EQ(device.CurrentBaud(), 9600u);
  EXPECT_EQ(Feed(device, kBaud).reply, Text("A\r"));
  // The handshake is not part of the transfer.
  EXPECT_TRUE(device.Frames().empty());
  EXPECT_EQ(device.DataFrameCount(), 0);
  // The updater may start over: the command is answered again in programming mode.
  EXPECT_EQ(Feed(device, kCommand).reply, Text("#FH\r"));
}

TEST(IapDeviceHandshake, FlashCmdWithoutHashStillEndsInCr) {
  SimConfig config = TestConfig(16, false);
  config.flashCmd = "GO";
  CIapDevice device(config, {});
  EXPECT_EQ(Feed(device, Text("GO\r")).reply, Text("#FH\r"));
}

TEST(IapDeviceFrames, ChecksEveryFrameAndWritesWhatIsRight) {
  struct Case {
    int size;
    bool wide;
    std::uint32_t address;
    std::uint32_t stored;  // where the data lands (16-bit frames carry 16 bits)
  };
  for (const Case c : {Case{16, false, 0x1230, 0x1230}, Case{32, false, 0x1240, 0x1240},
                       Case{16, true, 0x012340, 0x012340}, Case{32, true, 0xFEDCC0, 0xFEDCC0}}) {
    SCOPED_TRACE(std::to_string(c.size) + (c.wide ? " 24-bit" : " 16-bit"));
    CIapDevice device = ReadyDevice(c.size, c.wide);
    const Bytes data = Counting(c.size, 0x40);
    bool early = false;
    const DeviceOutput ok = Feed(device, HandFrame(c.wide, c.address, data), &early);
    EXPECT_FALSE(early);
    EXPECT_EQ(ok.reply, Text("A\r"));
    for (int i = 0; i < c.size; ++i) EXPECT_EQ(device.Flash().Read(c.stored + i), data[i]);

    // A wrong check byte: "N" CR, and the flash keeps what it had.
    const DeviceOutput bad =
        Feed(device, HandFrame(c.wide, c.address + 0x100, Counting(c.size), true));
    EXPECT_EQ(bad.reply, Text("N\r"));
    EXPECT_FALSE(device.Flash().IsWritten(c.stored + 0x100));
    EXPECT_EQ(device.DataFrameCount(), 2);
    EXPECT_EQ(device.AcceptedFrameCount(), 1);
    ASSERT_EQ(device.Frames().size(), 2u);
    EXPECT_EQ(device.Frames()[0], HandFrame(c.wide, c.address, data));
  }
}

TEST(IapDeviceFrames, KnownFrameFromTheWireIsAccepted) {
  // 16 data bytes 00..0F at 0x1230 as the updater sends them, check byte 0x27.
  Bytes frame = {0x15, 0x10, 0x12, 0x30};
  for (int i = 0; i < 16; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  frame.push_back(0x27);
  CIapDevice device = ReadyDevice(16, false);
  EXPECT_EQ(Feed(device, frame).reply, Text("A\r"));
  EXPECT_EQ(device.Flash().Read(0x123F), 0x0F);
}

TEST(IapDeviceFrames, RefusesFramesOfAnotherLayoutEvenWithARightCheckByte) {
  // Each device takes only its own record size and address width.
  CIapDevice narrow = ReadyDevice(32, false);
  EXPECT_EQ(Feed(narrow, HandFrame(false, 0x8000, Counting(16))).reply, Text("N\r"));
  EXPECT_EQ(Feed(narrow, HandFrame(true, 0x8000, Counting(32))).reply, Text("N\r"));
  CIapDevice wide = ReadyDevice(16, true);
  EXPECT_EQ(Feed(wide, HandFrame(false, 0x8000, Counting(16))).reply, Text("N\r"));
  EXPECT_EQ(narrow.Flash().WrittenCount() + wide.Flash().WrittenCount(), 0u);
  EXPECT_TRUE(narrow.InProgrammingMode());
}

TEST(IapDeviceEndOfFile, EachWidthEndsWithItsOwnFrame) {
  for (const bool wide : {false, true}) {
    CIapDevice device = ReadyDevice(16, wide);
    Feed(device, HandFrame(wide, 0x8000, Counting(16)));
    const Bytes& eof = wide ? kEof24 : kEof16;
    bool early = false;
    const DeviceOutput out = Feed(device, eof, &early);
    EXPECT_FALSE(early);  // the 24-bit frame is nine bytes although its first byte says 8
    EXPECT_EQ(out.message, SimMessage::kEndOfFile);
    EXPECT_TRUE(out.reply.empty());
    EXPECT_TRUE(device.Finished());
    EXPECT_TRUE(device.Errors().empty());
    ASSERT_EQ(device.Frames().size(), 2u);
    EXPECT_EQ(device.Frames().back(), eof);
    // Nothing is taken after the end.
    EXPECT_TRUE(Feed(device, HandFrame(wide, 0x8100, Counting(16))).reply.empty());
    EXPECT_EQ(device.Frames().size(), 2u);
  }
}

TEST(IapDeviceEndOfFile, TheOtherWidthsFrameEndsTheRunWithAnError) {
  CIapDevice wide = ReadyDevice(16, true);
  Feed(wide, kEof16);
  EXPECT_TRUE(wide.Finished());
  EXPECT_EQ(wide.Errors().size(), 1u);
  CIapDevice narrow = ReadyDevice(16, false);
  Feed(narrow, kEof24);
  EXPECT_TRUE(narrow.Finished());
  EXPECT_EQ(narrow.Errors().size(), 1u);
}

// The protected ranges are byte ranges: IAPSTART up to IAPEND with the byte at
// IAPEND outside, INTSTART..INTEND with both bounds inside, on either line. A
// frame with any byte in one is refused whole; the row at IAPEND is written on
// both lines, but over USB, whose programmer keeps it, it is still a fault.
TEST(IapDeviceProtectedRanges, FramesWithAByteInARangeAreRefusedAndWriteNothing) {
  struct Case {
    int size;
    std::uint32_t address;
    bool refused;     // on both lines
    bool usbFlagged;  // answered, but an error over USB
  };
  // TestConfig: IAPSTART 0xF000, IAPEND 0xF800, INTSTART 0xFFE0, INTEND 0xFFF0.
  const Case cases[] = {
      {16, 0xEFF0, false, false},  // the last row below the programmer
      {32, 0xEFF0, true, false},   // reaches 0xF000..0xF00F from below
      {32, 0xEFE0, false, false},  //
      {16, 0xF000, true, false},   // inside
      {16, 0xF400, true, false},   //
      {16, 0xF7F0, true, false},   // ends on the last byte before IAPEND
      {32, 0xF7E0, true, false},   //
      {16, 0xF800, false, true},   // the row at IAPEND
      {32, 0xF800, false, true},   //
      {16, 0xF810, false, false},  //
      {16, 0xFFD0, false, false},  // the last row below the reserved range
      {32, 0xFFC0, false, false},  //
      {32, 0xFFD0, true, false},   // reaches 0xFFE0..0xFFEF from below
      {16, 0xFFE0, true, false},   // inside
      {16, 0xFFF0, true, false},   // only its first byte, INTEND, is inside
  };
  for (const Case c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << "-byte row at 0x" << std::hex << c.address);
    const Bytes data = Counting(c.size, 0x10);
    const Bytes frame = HandFrame(false, c.address, data);
    CIapDevice serial = ReadyDevice(c.size, false);
    EXPECT_EQ(Feed(serial, frame).reply, Text(c.refused ? "N\r" : "A\r"));
    EXPECT_EQ(serial.Errors().size(), c.refused ? 1u : 0u);

    CIapDevice usb = ReadyDevice(c.size, false);
    Bytes report(64, 0);
    std::copy(frame.begin(), frame.end(), report.begin());
    EXPECT_EQ(usb.ReceiveReport(report.data(), report.size()).reply,
              Text(c.refused ? "N\r" : "A\r"));
    EXPECT_EQ(usb.Errors().size(), c.refused || c.usbFlagged ? 1u : 0u);

    for (const CIapDevice* device : {&serial, &usb}) {
      EXPECT_EQ(device->Flash().WrittenCount(), c.refused ? 0u : data.size());
      EXPECT_EQ(device->AcceptedFrameCount(), c.refused ? 0 : 1);
    }
    if (!c.refused) {
      EXPECT_EQ(serial.Flash().Read(c.address + c.size - 1), data.back());
    }
  }
}

TEST(IapDeviceProtectedRanges, TheRefusalNamesTheFrameTheRangeAndTheBytes) {
  CIapDevice device = ReadyDevice(32, false);
  Feed(device, HandFrame(false, 0x8000, Counting(32)));
  EXPECT_EQ(Feed(device, HandFrame(false, 0xEFF0, Counting(32))).reply, Text("N\r"));
  EXPECT_EQ(Feed(device, HandFrame(false, 0xFFE0, Counting(32))).reply, Text("N\r"));
  ASSERT_EQ(device.Errors().size(), 2u);
  EXPECT_EQ(device.Errors()[0],
            "frame 2 (0x00EFF0..0x00F00F) refused: bytes 0x00F000..0x00F00F lie in the "
            "programmer's range IAPSTART..IAPEND (0x00F000..0x00F7FF)");
  EXPECT_EQ(device.Errors()[1],
            "frame 3 (0x00FFE0..0x00FFFF) refused: bytes 0x00FFE0..0x00FFF0 lie in the reserved "
            "range INTSTART..INTEND (0x00FFE0..0x00FFF0)");
}

// Flash is not rewritten in place. The updater sends fill rows for page starts
// before the data over them and may send a row again after a lost answer.
TEST(IapDeviceOverwrites, FillThenDataAndARowSentTwiceAreTaken) {
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "24-bit" : "16-bit");
    CIapDevice device = ReadyDevice(32, wide);
    const Bytes fill(32, 0xFF);
    Bytes data = Counting(32, 0x20);
    data[5] = 0xFF;  // a fill byte inside the data row
    EXPECT_EQ(Feed(device, HandFrame(wide, 0x8200, fill)).reply, Text("A\r"));
    EXPECT_EQ(Feed(device, HandFrame(wide, 0x8200, fill)).reply, Text("A\r"));
    EXPECT_EQ(Feed(device, HandFrame(wide, 0x8200, data)).reply, Text("A\r"));
    EXPECT_EQ(Feed(device, HandFrame(wide, 0x8200, data)).reply, Text("A\r"));
    Bytes more = data;
    more[5] = 0x77;  // a byte that only held fill takes a value
    EXPECT_EQ(Feed(device, HandFrame(wide, 0x8200, more)).reply, Text("A\r"));
    EXPECT_TRUE(device.Errors().empty());
    EXPECT_EQ(device.AcceptedFrameCount(), 5);
    EXPECT_EQ(device.Flash().Read(0x8205), 0x77);
    EXPECT_EQ(device.Flash().Read(0x821F), data.back());
  }
}

TEST(IapDeviceOverwrites, AnotherValueOverAProgrammedByteIsRefused) {
  const Bytes data = Counting(32, 0x20);
  Bytes oneChanged = data;
  oneChanged[7] = 0x00;
  struct Case {
    const char* what;
    Bytes second;
    const char* reason;
  };
  const Case cases[] = {
      {"other data", Counting(32, 0x60),
       "frame 2 (0x008200..0x00821F) refused: 0x008200 holds 0x20, the frame would write 0x60 "
       "(32 programmed bytes would change)"},
      {"one byte changed", oneChanged,
       "frame 2 (0x008200..0x00821F) refused: 0x008207 holds 0x27, the frame would write 0x00 "
       "(1 programmed byte would change)"},
      {"fill over data", Bytes(32, 0xFF),
       "frame 2 (0x008200..0x00821F) refused: 0x008200 holds 0x20, the frame would write 0xFF "
       "(32 programmed bytes would change)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CIapDevice device = ReadyDevice(32, false);
    EXPECT_EQ(Feed(device, HandFrame(false, 0x8200, data)).reply, Text("A\r"));
    EXPECT_EQ(Feed(device, HandFrame(false, 0x8200, c.second)).reply, Text("N\r"));
    EXPECT_EQ(device.Errors(), std::vector<std::string>{c.reason});
    EXPECT_EQ(device.AcceptedFrameCount(), 1);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(device.Flash().Read(0x8200 + i), data[i]);
  }
}

TEST(IapDeviceFrames, ResynchronisesOnZerosAndDroppedPartials) {
  CIapDevice device = ReadyDevice(16, false);
  Bytes frame = HandFrame(false, 0x8000, Counting(16));
  Feed(device, {0x00, 0x00});
  Feed(device, Bytes(frame.begin(), frame.begin() + 7));
  EXPECT_TRUE(device.HasPartialMessage());
  device.DropPartialMessage();
  EXPECT_EQ(Feed(device, frame).reply, Text("A\r"));
  EXPECT_EQ(device.DataFrameCount(), 1);
}

TEST(IapDeviceReports, MessagesStartEachReportAndPaddingIsDropped) {
  CIapDevice device(TestConfig(32, false), {});
  Bytes report(64, 0);
  std::copy(kCommand.begin(), kCommand.end(), report.begin());
  EXPECT_EQ(device.ReceiveReport(report.data(), report.size()).reply, Text("#FH\r"));

  // A 37-byte frame in 16-byte payloads: three reports, the last one padded.
  const Bytes frame = HandFrame(false, 0x8020, Counting(32));
  DeviceOutput out;
  for (std::size_t at = 0; at < frame.size(); at += 16) {
    Bytes payload(16, 0);
    std::copy(frame.begin() + static_cast<std::ptrdiff_t>(at),
              frame.begin() + static_cast<std::ptrdiff_t>(std::min(at + 16, frame.size())),
              payload.begin());
    out = device.ReceiveReport(payload.data(), payload.size());
    if (at + 16 < frame.size()) {
      EXPECT_EQ(out.message, SimMessage::kNone);
    }
  }
  EXPECT_EQ(out.reply, Text("A\r"));
  EXPECT_EQ(device.Frames().back(), frame);

  // The padding of a baud-rate command's report is not read as a frame.
  Bytes baud(64, 0);
  std::copy(kBaud.begin(), kBaud.end(), baud.begin());
  EXPECT_EQ(device.ReceiveReport(baud.data(), baud.size()).reply, Text("A\r"));
  EXPECT_EQ(device.DataFrameCount(), 1);
}

TEST(IapDeviceFaults, NakAndGarbageHitFramesByArrivalNumber) {
  FaultPlan faults;
  faults.nak = {2, 3};
  faults.garbage = {5};
  CIapDevice device = ReadyDevice(16, false, faults);
  const Bytes row = HandFrame(false, 0x8000, Counting(16));
  std::vector<Bytes> replies;
  for (int i = 0; i < 6; ++i) replies.push_back(Feed(device, row).reply);
  const Bytes garbage(std::begin(kGarbageReply), std::end(kGarbageReply));
  EXPECT_EQ(replies, (std::vector<Bytes>{Text("A\r"), Text("N\r"), Text("N\r"), Text("A\r"),
                                         garbage, Text("A\r")}));
  EXPECT_EQ(garbage.size(), 2u);
  EXPECT_NE(garbage, Text("A\r"));
  EXPECT_EQ(device.AcceptedFrameCount(), 3);
  EXPECT_TRUE(device.FaultShown());
}

TEST(IapDeviceFaults, SilentAfterStopsAnsweringForGood) {
  FaultPlan faults;
  faults.silentAfter = 2;
  CIapDevice device = ReadyDevice(16, false, faults);
  const Bytes row = HandFrame(false, 0x8000, Counting(16));
  EXPECT_EQ(Feed(device, row).reply, Text("A\r"));
  EXPECT_EQ(Feed(device, row).reply, Text("A\r"));
  EXPECT_FALSE(device.FaultShown());
  EXPECT_TRUE(Feed(device, row).reply.empty());
  EXPECT_TRUE(device.FaultShown());
  EXPECT_TRUE(Feed(device, kCommand).reply.empty());
  EXPECT_TRUE(Feed(device, kBaud).reply.empty());
  EXPECT_EQ(device.DataFrameCount(), 3);
}

TEST(IapDeviceFaults, HangUpAfterDropsTheLineOnTheNextFrame) {
  FaultPlan faults;
  faults.hangupAfter = 1;
  CIapDevice device = ReadyDevice(16, false, faults);
  const Bytes row = HandFrame(false, 0x8000, Counting(16));
  EXPECT_FALSE(Feed(device, row).hangUp);
  const DeviceOutput out = Feed(device, row);
  EXPECT_TRUE(out.hangUp);
  EXPECT_TRUE(out.reply.empty());
  EXPECT_TRUE(device.HungUp());
  EXPECT_EQ(Feed(device, kEof16).message, SimMessage::kNone);
  EXPECT_FALSE(device.Finished());
}

TEST(IapDeviceFaults, NoReadyAndNoBaudAckKeepTheHandshakeFromEnding) {
  FaultPlan noReady;
  noReady.noReady = true;
  CIapDevice silent(TestConfig(16, false), noReady);
  EXPECT_TRUE(Feed(silent, kCommand).reply.empty());
  EXPECT_FALSE(silent.InProgrammingMode());
  EXPECT_TRUE(silent.FaultShown());

  FaultPlan noBaudAck;
  noBaudAck.noBaudAck = true;
  CIapDevice device(TestConfig(16, false), noBaudAck);
  EXPECT_EQ(Feed(device, kCommand).reply, Text("#FH\r"));
  EXPECT_TRUE(Feed(device, kBaud).reply.empty());
  EXPECT_TRUE(device.FaultShown());
  // Frames would still be taken: only the baud-rate command goes unanswered.
  EXPECT_EQ(Feed(device, HandFrame(false, 0x8000, Counting(16))).reply, Text("A\r"));
}

}  // namespace
