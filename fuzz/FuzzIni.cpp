// Fuzz target: the input is the configuration file in the working directory, read
// the way start-up reads it. The dialog's LoadConfiguration (driven through the
// scripted window system of the tests) reads the device table -- DEVICELIST/
// DEVICECOUNT and every DEVICEn section into its profile table -- and puts each
// section in force as the active profile; the simulator reads the same file its
// own way (LoadSimConfig).
//
// Property, beyond running clean under the sanitizers: the texts of every
// profile read are cut to their room and terminated inside it (FLASHCMD at most
// 15 characters, IAPCODEPROTECT 7).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "app/UpdaterDlg.h"
#include "config/DeviceProfile.h"
#include "res/Variant.h"
#include "sim/SimConfig.h"
#include "support/ScriptedWindowSystem.h"

namespace {
std::string g_configName;  // the variant's file name in the working directory
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::MakePrivateDirectory("fuzz_ini", argc, argv);
  g_configName = SolvaneStrings().configFileName.substr(1);  // without its leading backslash
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::CInPrivateDirectory inside;
  fuzz::WriteWholeFile(g_configName, data, size);
  ActiveProfile = DeviceMap{};

  {
    CScriptedWindowSystem ws;
    CUpdaterDlg dlg(ws, SolvaneStrings());
    dlg.LoadConfiguration();
    const std::uint32_t read = std::min<std::uint32_t>(dlg.DeviceCount(), kProfileTableSize);
    for (std::uint32_t i = 0; i < read; ++i) {
      const DeviceProfile& p = dlg.Profiles()[i];
      if (strnlen(p.FLASHCMD, sizeof p.FLASHCMD) == sizeof p.FLASHCMD ||
          strnlen(p.IAPCODEPROTECT, sizeof p.IAPCODEPROTECT) == sizeof p.IAPCODEPROTECT)
        fuzz::Violation("DEVICE%u: FLASHCMD or IAPCODEPROTECT is not terminated in its room", i);
    }
  }

  SimConfig config;
  std::string error;
  LoadSimConfig(g_configName, config, error);
  return 0;
}
