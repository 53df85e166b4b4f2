#include "app/WindowSystem.h"

#include <filesystem>
#include <system_error>

const char* BoxIconName(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::kWarning:
      return "warning";
    case BoxIcon::kInformation:
      return "information";
    case BoxIcon::kNone:
      break;
  }
  return "none";
}

bool CWindowSystem::AskYesNo(const std::string&, const std::string&, BoxIcon) { return true; }

std::string CWindowSystem::CurrentDirectory() const {
  std::error_code ec;
  auto dir = std::filesystem::current_path(ec);
  return ec ? std::string() : dir.string();
}

bool CWindowSystem::ChangeDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::current_path(dir, ec);
  return !ec;
}

std::string FileDialogRequest::DefaultSuffix() const {
  std::string ext = defaultExt.substr(0, defaultExt.find(';'));
  const auto first = ext.find_first_not_of(" \t");
  const auto last = ext.find_last_not_of(" \t");
  ext = first == std::string::npos ? std::string() : ext.substr(first, last - first + 1);
  if (ext.rfind("*.", 0) == 0) ext.erase(0, 2);
  if (ext.rfind('.', 0) == 0) ext.erase(0, 1);
  return ext.find_first_of("*?") == std::string::npos ? ext : std::string();
}
