// Update Firmware: open the link chosen in the interface list, put the device's
// programmer into programming mode and start the transfer worker for that link.
// All of it runs on the user-interface thread and blocks it while the links wait.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/UpdaterDlg.h"
#include "update/Handshake.h"
#include "update/HidIapLink.h"
#include "update/RecordFrames.h"
#include "update/SerialIapLink.h"
#include "link/os/SerialChannel.h"

namespace {

std::string StoredFlashCmd(const DeviceProfile& entry) {
  return std::string(entry.FLASHCMD, strnlen(entry.FLASHCMD, sizeof entry.FLASHCMD));
}

// "VID:PID" as the inventory shows it, "0483:5750".
std::string UsbIds(std::uint32_t vid, std::uint32_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X:%04X", vid & 0xFFFFu, pid & 0xFFFFu);
  return text;
}

Reason PortReason(SerialOpenFault fault) {
  switch (fault) {
    case SerialOpenFault::kNotFound:
      return Reason::kPortNotFound;
    case SerialOpenFault::kBusy:
      return Reason::kPortBusy;
    case SerialOpenFault::kPermission:
      return Reason::kPermission;
    case SerialOpenFault::kNotSerial:
      return Reason::kNotSerialPort;
    case SerialOpenFault::kNone:
    case SerialOpenFault::kOther:
      break;
  }
  return Reason::kPortOpenFailed;
}

}  // namespace

