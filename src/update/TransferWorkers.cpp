// The transfer workers: with the device in programming mode, send tmp.bin row by
// row, one data frame in flight at a time, stepping over the rows that would
// overwrite the programmer itself or the protected interrupt area, and finish
// with the end-of-file frame. Each runs on a thread of its own and reaches the
// window only through the dialog's helpers, which wait until the user-interface
// thread has carried the call out. Once the window is going away every helper
// returns unrun; the worker then leaves at its next step without touching the
// link or the controls again.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/UpdaterDlg.h"
#include "update/RecordFrames.h"

namespace {

constexpr int kSerialReplyBytes = 2;  // "A" CR
constexpr int kSerialReplySeconds = 8;
constexpr int kSerialMaxWrongReplies = 3;

std::string ReplyText(const std::uint8_t* reply, std::size_t size) {
  std::size_t length = 0;
  while (length < size && reply[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(reply), length);
}

// One run of a worker. The HID and serial roads share everything but the link
// calls, the reading of the reply and the IAPEND bound.
class CTransferRun {
 public:
  CTransferRun(CUpdaterDlg& dlg, bool hid) : m_dlg(dlg), m_hidRoad(hid) {}

  void Run() {
    // A wrong-reply count left over from a failed transfer would leave this one
    // without its retries; each transfer starts with all of them.
    m_dlg.m_missingAckCount = 0;
    m_dlg.Log(kSeparator);
    if (Gone()) return;
    const int loaded = m_dlg.LoadImageFile("tmp.bin");
    m_dlg.m_imageLength = loaded;
    if (Gone()) return;
    if (loaded < 0) {
      m_dlg.Log("Map bin file Error");
      // tmp.bin was rewritten behind this dialog's back: give File back so the
      // technician can prepare the image anew; the device is left alone.
      if (m_dlg.m_imageChanged && !Gone()) {
        CloseLink();
        m_dlg.EnableControl(IDC_FILE, true);
      }
      return;
    }
    m_dlg.Log("Map bin file OK");
    if (Gone()) return;

    m_recordSize = m_dlg.m_builder.m_binRecordSize;
    if (m_recordSize != 16 && m_recordSize != 32) {
      // Frames exist for 16 and 32 data bytes only; nothing is sent that the
      // programmer could take for a frame of another layout.
      const std::string text = "Record size " + std::to_string(m_recordSize) +
                               " can not be sent, only 16 or 32 bytes per record!";
      m_dlg.Log(text);
      m_dlg.AppMessageBox(text);
      if (Gone()) return;
      ErrorEnd();
      return;
    }
    m_stride = RowStride(m_recordSize);
    m_address24 = Uses24BitAddresses();

    m_dlg.m_transferState = 0;
    m_dlg.m_progressBytes = 0;
    m_dlg.SetProgress(0);
    m_dlg.SetControlText(IDC_PERCENT, "0 %");
    m_dlg.EnableControl(IDC_FILE, false);
    m_dlg.EnableControl(IDC_CANCEL, true);
    m_frameCounter = 0;

    while (!Gone()) {
      const bool carryOn = m_dlg.m_transferState == 0 ? SendStep() : WaitStep();
      if (!carryOn) return;
    }
  }

 private:
  bool Gone() const { return m_dlg.Closing(); }

  std::atomic<std::size_t>& Cursor() {
    return m_recordSize == 16 ? m_dlg.m_cursor16 : m_dlg.m_cursor32;
  }

  bool Protected(std::uint32_t a) const {
    const std::uint32_t iapStart = ActiveProfile.IAPSTART & 0xFFFFF0u;
    const std::uint32_t iapEnd = ActiveProfile.IAPEND & 0xFFFFF0u;
    const std::uint32_t intStart = ActiveProfile.INTSTART & 0xFFFFF0u;
    const std::uint32_t intEnd = ActiveProfile.INTEND & 0xFFFFF0u;
    // Over HID the row at IAPEND belongs to the programmer; over serial it is the
    // first row of the application again.
    const bool inIap = a >= iapStart && (m_hidRoad ? a <= iapEnd : a < iapEnd);
    const bool inInt = a >= intStart && a <= intEnd;
    return inIap || inInt;
  }

  bool WriteToDevice(const Bytes& bytes, int length) {
    if (m_hidRoad) return m_dlg.m_hid.WriteReports(bytes.data(), length);
    // Nothing the device sends before a frame can answer it. Bytes still waiting now
    // are stale: the CR behind the ready reply "#FH" can reach the port after it was
    // reopened at the programming baud rate, and would shift every acknowledgement
    // to CR "A". Drop them so each reply is read from its first byte.
    std::uint8_t stale[64];
    while (m_dlg.m_serial.ReadAvailable(stale, sizeof stale) > 0) {
    }
    return m_dlg.m_serial.Write(bytes.data(), length) == length;
  }

  // A frame that could not be written ends the transfer. Always false.
  bool WriteFailed() {
    m_dlg.Log("WriteUPS error");
    if (!Gone()) ErrorEnd();
    return false;
  }

  // Returns false once the worker has ended.
  bool SendStep() {
    const int progress = (m_dlg.m_progressBytes += m_stride);
    const int length = m_dlg.m_imageLength;
    // A row is sent only when it lies wholly inside the image.
    if (progress > length) return EndOfFileStep();
    const auto percent = static_cast<int>(static_cast<long long>(progress) * 100 / length);
    m_percentText = std::to_string(percent) + " %";
    m_dlg.SetControlText(IDC_PERCENT, m_percentText);
    m_dlg.SetProgress(percent);
    if (Gone()) return false;

    if (m_dlg.m_cancelRequested == 1) {
      m_dlg.Log("***User cancel firmware update!!!");
      m_dlg.m_cancelRequested = 0;
      if (Gone()) return false;
      ErrorEnd();
      return false;
    }

    const std::size_t cursor = Cursor();
    const auto stride = static_cast<std::size_t>(m_stride);
    if (cursor + stride > m_dlg.m_image.size()) return EndOfFileStep();
    const std::uint8_t* row = m_dlg.m_image.data() + cursor;
    if (Protected(RowAddress(row))) {
      Cursor() += stride;
      return true;
    }

    const Bytes frame = BuildDataFrame(row, m_recordSize, m_address24);
    ++m_frameCounter;
    m_dlg.Log(std::to_string(m_frameCounter) + " Wr");
    if (Gone()) return false;
    const bool written = WriteToDevice(frame, frame[0]);
    if (Gone()) return false;
    if (!written) return WriteFailed();
    m_dlg.m_transferState = 1;
    return true;
  }

  bool WaitStep() { return m_hidRoad ? WaitStepHid() : WaitStepSerial(); }

  bool WaitStepHid() {
    m_dlg.m_reply.fill(0);
    std::uint32_t count = 0;
    const bool read = m_dlg.m_hid.ReadLine(m_dlg.m_reply.data(), count);
    if (Gone()) return false;
    if (!read) return Fail("read data Err", false);
    const std::string text = ReplyText(m_dlg.m_reply.data(), m_dlg.m_reply.size());
    m_dlg.Log(std::to_string(count));
    m_dlg.Log(text);
    m_dlg.Log(std::to_string(m_frameCounter) + " Rd");
    if (Gone()) return false;
    if (ReplyContains(m_dlg.m_reply.data(), m_dlg.m_reply.size(), kAckReply)) {
      Acknowledged(text);
      return !Gone();
    }
    return Fail("Send the UPS firmware data Err", true);
  }

  bool WaitStepSerial() {
    std::uint8_t reply[32] = {};
    const bool read = m_dlg.m_serial.ReadExact(reply, kSerialReplyBytes, kSerialReplySeconds);
    if (Gone()) return false;
    if (!read) return Fail("read data Err", false);
    const std::string text = ReplyText(reply, sizeof reply);
    m_dlg.Log(text);
    m_dlg.Log(std::to_string(m_frameCounter) + " Rd");
    if (Gone()) return false;
    if (ReplyContains(reply, sizeof reply, kAckReply)) {
      Acknowledged(text);
      return !Gone();
    }
    // Two bytes came but not the acknowledgement: the same row goes again under
    // the next frame number, and its stride is taken back from the progress.
    const int wrong = ++m_dlg.m_missingAckCount;
    m_dlg.m_transferState = 0;
    m_dlg.m_progressBytes -= m_stride;
    if (wrong >= kSerialMaxWrongReplies) return Fail("Send the UPS firmware data Err", true);
    return true;
  }

  void Acknowledged(const std::string& text) {
    m_dlg.Log(text);
    m_dlg.m_missingAckCount = 0;
    Cursor() += static_cast<std::size_t>(m_stride);
    m_dlg.m_transferState = 0;
  }

  // Logs line (and shows "Receive Error !" when box), then the error end. Always
  // returns false: the worker has ended.
  bool Fail(const char* line, bool box) {
    m_dlg.Log(line);
    if (box) m_dlg.AppMessageBox("Receive Error !");
    if (Gone()) return false;
    ErrorEnd();
    return false;
  }

  bool EndOfFileStep() {
    const Bytes eof = EndOfFileFrame(m_address24);
    const bool written = WriteToDevice(eof, static_cast<int>(eof.size()));
    if (Gone()) return false;
    // A failed end-of-file frame means the device has not taken the end of the
    // image: never report success.
    if (!written) return WriteFailed();
    if (!m_hidRoad) m_dlg.m_serial.Close();
    m_dlg.Log("Send EOF Command OK");
    m_dlg.Log("Update finished " + m_percentText + "!");
    m_dlg.Log("UPS firmware update successful!");
    if (!m_hidRoad) m_dlg.Log("UPS firmware update completed");
    m_dlg.AppMessageBox("Programming successfully !", BoxIcon::Information);
    if (Gone()) return false;
    m_dlg.SetControlText(IDC_PERCENT, "");
    m_dlg.SetProgress(0);
    m_dlg.EnableControl(IDC_FILE, true);
    m_dlg.EnableControl(IDC_CANCEL, false);
    m_dlg.m_deviceReady = 0;
    m_dlg.Log(kSeparator);
    return false;
  }

  // The link is closed and File given back; Cancel Update stays as it is and
  // Update Firmware disabled, so a new update starts with File.
  void CloseLink() {
    if (m_hidRoad) {
      m_dlg.m_hid.Close();
    } else {
      m_dlg.m_serial.Close();
    }
  }

  void ErrorEnd() {
    CloseLink();
    m_dlg.EnableControl(IDC_FILE, true);
    m_dlg.m_progressBytes = 0;
    m_dlg.SetProgress(0);
    m_dlg.SetControlText(IDC_PERCENT, "0 %");
  }

  CUpdaterDlg& m_dlg;
  const bool m_hidRoad;
  int m_recordSize = 0;
  int m_stride = 0;
  bool m_address24 = false;
  int m_frameCounter = 0;
  std::string m_percentText;  // last formatted, empty before the first
};

}  // namespace

void CUpdaterDlg::HidTransferWorker() { CTransferRun(*this, true).Run(); }

void CUpdaterDlg::SerialTransferWorker() { CTransferRun(*this, false).Run(); }

void CUpdaterDlg::OnCancelUpdate() { m_cancelRequested = 1; }
