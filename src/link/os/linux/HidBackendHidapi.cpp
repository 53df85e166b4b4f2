// HID devices on Linux through hidapi's hidraw backend.
//
// Two things differ from Windows and are made up for here, so that the rest of
// the system sees the same reports and byte counts everywhere: hidraw has no
// capabilities record, so the report lengths are worked out from the report
// descriptor the kernel exposes in sysfs; and hidraw delivers the input reports
// of a device that numbers no reports without the report-id byte, which is put
// back in front (as 0) here.
//
// One updater per device: the node is locked (see HidrawLock.h) from the first
// handle opened for use until the probe and both handles are closed, and a node
// another updater holds is passed over like one that is not there.

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>

#include "link/os/HidChannel.h"
#include "link/os/Utf8.h"
#include "link/os/linux/HidrawLock.h"
#include "link/os/linux/HidrawReports.h"
#include "link/os/socket/HidBackendSocket.h"
#include "link/os/socket/HidSocketProtocol.h"

namespace {

constexpr long kTimedOutError = ETIMEDOUT;

struct HidapiLibrary {
  HidapiLibrary() { hid_init(); }
  ~HidapiLibrary() { hid_exit(); }
};

void EnsureHidapi() { static HidapiLibrary library; }

struct DeviceCloser {
  void operator()(hid_device* device) const { hid_close(device); }
};
using DevicePtr = std::unique_ptr<hid_device, DeviceCloser>;
using LockPtr = std::shared_ptr<CHidrawLock>;

class CHidapiWriteHandle final : public IHidWriteHandle {
 public:
  CHidapiWriteHandle(LockPtr lock, DevicePtr device)
      : m_lock(std::move(lock)), m_device(std::move(device)) {}

  int WriteReport(const std::uint8_t* report, int length, int /*timeoutMs*/,
                  const std::atomic<bool>* abort) override {
    if (HidAbortRequested(abort)) return kHidAborted;
    // hidraw's write blocks until the kernel has handed the report to the device;
    // the USB layer gives up on a device that does not take it and says so.
    errno = 0;
    if (hid_write(m_device.get(), report, static_cast<size_t>(length)) >= 0) return 1;
    m_lastError = errno;
    return errno == ETIMEDOUT ? kHidTimedOut : kHidFailed;
  }
  long LastError() const override { return m_lastError; }

 private:
  LockPtr m_lock;  // let go after the device is closed
  DevicePtr m_device;
  long m_lastError = 0;
};

class CHidapiReadHandle final : public IHidReadHandle {
 public:
  CHidapiReadHandle(LockPtr lock, DevicePtr device, bool numberedReports)
      : m_lock(std::move(lock)), m_device(std::move(device)), m_numberedReports(numberedReports) {}

  int ReadReport(std::uint8_t* buffer, int length, int timeoutMs,
                 const std::atomic<bool>* abort) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t raw[256];
    for (;;) {
      if (HidAbortRequested(abort)) return kHidAborted;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        m_lastError = kTimedOutError;
        return kHidTimedOut;
      }
      const int slice = static_cast<int>(std::min<long long>(left, kHidAbortSliceMs));
      errno = 0;
      const int got = hid_read_timeout(m_device.get(), raw, sizeof raw, slice);
      if (got < 0) {
        m_lastError = errno != 0 ? errno : EIO;
        return kHidFailed;
      }
      if (got == 0) continue;
      return ToWindowsInputReport(raw, got, m_numberedReports, buffer, length);
    }
  }
  long LastError() const override { return m_lastError; }

 private:
  LockPtr m_lock;  // let go after the device is closed
  DevicePtr m_device;
  bool m_numberedReports;
  long m_lastError = 0;
};

// hidapi's wide strings (UTF-32 on Linux) as UTF-8; empty for none.
std::string Utf8Of(const wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text != 0; ++text) {
    auto c = static_cast<std::uint32_t>(*text);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    AppendUtf8(out, c);
  }
  return out;
}

class CHidapiProbe final : public IHidProbe {
 public:
  CHidapiProbe(std::string path, const HidAttributes& attributes)
      : m_path(std::move(path)), m_attributes(attributes) {}

  bool GetAttributes(HidAttributes& attributes) override {
    CopyIdentity(m_attributes, attributes);
    return true;
  }
  bool GetReportLengths(HidAttributes& attributes) override {
    if (!ReadHidrawReportLayout(m_path, m_layout)) return false;
    attributes.inputReportLength = m_layout.inputReportLength;
    attributes.outputReportLength = m_layout.outputReportLength;
    return true;
  }
  std::unique_ptr<IHidWriteHandle> OpenWriteHandle() override {
    LockPtr lock = Claim();
    if (!lock) return nullptr;
    DevicePtr device(hid_open_path(m_path.c_str()));
    if (!device) return nullptr;
    return std::make_unique<CHidapiWriteHandle>(std::move(lock), std::move(device));
  }
  std::unique_ptr<IHidReadHandle> OpenReadHandle() override {
    LockPtr lock = Claim();
    if (!lock) return nullptr;
    DevicePtr device(hid_open_path(m_path.c_str()));
    if (!device) return nullptr;
    return std::make_unique<CHidapiReadHandle>(std::move(lock), std::move(device),
                                               m_layout.numberedReports);
  }

 private:
  // The node's lock, taken by the first handle opened for use and shared by the
  // probe and both handles; nullptr while another updater holds the device.
  LockPtr Claim() {
    if (!m_lock) m_lock = CHidrawLock::TryTake(m_path);
    return m_lock;
  }

  LockPtr m_lock;
  std::string m_path;
  HidAttributes m_attributes;
  HidReportLayout m_layout;
};

class CHidapiBackend final : public IHidBackend {
 public:
  CHidapiBackend() { EnsureHidapi(); }

  std::vector<std::string> Enumerate() override {
    // The ids and release numbers come with the enumeration, so no device is
    // opened just to be looked at; the list itself is released at once.
    m_present.clear();
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(0, 0);
    for (const hid_device_info* info = list; info != nullptr; info = info->next) {
      if (info->path == nullptr) continue;
      // hidapi lists an interface once per top-level usage; it is one device.
      const std::string path = info->path;
      if (m_present.count(path) != 0) continue;
      HidAttributes attributes;
      attributes.vendorId = info->vendor_id;
      attributes.productId = info->product_id;
      attributes.versionNumber = info->release_number;
      attributes.product = Utf8Of(info->product_string);
      attributes.serial = Utf8Of(info->serial_number);
      m_present.emplace(path, attributes);
      paths.push_back(path);
    }
    hid_free_enumeration(list);
    return paths;
  }

  std::unique_ptr<IHidProbe> OpenProbe(const std::string& path) override {
    const auto it = m_present.find(path);
    if (it == m_present.end()) return nullptr;
    return std::make_unique<CHidapiProbe>(path, it->second);
  }

 private:
  std::map<std::string, HidAttributes> m_present;
};

}  // namespace

std::unique_ptr<IHidBackend> MakePlatformHidBackend() {
  if (const char* socketPath = std::getenv(hidsock::kEnvVar);
      socketPath != nullptr && *socketPath != '\0')
    return MakeSocketHidBackend(socketPath);
  return std::make_unique<CHidapiBackend>();
}
