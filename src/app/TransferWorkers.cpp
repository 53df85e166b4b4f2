// The transfer worker: it runs the shared transfer over the open link's seam on
// a thread of its own. The dialog is the transfer's host: every call reaches the window
// through the dialog's helpers, which wait until the user-interface thread has
// carried the call out and return unrun once the window is going away.

#include "app/UpdaterDlg.h"

class CDialogTransferHost final : public ITransferHost {
 public:
  explicit CDialogTransferHost(CUpdaterDlg& dlg) : m_dlg(dlg) {}

  bool Gone() const override { return m_dlg.Closing(); }
  void Log(const std::string& line) override { m_dlg.Log(line); }
  void FrameLog(const std::string& line) override { m_dlg.Log(line, LogKind::kPerFrame); }
  void WarningBox(const std::string& text, Reason reason) override {
    m_dlg.AppMessageBox(text, BoxIcon::kWarning, reason);
  }
  void InformationBox(const std::string& text) override {
    m_dlg.AppMessageBox(text, BoxIcon::kInformation);
  }
  void SetProgress(int percent) override { m_dlg.SetProgress(percent); }
  void SetPercentText(const std::string& text) override { m_dlg.SetControlText(IDC_PERCENT, text); }
  void EnableFile(bool enabled) override { m_dlg.EnableControl(IDC_FILE, enabled); }
  void EnableCancel(bool enabled) override { m_dlg.EnableControl(IDC_CANCEL, enabled); }
  // The events of every frame are posted, not waited for: the transfer's pace
  // is the device's, not the window's.
  void Progress(long bytes, long total) override {
    m_dlg.Post([bytes, total](IUpdateListener& l) { l.OnProgress(bytes, total); });
  }
  void StageBegun(Stage stage) override { m_dlg.BeginStage(stage); }
  void Ended(const Outcome& outcome) override { m_dlg.EndStage(outcome); }
  void FrameSent(const TransferFrame& frame) override {
    m_dlg.Post([frame](IUpdateListener& l) { l.OnFrameSent(frame); });
  }
  void FrameAcknowledged(const TransferFrame& frame) override {
    m_dlg.Post([frame](IUpdateListener& l) { l.OnFrameAcknowledged(frame); });
  }
  void FrameAnsweredWrongly(const TransferFrame& frame, const std::string& reply) override {
    m_dlg.Post([frame, reply](IUpdateListener& l) { l.OnFrameAnsweredWrongly(frame, reply); });
  }
  int LoadImage(bool& changed) override {
    const int loaded = m_dlg.LoadImageFile("tmp.bin");
    changed = m_dlg.m_imageChanged;
    return loaded;
  }

 private:
  CUpdaterDlg& m_dlg;
};

void CUpdaterDlg::RunTransferOver(IIapLink& link) {
  CDialogTransferHost host(*this);
  m_transfer.recordSize = m_builder.m_binRecordSize;
  // Reset however the transfer ends, an exception included: the next
  // handshake's lines are no frame lines.
  struct FramesRunning {
    std::atomic<bool>& flag;
    explicit FramesRunning(std::atomic<bool>& f) : flag(f) { flag = true; }
    ~FramesRunning() { flag = false; }
    FramesRunning(const FramesRunning&) = delete;
    FramesRunning& operator=(const FramesRunning&) = delete;
  } running(m_framesRunning);
  RunTransfer(host, link, m_transfer, ActiveProfile);
}

void CUpdaterDlg::OnCancelUpdate() { m_transfer.cancelRequested = 1; }
