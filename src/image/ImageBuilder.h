#pragma once
// Turns a Motorola S-record firmware file into the device's flash image: the byte
// list (one entry per data byte), the row list (one row per record-size block,
// filled with 0xFF), rearranged to the device's flash pages, written out as
// tmp.txt (readable) and tmp.bin (what the transfer sends).

#include <functional>
#include <list>
#include <string>

#include "image/ByteRecord.h"
#include "image/RowRecord.h"

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

  // S-record file -> byte list.
  bool ReadSRecordFile(const std::string& path);
  static bool CheckRecordType(ByteRecord& record, const std::string& line);
  static int ParseHexPair(const std::string& text);

  // byte list -> row list.
  bool BuildRowList();
  RowRecord RowFromByte(const ByteRecord& b) const;
  void PadRow(RowRecord& r) const;

  // row list -> flash page order (may lower a record size of 64 to 32).
  void LayoutFlashPages();

  // row list -> tmp.txt in the current directory / the binary rows at path.
  bool WriteRowsText();
  bool WriteRowsBinary(const std::string& path);

  int m_interfaceKind = 1;  // 1 HID ("USB"), 2 serial ("COM")
  std::list<RowRecord> m_rowList;
  std::list<ByteRecord> m_byteList;

 private:
  void Box(const std::string& text) const {
    if (m_messageBox) m_messageBox(text);
  }
  MessageBoxFn m_messageBox;
  PumpFn m_pump;
};
