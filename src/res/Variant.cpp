#include "res/Variant.h"

namespace {
const char kNotice[] = "Copyright (C) 2026";
}

const VariantStrings& SolvaneStrings() {
  static const VariantStrings s{
      "solvane",
      "Solvane(Rev00.01)",
      "MPPT Firmware Update",
      "&About Brimlow...",
      "About Orvath",
      "Solvane  (Rev00.01)",
      kNotice,
      "\\MpptConfigFile.ini",
      "Scc Firmware Files (*.mppt)|*.mppt|All Files (*.*)|*.*||",
      "*.mppt",
      "*.mppt",
  };
  return s;
}

const VariantStrings& CastrelStrings() {
  static const VariantStrings s{
      "castrel",
      "Castrel(Rev00.02)",
      "Inverter Firmware Update",
      "&About Castrel...",
      "About Brimlow",
      "Castrel  (Rev00.02)",
      kNotice,
      "\\InvConfigFile.ini",
      "Firmware Files (*.S19)|*.S19;*.mot|All Files (*.*)|*.*||",
      "*.S19;*.mot",
      "*.S19;*.mot",
  };
  return s;
}

const VariantStrings* VariantByName(const std::string& name) {
  if (name == "solvane") return &SolvaneStrings();
  if (name == "castrel") return &CastrelStrings();
  return nullptr;
}
