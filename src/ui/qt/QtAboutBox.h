#pragma once
// The About box, dialog template 100: the icon, two lines of text and OK.

#include <QDialog>
#include <QString>

#include "ui/qt/AppIcon.h"

class QLabel;
class QPushButton;

class CQtAboutBox : public QDialog {
  Q_OBJECT

 public:
  CQtAboutBox(const QString& caption, const QString& line1, const QString& line2, IconVariant icon,
              QWidget* parent = nullptr);

  QLabel* Icon() const { return m_icon; }
  QLabel* Line1() const { return m_line1; }
  QLabel* Line2() const { return m_line2; }
  QPushButton* OkButton() const { return m_ok; }

 private:
  QLabel* m_icon;
  QLabel* m_line1;
  QLabel* m_line2;
  QPushButton* m_ok;
};
