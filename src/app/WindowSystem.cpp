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
