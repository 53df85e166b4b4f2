#pragma once
// What the dialog tells whoever listens while it works: each stage begun and its
// outcome, every log line and box with what kind it is, every frame and its
// answer, and the progress. The message log and the boxes of a window are one
// rendering of these; iapflash's output, exit status and explanations are
// another. Every call comes on the user-interface thread, in the order the
// dialog did the work, so a listener needs no lock of its own.
//
// Every method does nothing unless overridden: a listener takes what it needs.

#include <string>

#include "app/WindowSystem.h"
#include "outcome/Outcome.h"
#include "update/Transfer.h"

// What a log line is, for a listener that leaves some out.
enum class LogKind {
  kPlain,
  // One of the lines the transfer writes for every frame: its number, a HID
  // report's byte count (the handshake's as well), the acknowledgement.
  kPerFrame,
};

struct BoxEvent {
  std::string text;
  std::string caption;
  BoxIcon icon = BoxIcon::kWarning;
  // Why it is shown; kNone for a box that reports no failure (success, a question).
  Reason reason = Reason::kNone;
};

class IUpdateListener {
 public:
  IUpdateListener() = default;
  IUpdateListener(const IUpdateListener&) = delete;
  IUpdateListener& operator=(const IUpdateListener&) = delete;

  virtual void OnStageBegun(Stage) {}
  // A stage ended; outcome.stage says which.
  virtual void OnOutcome(const Outcome&) {}
  virtual void OnLogLine(const std::string& /*text*/, LogKind) {}
  virtual void OnBox(const BoxEvent&) {}
  virtual void OnFrameSent(const TransferFrame&) {}
  virtual void OnFrameAcknowledged(const TransferFrame&) {}
  // reply: the device's answer up to its first zero byte.
  virtual void OnFrameAnsweredWrongly(const TransferFrame&, const std::string& /*reply*/) {}
  // Bytes of the image stepped through, of total.
  virtual void OnProgress(long /*bytes*/, long /*total*/) {}

 protected:
  ~IUpdateListener() = default;
};
