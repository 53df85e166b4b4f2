// CHidDevice over an in-memory HID bus: how it finds and opens a device, how a
// block becomes paced output reports, and how a reply is collected from input
// reports.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/HidDevice.h"
#include "support/FakeHidBackend.h"

namespace {

constexpr std::uint16_t kVid = 0x0483;
constexpr std::uint16_t kPid = 0x5750;

std::vector<std::uint8_t> Report(const std::string& payload, std::size_t length = 65) {
  std::vector<std::uint8_t> report(length, 0);
  for (std::size_t i = 0; i < payload.size() && i + 1 < length; ++i)
    report[i + 1] = static_cast<std::uint8_t>(payload[i]);
  return report;
}

std::vector<std::uint8_t> Block(int length) {
  std::vector<std::uint8_t> block(static_cast<std::size_t>(length));
  for (int i = 0; i < length; ++i)
    block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 1);
  return block;
}

class HidDeviceTest : public ::testing::Test {
 protected:
  HidDeviceTest() : bus(clock), hid(std::make_unique<CFakeHidBackend>(bus), clock) {
    hid.SetLog([this](const std::string& line) { log.push_back(line); });
  }

  std::shared_ptr<FakeHidDevice> OpenDevice(std::uint16_t in = 65, std::uint16_t out = 65) {
    auto device = bus.Add("dev0", kVid, kPid, 0x0200, in, out);
    EXPECT_TRUE(hid.Open(kVid, kPid));
    return device;
  }

  CFakeClock clock;
  FakeHidBus bus;
  CHidDevice hid;
  std::vector<std::string> log;
  std::uint8_t reply[CHidDevice::kReplyArea] = {};
  std::uint32_t count = 0;
};

// --- Finding and opening --------------------------------------------------------

TEST_F(HidDeviceTest, OpenPassesOverVersionOneAndOtherIdsAndKeepsOnlyTheMatch) {
  bus.Add("keyboard", 0x046D, 0xC31C, 0x0110);
  bus.Add("locked", kVid, kPid, 0x0200)->probeOpens = false;
  auto old = bus.Add("old", kVid, kPid, 0x0001);
  auto zero = bus.Add("zero", kVid, kPid, 0x0000);
  auto other = bus.Add("otherPid", kVid, kPid + 1, 0x0200);
  auto good = bus.Add("good", kVid, kPid, 0x0002);

  EXPECT_FALSE(hid.IsOpen());
  ASSERT_TRUE(hid.Open(kVid, kPid));
  EXPECT_TRUE(hid.IsOpen());
  // Only the matching device's probe, write and read handles are held.
  EXPECT_EQ(bus.liveProbes, 1);
  EXPECT_EQ(bus.liveWriteHandles, 1);
  EXPECT_EQ(bus.liveReadHandles, 1);

  const std::uint8_t frame[] = {3, 'B', 1};
  ASSERT_TRUE(hid.WriteReports(frame, 3));
  EXPECT_EQ(good->written.size(), 1u);
  EXPECT_TRUE(old->written.empty());
  EXPECT_TRUE(zero->written.empty());
  EXPECT_TRUE(other->written.empty());
}

// Two units with one VID:PID: a station names each by path or serial number, and
// its link looks at no other device (on the simulator's socket a look at one
// takes it from whoever is opening it).
TEST_F(HidDeviceTest, ASelectionOpensOnlyTheDeviceItNamesAndChecksItsSerialNumber) {
  auto first = bus.Add("unit-a", kVid, kPid, 0x0200);
  auto second = bus.Add("unit-b", kVid, kPid, 0x0200);
  first->attributes.serial = "SN-A";
  second->attributes.serial = "SN-B";
  struct Case {
    CHidDevice::Selection selection;
    const char* opens;  // nullptr: none
    int probes;         // probes opened on the way
  } cases[] = {
      {{"", ""}, "unit-a", 1},
      {{"unit-b", ""}, "unit-b", 1},
      {{"unit-b", "SN-B"}, "unit-b", 1},
      // Another unit plugged in at the path: not the one asked for.
      {{"unit-b", "SN-A"}, nullptr, 1},
      {{"gone", ""}, nullptr, 0},
      // The serial number alone: the first device that carries it.
      {{"", "SN-B"}, "unit-b", 2},
      {{"", "SN-C"}, nullptr, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selection.path + "/" + c.selection.serial);
    bus.probesOpened = 0;
    hid.Select(c.selection);
    EXPECT_EQ(hid.Open(kVid, kPid), c.opens != nullptr);
    EXPECT_EQ(bus.probesOpened, c.probes);
    if (c.opens != nullptr) {
      EXPECT_EQ(hid.OpenedPath(), c.opens);
    }
    hid.Close();
  }
}

