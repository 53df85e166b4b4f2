// iapsim: plays a device's in-application programmer for the updater, over a
// pseudo-terminal (serial) or over the socket HID channel.
//
//   iapsim serial [options]
//   iapsim hid --socket PATH [hid options] [options]
//
// Every option and fault is described in kUsage below (iapsim --help).

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "sim/FaultPlan.h"
#include "sim/HidSocketFront.h"
#include "sim/IapDevice.h"
#include "sim/PtySerialFront.h"
#include "sim/SimConfig.h"
#include "sim/SimFront.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true); }

const char kUsage[] =
    "usage: iapsim serial [options]\n"
    "       iapsim hid --socket PATH [hid options] [options]\n"
    "\n"
    "Plays the device's in-application programmer for the updater: over a new pty (serial)\n"
    "or over a local socket (hid). Prints \"ready PATH\" once the line is up: the tty to use\n"
    "as the COM port (iapflash --port PATH, or IAP_COMn=PATH), or the socket to name in\n"
    "IAP_HID_SOCKET. Ends after the end-of-file frame, or once the updater has cancelled or\n"
    "closed the link, or after --timeout seconds without traffic.\n"
    "\n"
    "A data frame is acknowledged (A CR) and written when its check byte is right and it\n"
    "writes nothing it must not. It is answered N CR and not written when any of its bytes\n"
    "would land in IAPSTART..IAPEND (the byte at IAPEND excluded) or INTSTART..INTEND (both\n"
    "included), or when it would change a programmed byte (not 0xFF) to another value; the\n"
    "reason goes to stderr and the run fails. Fill over erased bytes, data over fill and a\n"
    "row sent again unchanged are acknowledged.\n"
    "\n"
    "options:\n"
    "  --config INI        the updater's INI file (default: MpptConfigFile.ini or\n"
    "                      InvConfigFile.ini here)\n"
    "  --pace              bytes take the time of the configured baud rate; HID answers\n"
    "                      wait for the 1 ms interrupt interval\n"
    "  --frames FILE       write every frame after the handshake to FILE, one hex line each\n"
    "  --image FILE        write the emulated flash to FILE as S-records at the end\n"
    "  --stats FILE        write the transfer figures to FILE as key=value lines\n"
    "  --fault F           show fault F (may be repeated), one of:\n"
    "      silent-after=N    answer frames 1..N, then never again\n"
    "      hangup-after=N    answer frames 1..N, then drop the line on the next\n"
    "      nak=K,K...        answer these frames with N CR\n"
    "      garbage=K,K...    answer these frames with two bytes of line noise\n"
    "      no-ready          never answer the programming-mode command\n"
    "      no-baud-ack       never acknowledge the baud-rate command (HID)\n"
    "  --timeout S         give up after S seconds without traffic (default 600)\n"
    "  --linger S          once the updater has gone away after a fault, a cancel or a\n"
    "                      close, end after S seconds without it (default 1)\n"
    "  -h, --help          this text\n"
    "hid options (the device's HID attributes; default from the INI's DEVICE0):\n"
    "  --socket PATH       the socket to listen on (required)\n"
    "  --vid N, --pid N    vendor and product id\n"
    "  --hid-version N     version number\n"
    "  --input-report-length N, --output-report-length N\n"
    "                      report lengths, the report id included\n"
    "\n"
    "Exit status: 0 after an update that ended well, 1 when it did not, 2 on a usage or\n"
    "set-up error.\n";

int Usage(const std::string& problem) {
  std::cerr << "iapsim: " << problem << "\nsee iapsim --help\n";
  return 2;
}

bool ParseUnsigned(const std::string& text, unsigned long maximum, unsigned long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 0);
  return end != nullptr && *end == '\0' && value <= maximum && text[0] != '-';
}

bool ParseSeconds(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && value > 0;
}

