#include "app/UpdaterDlg.h"

#include <cstdio>
#include <exception>

namespace {
const FontSpec kLargeFont{"Arial", 19, 700, true};
const FontSpec kComboFont{"Arial", 15, 700, true};
const char kCloseDuringTransfer[] =
    "A firmware update is running. Closing now leaves the device without a complete firmware. "
    "Close anyway?";
}  // namespace

CUpdaterDlg::CUpdaterDlg(CWindowSystem& ws, const VariantStrings& variant)
    : m_ws(ws), m_variant(variant), m_log(ws), m_links(MakeDialogLinks(*this)) {
  // A closing window ends the links' timed waits early, so a worker that is
  // waiting for the device notices at once.
  m_serial.SetAbort(&m_closing);
  m_hid.SetAbort(&m_closing);
  // The HID link logs only numbers: each report's byte count (or the error code
  // of a time-out), in the handshake as in every frame; a quiet log drops them all.
  m_hid.SetLog([this](const std::string& line) { Log(line, LogKind::kPerFrame); });
  m_builder.SetMessageBox([this](const std::string& text) {
    AppMessageBox(text, BoxIcon::kWarning, m_builder.Problem().reason);
  });
  // The long 24-bit reads keep the window alive, one event per line.
  m_builder.SetPump([this] { m_ws.PumpOneMessage(); });
  // The journal hears every frame first, before any face.
  m_listeners.push_back(&m_recorder);
}

CUpdaterDlg::~CUpdaterDlg() { Shutdown(); }

bool CUpdaterDlg::OnInitDialog() {
  InitControls();
  LoadConfiguration();
  return true;
}

void CUpdaterDlg::OnInitUnit(const CUpdaterDlg& prepared) {
  InitControls();
  m_profiles = prepared.m_profiles;
  m_deviceCount = prepared.m_deviceCount;
  // Only the image that File kept goes to the device: every unit compares
  // tmp.bin with it before its transfer, as the dialog that wrote it would.
  m_builder.m_binImage = prepared.m_builder.m_binImage;
  m_builder.m_binRecordSize = prepared.m_builder.m_binRecordSize;
  m_builder.m_interfaceKind = prepared.m_builder.m_interfaceKind;
  m_firmware = prepared.m_firmware;
  m_signature = prepared.m_signature;
  m_fileOutcome = prepared.m_fileOutcome;
  m_ws.SetText(IDC_FILENAME, prepared.m_ws.GetText(IDC_FILENAME));
  m_ws.Enable(IDC_UPDATE, true);
}

void CUpdaterDlg::InitControls() {
  if (!m_variant.aboutMenuEntry.empty() && m_ws.AppendSystemMenuSeparator()) {
    m_ws.AppendSystemMenuItem(IDM_ABOUTBOX, m_variant.aboutMenuEntry);
    m_ws.AppendSystemMenuItem(IDM_JOURNAL, "Service journal...");
  }
  m_ws.SetWindowIcon();

  int index = 0;
  for (const auto& link : m_links) {
    for (const std::string& entry : link->Entries()) m_ws.ComboInsert(index++, entry);
  }
  m_ws.ComboSelect(1);  // COM1

  for (int id : {IDC_UPDATE, IDC_FILE, IDC_PROGRESS_LABEL, IDC_PERCENT, IDC_INTERFACE_LABEL,
                 IDC_CANCEL, IDC_EXIT, IDC_GROUP, IDC_DOWNLOAD_LABEL}) {
    m_ws.SetFont(id, kLargeFont);
  }
  m_ws.SetFont(IDC_INTERFACE, kComboFont);

  m_interfaceKind = kNoLink;
  m_transfer.deviceReady = 0;
  m_transfer.cancelRequested = 0;
  m_comPort = 0;
  m_ws.Enable(IDC_UPDATE, false);
  m_ws.Enable(IDC_CANCEL, false);
  m_log.SetCurSel(m_log.GetCount() - 1);
  m_transfer.transferState = 0;
  m_transfer.missingAckCount = 0;
}

void CUpdaterDlg::OnSysCommand(unsigned id, long /*param*/) {
  if ((id & 0xFFF0u) == IDM_ABOUTBOX) {
    m_ws.ShowAboutBox(m_variant.aboutCaption, m_variant.aboutLine1, m_variant.aboutLine2);
  } else if ((id & 0xFFF0u) == IDM_JOURNAL) {
    // The newest updates this machine made; a journal that cannot be read still
    // shows where it is, and why not, so the technician can look for it.
    const std::string path = DefaultJournalPath();
    const JournalRead journal = ReadJournal(path);
    const std::vector<JournalRow> rows =
        journal.error.empty() ? NewestRows(journal, 200) : std::vector<JournalRow>{};
    m_ws.ShowJournal(path, rows, journal.error);
  }
  // Every other system command is the window's own business.
}

void CUpdaterDlg::OnPaint() {
  if (!m_ws.IsIconic()) return;
  int cw = 0, ch = 0, iw = 0, ih = 0;
  m_ws.ClientSize(cw, ch);
  m_ws.IconSize(iw, ih);
  m_ws.DrawIcon((cw - iw + 1) / 2, (ch - ih + 1) / 2);
}

void CUpdaterDlg::Shutdown() {
  if (m_closing.exchange(true)) return;
  // Release a worker blocked on a window call; from now on its calls return unrun
  // and it leaves at its next step. The window itself no longer serves it.
  m_ws.UiCalls().Shutdown();
  if (m_worker.joinable()) m_worker.join();
  // An update the closing window cut short is still on record; nobody is left
  // to read a box, so a failure to write it goes to the error stream.
  if (const std::string problem = m_recorder.Abandoned(); !problem.empty())
    std::fprintf(stderr, "%s\n", problem.c_str());
}