TEST_F(HidDeviceTest, OpenFailsForVersionOneOnlyAndForIdsAbove16Bits) {
  bus.Add("old", kVid, kPid, 0x0001);
  EXPECT_FALSE(hid.Open(kVid, kPid));
  EXPECT_FALSE(hid.IsOpen());

  bus.Add("good", kVid, kPid, 0x0002);
  // The low 16 bits match, the full value does not.
  EXPECT_FALSE(hid.Open(0x10000u + kVid, kPid));
  EXPECT_FALSE(hid.Open(kVid, 0x10000u + kPid));
  EXPECT_EQ(bus.liveProbes + bus.liveWriteHandles + bus.liveReadHandles, 0);
  EXPECT_TRUE(hid.Open(kVid, kPid));
}

TEST_F(HidDeviceTest, OpenAgainReplacesTheHandlesAndCloseKeepsIsOpen) {
  auto device = OpenDevice();
  ASSERT_TRUE(hid.Open(kVid, kPid));
  ASSERT_TRUE(hid.Open(kVid, kPid));
  EXPECT_EQ(bus.liveProbes, 1);
  EXPECT_EQ(bus.liveWriteHandles, 1);
  EXPECT_EQ(bus.liveReadHandles, 1);

  hid.Close();
  EXPECT_EQ(bus.liveProbes + bus.liveWriteHandles + bus.liveReadHandles, 0);
  EXPECT_TRUE(hid.IsOpen());  // the result of the last Open
  hid.Close();                // closing twice is harmless
  const std::uint8_t byte = 1;
  EXPECT_FALSE(hid.WriteReports(&byte, 1));
  EXPECT_TRUE(device->written.empty());

  // A failing Open lets go of what the earlier one held.
  ASSERT_TRUE(hid.Open(kVid, kPid));
  EXPECT_FALSE(hid.Open(kVid, kPid + 7));
  EXPECT_FALSE(hid.IsOpen());
  EXPECT_EQ(bus.liveProbes + bus.liveWriteHandles + bus.liveReadHandles, 0);
}

TEST_F(HidDeviceTest, OpenRefusesADeviceWhoseWriteOrReadHandleCannotBeOpened) {
  auto device = bus.Add("dev0", kVid, kPid, 0x0200);
  device->writeOpens = false;
  EXPECT_FALSE(hid.Open(kVid, kPid));
  device->writeOpens = true;
  device->readOpens = false;
  EXPECT_FALSE(hid.Open(kVid, kPid));
  EXPECT_FALSE(hid.IsOpen());
  EXPECT_EQ(bus.liveProbes + bus.liveWriteHandles + bus.liveReadHandles, 0);

  // A second device with the same ids that can be opened is taken instead.
  auto second = bus.Add("dev1", kVid, kPid, 0x0200);
  EXPECT_TRUE(hid.Open(kVid, kPid));
  const std::uint8_t byte = 1;
  EXPECT_TRUE(hid.WriteReports(&byte, 1));
  EXPECT_EQ(second->written.size(), 1u);
}

TEST_F(HidDeviceTest, OpenRefusesReportLengthsTheBuffersCannotHold) {
  struct Lengths {
    std::uint16_t in, out;
    bool usable;
  };
  const Lengths cases[] = {{65, 1, false},  {65, 129, false}, {66, 65, false},
                           {1, 65, false},  {65, 0, false},   {65, 2, true},
                           {65, 128, true}, {2, 65, true},    {9, 9, true}};
  for (const Lengths& c : cases) {
    bus.devices.clear();
    bus.Add("dev", kVid, kPid, 0x0200, c.in, c.out);
    EXPECT_EQ(hid.Open(kVid, kPid), c.usable) << "in " << c.in << " out " << c.out;
  }
}

// --- Writing --------------------------------------------------------------------

TEST_F(HidDeviceTest, A37ByteFrameGoesInOneZeroPaddedReportWithoutPause) {
  auto device = OpenDevice();
  const auto frame = Block(37);
  ASSERT_TRUE(hid.WriteReports(frame.data(), 37));
  ASSERT_EQ(device->written.size(), 1u);
  const auto& report = device->written[0];
  ASSERT_EQ(report.size(), 65u);
  EXPECT_EQ(report[0], 0);  // report id
  for (int i = 0; i < 37; ++i) EXPECT_EQ(report[1 + i], frame[i]) << i;
  for (int i = 38; i < 65; ++i) EXPECT_EQ(report[i], 0) << i;
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_TRUE(log.empty());
}

