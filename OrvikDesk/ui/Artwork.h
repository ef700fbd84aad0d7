// The program's own artwork by resource number (1x and 2x, chosen by the screen).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace orvikdesk::artwork {

// Registers the program's resources; once, before any artwork is used.
void init();

QPixmap bitmap(int id);  // ":/art/bmp<id>.png"; a null pixmap for an unknown id
QIcon icon(int id);      // ":/art/icon<id>.png"
// Picture `index` of a pair of image lists, small and large: ":/art/icon<id>_<index>.png".
QIcon listImage(int smallId, int largeId, int index);

}  // namespace orvikdesk::artwork
