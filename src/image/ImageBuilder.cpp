#include "image/ImageBuilder.h"

#include "image/HexText.h"

int CImageBuilder::ParseHexPair(std::string_view text) {
  if (text.size() != 2) return 0;
  return hextext::PairValue(text[0], text[1]);
}