TEST_F(HidDeviceTest, ALongBlockIsCutIntoReportsWithTheirPauses) {
  auto device = OpenDevice();
  const auto block = Block(130);
  ASSERT_TRUE(hid.WriteReports(block.data(), 130));
  ASSERT_EQ(device->written.size(), 3u);
  for (int r = 0; r < 3; ++r) {
    const auto& report = device->written[r];
    EXPECT_EQ(report[0], 0);
    const int carried = r < 2 ? 64 : 2;
    for (int i = 0; i < 64; ++i)
      EXPECT_EQ(report[1 + i], i < carried ? block[r * 64 + i] : 0) << r << ":" << i;
  }
  // Pauses between the reports only, none after the last.
  EXPECT_EQ(clock.sleeps, (std::vector<int>{35, 35}));
  EXPECT_EQ(device->writtenAtMs[1] - device->writtenAtMs[0], 35);
  EXPECT_EQ(device->writtenAtMs[2] - device->writtenAtMs[1], 35);
}

TEST_F(HidDeviceTest, At9600TheFirstPauseIs16AndTheLaterOnes11) {
  hid.SetPacedFor9600(true);
  auto device = OpenDevice();
  auto block = Block(130);
  ASSERT_TRUE(hid.WriteReports(block.data(), 130));
  EXPECT_EQ(clock.sleeps, (std::vector<int>{16, 11}));
  EXPECT_EQ(device->writtenAtMs[1] - device->writtenAtMs[0], 16);
  EXPECT_EQ(device->writtenAtMs[2] - device->writtenAtMs[1], 11);

  clock.sleeps.clear();
  block = Block(64 * 4);  // exactly four full reports
  ASSERT_TRUE(hid.WriteReports(block.data(), 64 * 4));
  EXPECT_EQ(device->written.size(), 7u);
  EXPECT_EQ(clock.sleeps, (std::vector<int>{16, 11, 11}));
  EXPECT_EQ(device->writtenAtMs[4] - device->writtenAtMs[3], 16);
  EXPECT_EQ(device->writtenAtMs[5] - device->writtenAtMs[4], 11);
  EXPECT_EQ(device->writtenAtMs[6] - device->writtenAtMs[5], 11);
}

// Each pause runs from the moment the report before it went out: writes that take
// their time (one far longer than the others) neither shorten the next pause nor
// let it make up for the time lost.
TEST_F(HidDeviceTest, EveryPauseRunsInFullFromTheEndOfTheWriteBeforeIt) {
  struct Write {
    std::int64_t startMs;
    std::int64_t endMs;
  };
  for (const bool paced9600 : {false, true}) {
    SCOPED_TRACE(paced9600 ? "9600" : "35 ms");
    auto device = bus.Add(paced9600 ? "dev9600" : "dev35", kVid, kPid, 0x0200, 65, 17);
    hid.Select({device->path, {}});
    ASSERT_TRUE(hid.Open(kVid, kPid));
    hid.SetPacedFor9600(paced9600);
    std::vector<Write> writes;
    const std::int64_t writeTimes[] = {5, 30, 0, 2};
    device->modelWrite = [&](const std::uint8_t*, int) {
      const std::int64_t start = clock.ms;
      clock.Advance(static_cast<int>(writeTimes[writes.size() % 4]));
      writes.push_back({start, clock.ms});
      return true;
    };
    const auto block = Block(16 * 4);
    ASSERT_TRUE(hid.WriteReports(block.data(), 16 * 4));
    ASSERT_EQ(writes.size(), 4u);
    const std::vector<std::int64_t> pauses =
        paced9600 ? std::vector<std::int64_t>{16, 11, 11} : std::vector<std::int64_t>{35, 35, 35};
    for (std::size_t i = 1; i < writes.size(); ++i) {
      // Exactly the pause on this clock, where nothing but the writes takes time.
      EXPECT_EQ(writes[i].startMs - writes[i - 1].endMs, pauses[i - 1]) << "before report " << i;
    }
    // None after the last report.
    EXPECT_EQ(clock.ms, writes.back().endMs);
  }
}

TEST_F(HidDeviceTest, LengthZeroSendsAndLogsNothing) {
  auto device = OpenDevice();
  const std::uint8_t byte = 0;
  EXPECT_FALSE(hid.WriteReports(&byte, 0));
  EXPECT_FALSE(hid.WriteReports(&byte, -5));
  EXPECT_TRUE(device->written.empty());
  EXPECT_TRUE(log.empty());
}

