#pragma once
// A group box drawn as the Windows dialog manager draws one: the caption sits on the
// frame's top line, which runs through the middle of the text and breaks for it,
// instead of above the frame as Qt's styles put it. The frame keeps the look of the
// application's style (Fusion's light rounded panel).

#include <QGroupBox>

class CQtGroupBox : public QGroupBox {
  Q_OBJECT

 public:
  CQtGroupBox(const QString& title, QWidget* parent);

  // Where the caption is drawn and the line at the frame's top edge, in the box's
  // own coordinates; both follow the box's font.
  QRect CaptionRect() const;
  int FrameTop() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