bool CUpdaterDlg::QueryClose() {
  if (m_closing.load() || !WorkerRunning()) return true;
  // The question's own loop still serves the window: a second close request that
  // arrives meanwhile (the window manager's close box) leaves it to the first.
  if (m_askingClose) return false;
  m_askingClose = true;
  // The worker goes on while the question is open; it may even end before the
  // answer, and then Yes simply closes an idle window.
  const bool yes = m_ws.AskYesNo(kCloseDuringTransfer, m_variant.appName, BoxIcon::kWarning);
  m_askingClose = false;
  return yes;
}

void CUpdaterDlg::JoinWorker() {
  // The worker may be waiting for this (the UI) thread: keep serving its calls
  // until it has left.
  while (m_workerRunning.load()) m_ws.UiCalls().WaitAndDrain(10);
  if (m_worker.joinable()) m_worker.join();
  // What the worker posted last reaches the listeners before this returns.
  m_ws.UiCalls().Drain();
}

void CUpdaterDlg::StartWorker(std::function<void()> body) {
  JoinWorker();
  m_workerRunning = true;
  m_worker = std::thread([this, body = std::move(body)] {
    try {
      body();
    } catch (const std::exception& e) {
      // Nothing may escape a thread; tell the technician what stopped the transfer.
      const std::string text = std::string("Transfer stopped: ") + e.what();
      Log(text);
      // The stage that was under way ends with it (the transfer's, or the
      // end-of-file frame's).
      const int open = m_openStage.load();
      Outcome outcome{open < 0 ? Stage::kTransfer : static_cast<Stage>(open),
                      Result::kFailed,
                      Reason::kInternalError,
                      {}};
      outcome.detail.text = text;
      EndStage(outcome);
    }
    m_workerRunning = false;
  });
}

CDialogLink* CUpdaterDlg::LinkFor(const std::string& text) const {
  for (const auto& link : m_links) {
    for (const std::string& entry : link->Entries()) {
      if (entry == text) return link.get();
    }
  }
  return nullptr;
}

bool CUpdaterDlg::TakeInterfaceChoice() {
  const CDialogLink* link = LinkFor(m_ws.ComboSelectedText());
  if (link == nullptr) {
    Log("Please select interface");
    return false;
  }
  m_builder.m_interfaceKind = link->Kind();
  return true;
}

void CUpdaterDlg::AddListener(IUpdateListener& listener) {
  m_ws.InvokeAndWait([&] { m_listeners.push_back(&listener); });
}

void CUpdaterDlg::RemoveListener(IUpdateListener& listener) {
  m_ws.InvokeAndWait([&] { std::erase(m_listeners, &listener); });
}

void CUpdaterDlg::Emit(const std::function<void(IUpdateListener&)>& fn) {
  m_ws.InvokeAndWait([&] {
    // A copy: a listener may add or remove listeners while it is called.
    const std::vector<IUpdateListener*> listeners = m_listeners;
    for (IUpdateListener* listener : listeners) fn(*listener);
  });
}

void CUpdaterDlg::Post(std::function<void(IUpdateListener&)> fn) {
  m_ws.UiCalls().Post([this, fn = std::move(fn)] {
    const std::vector<IUpdateListener*> listeners = m_listeners;
    for (IUpdateListener* listener : listeners) fn(*listener);
  });
}

void CUpdaterDlg::Log(const std::string& text, LogKind kind) {
  m_ws.InvokeAndWait([&] {
    m_log.Append(text);
    const std::vector<IUpdateListener*> listeners = m_listeners;
    for (IUpdateListener* listener : listeners) listener->OnLogLine(text, kind);
  });
}

void CUpdaterDlg::ShowBox(const std::string& text, const std::string& caption, BoxIcon icon,
                          Reason reason) {
  m_ws.InvokeAndWait([&] {
    const BoxEvent box{text, caption, icon, reason};
    const std::vector<IUpdateListener*> listeners = m_listeners;
    for (IUpdateListener* listener : listeners) listener->OnBox(box);
    m_ws.ShowMessageBox(text, caption, icon);
  });
}

void CUpdaterDlg::AppMessageBox(const std::string& text, BoxIcon icon, Reason reason) {
  ShowBox(text, m_variant.appName, icon, reason);
}

void CUpdaterDlg::WindowMessageBox(const std::string& text, Reason reason) {
  ShowBox(text, "ERROR", BoxIcon::kNone, reason);
}

void CUpdaterDlg::BeginStage(Stage stage) {
  m_openStage = static_cast<int>(stage);
  Emit([stage](IUpdateListener& l) { l.OnStageBegun(stage); });
}

void CUpdaterDlg::EndStage(const Outcome& outcome) {
  m_openStage = -1;
  // The record of an update is written as its last stage ends: after its result
  // box, after every frame posted before (the call runs in order with them), and
  // before any listener hears of the end, so a face that quits on it finds the
  // record written and the technician told when it could not be.
  std::string journalProblem;
  m_ws.InvokeAndWait([&] { journalProblem = m_recorder.Ended(outcome); });
  if (!journalProblem.empty())
    AppMessageBox(journalProblem, BoxIcon::kWarning, Reason::kJournalUnwritten);
  Emit([&outcome](IUpdateListener& l) { l.OnOutcome(outcome); });
}

void CUpdaterDlg::EnableControl(int id, bool enabled) {
  m_ws.InvokeAndWait([&] { m_ws.Enable(id, enabled); });
}

void CUpdaterDlg::SetControlText(int id, const std::string& text) {
  m_ws.InvokeAndWait([&] { m_ws.SetText(id, text); });
}

void CUpdaterDlg::SetProgress(int pos) {
  m_ws.InvokeAndWait([&] { m_ws.SetProgressPos(pos); });
}
