// iapflash: the updater's dialog driven from the command line, for scripted and
// production-line flashing. It runs the same dialog logic as the windowed
// programs, in the current working directory, with the same configuration file.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "ConsoleWindowSystem.h"
#include "app/UpdaterDlg.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
  g_interrupted = 1;
  std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

const char kUsage[] =
    "usage: iapflash [--variant solvane|castrel] [--interface USB|COM1..COM9] FIRMWARE\n"
    "       iapflash [--variant V] [--interface I] --prepare-only FIRMWARE\n"
    "       iapflash [--variant V] --check-config\n"
    "\n"
    "Runs the firmware updater of the chosen variant in the current directory, exactly as\n"
    "its window would: the configuration file (MpptConfigFile.ini for solvane,\n"
    "InvConfigFile.ini for castrel) is read from here, and tmp.txt and tmp.bin are\n"
    "written here.\n"
    "\n"
    "  FIRMWARE            prepare the S-record file, then update the device over the\n"
    "                      interface; waits for the transfer to end\n"
    "  --prepare-only F    only prepare F (File command): writes tmp.txt and tmp.bin\n"
    "  --check-config      only read the configuration file\n"
    "  --variant V         solvane (default) or castrel\n"
    "  --interface I       USB or COM1..COM9 (default COM1)\n"
    "  --help              this text\n"
    "\n"
    "On Linux, COMn is the device named by the environment variable IAP_COMn when it is\n"
    "set (for example IAP_COM3=/dev/ttyUSB0), else /dev/ttyS<n-1>. IAP_HID_SOCKET=PATH\n"
    "puts the USB link on the device simulator's socket.\n"
    "\n"
    "Output: stdout carries every message-log line; stderr carries every message box as\n"
    "'CAPTION: TEXT' (answered OK at once) and a progress bar when it is a terminal.\n"
    "Ctrl-C during a transfer is Cancel Update.\n"
    "Exit status: 0 when the requested job succeeded, 1 when it failed, 2 on a usage error.\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "iapflash: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

std::string FullPath(const std::string& path) {
  std::error_code ec;
  auto full = std::filesystem::absolute(path, ec);
  return ec ? path : full.lexically_normal().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string variantName = "solvane";
  std::string interfaceName = "COM1";
  bool checkConfig = false;
  bool prepareOnly = false;
  std::string firmware;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // The option's value: the next argument, if there is one.
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--variant") {
      const char* v = value();
      if (!v) return Usage("--variant needs a value");
      variantName = v;
    } else if (arg == "--interface") {
      const char* v = value();
      if (!v) return Usage("--interface needs a value");
      interfaceName = v;
    } else if (arg == "--check-config") {
      checkConfig = true;
    } else if (arg == "--prepare-only") {
      prepareOnly = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (firmware.empty()) {
      firmware = arg;
    } else {
      return Usage("more than one firmware file given");
    }
  }

  const VariantStrings* variant = VariantByName(variantName);
  if (!variant) return Usage("unknown variant " + variantName);
  if (checkConfig && (prepareOnly || !firmware.empty())) {
    return Usage("--check-config takes no firmware file");
  }
  if (!checkConfig && firmware.empty()) return Usage("no firmware file given");

  CConsoleWindowSystem ws;
  CUpdaterDlg dlg(ws, *variant);
  dlg.OnInitDialog();

  const int interfaceIndex = ws.ComboFind(interfaceName);
  if (interfaceIndex < 0) return Usage("unknown interface " + interfaceName);
  ws.ComboSelect(interfaceIndex);

  if (checkConfig) return ws.IsEnabled(IDC_FILE) ? 0 : 1;

  // File: the same command the button runs, with the file dialog answered by the
  // firmware path. A configuration fault leaves File disabled, as in the window.
  if (!ws.IsEnabled(IDC_FILE)) return 1;
  ws.SetFileAnswer(FullPath(firmware));
  dlg.OnFileButton();
  if (prepareOnly) return ws.IsEnabled(IDC_UPDATE) ? 0 : 1;
  if (!ws.IsEnabled(IDC_UPDATE)) return 1;

  std::signal(SIGINT, OnInterrupt);
  dlg.OnUpdateFirmware();
  while (dlg.WorkerRunning()) {
    ws.UiCalls().WaitAndDrain(50);
    if (g_interrupted) {
      g_interrupted = 0;
      dlg.OnCancelUpdate();
    }
  }
  dlg.JoinWorker();
  return ws.SawLine("UPS firmware update successful!") ? 0 : 1;
}
