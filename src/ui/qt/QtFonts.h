#pragma once
// Fonts that the dialog asks for by face, weight and cell height, made Qt fonts.

#include <QFont>

#include "app/WindowSystem.h"

// A font whose character cell (ascent + descent) is wanted.cellHeight pixels, as
// CreateFont takes a positive height: the largest pixel size whose cell still fits.
// A negative height is the em height itself; 0 leaves base's size. Weights are the
// same 100..900 scale in both worlds.
QFont FontFromSpec(const FontSpec& wanted, const QFont& base);