void CUpdaterDlg::OpenSelectedInterface() {
  TakeInterfaceChoice();
  m_linkOutcome = Outcome{Stage::kLink, Result::kDone, Reason::kNone, {}};
  auto failed = [this](Reason reason) {
    m_linkOutcome.result = Result::kFailed;
    m_linkOutcome.reason = reason;
  };

  if (m_builder.m_interfaceKind == kHidLink) {
    Log("Open The HID Interface!");
    m_linkOutcome.detail.device = UsbIds(m_profiles[0].VID, m_profiles[0].PID);
    if (m_hid.Open(m_profiles[0].VID, m_profiles[0].PID)) {
      Log("Find the HID Device OK!");
      m_interfaceKind = kHidLink;
      EnableControl(IDC_FILE, true);
    } else {
      Log("Can not find the HID Device!");
      m_interfaceKind = kNoLink;
      failed(Reason::kNoDevice);
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
    m_linkOutcome.detail.device = SerialDevicePath(port);
    if (m_serial.Open(port, static_cast<int>(ActiveProfile.COMMUNICATBDRATE))) {
      Log("Com" + std::to_string(port) + " Is Finded");
      m_interfaceKind = kSerialLink;
      EnableControl(IDC_FILE, true);
    } else {
      const SerialOpenError error = m_serial.LastOpenError();
      failed(PortReason(error.fault));
      m_linkOutcome.detail.osError = error.message;
      AppMessageBox("Can Not Open Com" + std::to_string(port) + ",Please Choose the right Com Port",
                    BoxIcon::kWarning, m_linkOutcome.reason);
      Log("Can Not Open Com" + std::to_string(port) + " !");
      m_interfaceKind = kNoLink;
    }
  } else {
    Log("Can Not Open Ihis Interface,Don't Support!");
    m_interfaceKind = kNoLink;
    failed(Reason::kNoInterface);
  }
}

void CUpdaterDlg::OnUpdateFirmware() {
  // The File pipeline pumps window events while it reads; a press that arrives
  // then must not start a transfer on a half-written tmp.bin.
  if (m_building) return;
  // The links belong to a running worker until it ends.
  if (WorkerRunning()) return;

  BeginStage(Stage::kLink);
  OpenSelectedInterface();
  m_transfer.deviceReady = 0;
  m_reply.fill(0);

  // The command is built as a copy with the final '#' turned into CR, so the
  // stored FLASHCMD keeps its '#' whichever way this handler ends.
  const Bytes command = ProgrammingModeCommand(StoredFlashCmd(m_profiles[0]));
  if (command.empty()) {
    WindowMessageBox("the FLASHCMD is error", Reason::kBadFlashCommand);
    Log("Please modify the FLASHCMD in config file first!");
    EndStage(m_linkOutcome);
    EndStage(Outcome{Stage::kHandshake, Result::kFailed, Reason::kBadFlashCommand, {}});
    return;
  }
  const int n = static_cast<int>(command.size());

  switch (m_interfaceKind.load()) {
    case kNoLink:
      WindowMessageBox("Open the Device error", m_linkOutcome.reason);
      Log("Please choose the right interface first!");
      EndStage(m_linkOutcome);
      return;
    case kHidLink:
      EndStage(m_linkOutcome);
      break;
    case kSerialLink:
      EndStage(m_linkOutcome);
      // "UPS firmware update completed" is not logged here: the transfer is only
      // starting. The serial worker logs it once the device took the whole image.
      if (!SerialHandshake(n)) Log("UPS firmware update fault");
      return;
    default:
      Log("Please open device first!");
      return;
  }

  // HID handshake.
  BeginStage(Stage::kHandshake);
  Outcome handshake{Stage::kHandshake, Result::kFailed, Reason::kNone, {}};
  handshake.detail.device = m_linkOutcome.detail.device;
  if (!m_hid.IsOpen()) {
    Log("Can't communicate with the UPS,please check the USB cable connection");
    handshake.reason = Reason::kNoDevice;
    EndStage(handshake);
    return;
  }
  m_hid.SetPacedFor9600(ActiveProfile.PROGRAMBDRATE == 9600);
  CHidIapLink link(m_hid, m_reply);
  const bool ready =
      EnterProgrammingMode(link, command.data(), n, ActiveProfile.PROGRAMBDRATE == 9600,
                           [this](const std::string& line) { Log(line); }, &handshake.reason);
  if (!ready) {
    Log("UPS no ready for firmware update");
    m_hid.Close();
    AppMessageBox("Firmware update check ready error", BoxIcon::kWarning, handshake.reason);
    EndStage(handshake);
    return;
  }
  handshake.result = Result::kDone;
  EndStage(handshake);
  m_transfer.deviceReady = 1;
  Log("UPS ready for firmware update");
  EnableControl(IDC_UPDATE, false);
  EnableControl(IDC_FILE, false);
  // A Cancel Update left over from an earlier failed transfer (the button stays
  // enabled after an error end) must not stop this one before its first frame.
  // Cleared here, before the worker exists, so a press from now on is honoured.
  m_transfer.cancelRequested = 0;
  StartWorker(m_hidWorker, &CUpdaterDlg::HidTransferWorker);
}

bool CUpdaterDlg::SerialHandshake(int n) {
  const Bytes command = ProgrammingModeCommand(StoredFlashCmd(m_profiles[0]));
  if (n <= 0 || n > static_cast<int>(command.size())) n = static_cast<int>(command.size());

  BeginStage(Stage::kHandshake);
  Outcome handshake{Stage::kHandshake, Result::kDone, Reason::kNone, {}};
  handshake.detail.device = m_linkOutcome.detail.device;
  CSerialIapLink link(m_serial);
  if (EnterProgrammingMode(link, command.data(), n, ActiveProfile.PROGRAMBDRATE == 9600,
                           [this](const std::string& line) { Log(line); }, &handshake.reason)) {
    EndStage(handshake);
    Log("UPS ready for firmware update");
    EnableControl(IDC_UPDATE, false);
    EnableControl(IDC_FILE, false);
    // The serial programmer takes no baud-rate command: the link itself moves to
    // the programming rate between the ready reply and the first frame.
    m_serial.Close();
    m_serial.Open(m_comPort, ActiveProfile.PROGRAMBDRATE == 9600 ? 9600 : 2400);
    m_transfer.cancelRequested = 0;
    StartWorker(m_serialWorker, &CUpdaterDlg::SerialTransferWorker);
    return true;
  }
  Log("Can't communicate with UPS, please check the RS232 cable connection.");
  WindowMessageBox("Firmware update check ready error", handshake.reason);
  m_serial.Close();
  handshake.result = Result::kFailed;
  EndStage(handshake);
  return false;
}
