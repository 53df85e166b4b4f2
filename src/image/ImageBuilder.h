#pragma once
// Turns a Motorola S-record firmware file into the device's flash image: the byte
// list (one entry per data byte), the row list (one row per record-size block,
// filled with 0xFF), rearranged to the device's flash pages, written out as
// tmp.txt (readable) and tmp.bin (what the transfer sends).
//
// Every stage reads the device map and the record size from ActiveProfile as they
// stand when it runs. A stage that fails shows its message box through the
// callback given with SetMessageBox and answers false.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "image/ByteRecord.h"
#include "image/RowRecord.h"

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

  CImageBuilder() = default;
  virtual ~CImageBuilder() = default;

  void SetMessageBox(MessageBoxFn fn) { m_messageBox = std::move(fn); }
  void SetPump(PumpFn fn) { m_pump = std::move(fn); }

  // S-record file -> byte list. In the 24-bit width one window event is pumped
  // per line read.
  bool ReadSRecordFile(const std::string& path);
  // Sets record.recordType from the line; true when the line is to be decoded
  // ("S0" to "S7"), false when it ends the read.
  static bool CheckRecordType(ByteRecord& record, std::string_view line);
  // Two hex characters (either case) -> 0..255; anything else reads as 0.
  static int ParseHexPair(std::string_view text);

  // byte list -> row list.
  bool BuildRowList();
  RowRecord RowFromByte(const ByteRecord& b) const;
  void PadRow(RowRecord& r) const;

  // row list -> flash page order. With a record size of 64 every row is split
  // into two rows of 32 and the record size in force becomes 32. False (after a
  // message box) when the page size cannot be used, when no row is left, or when
  // memory runs out.
  bool LayoutFlashPages();

  // row list -> tmp.txt in the current directory / the binary rows at path.
  bool WriteRowsText();
  bool WriteRowsBinary(const std::string& path);

  int m_interfaceKind = 1;  // 1 HID ("USB"), 2 serial ("COM")
  RowList m_rowList;
  ByteList m_byteList;

 private:
  void Box(const std::string& text) const {
    if (m_messageBox) m_messageBox(text);
  }
  MessageBoxFn m_messageBox;
  PumpFn m_pump;
};

// Message boxes of the stages.
inline constexpr char kReadFileErrorBox[] = "Read File Error !";
inline constexpr char kFileMismatchBox[] = "Flash File doesn't match the config file !";
inline constexpr char kReadMemoryBox[] = "S19 File Error (A) !";
inline constexpr char kRowListErrorBox[] = "S19 File Error (B) !";
inline constexpr char kPageSizeErrorBox[] = "Config File PAGESIZE Error !";
inline constexpr char kNoImageDataBox[] = "Flash File has no data for the device !";
inline constexpr char kLayoutMemoryBox[] = "Not enough memory for the flash image !";
inline constexpr char kTxtWriteErrorBox[] = "TXT File Write Error !";
inline constexpr char kBinWriteErrorBox[] = "BIN File Write Error !";
