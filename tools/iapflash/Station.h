#pragma once
// A production station: several units updated at once by one iapflash. The
// configuration is read and the image prepared once, by the run's own dialog;
// then every unit gets a dialog of its own (its own engine, link, handshake,
// retries, cancel, outcome and service-journal record) on a thread of its own,
// which plays that dialog's user-interface thread. The units share nothing but
// the image they were handed, read-only, and the run's output streams.

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "ConsoleWindowSystem.h"
#include "FailureHints.h"
#include "res/Variant.h"

class CUpdaterDlg;

// One unit as the command line named it.
struct StationUnit {
  std::string name;  // as given: the port, the HID path, "serial=SN"
  bool usb = false;
  // Serial: the device path. USB: the HID path, empty when only the serial number
  // is known (no device with it was found when the units were named).
  std::string device;
  std::string serial;  // USB: the serial number asked for, if any
};

// What the run's result line says of a dialog's update, however it ended.
struct RunFacts {
  std::string variant;   // solvane, castrel
  std::string firmware;  // the FIRMWARE path, full
  int comNumber = 0;     // the COM interface of a serial unit, 0 for USB
  std::chrono::steady_clock::time_point started;
  std::string startedAt;  // ISO 8601, UTC
};
RunSummary SummarizeRun(const CUpdaterDlg& dlg, const CConsoleWindowSystem& ws,
                        const RunFacts& facts, int exitStatus);

// The units of --port (serial) and --usb values, in that order. A USB value is a
// HID path as --list shows it, or serial=SN, looked up among the devices with the
// configuration's VID:PID. False with problem set for a usage error: a unit named
// twice (two names of one device included), an empty serial number, a serial
// number that more than one device carries.
bool NameUnits(const std::vector<std::string>& ports, const std::vector<std::string>& usb,
               std::uint32_t vendorId, std::uint32_t productId, std::vector<StationUnit>& units,
               std::string& problem);

struct StationRun {
  const VariantStrings* variant = nullptr;
  ConsoleOptions console;    // json and quiet; the unit is filled in for each
  std::string comInterface;  // the interface list's entry for serial units, COM1..COM9
  FailureContext context;
  RunFacts facts;
  // A signal number to cancel every transfer with, set from outside (0: none).
  std::atomic<int>* interrupted = nullptr;
};

// Updates every unit with prepared's image (prepared: a dialog whose File
// succeeded), all at once, and prints each unit's result and the station's
// summary. The exit status: 0 when every unit took the whole image, the signal's
// status when one cancelled the run, else 1.
int RunStation(const CUpdaterDlg& prepared, const std::vector<StationUnit>& units,
               const StationRun& run, CConsoleOutput& output);
