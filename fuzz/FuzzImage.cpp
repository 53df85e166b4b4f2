// Fuzz target: a firmware file through the whole image pipeline of the File
// command (S-record reader, rows, flash page layout, tmp.txt, tmp.bin), then the
// data frame of every row of tmp.bin as the transfer would send it.
//
// Input: four shape bytes, then the text of the firmware file.
//   byte 0  bits 0-1  record size: 16, 32, 64, or byte 3 as it stands
//           bit 2     a 24-bit device (ROMTAIL at or above 0x10000)
//           bit 3     make every record intact first (count byte, checksum), so
//                     that mutations get past the reader's checks
//           bit 4     with ROMHEAD 0: valid S0 records (address 0) in front of the
//                     text, so that the text's first line end lands at 65536 +
//                     (signed) byte 2: lines that end on, or run over, the
//                     reader's 64 KiB chunk boundary
//           bits 5-6  ROMHEAD: the second record's address, 0, 0x8000 or 0xF000
//           bit 7     the other ROMTAIL of the width
//   byte 1  bits 0-3  PAGESIZE, bits 4-6 IAPMARK, from the tables below
//           bit 7     the link: USB (its programmer keeps the row at IAPEND) or serial
//   byte 2  the filler's landing point
//   byte 3  the record size for size choice 3 (any RAWDATASIZE low byte)
//
// Properties, beyond running clean under the sanitizers:
//   - the reader takes the file exactly when the independent reading of the
//     file rules (SRecordModel) says it must;
//   - a file the reader took goes through every stage, unless it has no data
//     bytes, the record size is 0, PAGESIZE is no page size, or a row does not fit tmp.bin's fields
//     (length and count one byte, address three, at most 1014 hex characters);
//   - a layout refused for a protected range names a row that the serial link
//     would send and that reaches into one;
//   - when the whole pipeline succeeded: tmp.txt and tmp.bin describe the same
//     rows; tmp.bin is what the builder kept for the transfer; for the record
//     sizes the device frames, every row is one frame's worth, lies wholly inside
//     the device's address width (the frame names no more address bits than
//     that) and its frame carries it whole; and the rows, walked in order as the
//     link sends them (stepping over the rows whose address lies in a protected
//     range), keep the device's image exact: (a) no byte sent lies in
//     IAPSTART <= a < IAPEND or INTSTART <= a <= INTEND; (b) every byte sent is
//     fill (0xFF) or the file's last value for its address, and once that value
//     went to an address nothing else follows it there; (c) every byte of the
//     file outside the rows stepped over reaches the device.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "FuzzSupport.h"
#include "SRecordModel.h"
#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"
#include "sim/EmulatedFlash.h"
#include "update/RecordFrames.h"

