#pragma once
// Turns a Motorola S-record firmware file into the device's flash image: the
// file is read once, every data record going straight into the rows of the
// record-size blocks it touches (filled with 0xFF), the rows are rearranged to
// the device's flash pages and written out as tmp.txt (readable) and tmp.bin
// (what the transfer sends). No list of single bytes is ever made: an image of
// 16 Mi bytes costs little more than its rows and its tmp.bin.
//
// Every stage reads the device map from the profile the builder was made with,
// as it stands when the stage runs; the record size is the one the file was read
// with. A stage that fails shows its message box through the callback given with
// SetMessageBox, keeps why (Problem) and answers false.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/RowImage.h"
#include "outcome/Outcome.h"

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

  // S-record file -> rows: every data byte in its block's row, or false after a
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
  // The rows read -> the row list: in rising address order, one row a block.
  // False (after a box) when the file gave no data byte, or the record size is
  // not the one the file was read with.
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
  CRowImage m_rows;
  // Every data record of the file that gave bytes, in file order: where its bytes
  // go. A refusal can then name the line of a byte without every byte carrying
  // one.
  struct RecordSpan {
    std::uint32_t address : 24;  // its first byte's
    std::uint32_t count : 8;     // its data bytes, 1..252
  };
  std::vector<RecordSpan> m_records;
  // The 1-based line of the file that gave m_records[i].
  long LineOfRecord(std::size_t i) const;
  // The data bytes the last read gave (an address given twice counts twice).
  std::uint64_t DataBytes() const { return m_dataBytes; }
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
    std::string osError;        // the system's word, where a file could not be written
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
  // The records of a file, read line by line from lines, into the rows.
  template <class LineSource>
  bool ReadRecords(LineSource& lines, std::uintmax_t fileSize);
  template <class LineSource>
  bool ReadRecordsInto(LineSource& lines, std::uintmax_t fileSize);
  // Puts a data record's n bytes (written as text, 2n hex characters) from
  // address on into the rows of the blocks they belong to, making the rows that
  // are not there yet.
  void PlaceBytes(std::uint32_t address, const std::uint8_t* bytes, int n, const char* text,
                  bool lowerSeen);
  // The row of a block (made when the block has none yet).
  std::size_t RowOfBlock(std::uint32_t block);
  std::uint32_t& IndexSlot(std::uint32_t block);
  // Which row holds each block the file touched, once the file has gone back
  // below its last row to a block without one (until then the rows are in
  // address order and are searched): by block number, in leaves of 4096 blocks
  // made when a block in them is first touched; 0 for none, else the row + 1.
  // Rows are made in the order the file first touches their blocks.
  struct BlockIndex {
    static constexpr int kLeafBits = 12;
    bool indexed = false;
    std::vector<std::unique_ptr<std::uint32_t[]>> leaves;
    std::uint32_t lastBlock = 0xFFFFFFFFu;
    std::size_t lastRow = 0;
  };
  BlockIndex m_blocks;
  std::uint64_t m_dataBytes = 0;
  // Where the lines of the records stop following one another (at the first
  // record, and after header, count or other lines between data records): the
  // record and its line. Record i's line is that of the last jump at or before
  // it plus the records between the two.
  struct LineJump {
    std::uint32_t record;
    std::uint32_t line;
  };
  std::vector<LineJump> m_lineJumps;
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
