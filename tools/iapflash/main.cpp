// iapflash: the updater's dialog driven from the command line, for scripted and
// production-line flashing. It runs the same dialog logic as the windowed
// programs, in the working directory, with the same configuration file.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "ConsoleWindowSystem.h"
#include "FailureHints.h"
#include "Inventory.h"
#include "JournalCommands.h"
#include "Station.h"
#include "UdevRule.h"
#include "app/UpdaterDlg.h"
#include "config/ProfileIni.h"
#include "link/os/SerialChannel.h"
#include "res/Version.h"
#include "trust/FileDigest.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

// Ctrl-C, and on POSIX SIGTERM and SIGHUP (a supervisor stopping the station, the
// terminal going away): before the transfer nothing has been written to the
// device's flash, so the run ends at once; during the transfer it is Cancel
// Update, which the main loop passes on between two frames. A second one then
// ends the program.
std::atomic<const CUpdaterDlg*> g_dialog{nullptr};
std::atomic<int> g_interrupted{0};  // the signal left to the main loop, 0 for none
std::atomic<bool> g_finishing{false};
std::atomic<bool> g_json{false};
std::atomic<bool> g_station{false};  // a station runs: every signal is a cancel

// The exit status for a run that the signal ends: 128 + its number, as shells report it.
int SignalStatus(int sig) { return 128 + sig; }

// True when the interrupt is left to the main loop; false when the run ends now.
bool TakeInterrupt(int sig) {
  if (g_finishing.load()) return true;
  const CUpdaterDlg* dlg = g_dialog.load();
  // A station's units may be anywhere, some in the middle of their transfers:
  // the run never ends at once, it cancels them all.
  if (g_station.load() || (dlg != nullptr && dlg->WorkerRunning())) {
    int none = 0;
    g_interrupted.compare_exchange_strong(none, sig);
    return true;
  }
  return false;
}

// Ends the run now with status, after the result line of a --json run. Only
// what may run in a signal handler: no allocation, no stdio formatting.
[[noreturn]] void EndInterrupted(int status) {
  char line[64] = "{\"event\":\"result\",\"exit\":";
  std::size_t n = std::char_traits<char>::length(line);
  char digits[8];
  std::size_t count = 0;
  for (int rest = status; count == 0 || rest > 0; rest /= 10) {
    digits[count++] = static_cast<char>('0' + rest % 10);
  }
  while (count > 0) line[n++] = digits[--count];
  line[n++] = '}';
  line[n++] = '\n';
  if (!g_json.load()) n = 0;
#ifdef _WIN32
  if (n > 0) std::fwrite(line, 1, n, stdout);
  std::fflush(stdout);
  ExitProcess(static_cast<UINT>(status));
#else
  if (n > 0 && ::write(STDOUT_FILENO, line, n) < 0) {
    // nobody reads stdout any more; the status still says what happened
  }
  _exit(status);
#endif
}

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (!TakeInterrupt(SIGINT)) EndInterrupted(SignalStatus(SIGINT));
  return TRUE;
}

void CatchSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void OpenClosedStandardStreams() {}
#else
constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnInterrupt(int sig) {
  if (!TakeInterrupt(sig)) EndInterrupted(SignalStatus(sig));
  if (!g_finishing.load()) std::signal(sig, SIG_DFL);  // a second one ends the program
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (const int sig : kCaughtSignals) sigaddset(&action.sa_mask, sig);
  for (const int sig : kCaughtSignals) sigaction(sig, &action, nullptr);
  // A reader that goes away (iapflash ... | head) must not stop an update half
  // way: writes to it fail and are given up, the transfer goes on.
  std::signal(SIGPIPE, SIG_IGN);
}

// A program started with a standard stream closed (2>&-, or by a scheduler that
// closes them) would hand that descriptor to the next file it opens: the serial
// port as descriptor 2 would receive every message box. Each closed one is
// opened on /dev/null before anything else is.
void OpenClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // The lowest free descriptor is fd itself, those below it being open by now.
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}
#endif

