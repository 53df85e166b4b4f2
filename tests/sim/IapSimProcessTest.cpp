// iapsim as a program: what a technician sees of a refused frame on its stderr,
// the exit status that marks the run failed, and the command line the tests and
// scripts start it with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "link/os/socket/HidSocketProtocol.h"
#include "sim/SimTestSupport.h"
#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;

const char kConfig[] =
    "[DEVICELIST]\r\nDEVICECOUNT=1\r\n[DEVICE0]\r\nVID=0x1209\r\nPID=0x0001\r\n"
    "FLASHCMD=IAPMODE#\r\nCOMMUNICATBDRATE=9600\r\nPROGRAMBDRATE=9600\r\n"
    "RAWDATASIZE=32\r\nROMHEAD=0x8000\r\nROMTAIL=0xFFFF\r\nINTSTART=0xFFC0\r\n"
    "INTEND=0xFFE0\r\nIAPSTART=0xF000\r\nIAPEND=0xF40F\r\n";

void Send(int fd, const Bytes& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Starts "iapsim serial" with options in dir (with kConfig as its INI), opens its
// pty and puts the programmer into programming mode. The pty's descriptor, or -1
// after a failed expectation.
int StartInProgrammingMode(CScratchDir& dir, testproc::CChild& sim,
                           const std::vector<std::string>& options) {
  dir.Write("MpptConfigFile.ini", kConfig);
  std::vector<std::string> args = {IAP_SIM_PROGRAM, "serial"};
  args.insert(args.end(), options.begin(), options.end());
  EXPECT_TRUE(sim.Start(args, dir.Path(), {}, dir.File("sim.out"), dir.File("sim.err")));
  const std::string path = sim.WaitReady();
  EXPECT_FALSE(path.empty()) << testproc::ReadFile(dir.File("sim.err"));
  if (path.empty()) return -1;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  Send(fd, Text("IAPMODE\r"));
  EXPECT_EQ(ReadFor(fd, 4, 2000ms), Text("#FH\r"));
  return fd;
}

TEST(IapSimProgram, RefusedFramesAreExplainedOnStderrAndFailTheRun) {
  CScratchDir dir;
  testproc::CChild sim;
  const int fd = StartInProgrammingMode(
      dir, sim, {"--config", "MpptConfigFile.ini", "--timeout", "20", "--linger", "0.5"});
  ASSERT_GE(fd, 0);
  const auto send = [&](const Bytes& bytes) { Send(fd, bytes); };
  send(HandFrame(false, 0x8000, Counting(32)));
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Text("A\r"));
  send(HandFrame(false, 0xEFF0, Counting(32)));  // reaches into the programmer
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Text("N\r"));
  send(HandFrame(false, 0x8000, Counting(32, 1)));  // over the first frame's data
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Text("N\r"));
  send(kEof16);
  EXPECT_EQ(sim.Wait(10), 1);
  ::close(fd);

  const std::string err = testproc::ReadFile(dir.File("sim.err"));
  EXPECT_NE(err.find("iapsim: frame 2 (0x00EFF0..0x00F00F) refused: bytes 0x00F000..0x00F00F lie "
                     "in the programmer's range IAPSTART..IAPEND (0x00F000..0x00F3FF)\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("iapsim: frame 3 (0x008000..0x00801F) refused: 0x008000 holds 0x00, the "
                     "frame would write 0x01 (32 programmed bytes would change)\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("3 data frames, 1 written to flash"), std::string::npos) << err;
}

// A command line that is wrong ends the run before any line is up: status 2, one
// line that names what is wrong, and the pointer to the help.
TEST(IapSimCommandLine, UsageErrorsNameTheOptionAndEndWithStatus2) {
  CScratchDir dir;
  dir.Write("MpptConfigFile.ini", kConfig);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"frobnicate"}, "serial or hid"},
      {{"--pace", "serial"}, "--pace"},
      {{"serial", "--timeout", "0"}, "--timeout"},
      {{"serial", "--linger"}, "--linger"},
      {{"serial", "--config", ""}, "--config"},
      {{"serial", "--vid", "0x1209"}, "--vid"},  // an HID attribute, not a serial option
      {{"hid"}, "--socket"},
      {{"hid", "--socket", "s", "--pid", "0x10000"}, "--pid"},
      {{"hid", "--socket", "s", "--hid-version", "08"}, "--hid-version"},  // not octal
      {{"hid", "--socket", "s", "--serial", ""}, "--serial"},
      {{"hid", "--socket", "s", "--serial", std::string(127, 'S')},
       "127 bytes, a USB serial number has at most 126"},
      {{"serial", "--serial", "SN1"}, "--serial"},  // a USB string, not a serial option
      {{"serial", "--fault", "nak=x"}, "unknown fault 'nak=x'"},
      {{"serial", "--fault", "nak=2", "garbage=3"}, "garbage=3"},  // one fault a --fault
  };
  for (const auto& [words, named] : cases) {
    std::vector<std::string> args{IAP_SIM_PROGRAM};
    args.insert(args.end(), words.begin(), words.end());
    SCOPED_TRACE(testing::PrintToString(args));
    testproc::CChild sim;
    ASSERT_TRUE(sim.Start(args, dir.Path(), {}, dir.File("sim.out"), dir.File("sim.err")));
    EXPECT_EQ(sim.Wait(10), 2);  // -1: taken, and killed waiting for an updater
    EXPECT_EQ(testproc::ReadFile(dir.File("sim.out")), "");
    const std::vector<std::string> err = testproc::Lines(testproc::ReadFile(dir.File("sim.err")));
    ASSERT_EQ(err.size(), 2u) << testing::PrintToString(err);
    EXPECT_EQ(err[0].rfind("iapsim: ", 0), 0u) << err[0];
    EXPECT_NE(err[0].find(named), std::string::npos) << err[0];
    EXPECT_EQ(err[1], "see iapsim --help");
  }
}

