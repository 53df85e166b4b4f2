#pragma once
// The strings in which the two deliverables differ. Everything else, every message
// included, is the same in both.

#include <string>

struct VariantStrings {
  std::string appName;          // program file name without extension: message box caption
  std::string windowCaption;    // main window caption
  std::string groupBox;         // group box 1003
  std::string aboutMenuEntry;   // system menu entry (string 101)
  std::string aboutCaption;     // About box caption
  std::string aboutLine1;       // About box first text line
  std::string aboutLine2;       // About box second text line (notice)
  std::string configFileName;   // "\\...ini", appended to the working directory
  std::string fileFilter;       // open-file dialog filter
  std::string defaultExt;       // default extension of the open-file dialog
  std::string initialFileName;  // initial file name of the open-file dialog
};

const VariantStrings& SolvaneStrings();
const VariantStrings& CastrelStrings();
// "solvane" or "castrel"; nullptr for anything else.
const VariantStrings* VariantByName(const std::string& name);
