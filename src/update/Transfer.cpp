#include "update/Transfer.h"

#include "config/DeviceProfile.h"
#include "update/RecordFrames.h"

namespace {

class CTransferRun {
 public:
  CTransferRun(ITransferHost& host, IIapLink& link, TransferState& state, const DeviceMap& profile)
      : m_host(host), m_link(link), m_rules(link.Rules()), m_s(state), m_profile(profile) {}

  void Run() {
    // A wrong-reply count left over from a failed transfer would leave this one
    // without its retries; each transfer starts with all of them.
    m_s.missingAckCount = 0;
    m_host.StageBegun(Stage::kTransfer);
    m_host.Log(kSeparator);
    if (Gone()) return;
    bool changed = false;
    const int loaded = m_host.LoadImage(changed);
    m_s.imageLength = loaded;
    if (Gone()) return;
    if (loaded < 0) {
      m_host.Log("Map bin file Error");
      // tmp.bin was rewritten behind this dialog's back: give File back so the
      // technician can prepare the image anew; the device is left alone.
      if (changed && !Gone()) {
        m_link.Close();
        m_host.EnableFile(true);
      }
      End(Stage::kTransfer, Result::kFailed,
          changed ? Reason::kImageChanged : Reason::kImageUnreadable);
      return;
    }
    m_host.Log("Map bin file OK");
    if (Gone()) return;

    m_recordSize = m_s.recordSize;
    if (m_recordSize != 16 && m_recordSize != 32) {
      // Frames exist for 16 and 32 data bytes only; nothing is sent that the
      // programmer could take for a frame of another layout.
      const std::string text = "Record size " + std::to_string(m_recordSize) +
                               " can not be sent, only 16 or 32 bytes per record!";
      m_host.Log(text);
      m_host.WarningBox(text, Reason::kRecordSizeUnsendable);
      if (Gone()) return;
      ErrorEnd();
      End(Stage::kTransfer, Result::kFailed, Reason::kRecordSizeUnsendable);
      return;
    }
    m_stride = RowStride(m_recordSize);
    m_address24 = Uses24BitAddresses(m_profile);

    m_s.transferState = 0;
    m_s.progressBytes = 0;
    m_host.SetProgress(0);
    m_host.SetPercentText("0 %");
    m_host.EnableFile(false);
    m_host.EnableCancel(true);
    m_frameCounter = 0;

    while (!Gone()) {
      const bool carryOn = m_s.transferState == 0 ? SendStep() : WaitStep();
      if (!carryOn) return;
    }
  }

 private:
  bool Gone() const { return m_host.Gone(); }

  std::atomic<std::size_t>& Cursor() { return m_recordSize == 16 ? m_s.cursor16 : m_s.cursor32; }

  bool Protected(std::uint32_t a) const {
    return RowSteppedOver(m_profile, a, m_rules.iapEndProtected);
  }

  // A frame that could not be written ends the transfer (or, the end-of-file
  // frame, the update). Always false.
  bool WriteFailed(Stage stage) {
    m_host.Log("WriteUPS error");
    if (Gone()) return false;
    ErrorEnd();
    End(stage, Result::kFailed, Reason::kWriteFailed);
    return false;
  }

  // Tells the host how a stage ended, with the frame at hand and the counts.
  void End(Stage stage, Result result, Reason reason, const std::string& text = {}) {
    if (Gone()) return;
    Outcome outcome{stage, result, reason, {}};
    // The end-of-file frame has no number of its own.
    if (m_frame.number > 0 && stage == Stage::kTransfer) {
      outcome.detail.frame = m_frame.number;
      outcome.detail.address = m_frame.address;
    }
    outcome.detail.text = text;
    outcome.detail.frames = m_counts;
    m_host.Ended(outcome);
  }

  // Returns false once the transfer has ended.
  bool SendStep() {
    const int progress = (m_s.progressBytes += m_stride);
    const int length = m_s.imageLength;
    // A row is sent only when it lies wholly inside the image.
    if (progress > length) return EndOfFileStep();
    const auto percent = static_cast<int>(static_cast<long long>(progress) * 100 / length);
    m_percentText = std::to_string(percent) + " %";
    m_host.SetPercentText(m_percentText);
    m_host.SetProgress(percent);
    m_host.Progress(progress, length);
    if (Gone()) return false;

    if (m_s.cancelRequested == 1) {
      m_host.Log("***User cancel firmware update!!!");
      m_s.cancelRequested = 0;
      if (Gone()) return false;
      ErrorEnd();
      End(Stage::kTransfer, Result::kCancelled, Reason::kUserCancel);
      return false;
    }

    const std::size_t cursor = Cursor();
    const auto stride = static_cast<std::size_t>(m_stride);
    if (cursor + stride > m_s.image.size()) return EndOfFileStep();
    const std::uint8_t* row = m_s.image.data() + cursor;
    if (Protected(RowAddress(row))) {
      Cursor() += stride;
      return true;
    }

    const Bytes frame = BuildDataFrame(row, m_recordSize, m_address24);
    ++m_frameCounter;
    // A frame for the row of the last wrong reply sends that row again.
    if (m_resending) ++m_counts.resent;
    m_resending = false;
    m_frame =
        TransferFrame{m_frameCounter, RowAddress(row), {frame.begin(), frame.begin() + frame[0]}};
    m_host.FrameLog(std::to_string(m_frameCounter) + " Wr");
    if (Gone()) return false;
    const bool written = m_link.WriteBlock(frame.data(), frame[0]);
    if (Gone()) return false;
    if (!written) return WriteFailed(Stage::kTransfer);
    ++m_counts.sent;
    m_host.FrameSent(m_frame);
    m_s.transferState = 1;
    return true;
  }

