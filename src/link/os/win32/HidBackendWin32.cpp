// HID devices on Windows: SetupAPI lists the interfaces of the HID class, the HID
// class library gives each one's attributes and capabilities, and reports move
// with overlapped ReadFile/WriteFile so that every wait has its time limit.
//
// One updater per device: a named mutex (see HidPathMutex.h) is taken with the
// first handle opened for use and held until the probe and both handles are
// closed; a device another updater holds is passed over like one not there.

#include <windows.h>
// windows.h first: the SetupAPI and HID headers build on its types. The HID
// class library's header declares plain C functions without saying so.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/os/HidChannel.h"
#include "link/os/win32/HidPathMutex.h"

namespace {

constexpr DWORD kMaxInterfaces = 4096;  // a bound on the index walk, far above any bus

using ClaimPtr = std::shared_ptr<CHidPathMutex>;

class CHandle {
 public:
  explicit CHandle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
  ~CHandle() {
    if (Valid()) CloseHandle(m_handle);
  }
  CHandle(const CHandle&) = delete;
  CHandle& operator=(const CHandle&) = delete;
  bool Valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
  HANDLE Get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

// One overlapped transfer at a time on a handle of its own, with its own event.
// The transfer's buffer belongs to this object, so a request that has to be
// cancelled never writes into memory its caller has already reused.
class COverlappedIo {
 public:
  explicit COverlappedIo(HANDLE file)
      : m_file(file), m_event(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
  bool Valid() const { return m_file.Valid() && m_event.Valid(); }

  // Runs one ReadFile or WriteFile on the internal buffer; the count, kHidTimedOut,
  // kHidFailed or kHidAborted. Anything that did not complete is cancelled and
  // waited for before this returns.
  int Transfer(bool write, int length, int timeoutMs, const std::atomic<bool>* abort) {
    ResetEvent(m_event.Get());
    OVERLAPPED overlapped{};
    overlapped.hEvent = m_event.Get();
    const DWORD size = static_cast<DWORD>(length);
    const BOOL started = write
                             ? WriteFile(m_file.Get(), m_buffer.data(), size, nullptr, &overlapped)
                             : ReadFile(m_file.Get(), m_buffer.data(), size, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
      m_lastError = static_cast<long>(GetLastError());
      return kHidFailed;
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      const DWORD slice =
          now >= deadline
              ? 0
              : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kHidAbortSliceMs));
      const DWORD wait = WaitForSingleObject(m_event.Get(), slice);
      if (wait == WAIT_OBJECT_0) {
        DWORD done = 0;
        if (!GetOverlappedResult(m_file.Get(), &overlapped, &done, TRUE)) {
          m_lastError = static_cast<long>(GetLastError());
          return kHidFailed;
        }
        return static_cast<int>(done);
      }
      int result = 0;
      if (wait != WAIT_TIMEOUT) {
        m_lastError = static_cast<long>(GetLastError());
        result = kHidFailed;
      } else if (HidAbortRequested(abort)) {
        result = kHidAborted;
      } else if (slice == 0) {
        // The code the platform left from the request still pending.
        m_lastError = static_cast<long>(GetLastError());
        result = kHidTimedOut;
      }
      if (result != 0) {
        CancelIo(m_file.Get());
        DWORD done = 0;
        GetOverlappedResult(m_file.Get(), &overlapped, &done, TRUE);
        return result;
      }
    }
  }

  std::uint8_t* Buffer() { return m_buffer.data(); }
  int Capacity() const { return static_cast<int>(m_buffer.size()); }
  long LastError() const { return m_lastError; }

 private:
  CHandle m_file;
  CHandle m_event;
  std::vector<std::uint8_t> m_buffer = std::vector<std::uint8_t>(256);
  long m_lastError = 0;
};

class CWin32WriteHandle final : public IHidWriteHandle {
 public:
  CWin32WriteHandle(ClaimPtr claim, HANDLE file) : m_claim(std::move(claim)), m_io(file) {}
  bool Valid() const { return m_io.Valid(); }
  int WriteReport(const std::uint8_t* report, int length, int timeoutMs,
                  const std::atomic<bool>* abort) override {
    if (length <= 0 || length > m_io.Capacity()) return kHidFailed;
    std::memcpy(m_io.Buffer(), report, static_cast<std::size_t>(length));
    const int result = m_io.Transfer(true, length, timeoutMs, abort);
    return result >= 0 ? 1 : result;
  }
  long LastError() const override { return m_io.LastError(); }

