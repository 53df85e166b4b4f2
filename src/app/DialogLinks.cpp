// The two links of the interface list: USB HID and the serial ports COM1..COM9.

#include <cstdio>
#include <string>

#include "app/DialogLink.h"
#include "app/UpdaterDlg.h"
#include "link/os/SerialChannel.h"
#include "update/HidIapLink.h"
#include "update/SerialIapLink.h"

namespace {

// "VID:PID" as the inventory shows it, "0483:5750"; an id too large for USB is
// shown whole, as it was searched for.
std::string UsbIds(std::uint32_t vid, std::uint32_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X:%04X", vid, pid);
  return text;
}

Reason PortReason(SerialOpenFault fault) {
  switch (fault) {
    case SerialOpenFault::kNotFound:
      return Reason::kPortNotFound;
    case SerialOpenFault::kBusy:
      return Reason::kPortBusy;
    case SerialOpenFault::kPermission:
      return Reason::kPermission;
    case SerialOpenFault::kNotSerial:
      return Reason::kNotSerialPort;
    case SerialOpenFault::kNone:
    case SerialOpenFault::kOther:
      break;
  }
  return Reason::kPortOpenFailed;
}

void Fail(Outcome& outcome, Reason reason) {
  outcome.result = Result::kFailed;
  outcome.reason = reason;
}

}  // namespace

class CHidDialogLink final : public CDialogLink {
 public:
  explicit CHidDialogLink(CUpdaterDlg& dlg) : m_dlg(dlg), m_iap(dlg.m_hid, dlg.m_reply) {}

  static std::vector<std::string> ListEntries() { return {"USB"}; }
  std::vector<std::string> Entries() const override { return ListEntries(); }
  InterfaceKind Kind() const override { return kHidLink; }

  bool Open(const std::string&, Outcome& outcome) override {
    const DeviceProfile& device = m_dlg.m_profiles[0];
    m_dlg.Log("Open The HID Interface!");
    outcome.detail.device = UsbIds(device.VID, device.PID);
    if (!m_dlg.m_hid.Open(device.VID, device.PID)) {
      m_dlg.Log("Can not find the HID Device!");
      Fail(outcome, Reason::kNoDevice);
      return false;
    }
    m_dlg.Log("Find the HID Device OK!");
    return true;
  }

  bool BeforeHandshake(Outcome& handshake) override {
    if (!m_dlg.m_hid.IsOpen()) {
      m_dlg.Log("Can't communicate with the UPS,please check the USB cable connection");
      handshake.reason = Reason::kNoDevice;
      return false;
    }
    m_dlg.m_hid.SetPacedFor9600(ActiveProfile.PROGRAMBDRATE == 9600);
    return true;
  }

  IIapLink& Iap() override { return m_iap; }

  void NotReady(Reason reason) override {
    m_dlg.Log("UPS no ready for firmware update");
    m_dlg.m_hid.Close();
    m_dlg.AppMessageBox("Firmware update check ready error", BoxIcon::kWarning, reason);
  }

  void Ready() override { m_dlg.m_transfer.deviceReady = 1; }

 private:
  CUpdaterDlg& m_dlg;
  CHidIapLink m_iap;
};

class CSerialDialogLink final : public CDialogLink {
 public:
  static constexpr int kPorts = 9;

  explicit CSerialDialogLink(CUpdaterDlg& dlg) : m_dlg(dlg), m_iap(dlg.m_serial) {}

  static std::vector<std::string> ListEntries() {
    std::vector<std::string> entries;
    for (int port = 1; port <= kPorts; ++port) entries.push_back("COM" + std::to_string(port));
    return entries;
  }
  std::vector<std::string> Entries() const override { return ListEntries(); }
  InterfaceKind Kind() const override { return kSerialLink; }

  bool Open(const std::string& entry, Outcome& outcome) override {
    m_dlg.m_serial.Close();
    // An entry that names no port (nothing chosen) keeps the last port.
    for (int n = 1; n <= kPorts; ++n) {
      if (entry == "COM" + std::to_string(n)) m_dlg.m_comPort = n;
    }
    const int port = m_dlg.m_comPort;
    outcome.detail.device = m_dlg.m_serial.DeviceFor(port);
    if (m_dlg.m_serial.Open(port, static_cast<int>(ActiveProfile.COMMUNICATBDRATE))) {
      m_dlg.Log("Com" + std::to_string(port) + " Is Finded");
      return true;
    }
    const SerialOpenError error = m_dlg.m_serial.LastOpenError();
    Fail(outcome, PortReason(error.fault));
    outcome.detail.osError = error.message;
    m_dlg.AppMessageBox(
        "Can Not Open Com" + std::to_string(port) + ",Please Choose the right Com Port",
        BoxIcon::kWarning, outcome.reason);
    m_dlg.Log("Can Not Open Com" + std::to_string(port) + " !");
    return false;
  }

  bool BeforeHandshake(Outcome&) override { return true; }
  IIapLink& Iap() override { return m_iap; }

  void NotReady(Reason reason) override {
    m_dlg.Log("Can't communicate with UPS, please check the RS232 cable connection.");
    m_dlg.WindowMessageBox("Firmware update check ready error", reason);
    m_dlg.m_serial.Close();
    m_dlg.Log("UPS firmware update fault");
  }

  // The serial programmer takes no baud-rate command: the link itself moves to
  // the programming rate between the ready reply and the first frame.
  // ("UPS firmware update completed" is logged by the transfer, once the device
  // took the whole image.)
  void Ready() override {
    m_dlg.m_serial.Close();
    m_dlg.m_serial.Open(m_dlg.m_comPort, ActiveProfile.PROGRAMBDRATE == 9600 ? 9600 : 2400);
  }

 private:
  CUpdaterDlg& m_dlg;
  CSerialIapLink m_iap;
};

namespace {

template <typename Row>
std::unique_ptr<CDialogLink> Make(CUpdaterDlg& dlg) {
  return std::make_unique<Row>(dlg);
}

// The link table: one row for each link, in the order of the interface list.
struct LinkTableRow {
  std::vector<std::string> (*entries)();
  std::unique_ptr<CDialogLink> (*make)(CUpdaterDlg&);
};
const LinkTableRow kLinkTable[] = {
    {&CHidDialogLink::ListEntries, &Make<CHidDialogLink>},
    {&CSerialDialogLink::ListEntries, &Make<CSerialDialogLink>},
};

}  // namespace

std::vector<std::unique_ptr<CDialogLink>> MakeDialogLinks(CUpdaterDlg& dlg) {
  std::vector<std::unique_ptr<CDialogLink>> links;
  for (const LinkTableRow& row : kLinkTable) links.push_back(row.make(dlg));
  return links;
}

std::vector<std::string> InterfaceListEntries() {
  std::vector<std::string> entries;
  for (const LinkTableRow& row : kLinkTable) {
    for (std::string& entry : row.entries()) entries.push_back(std::move(entry));
  }
  return entries;
}
