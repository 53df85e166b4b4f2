#pragma once
// The program's icon, drawn in code: a device board receiving a download.

#include <QIcon>
#include <QPixmap>

QPixmap AppIconPixmap(int size);
QIcon AppIcon();  // 16, 32 and 48 pixels
