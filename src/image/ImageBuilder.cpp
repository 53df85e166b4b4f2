#include "image/ImageBuilder.h"

#include "image/HexText.h"

int CImageBuilder::ParseHexPair(std::string_view text) {
  if (text.size() != 2) return 0;
  return hextext::PairValue(text[0], text[1]);
}

bool CImageBuilder::CheckRecordType(ByteRecord& record, std::string_view line) {
  record.SetRecordType(line.substr(0, 2));
  // S0 (header), S1-S3 (data), S4 (reserved), S5/S6 (counts) and S7 are decoded
  // alike; S8, S9 and anything else end the file.
  return line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '7';
}
