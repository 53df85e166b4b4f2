#include "Station.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "Inventory.h"
#include "app/UpdaterDlg.h"
#include "journal/Journal.h"
#include "link/os/SerialChannel.h"
#include "trust/FileDigest.h"

RunSummary SummarizeRun(const CUpdaterDlg& dlg, const CConsoleWindowSystem& ws,
                        const RunFacts& facts, int exitStatus) {
  RunSummary run;
  run.exitStatus = exitStatus;
  run.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - facts.started).count();
  run.imageBytes = static_cast<long>(dlg.Builder().m_binImage.size());
  run.variant = facts.variant;
  if (const Outcome* link = ws.OutcomeOf(Stage::kLink))
    run.port = link->detail.device;
  else if (facts.comNumber > 0)
    run.port = dlg.SerialPort().DeviceFor(facts.comNumber);
  run.firmwarePath = facts.firmware;
  // What File read and checked, when it got so far; otherwise a look at the path.
  if (const JournalFirmware& read = dlg.Firmware(); !read.sha256.empty()) {
    run.firmwareSize = static_cast<long long>(read.size);
    run.firmwareSha256 = read.sha256;
    run.keyId = read.keyId;
    run.trustedComment = read.trustedComment;
  } else if (!facts.firmware.empty()) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(facts.firmware, ec)) {
      const auto size = std::filesystem::file_size(facts.firmware, ec);
      if (!ec) run.firmwareSize = static_cast<long long>(size);
    }
    run.firmwareSha256 = Sha256OfFile(facts.firmware).value_or("");
  }
  run.started = facts.startedAt;
  run.ended = UtcNow();
  return run;
}