const char kFooter[] =
    "Runs the firmware updater of the chosen variant in the working directory (-C DIR), exactly\n"
    "as its window would: the configuration file (MpptConfigFile.ini for solvane, "
    "InvConfigFile.ini\n"
    "for castrel) is read there, and tmp.txt and tmp.bin are written there. FIRMWARE is taken\n"
    "relative to the directory iapflash was started in.\n"
    "\n"
    "Serial ports: --port binds the chosen COM interface (COM1 unless --interface says otherwise)\n"
    "to a device: a path on Linux (/dev/ttyUSB0, /dev/serial/by-id/...), COMn for any n on\n"
    "Windows. Without --port, on Linux COMn is the device in the environment variable IAP_COMn\n"
    "(for example IAP_COM3=/dev/ttyUSB0), else the one named for COMn in section [PORTS] of\n"
    "$XDG_CONFIG_HOME/iap-updater/ports.ini (--list prints lines for it; an empty COMn= is\n"
    "an error), else /dev/ttyS<n-1>.\n"
    "IAP_HID_SOCKET=PATH puts the USB interface on the device simulator's socket.\n"
    "\n"
    "Output: stdout carries every message-log line; stderr carries every message box as\n"
    "'CAPTION: TEXT' (answered OK at once), then a line 'iapflash: ...' that names what was\n"
    "looked for and why it failed, and a progress bar when it is a terminal (and stdout no\n"
    "pipe, whose reader would echo the log onto the bar). --json puts one\n"
    "JSON object a line on stdout instead (events log, box, problem, progress, result).\n"
    "Ctrl-C, SIGTERM and SIGHUP before the transfer end the run at once; during it, they\n"
    "are Cancel Update.\n"
    "\n"
    "A station: --port more than once, and --usb (a HID path as --list shows it, or\n"
    "serial=SN) for USB units, update several units at once, each over its own link; the\n"
    "image is prepared once. Each unit's lines start with its name as given, --json objects\n"
    "carry \"unit\", and a summary of every unit ends the run. Ctrl-C, SIGTERM and SIGHUP\n"
    "cancel every unit between two frames. Exit 0 only when every unit was updated.\n"
    "Exit status: 0 when the requested job succeeded, 1 when it failed, 2 on a usage error,\n"
    "130 (Ctrl-C), 143 (SIGTERM) or 129 (SIGHUP) when ended by that signal, before or during\n"
    "the transfer.";

struct Options {
  std::string variant = "solvane";
  std::string interface = "COM1";
  std::vector<std::string> ports;
  std::vector<std::string> usb;
  std::string directory;
  std::string firmware;
  bool list = false;
  bool quiet = false;
  bool json = false;
  bool checkConfig = false;
  bool prepareOnly = false;
};

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "iapflash: %s\nsee iapflash --help\n", problem.c_str());
  return 2;
}

std::string VersionText() {
  return std::string("iapflash ") + IAP_VERSION_STRING + "\nvariants: solvane (" +
         SolvaneStrings().windowCaption + "), castrel (" + CastrelStrings().windowCaption + ")";
}

std::string FullPath(const std::string& path) {
  std::error_code ec;
  auto full = std::filesystem::absolute(path, ec);
  return ec ? path : full.lexically_normal().string();
}

// The configuration file the variant reads in the working directory; its name is
// written with a leading backslash, the separator of the platform it came from.
std::string ConfigFilePath(const VariantStrings& variant) {
  std::string name = variant.configFileName;
  if (!name.empty() && name[0] == '\\') name.erase(0, 1);
  return FullPath(name);
}

// The COM number of an interface name, 0 for USB.
int ComNumber(const std::string& interfaceName) {
  return interfaceName.rfind("COM", 0) == 0 ? std::atoi(interfaceName.c_str() + 3) : 0;
}

// An empty value (an unset shell variable, say) names no file, port or directory.
const CLI::Validator kNonEmpty(
    [](std::string& value) { return value.empty() ? std::string("the value is empty") : ""; }, "");

}  // namespace

