#pragma once
// The window system of the Windows programs: the toolkit-free dialog drives a real
// Win32 dialog made from template 102, and worker threads reach it through the call
// queue, woken by a message posted to the dialog and drained on its thread.

#include <windows.h>
// after windows.h, which it builds on
#include <shellapi.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/WindowSystem.h"

class CUpdaterDlg;

class CWin32WindowSystem : public CWindowSystem {
 public:
  // The message that tells the dialog's thread to drain the call queue.
  static constexpr UINT kDrainMessage = WM_APP + 1;

  explicit CWin32WindowSystem(HINSTANCE instance);
  ~CWin32WindowSystem() override;
  CWin32WindowSystem(const CWin32WindowSystem&) = delete;
  CWin32WindowSystem& operator=(const CWin32WindowSystem&) = delete;

  // The dialog's modal run from template 102: returns once it has closed.
  void RunModal(CUpdaterDlg& dlg);
  HWND Window() const { return m_hwnd; }
  HICON Icon() const { return m_icon; }
  HICON SmallIcon() const { return m_smallIcon; }
  // The tooltip control of the dialog's tips; nullptr before the first tip.
  HWND ToolTips() const { return m_toolTips; }

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

  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Close(int result);
  void OnDropFiles(HDROP drop);
  void FitStatic(int id);
  HWND Item(int id) const { return ::GetDlgItem(m_hwnd, id); }

  HINSTANCE m_instance;
  HWND m_hwnd = nullptr;
  HICON m_icon = nullptr;
  HICON m_smallIcon = nullptr;          // loaded at the small size, freed with the face
  std::map<int, SIZE> m_templateSizes;  // the captions' boxes before FitStatic grew them
  HDC m_paintDc = nullptr;              // while the minimised window paints its icon
  HWND m_toolTips = nullptr;            // owned by the dialog, goes with it
  std::set<int> m_tipIds;               // the controls that have a tip
  CUpdaterDlg* m_dlg = nullptr;
  std::shared_ptr<WakeTarget> m_wake;
  std::vector<std::pair<FontSpec, HFONT>> m_fonts;  // made once, freed with the face
};
