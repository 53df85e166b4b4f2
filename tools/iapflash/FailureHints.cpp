#include "FailureHints.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Inventory.h"
#include "app/UpdaterDlg.h"
#include "config/ProfileIni.h"
#include "image/ImageBuilder.h"
#include "image/IntermediateFiles.h"
#include "link/os/SerialChannel.h"
#include "trust/Minisign.h"
#include "update/Handshake.h"
#include "update/RecordFrames.h"

#ifndef _WIN32
#include "link/os/posix/PortMap.h"
#endif

namespace {

// Why path cannot be read, as the C library says it; empty when it can.
std::string ReadProblem(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return "it is a directory, not a file";
  if (std::filesystem::is_fifo(path, ec)) return "it is a FIFO, not a file";
  if (std::filesystem::is_socket(path, ec)) return "it is a socket, not a file";
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  std::fclose(file);
  return {};
}

std::string ConfigLead(const FailureContext& c) {
  return "the configuration file for " + c.variantName + " is " + c.configPath;
}

std::string MissingConfig(const FailureContext& c) {
  const std::string lead = ConfigLead(c);
  if (c.configPath.size() > 259) return lead + ": the path is longer than 259 characters";
  if (const std::string problem = ReadProblem(c.configPath); !problem.empty()) {
    return lead + ": " + problem;
  }
  return lead + ": it has no DEVICECOUNT in section [DEVICELIST]";
}

// The value of key in section as written, for a line that names it.
std::string Written(const CProfileIni& ini, const std::string& section, const std::string& key) {
  const auto value = ini.Lookup(section, key);
  if (!value) return key + " is missing";
  if (value->empty()) return key + " is empty";
  return key + " is " + *value;
}

// The lines for the faults of the device sections that the dialog checks, each
// under the reason of the box the dialog shows for it (kRecordSizeUnsendable: no
// box when the file is read, the one of File and Update Firmware later).
std::vector<ConfigFinding> SectionFindings(const CProfileIni& ini, const std::string& section) {
  const DeviceMap p = MaskedProfile(ReadDeviceSection(ini, section));
  std::vector<ConfigFinding> found;
  for (const DeviceMapFault& fault : DeviceMapFaults(p)) {
    std::string text = "[" + section + "] " + Written(ini, section, fault.key);
    Reason reason = Reason::kConfigBadValue;
    if (fault.kind == DeviceMapFault::Kind::kBadBaudRate) reason = Reason::kConfigBadBaudRate;
    if (fault.kind == DeviceMapFault::Kind::kRecordSize) {
      reason = Reason::kRecordSizeUnsendable;
      // The record size is the value's low byte: 0x110 is a record size of 16.
      const auto written = ini.Lookup(section, fault.key);
      if (written && CProfileIni::ParseInt(*written) != p.recordSize) {
        text += " (a record size of " + std::to_string(p.recordSize) + ")";
      }
    }
    found.push_back({reason, text + ": " + fault.need});
  }
  return found;
}

}  // namespace

