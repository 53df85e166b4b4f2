#include "app/ServiceRecorder.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/UpdaterDlg.h"
#include "res/Version.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

std::string HostName() {
#ifdef _WIN32
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (GetComputerNameA(name, &size)) return std::string(name, size);
  return {};
#else
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0) return name;
  return {};
#endif
}

std::string UserName() {
#ifdef _WIN32
  char name[257] = {};
  DWORD size = sizeof name;
  if (GetUserNameA(name, &size) && size > 0) return std::string(name, size - 1);
  const char* env = std::getenv("USERNAME");
  return env ? env : "";
#else
  // The account the process runs as, not what the environment claims; the
  // reentrant call, as a station's units write their records at once.
  passwd entry{};
  passwd* pw = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &pw) == 0 && pw != nullptr &&
      pw->pw_name != nullptr)
    return pw->pw_name;
  const char* env = std::getenv("USER");
  return env ? env : "";
#endif
}

// The stable name of a serial port: the /dev/serial/by-id link that leads to it
// (a USB adapter's vendor, model and serial number), which stays the same
// whichever ttyUSBn the adapter got this time.
std::string StableSerialName(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return {};
#else
  std::error_code ec;
  const auto target = std::filesystem::canonical(path, ec);
  if (ec) return {};
  // Adapters come and go while the folder is read: every step says its error
  // instead of throwing.
  std::filesystem::directory_iterator it("/dev/serial/by-id", ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code linkError;
    if (std::filesystem::canonical(it->path(), linkError) == target && !linkError)
      return it->path().string();
  }
  return {};
#endif
}

std::string Hex4(std::uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
  return text;
}

// What identifies the place of an outcome, in one line.
std::string DetailText(const OutcomeDetail& d) {
  std::string text = d.text;
  auto add = [&text](const std::string& part) {
    if (!part.empty()) text += (text.empty() ? "" : "; ") + part;
  };
  if (d.line > 0) add("line " + std::to_string(d.line));
  if (d.frame > 0) {
    char frame[64];
    std::snprintf(frame, sizeof frame, "frame %ld at 0x%llX", d.frame,
                  static_cast<unsigned long long>(d.address < 0 ? 0 : d.address));
    add(frame);
  }
  add(d.osError);
  return text;
}

}  // namespace

CServiceRecorder::CServiceRecorder(CUpdaterDlg& dlg)
    : m_dlg(dlg), m_program(dlg.Variant().appName) {}

void CServiceRecorder::OnStageBegun(Stage stage) {
  // An update begins with the press of Update Firmware, which opens the link.
  if (stage != Stage::kLink) return;
  m_active = true;
  m_entry = JournalEntry{};
  m_entry.begun = UtcNow();
  m_stream.Reset();
  m_bytes = 0;
  m_frames = {};
  m_resendNext = false;
}

void CServiceRecorder::OnFrameSent(const TransferFrame& /*frame*/) {
  if (!m_active) return;
  ++m_frames.sent;
  if (m_resendNext) ++m_frames.resent;
  m_resendNext = false;
}

void CServiceRecorder::OnFrameAnsweredWrongly(const TransferFrame&, const std::string&) {
  if (m_active) m_resendNext = true;
}

void CServiceRecorder::OnFrameAcknowledged(const TransferFrame& frame) {
  if (!m_active) return;
  ++m_frames.acknowledged;
  m_stream.Add(frame.bytes.data(), frame.bytes.size());
  m_bytes += frame.bytes.size();
}

std::string CServiceRecorder::Ended(const Outcome& outcome) {
  if (!m_active || outcome.stage < Stage::kLink) return {};
  // A stage that went well hands on to the next, up to the end-of-file frame.
  if (outcome.Done() && outcome.stage != Stage::kEndOfFile) return {};
  return Write(outcome);
}

std::string CServiceRecorder::Abandoned() {
  if (!m_active) return {};
  Outcome outcome{Stage::kTransfer, Result::kCancelled, Reason::kUserCancel, {}};
  outcome.detail.text = "the window was closed during the update";
  // The frames the worker posted after the window began to close are not heard
  // of: the counts and the digest are of those that were.
  outcome.detail.frames = m_frames;
  return Write(outcome);
}

std::string CServiceRecorder::Write(const Outcome& outcome) {
  m_active = false;
  JournalEntry& e = m_entry;
  e.ended = UtcNow();
  e.program = m_program;
  e.version = IAP_VERSION_STRING;
  e.variant = m_dlg.Variant().appName;
  e.host = HostName();
  e.user = UserName();
  const DeviceProfile& device = m_dlg.Profiles()[0];
  const Outcome& link = m_dlg.LinkOutcome();
  // The link opened; when none opened, the one that was asked for.
  int kind = m_dlg.OpenedLinkKind();
  if (kind == kNoLink && link.reason != Reason::kNoInterface)
    kind = m_dlg.Builder().m_interfaceKind;
  e.device = {};
  if (kind == kSerialLink) {
    e.interfaceKind = "COM";
    e.device.path = link.detail.device;
    e.device.byId = StableSerialName(e.device.path);
  } else if (kind == kHidLink) {
    e.interfaceKind = "USB";
    e.device.vidPid = Hex4(device.VID) + ":" + Hex4(device.PID);
    if (m_dlg.OpenedLinkKind() == kHidLink) {
      const CHidDevice& hid = m_dlg.HidDevice();
      e.device.hidPath = hid.OpenedPath();
      e.device.product = hid.OpenedAttributes().product;
      e.device.serial = hid.OpenedAttributes().serial;
    } else {
      // Not found: the device that was asked for, so that the records of a
      // station's units that failed to open can be told apart.
      e.device.hidPath = m_dlg.HidDevice().Selected().path;
      e.device.serial = m_dlg.HidDevice().Selected().serial;
    }
  }
  e.firmware = m_dlg.Firmware();
  // The device map in force is the last section the configuration read.
  if (m_dlg.DeviceCount() > 0)
    e.profile.section = "DEVICE" + std::to_string(m_dlg.DeviceCount() - 1);
  e.profile.romHead = ActiveProfile.ROMHEAD;
  e.profile.romTail = ActiveProfile.ROMTAIL;
  e.profile.recordSize = ActiveProfile.recordSize;
  e.profile.baudRate = static_cast<long>(ActiveProfile.COMMUNICATBDRATE);
  e.profile.programBaudRate = static_cast<long>(ActiveProfile.PROGRAMBDRATE);
  e.framesSent = outcome.detail.frames.sent;
  e.framesAcknowledged = outcome.detail.frames.acknowledged;
  e.framesResent = outcome.detail.frames.resent;
  e.bytes = m_bytes;
  e.streamSha256 = m_bytes > 0 ? m_stream.Hex() : std::string();
  e.stage = StageName(outcome.stage);
  e.result = ResultName(outcome.result);
  e.reason = ReasonName(outcome.reason);
  e.detail = DetailText(outcome.detail);

  m_lastPath = DefaultJournalPath();
  const JournalWrite written = AppendJournal(m_lastPath, e);
  if (written.ok) return {};
  return "Service journal could not be written: " + m_lastPath + " (" + written.reason + ")";
}
