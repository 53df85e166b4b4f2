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
#include <filesystem>
#include <string>

#include "ConsoleWindowSystem.h"
#include "FailureHints.h"
#include "Inventory.h"
#include "app/UpdaterDlg.h"
#include "link/os/SerialChannel.h"
#include "res/Version.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Ctrl-C: before the transfer nothing has been written to the device's flash, so
// the run ends at once; during the transfer it is Cancel Update, which the main
// loop passes on between two frames. A second Ctrl-C then ends the program.
std::atomic<const CUpdaterDlg*> g_dialog{nullptr};
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_finishing{false};
// Written as the last line of a --json run that Ctrl-C ends before the transfer.
char g_interruptedResult[64] = "";

constexpr int kInterruptedStatus = 130;  // 128 + SIGINT, as shells report it

// True when the interrupt is left to the main loop; false when the run ends now.
bool TakeInterrupt() {
  if (g_finishing.load()) return true;
  const CUpdaterDlg* dlg = g_dialog.load();
  if (dlg != nullptr && dlg->WorkerRunning()) {
    g_interrupted.store(true);
    return true;
  }
  return false;
}

void EndInterrupted() {
  const std::size_t n = std::char_traits<char>::length(g_interruptedResult);
#ifdef _WIN32
  if (n > 0) std::fwrite(g_interruptedResult, 1, n, stdout);
  std::fflush(stdout);
  ExitProcess(kInterruptedStatus);
#else
  if (n > 0 && ::write(STDOUT_FILENO, g_interruptedResult, n) < 0) {
    // nobody reads stdout any more; the status still says what happened
  }
  _exit(kInterruptedStatus);
#endif
}

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (!TakeInterrupt()) EndInterrupted();
  return TRUE;
}

void CatchSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
#else
extern "C" void OnInterrupt(int) {
  if (!TakeInterrupt()) EndInterrupted();
  if (!g_finishing.load()) std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  // A reader that goes away (iapflash ... | head) must not stop an update half
  // way: writes to it fail and are given up, the transfer goes on.
  std::signal(SIGPIPE, SIG_IGN);
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
    "$XDG_CONFIG_HOME/iap-updater/ports.ini (--list prints lines for it), else /dev/ttyS<n-1>.\n"
    "IAP_HID_SOCKET=PATH puts the USB interface on the device simulator's socket.\n"
    "\n"
    "Output: stdout carries every message-log line; stderr carries every message box as\n"
    "'CAPTION: TEXT' (answered OK at once), then a line 'iapflash: ...' that names what was\n"
    "looked for and why it failed, and a progress bar when it is a terminal. --json puts one\n"
    "JSON object a line on stdout instead (events log, box, problem, progress, result).\n"
    "Ctrl-C before the transfer ends the run at once (exit status 130); during it, it is\n"
    "Cancel Update.\n"
    "Exit status: 0 when the requested job succeeded, 1 when it failed, 2 on a usage error,\n"
    "130 when interrupted before the transfer.";

struct Options {
  std::string variant = "solvane";
  std::string interface = "COM1";
  std::string port;
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

}  // namespace

int main(int argc, char** argv) {
  const auto started = std::chrono::steady_clock::now();
  Options o;
  CLI::App app{"Updates the firmware of a solvane or castrel device, or prepares its image.",
               "iapflash"};
  app.footer(kFooter);
  // "/path/to/firmware" is a path everywhere, never a Windows-style "/option".
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", VersionText());
  app.add_option("FIRMWARE", o.firmware, "the S-record file: prepared, then sent to the device");
  app.add_option("-d,--variant", o.variant, "solvane (default) or castrel")
      ->transform(CLI::IsMember({"solvane", "castrel"}, CLI::ignore_case));
  app.add_option("-i,--interface", o.interface, "USB or COM1..COM9 (default COM1)")
      ->transform([](std::string value) { return Upper(value); })
      ->check([](const std::string& value) {
        const int n = ComNumber(value);
        const bool known =
            value == "USB" || (n >= 1 && n <= 9 && value == "COM" + std::to_string(n));
        return known ? std::string()
                     : value + " is not USB or COM1..COM9 (--port names any other serial port)";
      });
  app.add_option("-p,--port", o.port, "the serial device the COM interface stands for");
  app.add_option("-C,--directory", o.directory, "work in DIR (configuration, tmp.txt, tmp.bin)")
      ->type_name("DIR");
  app.add_flag("-l,--list", o.list, "list the serial ports and HID devices present, then end");
  app.add_flag("-q,--quiet", o.quiet, "leave the per-frame lines of the transfer out of the log");
  app.add_flag("--json", o.json, "one JSON object a line on stdout for every event");
  app.add_flag("--check-config", o.checkConfig, "only read the configuration file");
  app.add_flag("--prepare-only", o.prepareOnly, "only prepare FIRMWARE: write tmp.txt and tmp.bin");
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
  if (!o.port.empty()) {
    if (ComNumber(o.interface) == 0) return UsageError("--port needs a COM interface, not USB");
    BindSerialDevice(ComNumber(o.interface), SerialPortDevice(o.port));
  }
  // Both are taken from where the command was typed, before moving to DIR.
  const std::string firmware = o.firmware.empty() ? std::string() : FullPath(o.firmware);
  if (!o.directory.empty()) {
    std::error_code ec;
    std::filesystem::current_path(o.directory, ec);
    if (ec) return UsageError("cannot work in " + o.directory + ": " + ec.message());
  }
  if (o.list) {
    PrintInventory(ConfigFilePath(*variant));
    return 0;
  }
  if (!o.checkConfig && firmware.empty()) return UsageError("no firmware file given");

  CatchSignals();
  if (o.json) {
    std::snprintf(g_interruptedResult, sizeof g_interruptedResult,
                  "{\"event\":\"result\",\"exit\":%d}\n", kInterruptedStatus);
  }
  CConsoleWindowSystem ws(ConsoleOptions{o.json, o.quiet});
  CUpdaterDlg dlg(ws, *variant);
  const FailureContext context{Lower(o.variant), ConfigFilePath(*variant), firmware};
  ws.SetBoxExplainer([&](const std::string& text) { return ExplainBox(text, context, dlg); });
  ws.SetProgressSource([&dlg] {
    return std::pair<long, long>(dlg.m_progressBytes.load(), dlg.m_imageLength.load());
  });
  const auto finish = [&](int status) {
    g_finishing.store(true);
    ws.EndProgress();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ws.Result(status, seconds, static_cast<long>(dlg.m_builder.m_binImage.size()));
    return status;
  };

  dlg.OnInitDialog();
  ws.ComboSelect(ws.ComboFind(o.interface));

  if (o.checkConfig) return finish(ws.IsEnabled(IDC_FILE) ? 0 : 1);

  // File: the same command the button runs, with the file dialog answered by the
  // firmware path. A configuration fault leaves File disabled, as in the window.
  if (!ws.IsEnabled(IDC_FILE)) return finish(1);
  ws.SetFileAnswer(firmware);
  dlg.OnFileButton();
  if (o.prepareOnly) return finish(ws.IsEnabled(IDC_UPDATE) ? 0 : 1);
  if (!ws.IsEnabled(IDC_UPDATE)) return finish(1);

  g_dialog.store(&dlg);
  dlg.OnUpdateFirmware();
  while (dlg.WorkerRunning()) {
    ws.UiCalls().WaitAndDrain(50);
    if (g_interrupted.exchange(false)) dlg.OnCancelUpdate();
  }
  dlg.JoinWorker();
  return finish(ws.SawLine("UPS firmware update successful!") ? 0 : 1);
}
