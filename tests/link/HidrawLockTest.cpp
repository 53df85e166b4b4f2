// One updater per hidraw node: the lock that turns a second updater away. There is
// no hidraw device to be had here, so the lock is taken on a scratch file and on a
// character device node of its own (hidraw nodes are character devices too).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "link/os/linux/HidrawLock.h"

namespace {

class HidrawLock : public ::testing::Test {
 protected:
  HidrawLock() {
    std::string pattern = (std::filesystem::temp_directory_path() / "iap-hidraw-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) m_dir = pattern;
  }
  ~HidrawLock() override {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  std::string File(const std::string& name) {
    const std::string path = m_dir + "/" + name;
    std::ofstream(path) << "";
    return path;
  }
  std::string Path(const std::string& name) const { return m_dir + "/" + name; }

 private:
  std::string m_dir;
};

// Whether a separate process can take the lock on path (and let go of it again).
bool AnotherProcessTakes(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) _exit(CHidrawLock::TryTake(path) ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(HidrawLock, OneHolderAtATimeInThisProcessAndAnyOther) {
  const std::string node = File("hidraw0");
  const std::string other = File("hidraw1");
  auto first = CHidrawLock::TryTake(node);
  ASSERT_TRUE(first);
  EXPECT_FALSE(CHidrawLock::TryTake(node));
  EXPECT_FALSE(AnotherProcessTakes(node));
  // Another device is not affected.
  EXPECT_TRUE(CHidrawLock::TryTake(other));
  first.reset();
  EXPECT_TRUE(AnotherProcessTakes(node));
  EXPECT_TRUE(CHidrawLock::TryTake(node));
  // A node that cannot be opened is a device not there.
  EXPECT_FALSE(CHidrawLock::TryTake(Path("hidraw9")));
}

TEST_F(HidrawLock, ACharacterDeviceNodeIsLockedLikeAFile) {
  // The null device's numbers, on a node of this test's own, so that nothing else
  // that locks /dev/null is in the way.
  const std::string node = Path("hidraw0");
  if (mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
    GTEST_SKIP() << "no permission to make a device node here";
  auto first = CHidrawLock::TryTake(node);
  ASSERT_TRUE(first);
  EXPECT_FALSE(AnotherProcessTakes(node));
  first.reset();
  EXPECT_TRUE(AnotherProcessTakes(node));
}

}  // namespace