namespace {

// The node a device path leads to, so that /dev/serial/by-id/... and the
// /dev/ttyUSB0 it links to (or a socket and a link to it) are one unit; Windows
// names compare without case.
std::string DeviceIdentity(std::string device) {
#ifdef _WIN32
  std::transform(device.begin(), device.end(), device.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
#else
  std::error_code ec;
  const auto canonical = std::filesystem::weakly_canonical(device, ec);
  if (!ec) device = canonical.string();
#endif
  return device;
}

constexpr const char kSerialPrefix[] = "serial=";

}  // namespace

bool NameUnits(const std::vector<std::string>& ports, const std::vector<std::string>& usb,
               std::uint32_t vendorId, std::uint32_t productId, std::vector<StationUnit>& units,
               std::string& problem) {
  units.clear();
  // Each unit by what it is: its node, or its HID path, or its serial number.
  std::vector<std::pair<std::string, std::string>> seen;  // identity, name
  const auto take = [&](const std::string& identity, const std::string& name) {
    for (const auto& [other, otherName] : seen) {
      if (other != identity) continue;
      problem = otherName == name ? name + " is named twice"
                                  : otherName + " and " + name + " are the same unit";
      return false;
    }
    seen.emplace_back(identity, name);
    return true;
  };
  for (const std::string& port : ports) {
    StationUnit unit;
    unit.name = port;
    unit.device = SerialPortDevice(port);
    if (!take("serial " + DeviceIdentity(unit.device), port)) return false;
    units.push_back(unit);
  }
  // The devices present are looked at once, and only when a serial number asks
  // for it: a look opens every one of them.
  std::optional<std::vector<HidDeviceInfo>> present;
  for (const std::string& value : usb) {
    StationUnit unit;
    unit.name = value;
    unit.usb = true;
    if (value.rfind(kSerialPrefix, 0) == 0) {
      unit.serial = value.substr(sizeof kSerialPrefix - 1);
      if (unit.serial.empty()) {
        problem = value + ": no serial number after serial=";
        return false;
      }
      if (!present) present = ListHidDevices(UsbIds{vendorId, productId});
      std::vector<std::string> paths;
      for (const HidDeviceInfo& device : *present) {
        if (device.vendorId == vendorId && device.productId == productId &&
            device.serial == unit.serial)
          paths.push_back(device.path);
      }
      if (paths.size() > 1) {
        problem = value + " names " + std::to_string(paths.size()) + " devices:";
        for (const std::string& path : paths) problem += " " + path;
        return false;
      }
      // None with it now: a lone unit looks for it when its update begins, and
      // says there that it is not there. A station's unit may not look: a look
      // opens every device, and would take them from the units opening them.
      if (paths.empty() && ports.size() + usb.size() > 1) {
        problem = value + ": no device with VID:PID " + Hex4(vendorId) + ":" + Hex4(productId) +
                  " has that serial number (iapflash --list)";
        return false;
      }
      if (!paths.empty()) unit.device = paths[0];
      if (!take("serial " + unit.serial, value)) return false;
    } else {
      unit.device = value;
#ifndef _WIN32
      // Taken from where the command was typed, as a port is.
      std::error_code ec;
      const auto full = std::filesystem::absolute(value, ec);
      if (!ec) unit.device = full.lexically_normal().string();
#endif
    }
    if (!unit.device.empty() && !take("hid " + DeviceIdentity(unit.device), value)) return false;
    units.push_back(unit);
  }
  return true;
}

namespace {

// What one unit's thread leaves behind for the summary.
struct UnitResult {
  bool done = false;   // the whole image went and the end-of-file frame was taken
  Outcome last;        // the outcome the unit ended on
  bool ended = false;  // last holds something
  long frames = 0;     // acknowledged frames
  double seconds = 0;
  int status = 1;  // the unit's own exit status
};

std::string Minutes(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string ResultWord(const UnitResult& r) {
  if (r.done) return "done";
  if (r.ended && !r.last.Done()) return ResultName(r.last.result);
  return "failed";
}

class CStationUnitRun {
 public:
  CStationUnitRun(const CUpdaterDlg& prepared, const StationUnit& unit, std::size_t index,
                  const StationRun& run, CConsoleOutput& output, std::atomic<bool>& cancel)
      : m_prepared(prepared),
        m_unit(unit),
        m_index(index),
        m_run(run),
        m_output(output),
        m_cancel(cancel) {}

  // The unit's whole update, on its own thread: that thread is its dialog's
  // user-interface thread, so its handshake waits for nobody else's.
  void Run() {
    const auto started = std::chrono::steady_clock::now();
    ConsoleOptions options = m_run.console;
    options.unit = m_unit.name;
    options.unitIndex = m_index;
    CConsoleWindowSystem ws(options, m_output);
    CUpdaterDlg dlg(ws, *m_run.variant);
    dlg.AddListener(ws);
    dlg.Recorder().SetProgram("iapflash");
    FailureContext context = m_run.context;
    ws.SetBoxExplainer([&](const BoxEvent& box) { return ExplainBox(box, context, dlg); });
    dlg.OnInitUnit(m_prepared);
    dlg.SetStandingCancel(&m_cancel);
    if (m_unit.usb) {
      dlg.HidDevice().Select({m_unit.device, m_unit.serial});
      ws.ComboSelect(ws.ComboFind("USB"));
    } else {
      dlg.SerialPort().SetDevice(m_unit.device);
      ws.ComboSelect(ws.ComboFind(m_run.comInterface));
    }
    RunFacts facts = m_run.facts;
    facts.comNumber = m_unit.usb ? 0 : std::atoi(m_run.comInterface.c_str() + 3);
    facts.started = started;
    facts.startedAt = UtcNow();

    if (!m_cancel.load()) {
      dlg.OnUpdateFirmware();
      // A cancel that came during the handshake stops the transfer before its
      // first frame: the worker has just cleared any earlier request.
      while (dlg.WorkerRunning()) {
        if (m_cancel.load()) dlg.OnCancelUpdate();
        ws.UiCalls().WaitAndDrain(50);
      }
      dlg.JoinWorker();
    } else {
      ws.Note("not begun: the station was cancelled", Reason::kUserCancel);
      ws.OnOutcome(Outcome{Stage::kLink, Result::kCancelled, Reason::kUserCancel, {}});
    }
    const Outcome* end = ws.OutcomeOf(Stage::kEndOfFile);
    m_result.done = end != nullptr && end->Done();
    if (const Outcome* last = ws.LastOutcome()) {
      m_result.last = *last;
      m_result.ended = true;
    }
    m_result.frames = ws.Frames().acknowledged;
    const int sig = m_run.interrupted ? m_run.interrupted->load() : 0;
    m_result.status = m_result.done ? 0 : (m_cancel.load() && sig != 0 ? 128 + sig : 1);
    ws.Result(SummarizeRun(dlg, ws, facts, m_result.status));
    m_result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    m_finished = true;
  }

  const UnitResult& Result() const { return m_result; }
  bool Finished() const { return m_finished.load(); }

 private:
  const CUpdaterDlg& m_prepared;
  const StationUnit& m_unit;
  std::size_t m_index;
  const StationRun& m_run;
  CConsoleOutput& m_output;
  std::atomic<bool>& m_cancel;
  UnitResult m_result;
  std::atomic<bool> m_finished{false};
};

void PrintSummary(const std::vector<StationUnit>& units,
                  const std::vector<std::unique_ptr<CStationUnitRun>>& runs, int status,
                  double seconds, bool json, CConsoleOutput& output) {
  if (json) {
    std::string line = "{\"event\":\"summary\",\"exit\":" + std::to_string(status);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    line += std::string(",\"seconds\":") + text + ",\"units\":[";
    for (std::size_t i = 0; i < units.size(); ++i) {
      const UnitResult& r = runs[i]->Result();
      std::snprintf(text, sizeof text, "%.3f", r.seconds);
      if (i > 0) line += ",";
      line.append("{\"unit\":").append(JsonString(units[i].name));
      line.append(",\"result\":\"").append(ResultWord(r));
      line.append("\",\"stage\":\"").append(r.ended ? StageName(r.last.stage) : "none");
      line.append("\",\"reason\":\"").append(ReasonName(r.ended ? r.last.reason : Reason::kNone));
      line.append("\",\"frames\":").append(std::to_string(r.frames));
      line.append(",\"seconds\":").append(text).append("}");
    }
    output.Write(stdout, line + "]}\n");
    return;
  }
  std::size_t nameWidth = 4;
  for (const StationUnit& unit : units) nameWidth = std::max(nameWidth, unit.name.size());
  int done = 0;
  for (const auto& run : runs) done += run->Result().done ? 1 : 0;
  std::string table = "Station: " + std::to_string(units.size()) + " units, " +
                      std::to_string(done) + " updated, " +
                      std::to_string(static_cast<int>(units.size()) - done) + " not, in " +
                      Minutes(seconds) + "\n";
  const auto row = [&](const std::string& unit, const std::string& result,
                       const std::string& frames, const std::string& time,
                       const std::string& reason) {
    char text[64];
    std::snprintf(text, sizeof text, "  %-9s %7s %6s  ", result.c_str(), frames.c_str(),
                  time.c_str());
    std::string line = unit + std::string(nameWidth - unit.size(), ' ') + text + reason;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line + "\n";
  };
  table += row("UNIT", "RESULT", "FRAMES", "TIME", "REASON");
  for (std::size_t i = 0; i < units.size(); ++i) {
    const UnitResult& r = runs[i]->Result();
    const Reason reason = r.ended ? r.last.reason : Reason::kNone;
    table += row(units[i].name, ResultWord(r), std::to_string(r.frames), Minutes(r.seconds),
                 reason == Reason::kNone ? "" : ReasonName(reason));
  }
  output.Write(stdout, table);
}

}  // namespace

int RunStation(const CUpdaterDlg& prepared, const std::vector<StationUnit>& units,
               const StationRun& run, CConsoleOutput& output) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> labels;
  for (const StationUnit& unit : units) labels.push_back(UnitLabel(unit.name));
  output.SetUnits(labels);

  std::atomic<bool> cancel{false};
  std::vector<std::unique_ptr<CStationUnitRun>> runs;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < units.size(); ++i) {
    runs.push_back(std::make_unique<CStationUnitRun>(prepared, units[i], i, run, output, cancel));
  }
  for (const auto& unitRun : runs) threads.emplace_back([&unitRun] { unitRun->Run(); });
  // A signal cancels every unit between two frames; one unit's failure stops
  // nobody else.
  for (;;) {
    const bool all = std::all_of(runs.begin(), runs.end(),
                                 [](const auto& unitRun) { return unitRun->Finished(); });
    if (all) break;
    if (run.interrupted != nullptr && run.interrupted->load() != 0) cancel = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (std::thread& thread : threads) thread.join();
  output.EndProgress();

  const int sig = run.interrupted ? run.interrupted->load() : 0;
  const bool allDone = std::all_of(runs.begin(), runs.end(),
                                   [](const auto& unitRun) { return unitRun->Result().done; });
  const int status = allDone ? 0 : (sig != 0 ? 128 + sig : 1);
  PrintSummary(units, runs, status,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
               run.console.json, output);
  return status;
}
