// One updater per HID device on Windows: the named mutex keyed on the device path
// that turns a second updater away. There is no HID device under wine, so the
// mutex is taken for device paths of the shape SetupAPI gives.

#include <gtest/gtest.h>

#include <string>

#include "link/os/win32/HidPathMutex.h"

namespace {

const std::string kPath =
    R"(\\?\hid#vid_0483&pid_5750#7&1b2c3d4&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
const std::string kOtherPath =
    R"(\\?\hid#vid_0483&pid_5750#7&1b2c3d4&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030})";

TEST(HidPathMutex, OneHolderPerDevicePathUntilItLetsGo) {
  auto first = CHidPathMutex::TryTake(kPath);
  ASSERT_TRUE(first);  // the path's backslashes do not stop the name
  EXPECT_FALSE(CHidPathMutex::TryTake(kPath));
  // Windows compares device paths without letter case.
  EXPECT_FALSE(CHidPathMutex::TryTake(
      R"(\\?\HID#VID_0483&PID_5750#7&1B2C3D4&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030})"));
  // Another device is not affected.
  EXPECT_TRUE(CHidPathMutex::TryTake(kOtherPath));
  first.reset();
  EXPECT_TRUE(CHidPathMutex::TryTake(kPath));
}

}  // namespace
