#pragma once
// The main dialog: every handler and all the state of an update, free of any
// toolkit. A face (Qt window, Win32 dialog, iapflash console, test script)
// supplies the CWindowSystem and forwards the user's commands to the On* handlers.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/DialogLink.h"
#include "app/HScrollListBox.h"
#include "app/ServiceRecorder.h"
#include "app/UpdateListener.h"
#include "app/WindowSystem.h"
#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"
#include "journal/Journal.h"
#include "link/HidDevice.h"
#include "link/SerialPort.h"
#include "res/Variant.h"
#include "trust/Minisign.h"
#include "update/IapLink.h"
#include "update/Transfer.h"

class CUpdaterDlg {
 public:
  CUpdaterDlg(CWindowSystem& ws, const VariantStrings& variant);
  ~CUpdaterDlg();
  CUpdaterDlg(const CUpdaterDlg&) = delete;
  CUpdaterDlg& operator=(const CUpdaterDlg&) = delete;

  // --- framework handlers
  bool OnInitDialog();
  // The dialog of one unit of a production station: set up as OnInitDialog sets
  // it up, but with the configuration and the image that prepared (a dialog whose
  // File succeeded, idle from now on) read, checked and wrote, instead of reading
  // them again. Update Firmware is then enabled; the unit's own link is chosen by
  // the caller (SerialPort().SetDevice, HidDevice().Select, the interface list).
  void OnInitUnit(const CUpdaterDlg& prepared);
  // A cancel that stands for every transfer from now on (a station's): once it is
  // true, a transfer that has not begun stops before its first frame.
  void SetStandingCancel(const std::atomic<bool>* cancel) { m_standingCancel = cancel; }
  void OnSysCommand(unsigned id, long param);
  void OnPaint();
  // Ends the dialog: stops accepting worker calls and waits for a running worker
  // to leave (it gives up at its next step). Called by the face when the window
  // closes, and by the destructor.
  void Shutdown();
  // The user asks to close the window: Exit, Enter on the default button, Escape
  // or the close box. Closing while a transfer worker runs leaves the device with
  // half an image, so the technician is asked first; No, the default, keeps the
  // transfer going and the window open. True when the window may close: the face
  // then closes it as it always has, through Shutdown. With no worker running
  // nothing is asked.
  bool QueryClose();

  // --- button handlers
  void OnFileButton();      // control 1005
  void OnUpdateFirmware();  // control 1006
  void OnCancelUpdate();    // control 1009
  // A firmware file named without the file dialog (dropped on the window): File's
  // work from the chosen path on. Only while File is enabled and no build runs;
  // false, and nothing done, otherwise.
  bool OnFileChosen(const std::string& path);

  // Every stage begun and ended, log line, box, frame and progress from now on
  // goes to listener too (on the user-interface thread), until it is removed.
  void AddListener(IUpdateListener& listener);
  void RemoveListener(IUpdateListener& listener);

  // --- operations
  void LoadConfiguration();
  bool BuildImage(const std::string& path);
  int LoadImageFile(const std::string& path);
  // Opens the link of the interface list's choice, or of the last choice when
  // nothing is chosen (m_openLink, m_interfaceKind); or says why not in
  // m_linkOutcome.
  void OpenSelectedInterface();
  // The combo box's choice as the builder's interface kind, the kind of the link
  // whose entry it is; otherwise logs "Please select interface", keeps the kind
  // and returns false.
  bool TakeInterfaceChoice();
  // The row of the link table whose entry text is; nullptr for none.
  CDialogLink* LinkFor(const std::string& text) const;
  // Puts the programmer into programming mode over link with command, then
  // starts the transfer worker.
  void Handshake(CDialogLink& link, const std::vector<std::uint8_t>& command);
  // Runs the shared transfer over link with this dialog as its host.
  void RunTransferOver(IIapLink& link);

  // --- helpers usable from any thread (a worker's calls run on the UI thread)
  void Log(const std::string& text, LogKind kind = LogKind::kPlain);
  void AppMessageBox(const std::string& text, BoxIcon icon = BoxIcon::kWarning,
                     Reason reason = Reason::kNone);
  // Caption "ERROR", no icon.
  void WindowMessageBox(const std::string& text, Reason reason = Reason::kNone);
  void BeginStage(Stage stage);
  void EndStage(const Outcome& outcome);
  // Calls fn for every listener, on the user-interface thread, and waits.
  void Emit(const std::function<void(IUpdateListener&)>& fn);
  // The same without waiting, for the events of every frame: fn (which holds
  // copies of what it tells) runs in order with every other call to the window.
  void Post(std::function<void(IUpdateListener&)> fn);
  void EnableControl(int id, bool enabled);
  void SetControlText(int id, const std::string& text);
  void SetProgress(int pos);

  // True once the window is going away: a worker ends at its next step, silently.
  bool Closing() const { return m_closing.load(); }
  // True while a worker thread runs (faces: wait for it before leaving).
  bool WorkerRunning() const { return m_workerRunning.load(); }
  // Waits for the last worker to end (the caller keeps draining UI calls).
  void JoinWorker();
  // Starts body on the worker thread; the worker counts as running until body
  // returns. One worker serves every link.
  void StartWorker(std::function<void()> body);

