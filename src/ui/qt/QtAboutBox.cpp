#include "ui/qt/QtAboutBox.h"

#include <QLabel>
#include <QPushButton>

#include "ui/qt/AppIcon.h"
#include "ui/qt/DialogUnits.h"

CQtAboutBox::CQtAboutBox(const QString& caption, const QString& line1, const QString& line2,
                         IconVariant icon, QWidget* parent)
    : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(caption);
  setFont(DialogFont());
  const CDialogUnits units;
  setFixedSize(units.X(235), units.Y(55));

  // An icon control takes the icon's own size, whatever the template says.
  m_icon = new QLabel(this);
  m_icon->setPixmap(AppIconPixmap(32, icon));
  m_icon->setGeometry(units.X(11), units.Y(17), 32, 32);

  auto makeLine = [&](const QString& text, int y) {
    auto* label = new QLabel(text, this);
    label->setTextFormat(Qt::PlainText);  // no mnemonic processing
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(units.Rect(40, y, 119, 8));
    return label;
  };
  m_line1 = makeLine(line1, 10);
  m_line2 = makeLine(line2, 25);

  m_ok = new QPushButton(QStringLiteral("OK"), this);
  m_ok->setGeometry(units.Rect(178, 7, 50, 14));
  m_ok->setDefault(true);
  m_ok->setFocus();
  connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
}
