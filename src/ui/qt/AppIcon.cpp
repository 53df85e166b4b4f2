#include "ui/qt/AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

QPixmap AppIconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size / 32.0;
  p.scale(s, s);

  // The device: a dark blue case with a green board edge.
  QLinearGradient body(0, 0, 0, 32);
  body.setColorAt(0, QColor(40, 90, 170));
  body.setColorAt(1, QColor(15, 45, 105));
  p.setPen(QPen(QColor(10, 30, 70), 1.2));
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

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addPixmap(AppIconPixmap(size));
  return icon;
}
