#pragma once
// Running the updater and the simulator as a technician would: two real programs,
// each in a fresh directory, each bounded in time, their output captured in files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"

namespace e2e {

using Bytes = std::vector<std::uint8_t>;

using testproc::CChild;
using testproc::Count;
using testproc::Lines;
using testproc::ReadFile;

class CScratchDir {
 public:
  CScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "iap-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~CScratchDir() {
    std::error_code ec;
    if (!::testing::Test::HasFailure()) std::filesystem::remove_all(m_path, ec);
  }
  CScratchDir(const CScratchDir&) = delete;
  CScratchDir& operator=(const CScratchDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
  }

 private:
  std::string m_path;
};

// One device map for a test run, written out as the updater's INI file.
struct DeviceMap {
  bool address24 = false;
  int recordSize = 32;
  std::uint32_t programBaud = 9600;
  std::uint32_t romHead = 0, romTail = 0, pageSize = 0, iapMark = 0;
  std::uint32_t iapStart = 0, iapEnd = 0, intStart = 0, intEnd = 0;
  const char* flashCmd = "";
  const char* variant = "";
  const char* configName = "";
  const char* firmware = "";  // in examples/
};

// The two example devices (examples/solvane, examples/castrel), with the record
// size to test.
inline DeviceMap Solvane(int recordSize) {
  DeviceMap m;
  m.recordSize = recordSize;
  m.romHead = 0x8000, m.romTail = 0xFFFF, m.pageSize = 0x200, m.iapMark = 0x8400;
  m.iapStart = 0xF000, m.iapEnd = 0xF400, m.intStart = 0xFFC0, m.intEnd = 0xFFE0;
  m.flashCmd = "IAPMODE#", m.variant = "solvane", m.configName = "MpptConfigFile.ini";
  m.firmware = "solvane/firmware.mppt";
  return m;
}

inline DeviceMap Castrel(int recordSize) {
  DeviceMap m;
  m.address24 = true;
  m.recordSize = recordSize;
  m.romHead = 0x00F000, m.romTail = 0x02FFFF, m.pageSize = 0x400, m.iapMark = 0x010000;
  m.iapStart = 0x010800, m.iapEnd = 0x010C00, m.intStart = 0x011200, m.intEnd = 0x011240;
  m.flashCmd = "FWUPDATE#", m.variant = "castrel", m.configName = "InvConfigFile.ini";
  m.firmware = "castrel/firmware.S19";
  return m;
}

inline std::string IniText(const DeviceMap& m) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "[DEVICELIST]\r\nDEVICECOUNT=1\r\n[DEVICE0]\r\nVID=0x1209\r\nPID=0x00E2\r\n"
                "COMMUNICATBDRATE=2400\r\nPROGRAMBDRATE=%u\r\nRAWDATASIZE=%d\r\nHEADLINE=0\r\n"
                "ROMHEAD=0x%06X\r\nROMTAIL=0x%06X\r\nINTSTART=0x%06X\r\nINTEND=0x%06X\r\n"
                "PAGESIZE=0x%X\r\nIAPSTART=0x%06X\r\nIAPEND=0x%06X\r\nIAPMARK=0x%06X\r\n"
                "FLASHCMD=%s\r\nIAPCODEPROTECT=0\r\n",
                m.programBaud, m.recordSize, m.romHead, m.romTail, m.intStart, m.intEnd, m.pageSize,
                m.iapStart, m.iapEnd, m.iapMark, m.flashCmd);
  return text;
}

// The frames the device must receive for a tmp.bin, built here from the row
// layout (length, address 23..0, count, data) without the updater's code: every
// whole row outside the protected ranges, in order, then the end-of-file frame.
inline std::vector<std::string> ExpectedFrames(const Bytes& image, const DeviceMap& m, bool hid) {
  const std::size_t stride = static_cast<std::size_t>(m.recordSize) + 5;
  std::vector<std::string> frames;
  char hex[3];
  for (std::size_t at = 0; at + stride <= image.size(); at += stride) {
    const std::uint8_t* row = image.data() + at;
    const std::uint32_t address = (std::uint32_t{row[1]} << 16) | (row[2] << 8) | row[3];
    const bool inIap = address >= m.iapStart && (hid ? address <= m.iapEnd : address < m.iapEnd);
    const bool inInt = address >= m.intStart && address <= m.intEnd;
    if (inIap || inInt) continue;
    Bytes f;
    const auto n = static_cast<std::uint8_t>(m.recordSize);
    if (m.address24) {
      f = {static_cast<std::uint8_t>(n + 6), row[1], row[2], row[3], n};
    } else {
      f = {static_cast<std::uint8_t>(n + 5), n, row[2], row[3]};
    }
    f.insert(f.end(), row + 5, row + 5 + m.recordSize);
    std::uint8_t check = 0;
    for (std::uint8_t b : f) check ^= b;
    f.push_back(check);
    std::string line;
    for (std::uint8_t b : f) {
      std::snprintf(hex, sizeof hex, "%02X", b);
      line += hex;
    }
    frames.push_back(line);
  }
  frames.push_back(m.address24 ? "0800000004454F4647" : "08030000454F4647");
  return frames;
}