std::vector<ConfigFinding> ConfigFindings(const FailureContext& c) {
  const CProfileIni ini(c.configPath);
  const std::string lead = ConfigLead(c);
  if (!ini.Refusal().empty()) return {{Reason::kConfigUnreadable, lead + ": " + ini.Refusal()}};
  const auto count = ini.Lookup("DEVICELIST", "DEVICECOUNT");
  if (!ini.FileExists() || !count) return {{Reason::kConfigMissing, MissingConfig(c)}};
  const std::uint32_t devices = CProfileIni::ParseInt(*count);
  if (devices == 0) {
    return {{Reason::kConfigBadValue,
             lead + ": " + Written(ini, "DEVICELIST", "DEVICECOUNT") +
                 " in section [DEVICELIST]: no device section is read, so no device can be "
                 "updated"}};
  }
  if (devices > kProfileTableSize) {
    return {{Reason::kConfigTooManyDevices,
             lead + ": " + Written(ini, "DEVICELIST", "DEVICECOUNT") + ", more than the " +
                 std::to_string(kProfileTableSize) + " device sections the updater holds"}};
  }
  std::vector<ConfigFinding> found;
  std::vector<std::string> signKeys;
  std::string keys;  // "[DEVICE0] key 1154A8FEDBF686CC, [DEVICE1] none"
  for (std::uint32_t i = 0; i < devices; ++i) {
    const std::string section = "DEVICE" + std::to_string(i);
    for (ConfigFinding& f : SectionFindings(ini, section)) {
      found.push_back({f.reason, lead + ": " + f.text});
    }
    signKeys.push_back(MaskedProfile(ReadDeviceSection(ini, section)).signKey);
    const auto key = ParseMinisignKey(signKeys.back());
    keys += (keys.empty() ? "[" : ", [") + section + "] " +
            (signKeys.back().empty() ? "none"
             : key                   ? "key " + KeyIdText(key->keyId)
                                     : "no key");
  }
  if (!SignKeysAgree(signKeys)) {
    found.push_back(
        {Reason::kConfigBadValue, lead + ": SIGNKEY is not the same in every device section (" +
                                      keys + "): give every section the vendor's key, or none"});
  }
  return found;
}