TEST_F(HidDeviceTest, AWriteTimeOutLogsTheErrorCodeAndEndsWritingButNotReading) {
  auto device = OpenDevice();
  device->writeResults = {1, kHidTimedOut};
  device->errorCode = 997;
  const auto block = Block(130);
  EXPECT_FALSE(hid.WriteReports(block.data(), 130));
  EXPECT_EQ(device->written.size(), 1u);  // the third report is never tried
  EXPECT_EQ(log, (std::vector<std::string>{"997"}));
  EXPECT_EQ(bus.liveWriteHandles, 0);

  const std::uint8_t byte = 1;
  EXPECT_FALSE(hid.WriteReports(&byte, 1));
  EXPECT_EQ(device->written.size(), 1u);
  EXPECT_EQ(log.size(), 1u);

  device->reads.push_back({65, Report("A\r")});
  EXPECT_TRUE(hid.ReadLine(reply, count));

  ASSERT_TRUE(hid.Open(kVid, kPid));  // a new Open brings writing back
  EXPECT_TRUE(hid.WriteReports(&byte, 1));
}

// --- Reading --------------------------------------------------------------------

TEST_F(HidDeviceTest, AReplyInOneReportEndsAtItsCarriageReturn) {
  auto device = OpenDevice();
  auto report = Report("#FH\rjunk after the CR");
  device->reads.push_back({65, report});
  ASSERT_TRUE(hid.ReadLine(reply, count));
  EXPECT_STREQ(reinterpret_cast<const char*>(reply), "#FH\r");
  EXPECT_EQ(reply[4], 0);
  EXPECT_EQ(reply[5], 0);  // nothing of what followed the CR
  EXPECT_EQ(count, 65u);
  EXPECT_EQ(log, (std::vector<std::string>{"65"}));
}

TEST_F(HidDeviceTest, AReplySplitAcrossReportsIsJoinedZerosIncluded) {
  auto device = OpenDevice(4, 65);  // three payload bytes per input report
  device->reads.push_back({4, {0, '#', 'F', 'H'}});
  device->reads.push_back({4, {0, '\r', 'x', 'y'}});
  ASSERT_TRUE(hid.ReadLine(reply, count));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply), 5), std::string("#FH\r\0", 5));
  EXPECT_EQ(log, (std::vector<std::string>{"4", "4"}));

  std::fill(std::begin(reply), std::end(reply), 0);
  device->reads.push_back({4, {0, 'A', 0, 0}});
  device->reads.push_back({3, {0, 0, '\r', 'z'}});
  ASSERT_TRUE(hid.ReadLine(reply, count));
  const std::uint8_t expected[] = {'A', 0, 0, 0, '\r', 0};
  EXPECT_EQ(std::vector<std::uint8_t>(reply, reply + 6),
            std::vector<std::uint8_t>(expected, expected + 6));
  EXPECT_EQ(count, 3u);  // the count of the last report read
}

TEST_F(HidDeviceTest, ATimeOutClosesReadingSoTheNextReadFailsTooUntilOpen) {
  auto device = OpenDevice();
  device->errorCode = 997;
  EXPECT_FALSE(hid.ReadLine(reply, count));
  EXPECT_EQ(log, (std::vector<std::string>{"997"}));
  EXPECT_EQ(bus.liveReadHandles, 0);

  // The reply arrives too late for this link: the next read waits its 3000 ms
  // for nothing and fails the same way.
  device->reads.push_back({65, Report("#FH\r")});
  EXPECT_FALSE(hid.ReadLine(reply, count));
  EXPECT_EQ(clock.SleptMs(), 3000);
  EXPECT_EQ(log, (std::vector<std::string>{"997", "997"}));
  EXPECT_EQ(device->readsAsked, 1);

  ASSERT_TRUE(hid.Open(kVid, kPid));
  EXPECT_TRUE(hid.ReadLine(reply, count));
}

TEST_F(HidDeviceTest, FailuresOtherThanTimeOutsEndWritingOrReadingWithoutALogLine) {
  auto device = OpenDevice();
  device->writeResults = {kHidFailed};
  const std::uint8_t byte = 1;
  EXPECT_FALSE(hid.WriteReports(&byte, 1));
  EXPECT_EQ(bus.liveWriteHandles, 0);
  device->reads.push_back({kHidFailed, {}});
  EXPECT_FALSE(hid.ReadLine(reply, count));
  EXPECT_EQ(bus.liveReadHandles, 0);
  EXPECT_TRUE(log.empty());
}