enum class Link { kSerial, kHid };

// One update: the simulator started with the map's INI and the given faults, the
// updater run against it in the same directory, both awaited.
struct UpdateRun {
  int flashStatus = -2;
  int simStatus = -2;
  std::vector<std::string> log;     // iapflash stdout
  std::vector<std::string> boxes;   // iapflash stderr
  std::vector<std::string> frames;  // what the simulator received
  std::string simErrors;
  Bytes image;  // tmp.bin as the updater prepared it
};

inline UpdateRun RunUpdate(const CScratchDir& dir, const DeviceMap& map, Link link,
                           const std::vector<std::string>& simOptions = {},
                           double flashLimitSeconds = 60) {
  UpdateRun run;
  dir.Write(map.configName, IniText(map));
  const std::string firmwareName = std::filesystem::path(map.firmware).filename().string();
  std::filesystem::copy_file(std::string(IAP_EXAMPLES_DIR) + "/" + map.firmware,
                             dir.File(firmwareName));
  std::vector<std::string> simArgs = {IAP_SIM_PROGRAM, link == Link::kSerial ? "serial" : "hid"};
  if (link == Link::kHid) simArgs.insert(simArgs.end(), {"--socket", dir.File("hid.sock")});
  simArgs.insert(simArgs.end(), {"--config", map.configName, "--frames", "frames.txt", "--image",
                                 "flash.s19", "--timeout", "30", "--linger", "0.5"});
  simArgs.insert(simArgs.end(), simOptions.begin(), simOptions.end());
  CChild sim;
  if (!sim.Start(simArgs, dir.Path(), {}, dir.File("sim.out"), dir.File("sim.err"))) {
    ADD_FAILURE() << "cannot start iapsim";
    return run;
  }
  const std::string path = sim.WaitReady();
  if (path.empty()) {
    ADD_FAILURE() << "iapsim did not come up: " << ReadFile(dir.File("sim.err"));
    return run;
  }
  const std::string env = link == Link::kSerial ? "IAP_COM3=" + path : "IAP_HID_SOCKET=" + path;
  CChild flash;
  flash.Start({IAP_FLASH_PROGRAM, "--variant", map.variant, "--interface",
               link == Link::kSerial ? "COM3" : "USB", firmwareName},
              dir.Path(), {env}, dir.File("flash.out"), dir.File("flash.err"));
  run.flashStatus = flash.Wait(flashLimitSeconds);
  run.simStatus = sim.Wait(10);
  run.log = Lines(ReadFile(dir.File("flash.out")));
  run.boxes = Lines(ReadFile(dir.File("flash.err")));
  run.frames = Lines(ReadFile(dir.File("frames.txt")));
  run.simErrors = ReadFile(dir.File("sim.err"));
  const std::string image = ReadFile(dir.File("tmp.bin"));
  run.image.assign(image.begin(), image.end());
  return run;
}

// The device's flash after an update checked against the firmware file by the
// examples' own checker, which shares no code with the updater: every firmware
// byte outside the rows the link steps over in place, nothing but fill anywhere
// else, not one byte inside a protected range. The
// checker's report, with its exit status first ("0 flash check OK: ...").
inline std::string CheckFlash(const CScratchDir& dir, const DeviceMap& map, Link link) {
  CChild check;
  check.Start({IAP_PYTHON, std::string(IAP_EXAMPLES_DIR) + "/check-flash.py", "--config",
               map.configName, "--interface", link == Link::kSerial ? "serial" : "hid",
               std::filesystem::path(map.firmware).filename().string(), "flash.s19"},
              dir.Path(), {}, dir.File("check.out"), dir.File("check.err"));
  const int status = check.Wait(60);
  return std::to_string(status) + " " + ReadFile(dir.File("check.out")) +
         ReadFile(dir.File("check.err"));
}

// Log lines "N Wr" in order.
inline std::vector<int> WrittenFrameNumbers(const std::vector<std::string>& log) {
  std::vector<int> numbers;
  for (const auto& line : log) {
    if (line.size() > 3 && line.compare(line.size() - 3, 3, " Wr") == 0) {
      numbers.push_back(std::atoi(line.c_str()));
    }
  }
  return numbers;
}

inline std::string Dump(const UpdateRun& run) {
  std::string text = "iapflash " + std::to_string(run.flashStatus) + ", iapsim " +
                     std::to_string(run.simStatus) + "\n--- boxes:\n";
  for (const auto& b : run.boxes) text += b + "\n";
  text += "--- simulator:\n" + run.simErrors + "--- log tail:\n";
  const std::size_t from = run.log.size() > 25 ? run.log.size() - 25 : 0;
  for (std::size_t i = from; i < run.log.size(); ++i) text += run.log[i] + "\n";
  return text;
}

}  // namespace e2e
