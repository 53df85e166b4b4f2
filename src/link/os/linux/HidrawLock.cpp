#include "link/os/linux/HidrawLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

std::unique_ptr<CHidrawLock> CHidrawLock::TryTake(const std::string& path) {
  // Read access is all a lock needs, and whoever may use the device has it. The
  // descriptor is never read: hidraw queues a few input reports for it and drops
  // the rest, which costs the updater's own read handle nothing.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  // Not waited for: a device another updater holds is a device not there.
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<CHidrawLock>(new CHidrawLock(fd));
}

CHidrawLock::~CHidrawLock() { ::close(m_fd); }
