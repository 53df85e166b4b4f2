#pragma once
// A second, deliberately plain reading of Motorola S-record text, written from the
// rules the README gives for firmware files rather than from the updater's
// reader, so that the fuzz targets can hold the two against each other: whether
// a file must be taken, and which byte it puts at which address.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace srecmodel {

struct Reading {
  // Every record is intact (hex digits, count byte, checksum, count records), no
  // line is longer than a record can be, no blank line stands between records,
  // and the file ends with a termination record or a matching count record, after
  // which only blank lines and one Ctrl-Z line (the very last but blank ones) follow.
  bool wellFormed = false;
  // wellFormed, and the file fits the device: its second record starts at
  // ROMHEAD and every data byte lies at or below the top address.
  bool acceptable = false;
  std::string fault;  // why not, with the 1-based line: "line 3: checksum"
  // The data bytes of the S1/S2/S3 records read, by address; an address given
  // more than once holds the last value given.
  std::map<std::uint64_t, std::uint8_t> bytes;
};

// Lines as the updater cuts them: at LF, CR LF or a lone CR; a last line without
// a line end is a line too.
std::vector<std::string_view> SplitLines(std::string_view text);

// The address field of the record on this line, or 0 when the line is no record
// that can be decoded.
std::uint32_t AddressField(std::string_view line);

// checkDevice false leaves out the ROMHEAD rule and the top address (a file that
// was not made for one particular device).
Reading Read(std::string_view text, std::uint32_t romHead, std::uint32_t topAddress,
             bool checkDevice = true);

// Makes every line that looks like a record ("S", a type digit, an even number of
// hex digits) intact: its count byte and checksum are set to what its other
// bytes need. Other lines stay as they are.
void RepairRecords(std::string& text);

}  // namespace srecmodel