namespace {

constexpr std::uint32_t kPageSizes[16] = {0x40,   0x80,    0x100,      0x200,     0x400, 0x800,
                                          0x1000, 0x10000, 16,         32,        48,    100,
                                          1000,   0,       0x7FFFFFFF, 0x80000000};

constexpr std::size_t kChunk = 64 * 1024;  // the reader's read size

struct Shape {
  int recordSize;
  bool address24;
  bool repair;
  bool filler;
  int headChoice;
  std::uint32_t romTail;
  std::uint32_t pageSize;
  int markChoice;
  bool usb;
  long landing;  // file offset for the text's first line end (filler only)
};

Shape ShapeOf(const std::uint8_t* h) {
  Shape s{};
  const int sizes[4] = {16, 32, 64, h[3]};
  s.recordSize = sizes[h[0] & 3];
  s.address24 = (h[0] & 4) != 0;
  s.repair = (h[0] & 8) != 0;
  s.headChoice = (h[0] >> 5) & 3;
  s.filler = (h[0] & 16) != 0 && s.headChoice == 1;
  const bool other = (h[0] & 128) != 0;
  s.romTail = s.address24 ? (other ? 0x2FFFF : 0xFFFFFF) : (other ? 0x9FFF : 0xFFFF);
  s.pageSize = kPageSizes[h[1] & 15];
  s.markChoice = (h[1] >> 4) & 7;
  s.usb = (h[1] & 128) != 0;
  s.landing = static_cast<long>(kChunk) + static_cast<std::int8_t>(h[2]);
  return s;
}

// S0 records at address 0 (the first one the header), prefixLength characters
// with their line ends in all.
std::string Filler(std::size_t prefixLength) {
  static const std::string kLongest =  // 252 bytes of header text, 515 characters
      SRecordLine('0', 0, 2, std::vector<std::uint8_t>(252, 'x')) + "\n";
  std::string out;
  out.reserve(prefixLength);
  auto line = [&out](std::size_t length) {  // 11 to 516 characters, line end included
    const bool crlf = length % 2 == 0;
    const std::size_t n = (length - (crlf ? 12 : 11)) / 2;
    out += SRecordLine('0', 0, 2, std::vector<std::uint8_t>(n, 'x'));
    out += crlf ? "\r\n" : "\n";
  };
  std::size_t left = prefixLength;
  while (left > 600) {
    out += kLongest;
    left -= kLongest.size();
  }
  const std::size_t first = (left / 2) | 1;
  line(first);
  line(left - first);
  return out;
}

// The address field of the second record of the file, 0 when there is none.
std::uint32_t SecondRecordAddress(std::string_view file) {
  int records = 0;
  for (std::string_view line : srecmodel::SplitLines(file)) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (++records == 2) return srecmodel::AddressField(line);
  }
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct BinRow {
  std::size_t at;  // offset of its length byte in tmp.bin
  std::uint32_t address;
  unsigned length;
  unsigned count;
};

// The device's protected bytes, IAPSTART <= a < IAPEND and INTSTART <= a <= INTEND,
// and the rows a link steps over by their address (USB also the row at IAPEND).
bool ProtectedByte(std::uint64_t a) {
  const DeviceMap& p = ActiveProfile;
  return (a >= p.IAPSTART && a < p.IAPEND) || (a >= p.INTSTART && a <= p.INTEND);
}
bool SteppedOver(std::uint64_t a, bool usb) {
  const DeviceMap& p = ActiveProfile;
  return ProtectedByte(a) || (usb && a == p.IAPEND && a >= p.IAPSTART);
}

void CheckImage(const CImageBuilder& builder, const srecmodel::Reading& file, int recordSize,
                bool address24, bool usb) {
  using fuzz::Violation;
  const std::string binText = fuzz::ReadWholeFile("tmp.bin");
  const auto* bin = reinterpret_cast<const std::uint8_t*>(binText.data());
  if (binText.size() != builder.m_binImage.size() ||
      !std::equal(builder.m_binImage.begin(), builder.m_binImage.end(), bin))
    Violation("tmp.bin on disk (%zu bytes) is not the image the builder kept (%zu bytes)",
              binText.size(), builder.m_binImage.size());

  // tmp.bin: length byte, three address bytes high first, count byte, data.
  std::vector<BinRow> rows;
  for (std::size_t at = 0; at < binText.size();) {
    if (binText.size() - at < 5)
      Violation("tmp.bin: %zu bytes after the last whole row", binText.size() - at);
    const BinRow row{
        at, (std::uint32_t{bin[at + 1]} << 16) | (std::uint32_t{bin[at + 2]} << 8) | bin[at + 3],
        bin[at], bin[at + 4]};
    if (row.length != row.count + 4)
      Violation("tmp.bin row %zu: length byte %u for %u data bytes", rows.size(), row.length,
                row.count);
    if (at + 5 + row.count > binText.size()) Violation("tmp.bin row %zu is cut off", rows.size());
    rows.push_back(row);
    at += 5 + row.count;
  }

  // tmp.txt: one line per row, "%02x-%06x-%02x-" and the data as hex, CR LF.
  const std::string txt = fuzz::ReadWholeFile("tmp.txt");
  std::size_t pos = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const BinRow& row = rows[i];
    const std::size_t eol = txt.find("\r\n", pos);
    if (eol == std::string::npos)
      Violation("tmp.txt has %zu lines, tmp.bin %zu rows", i, rows.size());
    const std::string_view line(txt.data() + pos, eol - pos);
    char head[32];
    const int n = std::snprintf(head, sizeof head, "%02x-%06x-%02x-", row.length,
                                static_cast<unsigned>(row.address), row.count);
    bool same =
        line.size() == static_cast<std::size_t>(n) + 2 * row.count && line.starts_with(head);
    for (std::size_t j = 0; same && j < row.count; ++j) {
      const int hi = HexValue(line[static_cast<std::size_t>(n) + 2 * j]);
      const int lo = HexValue(line[static_cast<std::size_t>(n) + 2 * j + 1]);
      same = hi >= 0 && lo >= 0 && hi * 16 + lo == bin[row.at + 5 + j];
    }
    if (!same)
      Violation("tmp.txt line %zu \"%.*s\" is not tmp.bin row %zu (%s...)", i + 1,
                static_cast<int>(std::min<std::size_t>(line.size(), 60)), line.data(), i, head);
    pos = eol + 2;
  }
  if (pos != txt.size()) Violation("tmp.txt goes on after its %zu rows", rows.size());