 private:
  ClaimPtr m_claim;  // let go after the handle is closed
  COverlappedIo m_io;
};

class CWin32ReadHandle final : public IHidReadHandle {
 public:
  CWin32ReadHandle(ClaimPtr claim, HANDLE file) : m_claim(std::move(claim)), m_io(file) {}
  bool Valid() const { return m_io.Valid(); }
  int ReadReport(std::uint8_t* buffer, int length, int timeoutMs,
                 const std::atomic<bool>* abort) override {
    if (length <= 0 || length > m_io.Capacity()) return kHidFailed;
    const int result = m_io.Transfer(false, length, timeoutMs, abort);
    if (result <= 0) return result == 0 ? kHidFailed : result;
    std::memcpy(buffer, m_io.Buffer(), static_cast<std::size_t>(std::min(result, length)));
    return result;
  }
  long LastError() const override { return m_io.LastError(); }

 private:
  ClaimPtr m_claim;  // let go after the handle is closed
  COverlappedIo m_io;
};

HANDLE OpenPath(const std::string& path, DWORD access, DWORD flags) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

class CWin32Probe final : public IHidProbe {
 public:
  CWin32Probe(std::string path, HANDLE probe) : m_path(std::move(path)), m_probe(probe) {}

  bool GetAttributes(HidAttributes& attributes) override {
    HIDD_ATTRIBUTES hid{};
    hid.Size = sizeof hid;
    if (!HidD_GetAttributes(m_probe.Get(), &hid)) return false;
    attributes.vendorId = hid.VendorID;
    attributes.productId = hid.ProductID;
    attributes.versionNumber = hid.VersionNumber;
    attributes.product = DeviceString(HidD_GetProductString);
    attributes.serial = DeviceString(HidD_GetSerialNumberString);
    return true;
  }

  // A USB string of the device as UTF-8; empty when it has none.
  template <class Getter>
  std::string DeviceString(Getter get) {
    wchar_t text[127] = {};  // the longest USB string descriptor, and a terminator
    if (!get(m_probe.Get(), text, sizeof text - sizeof text[0])) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
  }

  bool GetReportLengths(HidAttributes& attributes) override {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(m_probe.Get(), &preparsed)) return false;
    HIDP_CAPS caps{};
    const bool ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    if (!ok) return false;
    attributes.inputReportLength = caps.InputReportByteLength;
    attributes.outputReportLength = caps.OutputReportByteLength;
    return true;
  }

  // Both report handles are overlapped, so that a report the device does not
  // take or give within its time is cancelled rather than waited for forever.
  std::unique_ptr<IHidWriteHandle> OpenWriteHandle() override {
    ClaimPtr claim = Claim();
    if (!claim) return nullptr;
    auto handle = std::make_unique<CWin32WriteHandle>(
        std::move(claim), OpenPath(m_path, GENERIC_WRITE, FILE_FLAG_OVERLAPPED));
    if (!handle->Valid()) return nullptr;
    return handle;
  }
  std::unique_ptr<IHidReadHandle> OpenReadHandle() override {
    ClaimPtr claim = Claim();
    if (!claim) return nullptr;
    auto handle = std::make_unique<CWin32ReadHandle>(
        std::move(claim), OpenPath(m_path, GENERIC_READ, FILE_FLAG_OVERLAPPED));
    if (!handle->Valid()) return nullptr;
    return handle;
  }

 private:
  // The device's mutex, taken by the first handle opened for use and shared by
  // the probe and both handles; nullptr while another updater holds the device.
  ClaimPtr Claim() {
    if (!m_claim) m_claim = CHidPathMutex::TryTake(m_path);
    return m_claim;
  }

  ClaimPtr m_claim;
  std::string m_path;
  CHandle m_probe;
};

class CWin32Backend final : public IHidBackend {
 public:
  std::vector<std::string> Enumerate() override {
    std::vector<std::string> paths;
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    for (DWORD index = 0; index < kMaxInterfaces; ++index) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, index, &data)) {
        if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
        continue;
      }
      DWORD needed = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
      if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
      std::vector<std::uint8_t> storage(needed);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr)) continue;
      paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
  }

  std::unique_ptr<IHidProbe> OpenProbe(const std::string& path) override {
    HANDLE probe = OpenPath(path, GENERIC_READ | GENERIC_WRITE, 0);
    if (probe == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<CWin32Probe>(path, probe);
  }
};

}  // namespace

std::unique_ptr<IHidBackend> MakePlatformHidBackend() { return std::make_unique<CWin32Backend>(); }