namespace {

// The configuration's lines for a box shown for reason.
std::vector<std::string> ConfigLines(const FailureContext& c, Reason reason) {
  std::vector<std::string> lines;
  for (const ConfigFinding& f : ConfigFindings(c)) {
    if (f.reason == reason) lines.push_back(f.text);
  }
  return lines;
}

std::string UnreadableFirmware(const FailureContext& c) {
  if (const std::string name = IntermediateFileNamedBy(c.firmwarePath); !name.empty()) {
    return "the firmware file " + c.firmwarePath + " is the working directory's " + name +
           ", which File writes; keep the firmware under another name";
  }
  const std::string problem = ReadProblem(c.firmwarePath);
  return "cannot read the firmware file " + c.firmwarePath + ": " +
         (problem.empty() ? "reading it failed" : problem);
}

// Where COMn's device came from, for the person who has to fix it.
std::string PortOrigin(const CUpdaterDlg& dlg, int port) {
  const std::string com = "COM" + std::to_string(port);
  if (BoundSerialDevice(port) || dlg.SerialPort().DeviceFor(port) != SerialDevicePath(port))
    return "--port";
#ifndef _WIN32
  if (const char* env = std::getenv(("IAP_" + com).c_str()); env && *env) return "IAP_" + com;
  if (MappedSerialDevice(port)) return "the port map " + PortMapPath();
  return "no IAP_" + com + " set";
#else
  return "";
#endif
}

std::string UnopenedPort(const CUpdaterDlg& dlg, int port) {
  const std::string path = dlg.SerialPort().DeviceFor(port);
#ifndef _WIN32
  // No path at all: the port map is at fault for this port.
  if (const std::string problem = path.empty() ? PortMapProblem(port) : ""; !problem.empty()) {
    return "COM" + std::to_string(port) + " opens no device: " + problem;
  }
#endif
  const std::string origin = PortOrigin(dlg, port);
  std::string problem = SerialOpenProblem(path);
  if (problem.empty()) problem = path + ": it opens now, but not as a serial port at this speed";
  return "COM" + std::to_string(port) + " is " + path +
         (origin.empty() ? "" : " (" + origin + ")") + "; " + problem;
}

std::string MissingHid(const CUpdaterDlg& dlg) {
  const DeviceProfile& wanted = dlg.Profiles()[0];
  std::string text = "no USB HID device with VID:PID " + Hex4(wanted.VID) + ":" + Hex4(wanted.PID);
  // A unit chosen by path or serial number: only that device was looked at, and
  // only that one is looked at again (a look at the others could take a device
  // away from the unit of a station that is opening it).
  const CHidDevice::Selection& chosen = dlg.HidDevice().Selected();
  if (!chosen.path.empty()) {
    text += " at " + chosen.path;
    if (!chosen.serial.empty()) text += " with serial number " + chosen.serial;
    return text + " (gone, another updater holds it, or it does not run the programmer; " +
           "iapflash --list)";
  }
  if (!chosen.serial.empty()) {
    return text + " and serial number " + chosen.serial +
           " (iapflash --list shows each device's serial number)";
  }
  if (const char* socket = std::getenv("IAP_HID_SOCKET"); socket && *socket) {
    text += std::string(" on the socket ") + socket + " (IAP_HID_SOCKET)";
  }
  // A device with the right ids that the link passed over says why: the ids
  // alone would read as if it had been found.
  std::string present;
  for (const HidDeviceInfo& device : ListHidDevices(UsbIds{wanted.VID, wanted.PID})) {
    present += (present.empty() ? "" : ", ") + Hex4(device.vendorId) + ":" + Hex4(device.productId);
    if (!device.mismatch.empty()) present += " (passed over: " + device.mismatch + ")";
  }
  return text + "; present: " + (present.empty() ? "none" : present) + " (iapflash --list)";
}

// The device the programming-mode command went to, as the link stage named it.
std::string HandshakeDevice(const CUpdaterDlg& dlg) {
  if (dlg.OpenedLinkKind() == kHidLink) {
    return "the USB device " + Hex4(dlg.Profiles()[0].VID) + ":" + Hex4(dlg.Profiles()[0].PID);
  }
  const int port = dlg.ComPort();
  return "COM" + std::to_string(port) + " (" + dlg.SerialPort().DeviceFor(port) + ")";
}

std::string NoReadyReply(const CUpdaterDlg& dlg, Reason reason) {
  const std::string tries = std::to_string(kHandshakeTries) + " tries";
  const std::string device = HandshakeDevice(dlg);
  const std::string speed = dlg.OpenedLinkKind() == kHidLink
                                ? ""
                                : " at " + std::to_string(ActiveProfile.COMMUNICATBDRATE) + " baud";
  if (reason == Reason::kNoBaudAck) {
    std::string bytes;
    for (const std::uint8_t b : BaudRateCommand()) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X", b);
      if (!bytes.empty()) bytes += ' ';
      bytes += hex;
    }
    return device + " answered ready but did not acknowledge the command for " +
           std::to_string(ActiveProfile.PROGRAMBDRATE) + " baud (" + bytes + ") in " + tries +
           "; check PROGRAMBDRATE against the device";
  }
  return "no ready reply from " + device + speed + " to the programming-mode command " +
         "(FLASHCMD) in " + tries +
         "; check the cable, that the device is powered and that FLASHCMD and "
         "COMMUNICATBDRATE are the device's";
}

std::string WorkFileUnwritten(const CUpdaterDlg& dlg, const char* name) {
  const std::string path = (std::filesystem::current_path() / name).string();
  const std::string& why = dlg.Builder().Problem().osError;
  return "cannot write " + path + ": " + (why.empty() ? "writing it failed" : why);
}

std::string RomheadMismatch(const FailureContext& c, const CUpdaterDlg& dlg) {
  const CImageBuilder::ImageProblem& problem = dlg.Builder().Problem();
  char text[160];
  std::snprintf(text, sizeof text,
                "the second record of the firmware file (line %ld) is at 0x%llX, "
                "not at ROMHEAD 0x%X of the configuration",
                problem.line,
                static_cast<unsigned long long>(std::max<std::int64_t>(problem.address, 0)),
                ActiveProfile.ROMHEAD);
  return std::string(text) + " (" + c.configPath + "): the file is not for this device, or the " +
         "configuration is not";
}

