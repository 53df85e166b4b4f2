#pragma once
// A fresh real directory for one test, made current while the object lives and
// removed afterwards.
#include <string>

class CTestDir {
 public:
  CTestDir();
  ~CTestDir();
  CTestDir(const CTestDir&) = delete;
  CTestDir& operator=(const CTestDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const;
  void Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;

 private:
  std::string m_path;
  std::string m_previous;
};
