#pragma once
// A dialog wired to the scripted window system and to the simulator's programmer
// behind both links, in a fresh working directory that holds the tmp.bin under
// test. The device takes the dialog's own device map. The test's thread is the
// user-interface thread.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdaterDlg.h"
#include "config/DeviceProfile.h"
#include "sim/SimConfig.h"
#include "support/ScriptedWindowSystem.h"
#include "support/TestDir.h"
#include "update/SimulatedIap.h"

class CUpdateRig {
 public:
  explicit CUpdateRig(const std::string& interfaceText, bool devicePresent = true) {
    ActiveProfile = {};
    ActiveProfile.COMMUNICATBDRATE = 1200;
    ActiveProfile.PROGRAMBDRATE = 2400;
    ActiveProfile.ROMHEAD = 0x8000;
    ActiveProfile.ROMTAIL = 0xFFFF;
    ActiveProfile.IAPSTART = 0xF000;
    ActiveProfile.IAPEND = 0xF800;
    ActiveProfile.IAPMARK = 0xF000;
    ActiveProfile.INTSTART = 0xFF00;
    ActiveProfile.INTEND = 0xFFF0;
    ActiveProfile.recordSize = 32;
    ActiveProfile.PAGESIZE = 0x200;

    dlg.Profiles()[0].VID = 0x0483;
    dlg.Profiles()[0].PID = 0x5750;
    SetFlashCmd("UPS#");
    // Asked for when the updater first talks to the device: after the test has
    // set the map and FLASHCMD it runs with.
    device.config = [this] { return DeviceConfig(); };

    ws.combo = {"USB", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"};
    for (std::size_t i = 0; i < ws.combo.size(); ++i) {
      if (ws.combo[i] == interfaceText) ws.comboSelection = static_cast<int>(i);
    }
    dlg.SerialPort().SetChannel(
        std::make_unique<CFakeSerialChannel>(device, clock, openings, devicePresent));
    dlg.SerialPort().SetClock(clock);
    AttachToHidBus(device, hidBus, devicePresent);
    dlg.HidDevice().SetBackend(std::make_unique<CFakeHidBackend>(hidBus));
    dlg.HidDevice().SetClock(clock);
  }

  void SetFlashCmd(const char* text) {
    std::memset(dlg.Profiles()[0].FLASHCMD, 0, sizeof dlg.Profiles()[0].FLASHCMD);
    std::strncpy(dlg.Profiles()[0].FLASHCMD, text, sizeof dlg.Profiles()[0].FLASHCMD - 1);
  }
  std::string FlashCmd() const { return dlg.Profiles()[0].FLASHCMD; }

  // Writes tmp.bin with one row of the active record size per address, each with
  // data bytes of its own, and extra trailing bytes that make no whole row.
  void WriteImage(const std::vector<std::uint32_t>& addresses, std::size_t extra = 0) {
    const int size = ActiveProfile.recordSize;
    std::string file;
    rows.clear();
    for (std::size_t r = 0; r < addresses.size(); ++r) {
      const std::uint32_t a = addresses[r];
      Bytes row = {static_cast<std::uint8_t>(size + 4), static_cast<std::uint8_t>(a >> 16),
                   static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a),
                   static_cast<std::uint8_t>(size)};
      for (int i = 0; i < size; ++i) row.push_back(static_cast<std::uint8_t>(r * 7 + i * 3 + 1));
      rows.push_back(row);
      file.append(row.begin(), row.end());
    }
    file.append(extra, '\x5A');
    dir.Write("tmp.bin", file);
    // As if the dialog's File had written it.
    dlg.Builder().m_binImage.assign(file.begin(), file.end());
    dlg.Builder().m_binRecordSize = size;
  }
  // Rows at 0x8000, 0x8020, ... (record size 32).
  void WriteRows(int count) {
    std::vector<std::uint32_t> addresses;
    for (int i = 0; i < count; ++i) addresses.push_back(0x8000u + 0x20u * static_cast<unsigned>(i));
    WriteImage(addresses);
  }

  // Presses Update Firmware and serves the worker until it has ended.
  bool Update() {
    dlg.OnUpdateFirmware();
    return ws.RunUntil([&] { return !dlg.WorkerRunning(); });
  }

  // The device's configuration as the simulator would read it from the INI file
  // the dialog's map came from (LoadSimConfig): the USB ids and FLASHCMD of the
  // first section, the speeds, record size and flash map of the section in force,
  // masked the one way both sides mask them (MaskedProfile).
  SimConfig DeviceConfig() const { return SimConfigFor(dlg.Profiles()[0], ActiveProfile); }

  int Log(const std::string& line, int from = 0) const { return ws.FindLog(line, from); }
  bool Logged(const std::string& line) const { return Log(line) >= 0; }
  // The log lines from the first one equal to first, count of them.
  std::vector<std::string> LogFrom(const std::string& first, std::size_t count) const {
    const int at = Log(first);
    if (at < 0) return {};
    const auto begin = ws.logLines.begin() + at;
    const auto n = std::min<std::size_t>(count, ws.logLines.end() - begin);
    return std::vector<std::string>(begin, begin + static_cast<std::ptrdiff_t>(n));
  }
  int BoxCount(const std::string& text) const {
    int n = 0;
    for (const auto& b : ws.boxes) n += b.text == text ? 1 : 0;
    return n;
  }
  // The 16-bit address bytes of every data frame received, in arrival order.
  std::vector<std::uint32_t> FrameAddresses() const {
    std::vector<std::uint32_t> out;
    for (const Bytes& f : device.Of(SimMessage::kDataFrame)) {
      out.push_back(ActiveProfile.ROMTAIL >= 0x10000u
                        ? (std::uint32_t{f[1]} << 16) | (std::uint32_t{f[2]} << 8) | f[3]
                        : (std::uint32_t{f[2]} << 8) | f[3]);
    }
    return out;
  }

  CTestDir dir;
  CFakeClock clock{0, 1'000'000};
  CSimulatedIap device;
  FakeHidBus hidBus{clock};
  std::vector<CFakeSerialChannel::Opening> openings;
  std::vector<Bytes> rows;
  CScriptedWindowSystem ws;
  CUpdaterDlg dlg{ws, SolvaneStrings()};
};
