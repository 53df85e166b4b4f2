#include "UdevRule.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Inventory.h"
#include "config/ProfileIni.h"

namespace {

// The section whose ids the USB interface searches for.
constexpr char kSection[] = "DEVICE0";

// A path as it can stand in a comment line: a line break or another control
// character in a file name would end the comment and start a rule of its own.
std::string CommentText(const std::string& text) {
  std::string out;
  for (const char c : text) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return out;
}

// Four lower-case hex digits, as udev compares ATTRS{idVendor} and ATTRS{idProduct}.
std::string LowerHex4(std::uint32_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", id);
  return text;
}

// The id of key in the device section, or why it cannot go into a rule.
bool ReadId(const CProfileIni& ini, const char* key, std::uint32_t& id, std::string& problem) {
  const auto value = ini.Lookup(kSection, key);
  if (!value || value->empty()) {
    problem = std::string("it gives no ") + key + " in section [" + kSection + "]";
    return false;
  }
  id = CProfileIni::ParseInt(*value);
  // 0 is what a value without a digit reads as, and no device's id.
  if (id == 0 || id > 0xFFFF) {
    problem = std::string("its ") + key + "=" + *value + " in section [" + kSection +
              "] is no USB id (1 to 0xFFFF)";
    return false;
  }
  return true;
}

}  // namespace

UdevRule MakeUdevRule(const std::string& configIni) {
  UdevRule rule;
  const std::string lead = "the configuration file " + configIni;
  const CProfileIni ini(configIni);
  if (!ini.FileExists()) {
    std::FILE* file = std::fopen(configIni.c_str(), "rb");
    const int error = errno;
    if (file != nullptr) std::fclose(file);
    rule.problem =
        lead + " cannot be read: " + (file != nullptr ? "reading it failed" : std::strerror(error));
    return rule;
  }
  if (!ini.Refusal().empty()) {
    rule.problem = lead + " is turned away: " + ini.Refusal();
    return rule;
  }
  std::uint32_t vid = 0, pid = 0;
  std::string problem;
  if (!ReadId(ini, "VID", vid, problem) || !ReadId(ini, "PID", pid, problem)) {
    rule.problem = lead + ": " + problem;
    return rule;
  }
  const std::string ids = Hex4(vid) + ":" + Hex4(pid);  // as --list shows them
  const std::string file = "70-iap-updater-" + LowerHex4(vid) + "-" + LowerHex4(pid) + ".rules";
  // The access policy of the packaged rule: TAG+="uaccess" hands the node to the
  // user at the local seat while the session is active; no MODE, no GROUP, so the
  // node is never open to everybody. The number keeps it before 73-seat-late.rules,
  // which acts on the tag.
  const std::string install = "/etc/udev/rules.d/" + file;
  rule.text =
      "# USB HID access to the device of " + CommentText(configIni) + ", VID:PID " + ids + "\n";
  rule.text += "# for the user logged in at the local seat (made by iapflash --udev-rule).\n";
  rule.text +=
      "# Install:  iapflash [-d VARIANT] [-C DIR] --udev-rule | sudo tee " + install + "\n";
  rule.text += "#           sudo udevadm control --reload\n";
  rule.text += "#           sudo udevadm trigger --subsystem-match=hidraw\n";
  rule.text += "# then unplug and replug the device.\n";
  rule.text += "KERNEL==\"hidraw*\", SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"" + LowerHex4(vid) +
               "\", ATTRS{idProduct}==\"" + LowerHex4(pid) + "\", TAG+=\"uaccess\"\n";
  return rule;
}

int PrintUdevRule(const std::string& configIni) {
  const UdevRule rule = MakeUdevRule(configIni);
  if (rule.text.empty()) {
    std::fprintf(stderr, "iapflash: no udev rule: %s\n", rule.problem.c_str());
    return 1;
  }
  std::fputs(rule.text.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
