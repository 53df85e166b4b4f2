#pragma once
// One updater per device on Linux. Any number of programs may open a hidraw node
// and their reports would interleave on the device; updaters agree on an advisory
// lock on the node instead (flock, as on the serial ports). hidapi keeps its file
// descriptors to itself, so the lock lives on a descriptor of its own on the node.

#include <memory>
#include <string>

class CHidrawLock {
 public:
  // The exclusive lock on the node at path, held until the object is destroyed;
  // nullptr when the node cannot be opened or another open of it, in this process
  // or another, holds the lock.
  static std::unique_ptr<CHidrawLock> TryTake(const std::string& path);
  ~CHidrawLock();
  CHidrawLock(const CHidrawLock&) = delete;
  CHidrawLock& operator=(const CHidrawLock&) = delete;

 private:
  explicit CHidrawLock(int fd) : m_fd(fd) {}
  int m_fd;
};
