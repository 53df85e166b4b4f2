#pragma once
// The window system of the Linux GUIs: the toolkit-free dialog drives the Qt main
// window through it, and worker threads reach the window through queued calls that
// the Qt event loop drains.

#include <QDialog>
#include <functional>
#include <memory>

#include "app/WindowSystem.h"
#include "res/Variant.h"
#include "ui/qt/QtMainDialog.h"

class CUpdaterDlg;

class CQtWindowSystem : public CWindowSystem {
 public:
  explicit CQtWindowSystem(const VariantStrings& variant);
  ~CQtWindowSystem() override;
  CQtWindowSystem(const CQtWindowSystem&) = delete;
  CQtWindowSystem& operator=(const CQtWindowSystem&) = delete;

  CQtMainDialog& Window() { return *m_window; }

  // Hands the window's commands to dlg and serves its worker threads' calls from
  // this (the GUI) thread. The window's end shuts the dialog down.
  void Attach(CUpdaterDlg& dlg);
  // The dialog's modal run: Attach, initialise, show, and return once it closed.
  void RunModal(CUpdaterDlg& dlg);

  // For tests: called with every modal box (message box, About box, journal, file
  // dialog, the file dialog's questions) once its own event loop runs, so a test can read
  // and answer it instead of a user.
  using ModalHook = std::function<void(QDialog&)>;
  void SetModalHook(ModalHook hook) { m_modalHook = std::move(hook); }
  // Runs box modally; the hook, if any, gets it first. Returns the box's result.
  int ExecModal(QDialog& box);

  // --- CWindowSystem
  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void Enable(int id, bool enabled) override;
  bool IsEnabled(int id) const override;
  void SetFont(int id, const FontSpec& font) override;
  void SetProgressPos(int pos) override;
  void SetToolTip(int id, const std::string& text) override;
  void ComboInsert(int index, const std::string& text) override;
  void ComboSelect(int index) override;
  std::string ComboSelectedText() const override;
  void LogInserted(int index, const std::string& text) override;
  void LogSelect(int index) override;
  void LogSetHorizontalExtent(int pixels) override;
  int LogTextWidth(const std::string& text) const override;
  void SetWindowIcon() override;
  bool AppendSystemMenuSeparator() override;
  bool AppendSystemMenuItem(unsigned commandId, const std::string& text) override;
  bool IsIconic() const override;
  void ClientSize(int& width, int& height) const override;
  void IconSize(int& width, int& height) const override;
  void DrawIcon(int x, int y) override;
  void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override;
  void ShowAboutBox(const std::string& caption, const std::string& line1,
                    const std::string& line2) override;
  void ShowJournal(const std::string& path, const std::vector<JournalRow>& rows,
                   const std::string& error) override;
  std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;
  void PumpOneMessage() override;

 private:
  struct WakeTarget;

  std::unique_ptr<CQtMainDialog> m_window;
  std::shared_ptr<WakeTarget> m_wake;
  CUpdaterDlg* m_dlg = nullptr;
  ModalHook m_modalHook;
};
