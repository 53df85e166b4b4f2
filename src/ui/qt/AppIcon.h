#pragma once
// The programs' icon, drawn in code: a device board receiving a download. Both
// programs share the drawing; each has its own case colour, so a technician with
// both on one desktop (menu, task bar, title bars) tells them apart at 16 pixels:
// solvane, for the solar charge controllers, in blue; castrel, for the inverters,
// in green.

#include <QIcon>
#include <QPixmap>
#include <optional>
#include <string>

#include "res/Variant.h"

enum class IconVariant { kSolvane, kCastrel };

// "solvane" or "castrel"; nothing for any other name.
std::optional<IconVariant> IconVariantNamed(const std::string& name);
// The program whose strings these are, known by its window caption (a renamed
// copy changes only its file name); solvane's icon for strings of neither.
IconVariant IconVariantOf(const VariantStrings& strings);

QPixmap AppIconPixmap(int size, IconVariant variant);
QIcon AppIcon(IconVariant variant);  // 16, 32 and 48 pixels