TEST_F(HidDeviceTest, AReplyLongerThanTheReplyAreaFailsWithoutWritingPastIt) {
  auto device = OpenDevice();
  std::uint8_t area[CHidDevice::kReplyArea + 16];
  std::fill(std::begin(area), std::end(area), 0);
  std::fill(area + CHidDevice::kReplyArea, std::end(area), 0xEE);
  // 64 payload bytes per report, none of them a CR, again and again.
  for (int i = 0; i < 3; ++i) device->reads.push_back({65, Report(std::string(64, 'x'))});
  EXPECT_FALSE(hid.ReadLine(area, count));
  EXPECT_EQ(area[CHidDevice::kReplyArea - 1], 0);
  EXPECT_EQ(area[CHidDevice::kReplyArea - 2], 0);
  for (std::size_t i = CHidDevice::kReplyArea; i < sizeof area; ++i) EXPECT_EQ(area[i], 0xEE);
  EXPECT_EQ(log, (std::vector<std::string>{"65"}));
  // Reading has ended as after a time-out: the rest of the talk is not taken as
  // the next reply.
  EXPECT_EQ(bus.liveReadHandles, 0);
  EXPECT_FALSE(hid.ReadLine(area, count));
}

TEST_F(HidDeviceTest, TheLongestLineThatFitsIs62BytesAndItsCarriageReturn) {
  auto device = OpenDevice();
  device->reads.push_back({65, Report(std::string(62, 'y') + "\r")});
  ASSERT_TRUE(hid.ReadLine(reply, count));
  EXPECT_EQ(reply[61], 'y');
  EXPECT_EQ(reply[62], '\r');
  EXPECT_EQ(reply[63], 0);
  EXPECT_EQ(reply[64], 0);

  std::fill(std::begin(reply), std::end(reply), 0);
  device->reads.push_back({65, Report(std::string(63, 'y') + "\r")});
  EXPECT_FALSE(hid.ReadLine(reply, count));
  EXPECT_EQ(reply[63], 0);
  EXPECT_EQ(reply[64], 0);
}

TEST_F(HidDeviceTest, ReadLineOnALinkNeverOpenedFailsAtOnce) {
  EXPECT_FALSE(hid.ReadLine(reply, count));
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_TRUE(log.empty());
}

// --- Giving up when the window closes ----------------------------------------------

TEST_F(HidDeviceTest, AnAbortStopsThePausesAndTheWaitOnAClosedReadHandle) {
  auto device = OpenDevice();
  std::atomic<bool> abort{false};
  hid.SetAbort(&abort);
  EXPECT_FALSE(hid.ReadLine(reply, count));  // time-out: reading ends
  log.clear();

  abort = true;
  EXPECT_FALSE(hid.ReadLine(reply, count));
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_TRUE(log.empty());

  const auto block = Block(130);
  EXPECT_FALSE(hid.WriteReports(block.data(), 130));
  EXPECT_LE(device->written.size(), 1u);
}

// An abort raised while the link waits ends the wait within one slice of 100 ms,
// in a pause between reports and in the 3000 ms wait on a closed read handle.
TEST_F(HidDeviceTest, AnAbortDuringAWaitIsSeenWithinOneSlice) {
  auto device = OpenDevice(65, 17);
  std::atomic<bool> abort{false};
  hid.SetAbort(&abort);
  // The abort is raised at atMs; this clock lets the link see it once a wait that
  // reaches that moment is over.
  const auto abortAt = [&](std::int64_t atMs) {
    abort = false;
    clock.afterSleep = [&, atMs] {
      if (clock.ms >= atMs) abort = true;
    };
  };

  std::int64_t at = clock.ms + 20;  // within the first 35 ms pause
  abortAt(at);
  const auto block = Block(16 * 3);
  EXPECT_FALSE(hid.WriteReports(block.data(), 16 * 3));
  EXPECT_EQ(device->written.size(), 1u);
  EXPECT_LE(clock.ms, at + kHidAbortSliceMs);

  abort = false;
  clock.afterSleep = nullptr;
  EXPECT_FALSE(hid.ReadLine(reply, count));  // time-out: reading ends
  log.clear();
  clock.sleeps.clear();
  at = clock.ms + 1234;
  abortAt(at);
  EXPECT_FALSE(hid.ReadLine(reply, count));
  EXPECT_TRUE(abort);
  EXPECT_LE(clock.ms, at + kHidAbortSliceMs);
  for (int sleep : clock.sleeps) EXPECT_LE(sleep, kHidAbortSliceMs);
  EXPECT_TRUE(log.empty());  // an aborted wait reports no time-out
}

}  // namespace
