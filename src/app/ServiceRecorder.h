#pragma once
// The service journal's side of the dialog: it listens to an update from the
// press of Update Firmware to its last stage, digests the acknowledged frames as
// they come, and when the update ends (done, failed or cancelled) appends one
// record of it: who, where, which unit, which firmware, how it went.

#include <string>

#include "app/UpdateListener.h"
#include "journal/Journal.h"
#include "trust/FileDigest.h"

class CUpdaterDlg;

class CServiceRecorder final : public IUpdateListener {
 public:
  explicit CServiceRecorder(CUpdaterDlg& dlg);

  // The program named in the records: the window's variant by default, "iapflash"
  // for the console.
  void SetProgram(std::string program) { m_program = std::move(program); }

  void OnStageBegun(Stage stage) override;
  void OnFrameSent(const TransferFrame& frame) override;
  void OnFrameAcknowledged(const TransferFrame& frame) override;
  void OnFrameAnsweredWrongly(const TransferFrame& frame, const std::string& reply) override;

  // Called with every outcome before the listeners hear of it, on the
  // user-interface thread. When it ends the update, the record is appended; the
  // text of the box that says it could not be, or empty.
  std::string Ended(const Outcome& outcome);
  // The window closes while an update runs: its record, with what is known.
  std::string Abandoned();

  // The journal appended to, and the last record written (for the faces' tests).
  const std::string& LastPath() const { return m_lastPath; }

 private:
  std::string Write(const Outcome& outcome);

  CUpdaterDlg& m_dlg;
  std::string m_program;
  bool m_active = false;
  JournalEntry m_entry;
  CSha256 m_stream;
  std::uint64_t m_bytes = 0;
  // The frames as this recorder heard of them: the counts of an update that
  // ended without its outcome (the window closed).
  FrameCounts m_frames;
  bool m_resendNext = false;  // a wrong reply came: the next frame sends its row again
  std::string m_lastPath;
};