std::string Hex(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

bool WriteFramesFile(const std::string& path, const std::vector<Bytes>& frames) {
  std::ofstream out(path, std::ios::trunc);
  for (const Bytes& frame : frames) out << Hex(frame) << "\n";
  out.close();
  return static_cast<bool>(out);
}

bool WriteStatsFile(const std::string& path, const CIapDevice& device, const TransferTiming& t,
                    FrontEnd end) {
  std::ofstream out(path, std::ios::trunc);
  out << "end=" << (end == FrontEnd::kFinished ? "finished" : "unfinished") << "\n"
      << "data_frames=" << device.DataFrameCount() << "\n"
      << "accepted_frames=" << device.AcceptedFrameCount() << "\n"
      << "messages=" << t.messagesIn << "\n"
      << "reports=" << t.reportsIn << "\n"
      << "frame_bytes=" << t.bytesIn << "\n"
      << "reply_bytes=" << t.bytesOut << "\n"
      << "transfer_seconds=" << t.Seconds() << "\n";
  out.close();
  return static_cast<bool>(out);
}

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (args.empty()) return Usage("serial or hid?");
  const std::string mode = args[0];
  if (mode != "serial" && mode != "hid") return Usage("the first word is serial or hid");

  std::string configPath, framesPath, imagePath, statsPath, socketPath;
  FrontOptions options;
  FaultPlan faults;
  struct HidOverride {
    const char* option;
    unsigned long value;
    bool given;
  } hidOptions[] = {{"--vid", 0, false},
                    {"--pid", 0, false},
                    {"--hid-version", 0, false},
                    {"--input-report-length", 0, false},
                    {"--output-report-length", 0, false}};

  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--pace") {
      options.pace = true;
    } else if (a == "--config") {
      if (!value(configPath)) return Usage("--config needs a file");
    } else if (a == "--frames") {
      if (!value(framesPath)) return Usage("--frames needs a file");
    } else if (a == "--image") {
      if (!value(imagePath)) return Usage("--image needs a file");
    } else if (a == "--stats") {
      if (!value(statsPath)) return Usage("--stats needs a file");
    } else if (a == "--socket" && mode == "hid") {
      if (!value(socketPath)) return Usage("--socket needs a path");
    } else if (a == "--fault") {
      std::string error;
      if (!value(v)) return Usage("--fault needs a fault");
      if (!ParseFault(v, faults, error)) return Usage(error);
    } else if (a == "--timeout") {
      if (!value(v) || !ParseSeconds(v, options.idleTimeoutSeconds)) {
        return Usage("--timeout needs a number of seconds");
      }
    } else if (a == "--linger") {
      if (!value(v) || !ParseSeconds(v, options.lingerSeconds)) {
        return Usage("--linger needs a number of seconds");
      }
    } else {
      bool known = false;
      for (HidOverride& o : hidOptions) {
        if (mode != "hid" || a != o.option) continue;
        if (!value(v) || !ParseUnsigned(v, 0xffff, o.value)) {
          return Usage(std::string(o.option) + " needs a number 0 to 0xFFFF");
        }
        o.given = true;
        known = true;
      }
      if (!known) return Usage("unknown option " + a);
    }
  }
  if (mode == "hid" && socketPath.empty()) return Usage("hid needs --socket PATH");

  if (configPath.empty()) {
    for (const char* name : {"MpptConfigFile.ini", "InvConfigFile.ini"}) {
      if (FileExists(name)) {
        configPath = name;
        break;
      }
    }
    if (configPath.empty()) {
      return Usage("no --config given and no MpptConfigFile.ini or InvConfigFile.ini here");
    }
  }
  SimConfig config;
  std::string error;
  if (!LoadSimConfig(configPath, config, error)) {
    std::cerr << "iapsim: " << error << "\n";
    return 2;
  }
  if (hidOptions[0].given) config.vendorId = static_cast<std::uint16_t>(hidOptions[0].value);
  if (hidOptions[1].given) config.productId = static_cast<std::uint16_t>(hidOptions[1].value);
  if (hidOptions[2].given) config.versionNumber = static_cast<std::uint16_t>(hidOptions[2].value);
  if (hidOptions[3].given) {
    config.inputReportLength = static_cast<std::uint16_t>(hidOptions[3].value);
  }
  if (hidOptions[4].given) {
    config.outputReportLength = static_cast<std::uint16_t>(hidOptions[4].value);
  }
  if (config.inputReportLength < 2 || config.outputReportLength < 2) {
    std::cerr << "iapsim: report lengths count the report id and must be at least 2\n";
    return 2;
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  options.stop = &g_stop;

  CIapDevice device(config, faults);
  FrontEnd end = FrontEnd::kFailed;
  TransferTiming timing;
  // Opens the front, tells the client where to connect, and serves until the end.
  const auto serve = [&](auto& front) {
    if (!front.Open(error)) return false;
    std::printf("ready %s\n", front.Path().c_str());
    std::fflush(stdout);
    end = front.Run();
    timing = front.Timing();
    return true;
  };
  bool served;
  if (mode == "serial") {
    CPtySerialFront front(device, options);
    served = serve(front);
  } else {
    CHidSocketFront front(device, options, socketPath);
    served = serve(front);
  }
  if (!served) {
    std::cerr << "iapsim: " << error << "\n";
    return 2;
  }

  bool ok = end == FrontEnd::kFinished && device.Errors().empty();
  if (!framesPath.empty() && !WriteFramesFile(framesPath, device.Frames())) {
    std::cerr << "iapsim: cannot write " << framesPath << "\n";
    ok = false;
  }
  if (!imagePath.empty() && !device.Flash().WriteSRecordFile(imagePath, config.address24, error)) {
    std::cerr << "iapsim: " << error << "\n";
    ok = false;
  }
  if (!statsPath.empty() && !WriteStatsFile(statsPath, device, timing, end)) {
    std::cerr << "iapsim: cannot write " << statsPath << "\n";
    ok = false;
  }
  for (const std::string& problem : device.Errors()) std::cerr << "iapsim: " << problem << "\n";
  std::cerr << "iapsim: " << FrontEndText(end) << "; " << device.DataFrameCount()
            << " data frames, " << device.AcceptedFrameCount() << " written to flash\n";
  return ok ? 0 : 1;
}
