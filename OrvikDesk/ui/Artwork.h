// The program's own artwork by resource number (1x and 2x, chosen by the screen), and the
// colour scheme the windows follow.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QPixmap>

namespace orvikdesk::artwork {

// Registers the program's resources and applies the colour scheme; once, before any window exists.
void init();

// ":/art/bmp<id>.png", or its "@2x" twin (device pixel ratio 2) when `scale` is above 1; scale 0
// means the highest of the screens. A null pixmap for an unknown id.
QPixmap bitmap(int id, qreal scale = 0);
QIcon icon(int id);  // ":/art/icon<id>.png" with its "@2x" twin
// Picture `index` of a pair of image lists, small and large: ":/art/icon<id>_<index>.png".
QIcon listImage(int smallId, int largeId, int index);

enum class Scheme { Light, Dark };

// "ORVIK_COLOR_SCHEME" ("dark" or "light") when set; otherwise the desktop's, as far as it can be
// told without waiting: the platform theme's palette, then GTK_THEME.
Scheme requestedScheme();
// Fusion with a dark palette, or the style and palette the program started with.
void applyScheme(Scheme scheme);
// Asks the desktop portal for its colour preference and follows a dark one when the answer comes.
void followDesktopScheme();

bool isDark(const QPalette& palette);
QPalette darkPalette();
// Red for a warning or an expired date, readable on the palette's base and window colours.
QColor alertColour(const QPalette& palette);

}  // namespace orvikdesk::artwork
