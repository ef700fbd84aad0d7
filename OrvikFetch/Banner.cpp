#include "Banner.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

// The pictures are built into a static library: its resources are registered by hand.
static void registerPictures() { Q_INIT_RESOURCE(OrvikFetch); }

Banner::Banner(QWidget* parent) : QLabel(parent) {
    registerPictures();
    setObjectName(QString("IDB%1").arg(IDB));
    const QSize size(150, 300);
    const qreal ratio = devicePixelRatioF();
    QPixmap picture(size * ratio);
    picture.setDevicePixelRatio(ratio);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient band(0, 0, 0, size.height());
    band.setColorAt(0, QColor(0x1f, 0x5f, 0xa8));
    band.setColorAt(1, QColor(0x0b, 0x2f, 0x5e));
    p.fillRect(QRect(QPoint(0, 0), size), band);
    QPixmap mark(":/orvikfetch/icon153.png");
    const QRect markRect(35, 40, 80, 80);
    if (!mark.isNull()) p.drawPixmap(markRect, mark);
    p.setPen(Qt::white);
    QFont title = font();
    title.setPointSizeF(title.pointSizeF() * 1.4);
    title.setBold(true);
    p.setFont(title);
    p.drawText(QRect(0, 140, size.width(), 40), Qt::AlignCenter, QStringLiteral("在线升级"));
    QFont small = font();
    p.setFont(small);
    p.setPen(QColor(0xd6, 0xe4, 0xf5));
    p.drawText(QRect(10, 180, size.width() - 20, 60), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
               QStringLiteral("Orvik数字证书助手"));
    p.end();
    setPixmap(picture);
    setFixedSize(size);
}
