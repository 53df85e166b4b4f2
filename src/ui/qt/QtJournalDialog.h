#pragma once
// The service journal's window: where the journal file is (selectable, to copy it
// into a report), why it could not be read when it could not, and the newest
// updates as a list of four columns. Nothing in it can be edited; the journal is
// changed only by the updates that append to it.

#include <QDialog>
#include <QString>
#include <vector>

#include "journal/Journal.h"

class QLabel;
class QPushButton;
class QTreeWidget;

class CQtJournalDialog : public QDialog {
  Q_OBJECT

 public:
  CQtJournalDialog(const QString& path, const std::vector<JournalRow>& rows, const QString& error,
                   QWidget* parent = nullptr);

  QLabel* Path() const { return m_path; }
  QLabel* Problem() const { return m_problem; }  // hidden when the journal was read
  QTreeWidget* List() const { return m_list; }
  QPushButton* CloseButton() const { return m_close; }

 private:
  QLabel* m_path;
  QLabel* m_problem;
  QTreeWidget* m_list;
  QPushButton* m_close;
};
