// Reading the device configuration file at the end of the dialog's initialisation.

#include <algorithm>
#include <string>
#include <vector>

#include "app/UpdaterDlg.h"
#include "config/ProfileIni.h"

namespace {

// The path is held in a buffer of 260 bytes (259 characters and a terminator).
constexpr std::size_t kMaxConfigPath = 259;

constexpr std::uint32_t kMissing = kMissingValue;

// The variant's file name is written with a leading backslash; on a platform whose
// separator is '/', that backslash stands for the separator.
std::string ConfigPath(const std::string& dir, const std::string& fileName) {
#ifdef _WIN32
  return dir + fileName;
#else
  std::string name = fileName;
  if (!name.empty() && name[0] == '\\') name[0] = '/';
  return dir + name;
#endif
}

}  // namespace

void CUpdaterDlg::LoadConfiguration() {
  const std::string dir = m_ws.CurrentDirectory();
  const std::string path = ConfigPath(dir, m_variant.configFileName);
  BeginStage(Stage::kConfiguration);
  Outcome outcome{Stage::kConfiguration, Result::kDone, Reason::kNone, {}};
  outcome.detail.device = path;
  auto fail = [&](Reason reason) {
    outcome.result = Result::kFailed;
    outcome.reason = reason;
  };

  auto disableStart = [this] {
    EnableControl(IDC_FILE, false);
    EnableControl(IDC_INTERFACE, false);
  };
  auto reportConfigError = [&](Reason reason) {
    AppMessageBox("IAP Config File is error", BoxIcon::kInformation, reason);
    Log("Please check the config file");
    disableStart();
    fail(reason);
  };

  // A working directory too long for the path buffer cannot name the file: it is
  // reported as a missing file rather than read through a cut-off path.
  const bool fits = !dir.empty() && path.size() <= kMaxConfigPath;
  const CProfileIni ini(fits ? path : std::string());

  // A file that is there but no INI text at all (a device, a pipe, something
  // huge or binary) is a faulty file: nothing in it can be trusted.
  if (!ini.Refusal().empty()) {
    outcome.detail.text = ini.Refusal();
    reportConfigError(Reason::kConfigUnreadable);
    EndStage(outcome);
    return;
  }

  m_deviceCount = ini.GetInt("DEVICELIST", "DEVICECOUNT", kMissing);
  if (!fits || m_deviceCount == kMissing) {
    AppMessageBox("IAP Config File is not exist", BoxIcon::kInformation, Reason::kConfigMissing);
    Log("A config file is needed for IAP progress");
    disableStart();
    fail(Reason::kConfigMissing);
    EndStage(outcome);
    return;
  }

  // More sections than the profile table holds: the device in force would be a
  // guess, so the file is refused as a whole.
  if (m_deviceCount > kProfileTableSize) {
    reportConfigError(Reason::kConfigTooManyDevices);
    EndStage(outcome);
    return;
  }

  std::vector<std::string> signKeys;
  for (std::uint32_t i = 0; i < m_deviceCount; ++i) {
    const std::string section = "DEVICE" + std::to_string(i);
    DeviceProfile& entry = m_profiles[i];
    entry = ReadDeviceSection(ini, section);

    ActiveProfile = MaskedProfile(entry);
    signKeys.push_back(ActiveProfile.signKey);

    const std::vector<DeviceMapFault> faults = DeviceMapFaults(ActiveProfile);
    const auto any = [&faults](DeviceMapFault::Kind kind) {
      return std::any_of(faults.begin(), faults.end(),
                         [kind](const DeviceMapFault& f) { return f.kind == kind; });
    };
    if (any(DeviceMapFault::Kind::kBadValue)) reportConfigError(Reason::kConfigBadValue);
    if (any(DeviceMapFault::Kind::kBadBaudRate)) {
      AppMessageBox("IAP Config File is error", BoxIcon::kInformation, Reason::kConfigBadBaudRate);
      Log("Please check the modify the Baud rate");
      // The window goes on with File enabled, as it always has: the stage is
      // done, with the reason beside it as a warning.
      if (outcome.reason == Reason::kNone) outcome.reason = Reason::kConfigBadBaudRate;
    }
  }
  if (!SignKeysAgree(signKeys)) reportConfigError(Reason::kConfigBadValue);
  EndStage(outcome);
}
