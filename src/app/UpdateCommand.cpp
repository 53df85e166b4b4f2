// Update Firmware: open the link chosen in the interface list, put the device's
// programmer into programming mode and start the transfer worker for that link.
// All of it runs on the user-interface thread and blocks it while the links wait.

#include <cstdint>
#include <cstring>
#include <string>

#include "app/UpdaterDlg.h"
#include "update/Handshake.h"
#include "update/RecordFrames.h"

namespace {

std::string StoredFlashCmd(const DeviceProfile& entry) {
  return std::string(entry.FLASHCMD, strnlen(entry.FLASHCMD, sizeof entry.FLASHCMD));
}

}  // namespace

void CUpdaterDlg::OpenSelectedInterface() {
  TakeInterfaceChoice();
  m_linkOutcome = Outcome{Stage::kLink, Result::kDone, Reason::kNone, {}};
  m_openLink = nullptr;
  m_interfaceKind = kNoLink;
  const std::string entry = m_ws.ComboSelectedText();
  CDialogLink* link = LinkFor(entry);
  // Nothing chosen in the list: the link of the last choice (USB before any).
  if (link == nullptr) {
    for (const auto& row : m_links) {
      if (row->Kind() == m_builder.m_interfaceKind) link = row.get();
    }
  }
  if (link == nullptr) {
    Log("Can Not Open Ihis Interface,Don't Support!");
    m_linkOutcome.result = Result::kFailed;
    m_linkOutcome.reason = Reason::kNoInterface;
    return;
  }
  if (link->Open(entry, m_linkOutcome)) {
    m_openLink = link;
    m_interfaceKind = link->Kind();
    EnableControl(IDC_FILE, true);
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
    BeginStage(Stage::kHandshake);
    EndStage(Outcome{Stage::kHandshake, Result::kFailed, Reason::kBadFlashCommand, {}});
    return;
  }
  if (m_openLink == nullptr) {
    WindowMessageBox("Open the Device error", m_linkOutcome.reason);
    Log("Please choose the right interface first!");
    EndStage(m_linkOutcome);
    return;
  }
  EndStage(m_linkOutcome);
  // A record size that has no frame layout could never be sent: the device is not
  // put into programming mode for a transfer that would stop at its first frame,
  // leaving it waiting without its application.
  if (!SupportedRecordSize(ActiveProfile.recordSize)) {
    BeginStage(Stage::kHandshake);
    Log("Record size " + std::to_string(ActiveProfile.recordSize) +
        " can not be sent, only 16, 32 or 64 bytes per record!");
    WindowMessageBox("Can't support this file !", Reason::kRecordSizeUnsendable);
    EndStage(Outcome{Stage::kHandshake, Result::kFailed, Reason::kRecordSizeUnsendable, {}});
    return;
  }
  Handshake(*m_openLink, command);
}

void CUpdaterDlg::Handshake(CDialogLink& link, const std::vector<std::uint8_t>& command) {
  BeginStage(Stage::kHandshake);
  Outcome handshake{Stage::kHandshake, Result::kFailed, Reason::kNone, {}};
  handshake.detail.device = m_linkOutcome.detail.device;
  if (!link.BeforeHandshake(handshake)) {
    EndStage(handshake);
    return;
  }
  const bool ready = EnterProgrammingMode(
      link.Iap(), command.data(), static_cast<int>(command.size()),
      ActiveProfile.PROGRAMBDRATE == 9600, [this](const std::string& line) { Log(line); },
      &handshake.reason);
  if (!ready) {
    link.NotReady(handshake.reason);
    EndStage(handshake);
    return;
  }
  handshake.result = Result::kDone;
  EndStage(handshake);
  Log("UPS ready for firmware update");
  EnableControl(IDC_UPDATE, false);
  EnableControl(IDC_FILE, false);
  link.Ready();
  // A Cancel Update left over from an earlier failed transfer (the button stays
  // enabled after an error end) must not stop this one before its first frame.
  // Cleared here, before the worker exists, so a press from now on is honoured.
  m_transfer.cancelRequested = 0;
  // A station cancelled while this unit was in its handshake: not one frame.
  if (m_standingCancel != nullptr && m_standingCancel->load()) m_transfer.cancelRequested = 1;
  StartWorker([this, &link] { RunTransferOver(link.Iap()); });
}
