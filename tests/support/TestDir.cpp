#include "support/TestDir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

CTestDir::CTestDir() {
  static std::atomic<int> serial{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::temp_directory_path() /
                       ("iaptest-" + std::to_string(stamp) + "-" + std::to_string(serial++));
  fs::create_directories(dir);
  m_path = dir.string();
  m_previous = fs::current_path().string();
  fs::current_path(dir);
}

CTestDir::~CTestDir() {
  std::error_code ec;
  fs::current_path(m_previous, ec);
  fs::remove_all(m_path, ec);
}

std::string CTestDir::File(const std::string& name) const {
  return (fs::path(m_path) / name).string();
}

void CTestDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream out(File(name), std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + File(name));
}

std::string CTestDir::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
