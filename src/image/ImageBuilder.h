#pragma once
// Turns a Motorola S-record firmware file into the device's flash image: the byte
// list (one entry per data byte), the row list (one row per record-size block,
// filled with 0xFF), rearranged to the device's flash pages, written out as
// tmp.txt (readable) and tmp.bin (what the transfer sends).
//
// Every stage reads the device map and the record size from the profile the
// builder was made with, as it stands when the stage runs. A stage that fails shows its message box
// through the callback given with SetMessageBox, keeps why (Problem) and answers false.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/ByteRecord.h"
#include "image/RowRecord.h"
#include "outcome/Outcome.h"

// Both lists only grow at their end while they are built; the page layout
// rebuilds the row list in one pass when it has to put rows in front.
using ByteList = std::vector<ByteRecord>;
using RowList = std::vector<RowRecord>;

class CImageBuilder {
 public:
  // How the builder tells the user about a failure (an application message box with
  // the warning icon) and, during long reads, lets the window repaint.
  using MessageBoxFn = std::function<void(const std::string& text)>;
  using PumpFn = std::function<void()>;

  // profile: the device map to build for; it must outlive the builder.
  explicit CImageBuilder(const DeviceMap& profile) : m_profile(profile) {}
  ~CImageBuilder() = default;
  CImageBuilder(const CImageBuilder&) = delete;
  CImageBuilder& operator=(const CImageBuilder&) = delete;

  void SetMessageBox(MessageBoxFn fn) { m_messageBox = std::move(fn); }
  void SetPump(PumpFn fn) { m_pump = std::move(fn); }

  // S-record file -> byte list: every data byte at its address, or false after a
  // box naming the line at fault. In the 24-bit width one window event is pumped
  // per line read.
  bool ReadSRecordFile(const std::string& path);
  // The same from the bytes of a file that is in memory already (one whose
  // signature was checked on exactly these bytes).
  bool ReadSRecordBytes(const std::vector<std::uint8_t>& bytes);
  // The SHA-256 (hex) and size of the bytes the last successful read read;
  // empty and 0 otherwise.
  const std::string& FileSha256() const { return m_fileSha256; }
  std::uint64_t FileSize() const { return m_fileSize; }
  // byte list -> row list.
  bool BuildRowList();

  // row list -> flash page order. With a record size of 64 every row is split
  // into two rows of 32 (SentRecordSize). False (after a message box) when the
  // page size cannot be used, when no row is left, when a row that the chosen
  // link would send reaches into a protected range, or when memory runs out.
  bool LayoutFlashPages();

  // row list -> tmp.txt in the current directory / the binary rows at path.
  // WriteRowsBinary also keeps what it wrote in m_binImage.
  bool WriteRowsText();
  bool WriteRowsBinary(const std::string& path);

  int m_interfaceKind = 1;  // 1 HID ("USB"), 2 serial ("COM")
  RowList m_rowList;
  ByteList m_byteList;
  // Where each data record of the file begins in the byte list, and its line: a
  // refusal can then name the line of a byte without every byte carrying one.
  struct RecordLine {
    std::uint32_t firstByte;
    std::uint32_t line;
  };
  std::vector<RecordLine> m_recordLines;
  // The 1-based line of the file that gave the byte at this index of the byte
  // list, 0 when the list was not read from a file.
  long LineOfByte(std::size_t index) const;
  // The binary rows exactly as the last successful WriteRowsBinary wrote them,
  // and the data bytes per row in them; empty while no image is ready. The
  // transfer sends only this image: a tmp.bin on disk that differs from it was
  // written by someone else (another updater in the same directory) since.
  std::vector<std::uint8_t> m_binImage;
  int m_binRecordSize = 0;

  // Why the last stage that failed refused: its reason, the line it names (0 for
  // none) and the box's text. Reset by ReadSRecordFile.
  struct ImageProblem {
    Reason reason = Reason::kNone;
    long line = 0;
    std::string text;
    std::string osError;  // the system's word, where a file could not be written
    std::int64_t address = -1;  // the address at fault, where one is
  };
  const ImageProblem& Problem() const { return m_problem; }

 private:
  // Shows text and keeps why.
  void Box(Reason reason, const char* text, std::string osError = {}) {
    m_problem = {reason, 0, text, std::move(osError), -1};
    if (m_messageBox) m_messageBox(m_problem.text);
  }
  // Shows text followed by the line number, and keeps why.
  void BoxAtLine(Reason reason, const char* text, long line) {
    m_problem = {reason, line, text + std::to_string(line), {}, -1};
    if (m_messageBox) m_messageBox(m_problem.text);
  }
  ImageProblem m_problem;
  std::string m_fileSha256;
  std::uint64_t m_fileSize = 0;
  // The records of a file, read line by line from lines, into the byte list.
  template <class LineSource>
  bool ReadRecords(LineSource& lines, std::uintmax_t fileSize);
  const DeviceMap& m_profile;
  // The line to name when the row at address is refused.
  long FirstLineFrom(std::uint32_t address) const;
  MessageBoxFn m_messageBox;
  PumpFn m_pump;
};

// Data bytes per row of the image as it goes to the device: rows of 64 are split
// into two of 32, the largest frame the device takes.
constexpr int SentRecordSize(int recordSize) { return recordSize == 64 ? 32 : recordSize; }

// Message boxes of the stages.
inline constexpr char kReadFileErrorBox[] = "Read File Error !";
inline constexpr char kFileMismatchBox[] = "Flash File doesn't match the config file !";
// The file is refused; each is followed by " Line N", the 1-based line at fault.
inline constexpr char kChecksumErrorBox[] = "S19 File Checksum Error ! Line ";
inline constexpr char kFormatErrorBox[] = "S19 File Format Error ! Line ";
inline constexpr char kIncompleteBox[] = "S19 File Is Incomplete ! Line ";
inline constexpr char kAddressErrorBox[] = "S19 File Address Error ! Line ";
inline constexpr char kReadMemoryBox[] = "S19 File Error (A) !";
inline constexpr char kRowListErrorBox[] = "S19 File Error (B) !";
inline constexpr char kPageSizeErrorBox[] = "Config File PAGESIZE Error !";
inline constexpr char kNoImageDataBox[] = "Flash File has no data for the device !";
inline constexpr char kLayoutMemoryBox[] = "Not enough memory for the flash image !";
inline constexpr char kTxtWriteErrorBox[] = "TXT File Write Error !";
inline constexpr char kBinWriteErrorBox[] = "BIN File Write Error !";
inline constexpr char kBinChangedBox[] = "BIN File Changed Error !";
// A SIGNKEY is configured and the file's signature (FILE.minisig) is missing or
// does not hold.
inline constexpr char kSignatureErrorBox[] = "S19 File Signature Error !";