// Why File refused the firmware's signature, with the signature file's path.
std::string SignatureProblem(const FailureContext& c, const CUpdaterDlg& dlg, Reason reason) {
  const std::string signature = c.firmwarePath + ".minisig";
  switch (reason) {
    case Reason::kSignatureMissing: {
      std::error_code ec;
      std::string problem = ReadProblem(signature);
      if (problem.empty() && std::filesystem::file_size(signature, ec) > (64u << 10) && !ec)
        problem = "it is larger than 64 KiB, so it is no minisign signature";
      return "the configuration's SIGNKEY asks for the vendor's signature " + signature + ": " +
             (problem.empty() ? "it cannot be read" : problem) +
             "; without it the firmware file is not read";
    }
    case Reason::kSignatureMalformed:
      return signature + ": " + SignatureFaultText(SignatureFault::kMalformed);
    case Reason::kSignatureOtherKey: {
      const auto key = ParseMinisignKey(ActiveProfile.signKey);
      return signature + ": it was made with key " + dlg.FirmwareSignature().keyId +
             ", not with the configuration's SIGNKEY (key " + (key ? KeyIdText(key->keyId) : "?") +
             ")";
    }
    case Reason::kSignatureMismatch:
      return "the firmware file " + c.firmwarePath + " is not the file " + signature +
             " signed: it was changed since, or the signature is another file's";
    case Reason::kTrustedCommentMismatch:
      return signature + ": " + SignatureFaultText(SignatureFault::kBadTrustedComment) +
             "; it was changed after signing";
    case Reason::kSignatureUnavailable:
      return "no signature can be checked: " +
             std::string(SignatureFaultText(SignatureFault::kCryptoUnavailable));
    default:
      return {};
  }
}

}  // namespace

std::vector<std::string> ExplainBox(const BoxEvent& box, const FailureContext& context,
                                    const CUpdaterDlg& dlg) {
  // A configuration without a device section leaves the dialog with an empty
  // device map: every later box (a record size of 0, a ROMHEAD of 0, an empty
  // FLASHCMD) comes from that, and saying so is the one useful line.
  if (dlg.DeviceCount() == 0 && box.reason != Reason::kConfigMissing &&
      box.reason != Reason::kConfigUnreadable) {
    return ConfigLines(context, Reason::kConfigBadValue);
  }
  switch (box.reason) {
    case Reason::kConfigMissing:
      return {MissingConfig(context)};
    case Reason::kConfigUnreadable:
    case Reason::kConfigTooManyDevices:
    case Reason::kConfigBadValue:
    case Reason::kConfigBadBaudRate:
    case Reason::kRecordSizeUnsendable:
      return ConfigLines(context, box.reason);
    case Reason::kRomheadMismatch:
      return {RomheadMismatch(context, dlg)};
    case Reason::kTmpTxtWrite:
      return {WorkFileUnwritten(dlg, "tmp.txt")};
    case Reason::kTmpBinWrite:
      return {WorkFileUnwritten(dlg, "tmp.bin")};
    case Reason::kNoReadyReply:
    case Reason::kNoBaudAck:
      return {NoReadyReply(dlg, box.reason)};
    case Reason::kReadError:
    case Reason::kWorkFile:
      return {UnreadableFirmware(context)};
    case Reason::kPortNotFound:
    case Reason::kPortBusy:
    case Reason::kPermission:
    case Reason::kNotSerialPort:
    case Reason::kPortOpenFailed:
      if (const int port = dlg.ComPort(); port > 0) return {UnopenedPort(dlg, port)};
      return {};
    case Reason::kNoDevice:
      return {MissingHid(dlg)};
    case Reason::kSignatureMissing:
    case Reason::kSignatureMalformed:
    case Reason::kSignatureOtherKey:
    case Reason::kSignatureMismatch:
    case Reason::kTrustedCommentMismatch:
    case Reason::kSignatureUnavailable:
      return {SignatureProblem(context, dlg, box.reason)};
    default:
      return {};
  }
}
