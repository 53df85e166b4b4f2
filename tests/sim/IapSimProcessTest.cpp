// iapsim as a program: what a technician sees of a refused frame on its stderr,
// and the exit status that marks the run failed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "sim/SimTestSupport.h"
#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;

TEST(IapSimProgram, RefusedFramesAreExplainedOnStderrAndFailTheRun) {
  CScratchDir dir;
  dir.Write("MpptConfigFile.ini",
            "[DEVICELIST]\r\nDEVICECOUNT=1\r\n[DEVICE0]\r\nVID=0x1209\r\nPID=0x0001\r\n"
            "FLASHCMD=IAPMODE#\r\nCOMMUNICATBDRATE=9600\r\nPROGRAMBDRATE=9600\r\n"
            "RAWDATASIZE=32\r\nROMHEAD=0x8000\r\nROMTAIL=0xFFFF\r\nINTSTART=0xFFC0\r\n"
            "INTEND=0xFFE0\r\nIAPSTART=0xF000\r\nIAPEND=0xF40F\r\n");
  testproc::CChild sim;
  ASSERT_TRUE(sim.Start({IAP_SIM_PROGRAM, "serial", "--config", "MpptConfigFile.ini", "--timeout",
                         "20", "--linger", "0.5"},
                        dir.Path(), {}, dir.File("sim.out"), dir.File("sim.err")));
  const std::string path = sim.WaitReady();
  ASSERT_FALSE(path.empty()) << testproc::ReadFile(dir.File("sim.err"));
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const auto send = [&](const Bytes& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  };
  send(Text("IAPMODE\r"));
  EXPECT_EQ(ReadFor(fd, 4, 2000ms), Text("#FH\r"));
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

}  // namespace