// Every --fault given is shown, not only the last one.
TEST(IapSimCommandLine, RepeatedFaultsAreAllShown) {
  CScratchDir dir;
  testproc::CChild sim;
  const int fd = StartInProgrammingMode(
      dir, sim, {"--fault", "nak=1", "--fault", "garbage=2", "--timeout", "20", "--linger", "0.5"});
  ASSERT_GE(fd, 0);
  const auto send = [&](const Bytes& bytes) { Send(fd, bytes); };
  send(HandFrame(false, 0x8000, Counting(32)));
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Text("N\r"));
  send(HandFrame(false, 0x8020, Counting(32)));
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Bytes(std::begin(kGarbageReply), std::end(kGarbageReply)));
  send(HandFrame(false, 0x8040, Counting(32)));
  EXPECT_EQ(ReadFor(fd, 2, 2000ms), Text("A\r"));
  ::close(fd);
}

// The HID attributes are numbers as strtoul reads them in base 0: the scripts give
// the ids in hexadecimal, and a leading 0 is octal. The hello carries them, then
// the serial number, as long as a string descriptor allows.
TEST(IapSimCommandLine, HidAttributesReadInHexadecimalAndOctalReachTheHello) {
  CScratchDir dir;
  dir.Write("MpptConfigFile.ini", kConfig);
  const std::string serial(hidsock::kMaxSerialSize, 'S');
  testproc::CChild sim;
  ASSERT_TRUE(
      sim.Start({IAP_SIM_PROGRAM, "hid", "--vid", "0x04D8", "--socket", dir.File("hid.sock"),
                 "--pid", "0X00e3", "--hid-version", "010", "--input-report-length", "9",
                 "--output-report-length", "0x11", "--serial", serial, "--timeout", "20"},
                dir.Path(), {}, dir.File("sim.out"), dir.File("sim.err")));
  const std::string path = sim.WaitReady();
  ASSERT_FALSE(path.empty()) << testproc::ReadFile(dir.File("sim.err"));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(ReadFor(fd, 13, 2000ms),
            (Bytes{136, 0, 'H', 0xD8, 0x04, 0xE3, 0x00, 0x08, 0x00, 9, 0, 0x11, 0}));
  EXPECT_EQ(ReadFor(fd, serial.size(), 2000ms), Bytes(serial.begin(), serial.end()));
  ::close(fd);
}

}  // namespace
