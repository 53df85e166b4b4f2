// Update Firmware: open the link chosen in the interface list, put the device's
// programmer into programming mode and start the transfer worker for that link.
// All of it runs on the user-interface thread and blocks it while the links wait.

#include <cstdint>
#include <cstring>
#include <string>

#include "app/UpdaterDlg.h"
#include "update/Handshake.h"
#include "update/HidIapLink.h"
#include "update/RecordFrames.h"
#include "update/SerialIapLink.h"

namespace {

std::string StoredFlashCmd(const DeviceProfile& entry) {
  return std::string(entry.FLASHCMD, strnlen(entry.FLASHCMD, sizeof entry.FLASHCMD));
}

}  // namespace

void CUpdaterDlg::OpenSelectedInterface() {
  TakeInterfaceChoice();

  if (m_builder.m_interfaceKind == kHidLink) {
    Log("Open The HID Interface!");
    if (m_hid.Open(m_profiles[0].VID, m_profiles[0].PID)) {
      Log("Find the HID Device OK!");
      m_interfaceKind = kHidLink;
      EnableControl(IDC_FILE, true);
    } else {
      Log("Can not find the HID Device!");
      m_interfaceKind = kNoLink;
    }
  } else if (m_builder.m_interfaceKind == kSerialLink) {
    m_serial.Close();
    const std::string text = m_ws.ComboSelectedText();
    for (int n = 1; n <= 9; ++n) {
      if (text.find("COM" + std::to_string(n)) != std::string::npos) {
        m_comPort = n;
        break;
      }
    }
    const int port = m_comPort;
    if (m_serial.Open(port, static_cast<int>(ActiveProfile.COMMUNICATBDRATE))) {
      Log("Com" + std::to_string(port) + " Is Finded");
      m_interfaceKind = kSerialLink;
      EnableControl(IDC_FILE, true);
    } else {
      AppMessageBox("Can Not Open Com" + std::to_string(port) +
                    ",Please Choose the right Com Port");
      Log("Can Not Open Com" + std::to_string(port) + " !");
      m_interfaceKind = kNoLink;
    }
  } else {
    Log("Can Not Open Ihis Interface,Don't Support!");
    m_interfaceKind = kNoLink;
  }
}

void CUpdaterDlg::OnUpdateFirmware() {
  // The File pipeline pumps window events while it reads; a press that arrives
  // then must not start a transfer on a half-written tmp.bin.
  if (m_building) return;
  // The links belong to a running worker until it ends.
  if (WorkerRunning()) return;

  OpenSelectedInterface();
  m_deviceReady = 0;
  m_reply.fill(0);

  // The command is built as a copy with the final '#' turned into CR, so the
  // stored FLASHCMD keeps its '#' whichever way this handler ends.
  const Bytes command = ProgrammingModeCommand(StoredFlashCmd(m_profiles[0]));
  if (command.empty()) {
    WindowMessageBox("the FLASHCMD is error");
    Log("Please modify the FLASHCMD in config file first!");
    return;
  }
  const int n = static_cast<int>(command.size());

  switch (m_interfaceKind.load()) {
    case kNoLink:
      WindowMessageBox("Open the Device error");
      Log("Please choose the right interface first!");
      return;
    case kHidLink:
      break;
    case kSerialLink:
      // "UPS firmware update completed" is not logged here: the transfer is only
      // starting. The serial worker logs it once the device took the whole image.
      if (!SerialHandshake(n)) Log("UPS firmware update fault");
      return;
    default:
      Log("Please open device first!");
      return;
  }

  // HID handshake.
  if (!m_hid.IsOpen()) {
    Log("Can't communicate with the UPS,please check the USB cable connection");
    return;
  }
  m_hid.SetPacedFor9600(ActiveProfile.PROGRAMBDRATE == 9600);
  CHidIapLink link(m_hid, m_reply);
  const bool ready =
      EnterProgrammingMode(link, command.data(), n, ActiveProfile.PROGRAMBDRATE == 9600,
                           [this](const std::string& line) { Log(line); });
  if (!ready) {
    Log("UPS no ready for firmware update");
    m_hid.Close();
    AppMessageBox("Firmware update check ready error");
    return;
  }
  m_deviceReady = 1;
  Log("UPS ready for firmware update");
  EnableControl(IDC_UPDATE, false);
  EnableControl(IDC_FILE, false);
  // A Cancel Update left over from an earlier failed transfer (the button stays
  // enabled after an error end) must not stop this one before its first frame.
  // Cleared here, before the worker exists, so a press from now on is honoured.
  m_cancelRequested = 0;
  StartWorker(m_hidWorker, &CUpdaterDlg::HidTransferWorker);
}

bool CUpdaterDlg::SerialHandshake(int n) {
  const Bytes command = ProgrammingModeCommand(StoredFlashCmd(m_profiles[0]));
  if (n <= 0 || n > static_cast<int>(command.size())) n = static_cast<int>(command.size());

  CSerialIapLink link(m_serial);
  if (EnterProgrammingMode(link, command.data(), n, ActiveProfile.PROGRAMBDRATE == 9600,
                           [this](const std::string& line) { Log(line); })) {
    Log("UPS ready for firmware update");
    EnableControl(IDC_UPDATE, false);
    EnableControl(IDC_FILE, false);
    // The serial programmer takes no baud-rate command: the link itself moves to
    // the programming rate between the ready reply and the first frame.
    m_serial.Close();
    m_serial.Open(m_comPort, ActiveProfile.PROGRAMBDRATE == 9600 ? 9600 : 2400);
    m_cancelRequested = 0;
    StartWorker(m_serialWorker, &CUpdaterDlg::SerialTransferWorker);
    return true;
  }
  Log("Can't communicate with UPS, please check the RS232 cable connection.");
  WindowMessageBox("Firmware update check ready error");
  m_serial.Close();
  return false;
}
