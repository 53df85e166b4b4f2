#pragma once
// The open-file dialog: Qt's own (not the desktop's), so it behaves the same on
// every desktop, including the prompt for a file that does not exist yet. Its
// detail view shows the name, size, type and date of every entry whole: the
// columns are as wide as their texts in the view's font, and the dialog as wide
// as its columns.

#include <QFileDialog>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

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

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // Sets each column of the detail view to the width its header and its entries'
  // texts need (never less than the widest texts of a firmware folder, measured
  // at the first show) and widens the dialog until every column is in view.
  void FitColumns();

  bool CreatePrompt() const { return m_createPrompt; }

  bool m_createPrompt;
  std::function<int(QDialog&)> m_execModal;
  std::vector<int> m_leastWidths;  // per column, from the font at the first show
  QTimer m_fit;                    // gathers the listing's changes into one FitColumns
};