int main(int argc, char** argv) {
  // First of all, before anything can take descriptor 0, 1 or 2 for a file.
  OpenClosedStandardStreams();
  const auto started = std::chrono::steady_clock::now();
  Options o;
  CLI::App app{"Updates the firmware of a solvane or castrel device, or prepares its image.",
               "iapflash"};
  app.footer(kFooter);
  // "/path/to/firmware" is a path everywhere, never a Windows-style "/option".
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", VersionText());
  app.add_option("FIRMWARE", o.firmware, "the S-record file: prepared, then sent to the device")
      ->check(kNonEmpty);
  app.add_option("-d,--variant", o.variant, "solvane (default) or castrel")
      ->check(kNonEmpty)
      ->transform(CLI::IsMember({"solvane", "castrel"}, CLI::ignore_case));
  // Checked as typed, so that the error quotes what the user wrote, and only then
  // taken in the interface list's own spelling (CLI11 runs transforms before
  // checks, so both are done in one).
  app.add_option("-i,--interface", o.interface, "USB or COM1..COM9 (default COM1)")
      ->transform(CLI::Validator(
          [](std::string& value) {
            if (value.empty()) return std::string("the value is empty");
            const std::vector<std::string> entries = InterfaceListEntries();
            if (std::find(entries.begin(), entries.end(), Upper(value)) == entries.end()) {
              return value + " is not USB or COM1..COM9 (--port names any other serial port)";
            }
            value = Upper(value);
            return std::string();
          },
          ""));
  // A unit each time the option is given, one value each time, so that
  // "-p A FIRMWARE" leaves FIRMWARE alone.
  const auto addUnits = [&app](const char* name, std::vector<std::string>& into, const char* help,
                               const char* type) {
    app.add_option(name, into, help)
        ->type_name(type)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(kNonEmpty);
  };
  addUnits("-p,--port", o.ports,
           "the serial device the COM interface stands for; again for more units", "PORT");
  addUnits("--usb", o.usb,
           "a USB unit: its HID path (as --list shows it) or serial=SN; again for more", "DEVICE");
  app.add_option("-C,--directory", o.directory, "work in DIR (configuration, tmp.txt, tmp.bin)")
      ->type_name("DIR")
      ->check(kNonEmpty);
  app.add_flag("-l,--list", o.list, "list the serial ports and HID devices present, then end");
  bool udevRule = false;
  app.add_flag(
      "--udev-rule", udevRule,
      "print a udev rule for the configuration's VID:PID (for /etc/udev/rules.d/), then end");
  app.add_flag("-q,--quiet", o.quiet,
               "leave the per-frame lines (frame numbers, acknowledgements, HID byte counts) out");
  app.add_flag("--json", o.json, "one JSON object a line on stdout for every event");
  app.add_flag("--check-config", o.checkConfig,
               "only check the configuration file: exit 0 when it is sound");
  app.add_flag("--prepare-only", o.prepareOnly, "only prepare FIRMWARE: write tmp.txt and tmp.bin");
  JournalCommand journal;
  AddJournalOptions(app, journal);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }

  const VariantStrings* variant = VariantByName(Lower(o.variant));
  if (!variant) return UsageError("unknown variant " + o.variant);
  if (o.checkConfig && (o.prepareOnly || !o.firmware.empty())) {
    return UsageError("--check-config takes no firmware file");
  }
  if (!o.ports.empty() && ComNumber(o.interface) == 0) {
    return UsageError("--port needs a COM interface, not USB");
  }
  const std::size_t unitCount = o.ports.size() + o.usb.size();
  if (unitCount > 0 && (o.list || udevRule || journal.Chosen() || o.checkConfig || o.prepareOnly)) {
    return UsageError(std::string(o.ports.empty() ? "--usb" : "--port") +
                      " names a device to update: not with --list, --udev-rule, the journal, "
                      "--check-config or --prepare-only");
  }
  if (o.ports.size() == 1 && o.usb.empty()) {
    BindSerialDevice(ComNumber(o.interface), SerialPortDevice(o.ports[0]));
  }
  // Both are taken from where the command was typed, before moving to DIR.
  const std::string firmware = o.firmware.empty() ? std::string() : FullPath(o.firmware);
  // The units are told apart before anything runs, and from where the command was
  // typed, as the firmware is: a USB unit named by its serial number is looked up
  // among the devices with the VID:PID of the configuration in DIR.
  std::vector<StationUnit> units;
  if (!o.usb.empty() || o.ports.size() > 1) {
    std::uint32_t vendorId = 0, productId = 0;
    if (!o.usb.empty()) {
      std::string config = ConfigFilePath(*variant);
      if (!o.directory.empty()) {
        const std::string name = std::filesystem::path(config).filename().string();
        config = FullPath((std::filesystem::path(o.directory) / name).string());
      }
      const CProfileIni ini(config);
      vendorId = ini.GetInt("DEVICE0", "VID", 0x10000);
      productId = ini.GetInt("DEVICE0", "PID", 0x10000);
    }
    std::string problem;
    if (!NameUnits(o.ports, o.usb, vendorId, productId, units, problem)) return UsageError(problem);
  }

  if (!o.directory.empty()) {
    std::error_code ec;
    std::filesystem::current_path(o.directory, ec);
    if (ec) return UsageError("cannot work in " + o.directory + ": " + ec.message());
  }
  if (o.list) {
    PrintInventory(ConfigFilePath(*variant), o.json);
    return 0;
  }
  if (udevRule) return PrintUdevRule(ConfigFilePath(*variant));
  if (journal.Chosen()) return RunJournalCommand(journal, o.json);
  if (!o.checkConfig && firmware.empty()) return UsageError("no firmware file given");
  g_json.store(o.json);
  CatchSignals();
  ConsoleOptions console;
  console.json = o.json;
  console.quiet = o.quiet;
  CConsoleWindowSystem ws(console);
  CUpdaterDlg dlg(ws, *variant);
  dlg.AddListener(ws);
  dlg.Recorder().SetProgram("iapflash");
  const FailureContext context{Lower(o.variant), ConfigFilePath(*variant), firmware};
  ws.SetBoxExplainer([&](const BoxEvent& box) { return ExplainBox(box, context, dlg); });
  RunFacts facts{Lower(o.variant), firmware, ComNumber(o.interface), started, UtcNow()};
  const auto finish = [&](int status) {
    g_finishing.store(true);
    ws.EndProgress();
    ws.Result(SummarizeRun(dlg, ws, facts, status));
    return status;
  };
  // True when stage ended done (a done stage may still carry a warning).
  const auto stageDone = [&ws](Stage stage) {
    const Outcome* outcome = ws.OutcomeOf(stage);
    return outcome != nullptr && outcome->Done();
  };

  dlg.OnInitDialog();
  // One USB unit: the interface is USB, and the device the one named.
  if (units.size() == 1) {
    dlg.HidDevice().Select({units[0].device, units[0].serial});
    o.interface = "USB";
    facts.comNumber = 0;
  }
  ws.ComboSelect(ws.ComboFind(o.interface));

  if (o.checkConfig) {
    // The check tells the truth: every box it showed is a fault (a baud rate the
    // window only warns about included), and so is what the window lets through
    // but no update can use (no device section, a record size without frames),
    // said here since no box says it.
    bool clean = stageDone(Stage::kConfiguration) && ws.BoxesShown() == 0;
    for (const ConfigFinding& finding : ConfigFindings(context)) {
      clean = false;
      if (!ws.Explained(finding.reason)) ws.Note(finding.text, finding.reason);
    }
    return finish(clean ? 0 : 1);
  }

  // File: the same command the button runs, with the file dialog answered by the
  // firmware path. A faulty configuration ends the run here, as it leaves File
  // disabled in the window.
  if (!stageDone(Stage::kConfiguration)) return finish(1);
  ws.SetFileAnswer(firmware);
  dlg.OnFileButton();
  if (!stageDone(Stage::kFile)) return finish(1);
  if (o.prepareOnly) return finish(0);

  if (units.size() > 1) {
    StationRun station;
    station.variant = variant;
    station.console = console;
    station.comInterface = o.interface;
    station.context = context;
    station.facts = facts;
    station.interrupted = &g_interrupted;
    g_station.store(true);
    const int status = RunStation(dlg, units, station, ws.Output());
    g_finishing.store(true);
    return status;
  }

  g_dialog.store(&dlg);
  dlg.OnUpdateFirmware();
  int cancelledBy = 0;  // the signal that cancelled the transfer
  while (dlg.WorkerRunning()) {
    ws.UiCalls().WaitAndDrain(50);
    if (const int sig = g_interrupted.exchange(0); sig != 0) {
      cancelledBy = sig;
      dlg.OnCancelUpdate();
    }
  }
  dlg.JoinWorker();
  if (const int sig = g_interrupted.exchange(0); sig != 0) cancelledBy = sig;
  // Success is the end-of-file frame taken after every data frame.
  if (stageDone(Stage::kEndOfFile)) return finish(0);
  // A signal during the transfer is Cancel Update, and the status still says which
  // one stopped the run, as it does before the transfer: a script that pressed
  // Ctrl-C sees 130 wherever the run was.
  return finish(cancelledBy == 0 ? 1 : SignalStatus(cancelledBy));
}
