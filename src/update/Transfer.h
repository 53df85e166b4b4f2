#pragma once
// The transfer, written once over the link seam: with the device in programming
// mode, send tmp.bin row by row, one data frame in flight at a time, stepping over
// the rows that would overwrite the programmer itself or the protected interrupt
// area, and finish with the end-of-file frame.
//
// It runs on a worker thread and reaches the window only through its host, whose
// calls wait until the user-interface thread has carried them out. Once the window
// is going away (Gone) the transfer leaves at its next step without touching the
// link or the controls again.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/DeviceProfile.h"
#include "outcome/Outcome.h"
#include "update/IapLink.h"

// Opens and closes every transfer in the message log.
inline const char kSeparator[] = "------------------------------------";  // 36 '-'

// A data frame as it went to the device.
struct TransferFrame {
  int number = 0;             // the frame counter, as the log shows it
  std::uint32_t address = 0;  // the row's address
  std::vector<std::uint8_t> bytes;
};

class ITransferHost {
 public:
  ITransferHost() = default;
  ITransferHost(const ITransferHost&) = delete;
  ITransferHost& operator=(const ITransferHost&) = delete;

  virtual bool Gone() const = 0;
  virtual void Log(const std::string& line) = 0;
  // A line written for every frame (its number, the acknowledgement): what a
  // quiet log leaves out.
  virtual void FrameLog(const std::string& line) { Log(line); }
  // reason: why the box is shown, kNone for the success box.
  virtual void WarningBox(const std::string& text, Reason reason) = 0;
  virtual void InformationBox(const std::string& text) = 0;
  virtual void SetProgress(int percent) = 0;
  // Bytes of the image stepped through, of total; beside SetProgress.
  virtual void Progress(long /*bytes*/, long /*total*/) {}
  virtual void StageBegun(Stage /*stage*/) {}
  // How the transfer ended (stage kTransfer), and after the last frame how the
  // end-of-file frame did (stage kEndOfFile). Not called once Gone.
  virtual void Ended(const Outcome& /*outcome*/) {}
  virtual void FrameSent(const TransferFrame& /*frame*/) {}
  virtual void FrameAcknowledged(const TransferFrame& /*frame*/) {}
  virtual void FrameAnsweredWrongly(const TransferFrame& /*frame*/, const std::string& /*reply*/) {}
  virtual void SetPercentText(const std::string& text) = 0;
  virtual void EnableFile(bool enabled) = 0;
  virtual void EnableCancel(bool enabled) = 0;
  // Reads tmp.bin into the image; its length, or -1. changed: tmp.bin is not the
  // image that the last File kept.
  virtual int LoadImage(bool& changed) = 0;

 protected:
  ~ITransferHost() = default;
};

// The state of an update that outlives one transfer or is watched from outside
// (the progress, a cancel request): the dialog owns one, each transfer works on it.
struct TransferState {
  std::atomic<int> progressBytes{0};
  std::atomic<int> transferState{0};  // 0: a frame is to be sent, 1: its reply awaited
  std::atomic<int> missingAckCount{0};
  std::atomic<int> imageLength{0};
  std::atomic<int> cancelRequested{0};
  std::atomic<int> deviceReady{0};
  // The read positions in the image, one for each row size.
  std::atomic<std::size_t> cursor16{0}, cursor32{0};
  std::vector<std::uint8_t> image;  // tmp.bin as the host loaded it
  int recordSize = 0;               // the rows' record size of the image File kept
};

// Sends state.image to the device over link, for the device map profile.
void RunTransfer(ITransferHost& host, IIapLink& link, TransferState& state,
                 const DeviceMap& profile);
