// The program's own artwork by resource number (1x and 2x, chosen by the screen).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace orvikdesk::artwork {

// Registers the program's resources; once, before any artwork is used.
void init();

QPixmap bitmap(int id);  // ":/art/bmp<id>.png"; a null pixmap for an unknown id
QIcon icon(int id);      // ":/art/icon<id>.png"

}  // namespace orvikdesk::artwork
