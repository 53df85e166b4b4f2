#include "ui/qt/QtGroupBox.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QStyle>
#include <algorithm>

namespace {
// The caption starts 7 pixels in from the box's left edge and takes one pixel of
// clear space on either side, as on Windows.
constexpr int kCaptionIndent = 7;
constexpr int kCaptionGap = 1;
}  // namespace

CQtGroupBox::CQtGroupBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

int CQtGroupBox::FrameTop() const { return QFontMetrics(font()).height() / 2 - 1; }

QRect CQtGroupBox::CaptionRect() const {
  if (title().isEmpty()) return QRect();
  const QFontMetrics metrics(font());
  const int width =
      std::max(metrics.horizontalAdvance(title()), metrics.boundingRect(title()).right() + 1);
  return QRect(kCaptionIndent, 0, width, metrics.height());
}

void CQtGroupBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect caption = CaptionRect();

  // The panel is filled whole; only its outline breaks for the caption.
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor window = palette().color(QPalette::Window);
  const QRectF frame = QRectF(rect().adjusted(0, FrameTop(), 0, 0)).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath outline;
  outline.addRoundedRect(frame, 2, 2);
  painter.fillPath(outline, window.darker(104));
  painter.save();
  QRegion lineArea(rect());
  if (!caption.isEmpty()) lineArea -= caption.adjusted(-kCaptionGap, 0, kCaptionGap, 0);
  painter.setClipRegion(lineArea);
  painter.setPen(window.darker(140));
  painter.drawPath(outline);
  painter.restore();

  if (!caption.isEmpty()) {
    style()->drawItemText(&painter, caption, Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic,
                          palette(), isEnabled(), title(), QPalette::WindowText);
  }
}
