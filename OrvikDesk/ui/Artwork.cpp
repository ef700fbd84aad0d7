#include "ui/Artwork.h"

#include <QtGlobal>

// The resources live in a static library: they are registered by hand.
static void registerResources() { Q_INIT_RESOURCE(OrvikDesk); }

namespace orvikdesk::artwork {

void init() { registerResources(); }

QPixmap bitmap(int id) { return QPixmap(QString(":/art/bmp%1.png").arg(id)); }

QIcon icon(int id) { return QIcon(QString(":/art/icon%1.png").arg(id)); }

QIcon listImage(int smallId, int largeId, int index) {
    QIcon image;
    image.addFile(QString(":/art/icon%1_%2.png").arg(smallId).arg(index));
    image.addFile(QString(":/art/icon%1_%2.png").arg(largeId).arg(index));
    return image;
}

}  // namespace orvikdesk::artwork
