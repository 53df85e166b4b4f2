#pragma once
// A dialog over the scripted window system in a fresh working directory.

#include <memory>
#include <string>

#include "app/UpdaterDlg.h"
#include "support/ScriptedWindowSystem.h"
#include "support/TestDir.h"

inline std::string GoodSection(int index, const std::string& overrides = "") {
  return "[DEVICE" + std::to_string(index) + "]\n" + overrides +
         "VID=0x0483\nPID=0x5750\nCOMMUNICATBDRATE=9600\nPROGRAMBDRATE=9600\n"
         "RAWDATASIZE=32\nHEADLINE=0\nROMHEAD=0x8000\nROMTAIL=0xFFFF\nINTSTART=0xFF00\n"
         "INTEND=0xFFF0\nPAGESIZE=0x200\nIAPSTART=0xE000\nIAPEND=0xEFF0\nIAPMARK=0x8400\n"
         "FLASHCMD=IAP#\nIAPCODEPROTECT=0\n";
}

struct DialogUnderTest {
  CTestDir dir;
  CScriptedWindowSystem ws;
  std::unique_ptr<CUpdaterDlg> dlg;

  DialogUnderTest() { ActiveProfile = {}; }

  // Writes the solvane configuration file (nothing when content is empty) and
  // initialises the dialog.
  void Start(const std::string& content, const VariantStrings& v = SolvaneStrings()) {
    if (!content.empty()) {
      dir.Write(v.configFileName.substr(1), content);
    }
    dlg = std::make_unique<CUpdaterDlg>(ws, v);
    dlg->OnInitDialog();
  }
};
