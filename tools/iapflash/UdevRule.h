#pragma once
// --udev-rule: a udev rule that gives the user at the local seat access to the
// hidraw node of the device a configuration file names, in the packaged rule's
// form (packaging/udev/70-iap-updater-hidraw.rules), for a site to keep in
// /etc/udev/rules.d/ where an upgrade of the package leaves it alone.

#include <string>

struct UdevRule {
  std::string text;     // the whole file, comment lines and the rule; empty on failure
  std::string problem;  // why there is no rule, naming the configuration file
};

// The rule for the VID and PID of configIni's first device (the one the USB
// interface looks for).
UdevRule MakeUdevRule(const std::string& configIni);

// Prints the rule on stdout and returns 0; or says on stderr why there is none
// and returns 1.
int PrintUdevRule(const std::string& configIni);
