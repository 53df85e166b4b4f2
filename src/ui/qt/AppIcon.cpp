#include "ui/qt/AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace {
// The case: its gradient from top to bottom and its outline. Change these together
// with the SVG of the variant (packaging/icons/VARIANT.svg).
struct CaseColours {
  QColor top, bottom, outline;
};

CaseColours CaseOf(IconVariant variant) {
  if (variant == IconVariant::kCastrel) {
    return {QColor(40, 150, 80), QColor(10, 80, 40), QColor(5, 45, 20)};
  }
  return {QColor(40, 90, 170), QColor(15, 45, 105), QColor(10, 30, 70)};
}
}  // namespace

std::optional<IconVariant> IconVariantNamed(const std::string& name) {
  if (name == "solvane") return IconVariant::kSolvane;
  if (name == "castrel") return IconVariant::kCastrel;
  return std::nullopt;
}

IconVariant IconVariantOf(const VariantStrings& strings) {
  return strings.windowCaption == CastrelStrings().windowCaption ? IconVariant::kCastrel
                                                                 : IconVariant::kSolvane;
}

QPixmap AppIconPixmap(int size, IconVariant variant) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size / 32.0;
  p.scale(s, s);

  // The device: a case in the program's colour.
  const CaseColours colours = CaseOf(variant);
  QLinearGradient body(0, 0, 0, 32);
  body.setColorAt(0, colours.top);
  body.setColorAt(1, colours.bottom);
  p.setPen(QPen(colours.outline, 1.2));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(2, 2, 28, 28), 5, 5);

  // The flash chip with its pins.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(200, 205, 215));
  for (int i = 0; i < 4; ++i) {
    p.drawRect(QRectF(9 + i * 4, 19, 2, 3));
    p.drawRect(QRectF(9 + i * 4, 27, 2, 2));
  }
  p.setBrush(QColor(30, 30, 35));
  p.drawRoundedRect(QRectF(7, 21.5, 18, 6), 1, 1);

  // The download arrow, pointing into the chip.
  QPolygonF arrow;
  arrow << QPointF(13, 5) << QPointF(19, 5) << QPointF(19, 11) << QPointF(23.5, 11)
        << QPointF(16, 19) << QPointF(8.5, 11) << QPointF(13, 11);
  p.setBrush(QColor(250, 200, 40));
  p.setPen(QPen(QColor(150, 100, 0), 0.8));
  p.drawPolygon(arrow);
  return pixmap;
}

QIcon AppIcon(IconVariant variant) {
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addPixmap(AppIconPixmap(size, variant));
  return icon;
}