  CWindowSystem& Ws() { return m_ws; }
  const VariantStrings& Variant() const { return m_variant; }

  // --- what the tools and tests see of the dialog's state
  // The device sections as read from the configuration file (section 0 is the
  // device looked for on USB and the FLASHCMD sent).
  std::array<DeviceProfile, kProfileTableSize>& Profiles() { return m_profiles; }
  const std::array<DeviceProfile, kProfileTableSize>& Profiles() const { return m_profiles; }
  std::uint32_t DeviceCount() const { return m_deviceCount; }
  CImageBuilder& Builder() { return m_builder; }
  const CImageBuilder& Builder() const { return m_builder; }
  // The links' devices, with their OS seams (tests put fakes behind them).
  CSerialPort& SerialPort() { return m_serial; }
  const CSerialPort& SerialPort() const { return m_serial; }
  CHidDevice& HidDevice() { return m_hid; }
  const CHidDevice& HidDevice() const { return m_hid; }
  TransferState& Transfer() { return m_transfer; }
  const TransferState& Transfer() const { return m_transfer; }
  // The link Update Firmware opened last: an InterfaceKind, kNoLink for none.
  std::atomic<int>& LinkKind() { return m_interfaceKind; }
  // The COM number chosen last, 0 before any.
  int ComPort() const { return m_comPort.load(); }
  // The kind of the link Update Firmware opened last (kNoLink before any).
  int OpenedLinkKind() const { return m_interfaceKind.load(); }
  // The firmware file of the last File: its path, and once it was read its size
  // and SHA-256, and the key id and trusted comment of a signature that held.
  const JournalFirmware& Firmware() const { return m_firmware; }
  // The last signature check (a fault, and the signature's key id once read).
  const SignatureCheck& FirmwareSignature() const { return m_signature; }
  // How opening the link ended at the last Update Firmware.
  const Outcome& LinkOutcome() const { return m_linkOutcome; }
  // What writes the service journal's record of each update.
  CServiceRecorder& Recorder() { return m_recorder; }
  // Set by LoadImageFile when tmp.bin is not the image that the last File wrote.
  bool ImageChanged() const { return m_imageChanged; }

 private:
  // The rows of the link table work the dialog's devices and state.
  friend class CHidDialogLink;
  friend class CSerialDialogLink;
  friend class CDialogTransferHost;

  CWindowSystem& m_ws;
  const VariantStrings& m_variant;
  CHScrollListBox m_log;
  std::atomic<int> m_interfaceKind{kNoLink};  // an InterfaceKind
  std::atomic<int> m_comPort{0};
  CSerialPort m_serial;
  CHidDevice m_hid;
  // The progress, the cancel request and the image of the transfer.
  TransferState m_transfer;
  CImageBuilder m_builder{ActiveProfile};
  std::uint32_t m_deviceCount = 0;
  std::thread m_worker;
  std::array<DeviceProfile, kProfileTableSize> m_profiles{};
  std::array<std::uint8_t, 65> m_reply{};
  bool m_imageChanged = false;

  // How opening the chosen link ended; kept for the box that follows a failure.
  Outcome m_linkOutcome;
  // How the last BuildImage ended.
  Outcome m_fileOutcome;
  JournalFirmware m_firmware;
  SignatureCheck m_signature;
  CServiceRecorder m_recorder{*this};
  // Reads the firmware at path whole into bytes once the vendor's signature beside
  // it (path.minisig) holds for exactly those bytes; otherwise shows the box, sets
  // m_fileOutcome and returns false.
  bool ReadSignedFirmware(const std::string& path, std::vector<std::uint8_t>& bytes);
  std::vector<IUpdateListener*> m_listeners;  // touched on the user-interface thread only
  // The interface list's links, and the one Update Firmware opened (or nullptr).
  std::vector<std::unique_ptr<CDialogLink>> m_links;
  CDialogLink* m_openLink = nullptr;
  // A transfer runs: the HID link's byte counts are lines of its frames.
  std::atomic<bool> m_framesRunning{false};
  // The stage begun and not yet ended (a Stage), -1 for none.
  std::atomic<int> m_openStage{-1};
  // File's work once the path is known: logs it, shows it, builds the image in
  // savedDirectory (the working directory) and lets Update Firmware go if it worked.
  void TakeFirmwareFile(const std::string& chosen, const std::string& savedDirectory);
  // The box shown to the user and to every listener.
  void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon, Reason reason);
  std::atomic<bool> m_closing{false};
  const std::atomic<bool>* m_standingCancel = nullptr;
  std::atomic<bool> m_workerRunning{false};
  // What OnInitDialog and OnInitUnit both do before the configuration.
  void InitControls();
  // The File pipeline may pump window events; File and Update Firmware are
  // ignored until it has ended, so no second build runs inside the first and no
  // transfer starts on a half-written tmp.bin.
  bool m_building = false;
  // The close question is open: a second close request meanwhile waits for its answer.
  bool m_askingClose = false;
};