  // The transfer walks tmp.bin in rows of one frame each and sends each as a frame.
  if (recordSize == 16 || recordSize == 32 || recordSize == 64) {
    const int sent = SentRecordSize(recordSize);
    const std::size_t head = address24 ? 5 : 4;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const BinRow& row = rows[i];
      if (row.count != static_cast<unsigned>(sent))
        Violation("tmp.bin row %zu at %06x carries %u bytes, the transfer sends rows of %d", i,
                  static_cast<unsigned>(row.address), row.count, sent);
      // The frame names the address in as many bits as the device has: a row
      // that reaches past the top would be written at the bottom of its flash.
      if (row.address + row.count - 1 > (address24 ? 0xFFFFFFu : 0xFFFFu))
        Violation(
            "tmp.bin row %zu at %06x (%u bytes) runs past the top of the %d-bit address "
            "space: its frame would put bytes at the bottom of flash",
            i, static_cast<unsigned>(row.address), row.count, address24 ? 24 : 16);
      const std::uint8_t* r = bin + row.at;
      const Bytes frame = BuildDataFrame(r, sent, address24);
      const bool addressOk = address24
                                 ? std::equal(r + 1, r + 4, frame.begin() + 1) && frame[4] == sent
                                 : frame[1] == sent && frame[2] == r[2] && frame[3] == r[3];
      if (frame.size() != head + static_cast<std::size_t>(sent) + 1 || frame[0] != frame.size() ||
          !addressOk || !std::equal(r + 5, r + 5 + sent, frame.begin() + static_cast<long>(head)) ||
          CheckByte(frame.data(), frame.size()) != 0)
        Violation("the frame for tmp.bin row %zu at %06x does not carry the row", i,
                  static_cast<unsigned>(row.address));
    }
  }

  // The rows as the link sends them, against the file's bytes.
  std::unordered_set<std::uint64_t> programmed, skipped;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const BinRow& row = rows[i];
    if (SteppedOver(row.address, usb)) {
      for (unsigned j = 0; j < row.count; ++j) skipped.insert(std::uint64_t{row.address} + j);
      continue;
    }
    for (unsigned j = 0; j < row.count; ++j) {
      const std::uint64_t address = std::uint64_t{row.address} + j;
      const std::uint8_t value = bin[row.at + 5 + j];
      if (ProtectedByte(address))
        Violation("row %zu at %06x puts %02x into a protected range at %06llx", i,
                  static_cast<unsigned>(row.address), value,
                  static_cast<unsigned long long>(address));
      const auto it = file.bytes.find(address);
      const bool sentBefore = programmed.count(address) != 0;
      if (it != file.bytes.end() && it->second == value) {
        programmed.insert(address);
      } else if (value != 0xFF || sentBefore) {
        if (it == file.bytes.end())
          Violation("row %zu at %06x holds %02x at %06llx, where the file gives no byte", i,
                    static_cast<unsigned>(row.address), value,
                    static_cast<unsigned long long>(address));
        Violation("row %zu at %06x puts %02x at %06llx, where the file's last value %02x %s", i,
                  static_cast<unsigned>(row.address), value,
                  static_cast<unsigned long long>(address), it->second,
                  sentBefore ? "was sent before" : "belongs");
      }
    }
  }
  for (const auto& [address, value] : file.bytes) {
    if (programmed.count(address) == 0 && skipped.count(address) == 0)
      Violation("the file's byte %02x at %06llx never reaches the device", value,
                static_cast<unsigned long long>(address));
  }
}

