#pragma once
// The open-file dialog: Qt's own (not the desktop's), so it behaves the same on
// every desktop, including the prompt for a file that does not exist yet.

#include <QFileDialog>
#include <QStringList>
#include <functional>
#include <string>

#include "app/WindowSystem.h"

// "Desc|pattern|Desc|pattern||" as Qt's name filters: "Desc (patterns)", where the
// ";" between the patterns of one entry becomes a blank.
QStringList QtNameFilters(const std::string& filter);

class CQtFileDialog : public QFileDialog {
  Q_OBJECT

 public:
  // execModal runs the dialog's own question boxes (the window system's modal runner).
  CQtFileDialog(QWidget* parent, const FileDialogRequest& request,
                std::function<int(QDialog&)> execModal);

  // The chosen file's full path; empty before the dialog was accepted.
  QString ChosenPath() const;

 public slots:
  void accept() override;

 private:
  bool CreatePrompt() const { return m_createPrompt; }

  bool m_createPrompt;
  std::function<int(QDialog&)> m_execModal;
};
