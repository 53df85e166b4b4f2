#pragma once
// The extra lines iapflash prints after a message box: the box says what went
// wrong in the dialog's fixed words, these say what was looked for and why it
// was not there, so that a person can act on it (a path, an OS error, a group,
// the ids searched for).

#include <string>
#include <vector>

#include "app/UpdateListener.h"

class CUpdaterDlg;

struct FailureContext {
  std::string variantName;   // solvane, castrel
  std::string configPath;    // the configuration file the variant reads here
  std::string firmwarePath;  // as handed to the File command
};

// One fault of the configuration file, in words, under the reason of the box
// the dialog shows for it.
struct ConfigFinding {
  Reason reason = Reason::kNone;
  std::string text;
};

// Every fault of the configuration file in context that keeps it from an update:
// what the dialog's check turns away, and what it lets through but no update can
// use (no device section, a record size without frames).
std::vector<ConfigFinding> ConfigFindings(const FailureContext& context);

// The lines for a box, chosen by the reason it was shown for.
std::vector<std::string> ExplainBox(const BoxEvent& box, const FailureContext& context,
                                    const CUpdaterDlg& dlg);