// A layout refused for a protected range: some row that the serial link would
// send (every row the USB link sends, and the row at IAPEND) reaches into one.
void CheckAddressRefusal(const CImageBuilder& builder) {
  const DeviceMap& p = ActiveProfile;
  const CRowImage& rows = builder.m_rows;
  for (std::size_t i = 0; i < rows.Size(); ++i) {
    const std::uint64_t a = rows.Address(i);
    if (SteppedOver(a, false) || rows.RowSize() <= 0) continue;
    const std::uint64_t last = a + static_cast<std::uint32_t>(rows.RowSize()) - 1;
    if ((a < p.IAPEND && last >= p.IAPSTART) || (a <= p.INTEND && last >= p.INTSTART)) return;
  }
  fuzz::Violation("the layout refused the file for a protected range, but no row reaches into one");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::MakePrivateDirectory("fuzz_image", argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::CInPrivateDirectory inside;
  if (size < 4) return 0;
  const Shape shape = ShapeOf(data);
  std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);
  if (shape.repair) srecmodel::RepairRecords(text);

  std::string file;
  if (shape.filler) {
    const std::size_t firstEnd = std::min(text.find_first_of("\r\n"), text.size());
    long prefix = shape.landing - static_cast<long>(firstEnd);
    while (prefix < 200) prefix += static_cast<long>(kChunk);
    file = Filler(static_cast<std::size_t>(prefix));
  }
  file += text;

  const std::uint32_t heads[4] = {0, 0, 0x8000, 0xF000};
  DeviceProfile device{};
  device.ROMHEAD = shape.headChoice == 0 ? SecondRecordAddress(file) : heads[shape.headChoice];
  device.ROMTAIL = shape.romTail;
  device.RAWDATASIZE = static_cast<std::uint32_t>(shape.recordSize);
  device.PAGESIZE = shape.pageSize;
  // IAPMARK somewhere in the device's map (MaskedProfile puts it on a
  // 16-byte boundary); a mark past the address width is a broken configuration.
  const std::uint32_t head = device.ROMHEAD;
  const std::uint32_t last = shape.romTail & ~0xFu;
  const std::uint32_t marks[8] = {0,
                                  head,
                                  head + 0x10,
                                  head + 0x100,
                                  head + 0x400,
                                  last,
                                  last / 2u,
                                  std::min(last, head + 3 * shape.pageSize)};
  device.IAPMARK = marks[shape.markChoice];
  device.IAPSTART = head + 0x800;
  device.IAPEND = head + 0xC00;
  device.INTSTART = shape.romTail & 0xFFFFC0;
  device.INTEND = shape.romTail & 0xFFFFE0;
  device.PROGRAMBDRATE = device.COMMUNICATBDRATE = 9600;
  ActiveProfile = MaskedProfile(device);

  fuzz::WriteWholeFile("firmware.s19", file);
  std::string box;
  CImageBuilder builder{ActiveProfile};
  builder.m_interfaceKind = shape.usb ? 1 : 2;
  builder.SetMessageBox([&box](const std::string& text) { box = text; });
  builder.SetPump([] {});  // the window's event pump, called per line in the 24-bit width

  const bool read = builder.ReadSRecordFile("firmware.s19");
  const srecmodel::Reading model = srecmodel::Read(
      file, ActiveProfile.ROMHEAD, Uses24BitAddresses(ActiveProfile) ? 0xFFFFFFu : 0xFFFFu);
  if (read != model.acceptable) {
    fuzz::Violation("the reader %s the file (%s), the file rules say %s (%s)",
                    read ? "took" : "refused", read ? "no box" : box.c_str(),
                    model.acceptable ? "take it" : "refuse it", model.fault.c_str());
  }
  if (!read) return 0;
  // A file the reader took is built, unless it has no data, the page size means
  // nothing, or a row does not fit the device's row buffer and frame fields.
  if (!builder.BuildRowList()) {
    if (!model.bytes.empty() && ActiveProfile.recordSize != 0)  // no rows of no bytes
      fuzz::Violation("no rows (%s) for %zu data bytes", box.c_str(), model.bytes.size());
    return 0;
  }
  if (!builder.LayoutFlashPages()) {
    if (box.starts_with(kAddressErrorBox)) {
      CheckAddressRefusal(builder);
    } else if (static_cast<std::int32_t>(ActiveProfile.PAGESIZE) > 0) {
      fuzz::Violation("no page layout (%s) for %zu data bytes", box.c_str(), model.bytes.size());
    }
    return 0;
  }
  if (!builder.WriteRowsText()) fuzz::Violation("tmp.txt not written (%s)", box.c_str());
  if (!builder.WriteRowsBinary("tmp.bin")) {
    const CRowImage& rows = builder.m_rows;
    bool fits = rows.RowSize() + 4 <= 0xFF;
    for (std::size_t i = 0; i < rows.Size(); ++i) fits = fits && rows.Address(i) <= 0xFFFFFF;
    if (fits) fuzz::Violation("tmp.bin not written (%s), though every row fits", box.c_str());
    return 0;
  }
  CheckImage(builder, model, ActiveProfile.recordSize, Uses24BitAddresses(ActiveProfile),
             shape.usb);
  return 0;
}
