// iapsim: plays a device's in-application programmer for the updater, over a
// pseudo-terminal (serial) or over the socket HID channel.
//
//   iapsim serial [options]
//   iapsim hid --socket PATH [hid options] [options]
//
// Every option and fault is described in kUsage below (iapsim --help).

#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "link/os/socket/HidSocketProtocol.h"
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
    "  --serial SN         USB serial number string, 1 to 126 bytes of UTF-8, sent in the\n"
    "                      hello (default none: a device without one)\n"
    "  --input-report-length N, --output-report-length N\n"
    "                      report lengths, the report id included\n"
    "\n"
    "Exit status: 0 after an update that ended well, 1 when it did not, 2 on a usage or\n"
    "set-up error.\n";

int Usage(const std::string& problem) {
  std::cerr << "iapsim: " << problem << "\nsee iapsim --help\n";
  return 2;
}

// The numbers are read as iapsim has always read them, not by CLI11's own
// conversions, so that every script keeps meaning what it says: a HID attribute by
// strtoul in base 0 (decimal, 0x hexadecimal, a leading 0 octal) up to 0xFFFF,
// seconds by strtod and above 0.
bool ParseAttribute(const std::string& text, std::uint16_t& value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || number > 0xffff) return false;
  value = static_cast<std::uint16_t>(number);
  return true;
}

bool ParseSeconds(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && value > 0;
}

// An empty value (an unset shell variable, say) names no file or socket.
const CLI::Validator kNonEmpty(
    [](std::string& value) { return value.empty() ? std::string("the value is empty") : ""; }, "");

// A USB string descriptor holds at most 126 characters; the hello carries the
// serial number in UTF-8 and allows as many bytes.
const CLI::Validator kSerialNumber(
    [](std::string& value) {
      if (value.empty()) return std::string("the value is empty");
      if (value.size() > static_cast<std::size_t>(hidsock::kMaxSerialSize)) {
        return std::to_string(value.size()) + " bytes, a USB serial number has at most " +
               std::to_string(hidsock::kMaxSerialSize);
      }
      return std::string();
    },
    "");

// A fault the device can show; the plan itself is filled once the whole command
// line has been read.
const CLI::Validator kFault(
    [](std::string& value) {
      FaultPlan scratch;
      std::string error;
      return ParseFault(value, scratch, error) ? std::string() : error;
    },
    "");

// An option whose value parse reads into target; a value it does not take is
// refused as "OPTION: VALUE is not WHAT".
template <typename T>
CLI::Option* AddParsed(CLI::App* app, const std::string& name, T& target,
                       bool (*parse)(const std::string&, T&), const std::string& what) {
  return app
      ->add_option_function<std::string>(
          name, [&target, parse](const std::string& text) { parse(text, target); })
      ->check(CLI::Validator(
          [parse, what](std::string& text) {
            T value{};
            return parse(text, value) ? std::string() : text + " is not " + what;
          },
          ""));
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
  std::string configPath, framesPath, imagePath, statsPath, socketPath, serialNumber;
  std::vector<std::string> faultTexts;
  FrontOptions options;
  // The device's HID attributes as given on the command line, over the INI's.
  std::uint16_t vendorId = 0, productId = 0, versionNumber = 0, inputLength = 0, outputLength = 0;

  CLI::App app{"Plays the device's in-application programmer for the updater.", "iapsim"};
  // The help is kUsage whichever word comes first: one text for both links.
  app.formatter_fn([](const CLI::App*, std::string, CLI::AppFormatMode) { return kUsage; });
  // "/tmp/dev.sock" is a path, never a Windows-style "/option".
  app.allow_windows_style_options(false);
  // An option given twice keeps its last value; only --fault gathers them all.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(1);
  CLI::App* serial = app.add_subcommand("serial", "over a new pty");
  CLI::App* hid = app.add_subcommand("hid", "over a local socket");
  for (CLI::App* link : {serial, hid}) {
    link->add_option("--config", configPath)->type_name("INI")->check(kNonEmpty);
    link->add_flag("--pace", options.pace);
    link->add_option("--frames", framesPath)->type_name("FILE")->check(kNonEmpty);
    link->add_option("--image", imagePath)->type_name("FILE")->check(kNonEmpty);
    link->add_option("--stats", statsPath)->type_name("FILE")->check(kNonEmpty);
    // One fault each time: "--fault nak=2 garbage=3" leaves garbage=3 unexpected.
    link->add_option("--fault", faultTexts)
        ->type_name("F")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(kFault);
    AddParsed(link, "--timeout", options.idleTimeoutSeconds, ParseSeconds,
              "a number of seconds above 0")
        ->type_name("S");
    AddParsed(link, "--linger", options.lingerSeconds, ParseSeconds, "a number of seconds above 0")
        ->type_name("S");
  }
  hid->add_option("--socket", socketPath)->type_name("PATH")->required()->check(kNonEmpty);
  const std::string attribute = "a number 0 to 0xFFFF";
  CLI::Option* vid = AddParsed(hid, "--vid", vendorId, ParseAttribute, attribute);
  CLI::Option* pid = AddParsed(hid, "--pid", productId, ParseAttribute, attribute);
  CLI::Option* version = AddParsed(hid, "--hid-version", versionNumber, ParseAttribute, attribute);
  CLI::Option* inputReport =
      AddParsed(hid, "--input-report-length", inputLength, ParseAttribute, attribute);
  CLI::Option* outputReport =
      AddParsed(hid, "--output-report-length", outputLength, ParseAttribute, attribute);
  for (CLI::Option* option : {vid, pid, version, inputReport, outputReport}) option->type_name("N");
  hid->add_option("--serial", serialNumber)->type_name("SN")->check(kSerialNumber);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (!serial->parsed() && !hid->parsed()) {
      return Usage(argc < 2 ? "serial or hid?" : "the first word is serial or hid");
    }
    return Usage(e.what());
  }
  const bool overHid = hid->parsed();
  FaultPlan faults;
  for (const std::string& text : faultTexts) {
    std::string ignored;  // each one was checked while parsing
    ParseFault(text, faults, ignored);
  }

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
  if (vid->count() > 0) config.vendorId = vendorId;
  if (pid->count() > 0) config.productId = productId;
  if (version->count() > 0) config.versionNumber = versionNumber;
  if (inputReport->count() > 0) config.inputReportLength = inputLength;
  if (outputReport->count() > 0) config.outputReportLength = outputLength;
  config.serialNumber = serialNumber;
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
  if (!overHid) {
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
