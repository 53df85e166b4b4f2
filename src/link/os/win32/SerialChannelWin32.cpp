// Serial ports on Windows: COMn opened for overlapped I/O, reads that return at
// once with what the driver holds, and one write request per byte.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "link/os/SerialChannel.h"
#include "link/os/win32/SystemMessage.h"

namespace {

constexpr DWORD kInputQueue = 10000;
constexpr DWORD kOutputQueue = 10000;
constexpr DWORD kWriteTotalConstantMs = 5000;
constexpr DWORD kReadPendingWaitMs = 2000;

// One byte's write. The byte lives in the request, not in the caller's block: the
// driver may still be sending it after the caller has moved on.
struct WriteRequest {
  OVERLAPPED overlapped{};
  HANDLE event = nullptr;
  std::uint8_t byte = 0;

  WriteRequest() { event = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~WriteRequest() {
    if (event != nullptr) CloseHandle(event);
  }
  WriteRequest(const WriteRequest&) = delete;
  WriteRequest& operator=(const WriteRequest&) = delete;
};

// The system's own words for a Win32 error code, with the code.
std::string OpenErrorText(DWORD error) {
  return SystemMessage(error) + " (Windows error " + std::to_string(error) + ")";
}

class CWin32SerialChannel final : public ISerialChannel {
 public:
  ~CWin32SerialChannel() override { Close(); }

  SerialOpenError LastOpenError() const override { return m_openError; }

  bool Open(int portNumber, int baud) override {
    Close();
    const std::string name = DeviceFor(portNumber);
    m_openError = {};
    HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      // A COM port held by another program answers "access denied": it is taken
      // exclusively, so that is the busy port.
      const DWORD error = GetLastError();
      SerialOpenFault fault = SerialOpenFault::kOther;
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        fault = SerialOpenFault::kNotFound;
      } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        fault = SerialOpenFault::kBusy;
      }
      m_openError = {fault, OpenErrorText(error)};
      return false;
    }

    // A read returns at once with whatever has arrived; a write gives up after 5 s.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalConstantMs;
    SetCommTimeouts(port, &timeouts);

    HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto write = std::make_unique<WriteRequest>();

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(port, &dcb) != FALSE;
    // A file or a device that is no COM port has no comm state; a port whose
    // driver refuses the settings is a port all the same.
    if (!ok) m_openError = {SerialOpenFault::kNotSerial, OpenErrorText(GetLastError())};
    if (ok) {
      dcb.BaudRate = static_cast<DWORD>(baud);
      dcb.ByteSize = 8;
      // Parity, stop bits and hardware handshake stay as the port has them. What
      // would change the bytes themselves is turned off: XON/XOFF taken out of the
      // data, NUL bytes dropped, error replacement characters, and a line error
      // stopping all I/O until it is cleared.
      dcb.fBinary = TRUE;
      dcb.fOutX = FALSE;
      dcb.fInX = FALSE;
      dcb.fNull = FALSE;
      dcb.fErrorChar = FALSE;
      dcb.fAbortOnError = FALSE;
      ok = SetCommState(port, &dcb) != FALSE;
      if (!ok) m_openError = {SerialOpenFault::kOther, OpenErrorText(GetLastError())};
    }
    const bool queuesSet = ok && SetupComm(port, kInputQueue, kOutputQueue) != FALSE;
    if (ok && !queuesSet) m_openError = {SerialOpenFault::kOther, OpenErrorText(GetLastError())};
    if (!ok || !queuesSet || readEvent == nullptr || write->event == nullptr) {
      if (m_openError.fault == SerialOpenFault::kNone) {
        m_openError = {SerialOpenFault::kOther, "no event for the port's I/O"};
      }
      if (readEvent != nullptr) CloseHandle(readEvent);
      CloseHandle(port);
      return false;
    }
    // A freshly opened port starts with both queues empty.
    PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    m_port = port;
    m_readEvent = readEvent;
    m_write = std::move(write);
    return true;
  }

  void Close() override {
    if (m_port == INVALID_HANDLE_VALUE) return;
    // Writes still in flight are cancelled and waited for before their requests
    // (and the bytes in them) go away.
    CancelIo(m_port);
    for (auto& request : m_stillPending) {
      DWORD done = 0;
      GetOverlappedResult(m_port, &request->overlapped, &done, TRUE);
    }
    m_stillPending.clear();
    m_write.reset();
    CloseHandle(m_readEvent);
    m_readEvent = nullptr;
    CloseHandle(m_port);
    m_port = INVALID_HANDLE_VALUE;
  }

  bool WriteByte(std::uint8_t byte, int timeoutMs) override {
    if (m_port == INVALID_HANDLE_VALUE) return false;
    ForgetFinishedWrites();
    if (!m_write) {
      m_write = std::make_unique<WriteRequest>();
      if (m_write->event == nullptr) {
        m_write.reset();
        return false;
      }
    }
    WriteRequest& request = *m_write;
    ResetEvent(request.event);
    request.overlapped = OVERLAPPED{};
    request.overlapped.hEvent = request.event;
    request.byte = byte;
    DWORD written = 0;
    if (WriteFile(m_port, &request.byte, 1, nullptr, &request.overlapped)) {
      return GetOverlappedResult(m_port, &request.overlapped, &written, FALSE) && written == 1;
    }
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(request.event, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
      return GetOverlappedResult(m_port, &request.overlapped, &written, FALSE) && written == 1;
    }
    // Not done in time. The request stays with the driver until it completes (or
    // the port is closed); the next byte gets a request of its own, so nothing
    // here touches the one still in flight.
    m_stillPending.push_back(std::move(m_write));
    return false;
  }

  int BytesWaiting() override {
    if (m_port == INVALID_HANDLE_VALUE) return -1;
    DWORD errors = 0;
    COMSTAT status{};
    // The line error flags are read and cleared here and otherwise not looked at.
    if (!ClearCommError(m_port, &errors, &status)) return -1;
    return static_cast<int>(status.cbInQue);
  }

  int Read(std::uint8_t* buffer, int n) override {
    if (m_port == INVALID_HANDLE_VALUE || n <= 0) return -1;
    ResetEvent(m_readEvent);
    OVERLAPPED overlapped{};
    overlapped.hEvent = m_readEvent;
    DWORD got = 0;
    if (ReadFile(m_port, buffer, static_cast<DWORD>(n), nullptr, &overlapped)) {
      return GetOverlappedResult(m_port, &overlapped, &got, FALSE) ? static_cast<int>(got) : -1;
    }
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    // With the time-outs set at open a read does not stay pending; should one do
    // so anyway, it is cancelled and finished here, because it reads into the
    // caller's buffer. Whatever it did read is handed on, not lost.
    if (WaitForSingleObject(m_readEvent, kReadPendingWaitMs) != WAIT_OBJECT_0) CancelIo(m_port);
    if (!GetOverlappedResult(m_port, &overlapped, &got, TRUE)) return 0;
    return static_cast<int>(got);
  }

  void WaitForInput(int timeoutMs) override {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    // A port that reports errors is waited on all the same, so a caller's loop
    // does not spin through its time limit.
    while (BytesWaiting() <= 0 && GetTickCount64() < end) Sleep(1);
  }

 private:
  void ForgetFinishedWrites() {
    for (auto it = m_stillPending.begin(); it != m_stillPending.end();) {
      if (HasOverlappedIoCompleted(&(*it)->overlapped))
        it = m_stillPending.erase(it);
      else
        ++it;
    }
  }

  SerialOpenError m_openError;
  HANDLE m_port = INVALID_HANDLE_VALUE;
  HANDLE m_readEvent = nullptr;
  std::unique_ptr<WriteRequest> m_write;
  std::vector<std::unique_ptr<WriteRequest>> m_stillPending;
};

}  // namespace

std::string SerialDevicePath(int portNumber) {
  if (auto bound = BoundSerialDevice(portNumber)) return *bound;
  return "\\\\.\\COM" + std::to_string(portNumber);
}

std::unique_ptr<ISerialChannel> MakePlatformSerialChannel() {
  return std::make_unique<CWin32SerialChannel>();
}