  bool WaitStep() {
    LinkReply reply;
    const bool read = m_link.ReadReply(reply);
    if (Gone()) return false;
    if (!read) return Fail("read data Err", Reason::kTimeout);
    if (!reply.countLine.empty()) m_host.FrameLog(reply.countLine);
    if (reply.acknowledged) {
      m_host.FrameLog(reply.text);
    } else {
      m_host.Log(reply.text);  // a wrong reply is where a failure shows itself
    }
    m_host.FrameLog(std::to_string(m_frameCounter) + " Rd");
    if (Gone()) return false;
    if (reply.acknowledged) {
      m_host.FrameLog(reply.text);
      ++m_counts.acknowledged;
      m_host.FrameAcknowledged(m_frame);
      m_s.missingAckCount = 0;
      Cursor() += static_cast<std::size_t>(m_stride);
      m_s.transferState = 0;
      return !Gone();
    }
    m_host.FrameAnsweredWrongly(m_frame, reply.text);
    if (m_rules.wrongRepliesTolerated == 0) {
      return Fail("Send the UPS firmware data Err", Reason::kWrongReplies, reply.text);
    }
    // A reply came but not the acknowledgement: the same row goes again under the
    // next frame number, and its stride is taken back from the progress.
    const int wrong = ++m_s.missingAckCount;
    m_s.transferState = 0;
    m_s.progressBytes -= m_stride;
    if (wrong > m_rules.wrongRepliesTolerated) {
      return Fail("Send the UPS firmware data Err", Reason::kWrongReplies, reply.text);
    }
    m_resending = true;
    return true;
  }

  // Logs line (and, for wrong replies, shows "Receive Error !"), then the error
  // end. Always returns false: the transfer has ended.
  bool Fail(const char* line, Reason reason, const std::string& reply = {}) {
    m_host.Log(line);
    if (reason == Reason::kWrongReplies) m_host.WarningBox("Receive Error !", reason);
    if (Gone()) return false;
    ErrorEnd();
    End(Stage::kTransfer, Result::kFailed, reason, reply);
    return false;
  }

  bool EndOfFileStep() {
    End(Stage::kTransfer, Result::kDone, Reason::kNone);
    if (Gone()) return false;
    m_host.StageBegun(Stage::kEndOfFile);
    const Bytes eof = EndOfFileFrame(m_address24);
    const bool written = m_link.WriteBlock(eof.data(), static_cast<int>(eof.size()));
    if (Gone()) return false;
    // A failed end-of-file frame means the device has not taken the end of the
    // image: never report success.
    if (!written) return WriteFailed(Stage::kEndOfFile);
    if (m_rules.closesAfterEndOfFile) m_link.Close();
    m_host.Log("Send EOF Command OK");
    m_host.Log("Update finished " + m_percentText + "!");
    m_host.Log("UPS firmware update successful!");
    if (m_rules.closesAfterEndOfFile) m_host.Log("UPS firmware update completed");
    m_host.InformationBox("Programming successfully !");
    if (Gone()) return false;
    // Every row was stepped through.
    m_host.Progress(m_s.imageLength, m_s.imageLength);
    m_host.SetPercentText("");
    m_host.SetProgress(0);
    m_host.EnableFile(true);
    m_host.EnableCancel(false);
    m_s.deviceReady = 0;
    m_host.Log(kSeparator);
    End(Stage::kEndOfFile, Result::kDone, Reason::kNone);
    return false;
  }

  // The link is closed and File given back; Cancel Update stays as it is and
  // Update Firmware disabled, so a new update starts with File.
  void ErrorEnd() {
    m_link.Close();
    m_host.EnableFile(true);
    m_s.progressBytes = 0;
    m_host.SetProgress(0);
    m_host.SetPercentText("0 %");
  }

  ITransferHost& m_host;
  IIapLink& m_link;
  const LinkRules m_rules;
  TransferState& m_s;
  const DeviceMap& m_profile;
  int m_recordSize = 0;
  int m_stride = 0;
  bool m_address24 = false;
  int m_frameCounter = 0;
  TransferFrame m_frame;  // the last frame built
  FrameCounts m_counts;
  bool m_resending = false;   // the next frame is a row sent again
  std::string m_percentText;  // last formatted, empty before the first
};

}  // namespace

void RunTransfer(ITransferHost& host, IIapLink& link, TransferState& state,
                 const DeviceMap& profile) {
  CTransferRun(host, link, state, profile).Run();
}
