#include "ui/Artwork.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>
#include <QtGlobal>

#ifdef ORVIK_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#endif

// The resources live in a static library: they are registered by hand.
static void registerResources() { Q_INIT_RESOURCE(OrvikDesk); }

namespace orvikdesk::artwork {

namespace {

// What the desktop gave the program, to go back to.
struct Original {
    bool taken = false;
    QString style;
    QPalette palette;
};

Original& original() {
    static Original o;
    return o;
}

void takeOriginal() {
    Original& o = original();
    if (o.taken || !qApp) return;
    o.taken = true;
    if (QStyle* s = QApplication::style()) o.style = s->name();
    o.palette = QApplication::palette();
}

bool isFusion() {
    return QApplication::style() && QApplication::style()->name().compare("fusion", Qt::CaseInsensitive) == 0;
}

}  // namespace

void init() {
    registerResources();
    if (!qApp) return;
    takeOriginal();
    const QByteArray forced = qgetenv("ORVIK_COLOR_SCHEME").toLower();
    const Scheme scheme = requestedScheme();
    if (!forced.isEmpty())
        applyScheme(scheme);
    else if (scheme == Scheme::Dark && !isDark(QApplication::palette()))
        applyScheme(Scheme::Dark);
    else if (scheme == Scheme::Light)
        followDesktopScheme();
}

QPixmap bitmap(int id, qreal scale) {
    if (scale <= 0) scale = qApp ? qApp->devicePixelRatio() : 1.0;
    const QString base = QString(":/art/bmp%1").arg(id);
    if (scale > 1) {
        QPixmap twin(base + "@2x.png");
        if (!twin.isNull()) {
            twin.setDevicePixelRatio(2);
            return twin;
        }
    }
    return QPixmap(base + ".png");
}

QIcon icon(int id) {
    QIcon image;
    image.addFile(QString(":/art/icon%1.png").arg(id));
    image.addFile(QString(":/art/icon%1@2x.png").arg(id));
    return image;
}

QIcon listImage(int smallId, int largeId, int index) {
    QIcon image;
    for (int id : {smallId, largeId}) {
        image.addFile(QString(":/art/icon%1_%2.png").arg(id).arg(index));
        image.addFile(QString(":/art/icon%1_%2@2x.png").arg(id).arg(index));
    }
    return image;
}

Scheme requestedScheme() {
    const QByteArray forced = qgetenv("ORVIK_COLOR_SCHEME").toLower();
    if (forced == "dark") return Scheme::Dark;
    if (forced == "light") return Scheme::Light;
    // A dark palette from the platform theme is the desktop's choice already.
    if (qApp && isDark(QApplication::palette())) return Scheme::Dark;
    const QByteArray gtk = qgetenv("GTK_THEME").toLower();
    if (gtk.endsWith(":dark") || gtk.endsWith("-dark")) return Scheme::Dark;
    return Scheme::Light;
}

void applyScheme(Scheme scheme) {
    if (!qApp) return;
    takeOriginal();
    const Original& o = original();
    if (scheme == Scheme::Dark) {
        // Fusion paints with the palette alone; other styles draw some parts in their own colours.
        if (!isFusion()) QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setPalette(darkPalette());
        return;
    }
    if (!isDark(o.palette)) {
        if (QApplication::style() && QApplication::style()->name() != o.style && !o.style.isEmpty())
            QApplication::setStyle(QStyleFactory::create(o.style));
        QApplication::setPalette(o.palette);
        return;
    }
    if (!isFusion()) QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setPalette(QApplication::style()->standardPalette());
}

void followDesktopScheme() {
#ifdef ORVIK_HAVE_DBUS
    // Without a session bus there is nobody to ask, and connecting would try to start one.
    if (!qApp || qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage read = QDBusMessage::createMethodCall(
        "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings", "Read");
    read << QString("org.freedesktop.appearance") << QString("color-scheme");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read, 2000), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QVariant> reply = *w;
        if (reply.isError()) return;
        QVariant value = reply.value();
        while (value.canConvert<QDBusVariant>()) value = qvariant_cast<QDBusVariant>(value).variant();
        // 1: the user prefers dark; 0 and 2 leave the look to the application.
        if (value.toUInt() == 1 && !isDark(QApplication::palette())) applyScheme(Scheme::Dark);
    });
#endif
}

bool isDark(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QPalette darkPalette() {
    const QColor window(0x2B, 0x2D, 0x31), base(0x1F, 0x20, 0x23), text(0xE6, 0xE8, 0xEB), dim(0x7D, 0x82, 0x8A);
    QPalette p;
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(g, QPalette::Window, window);
        p.setColor(g, QPalette::WindowText, text);
        p.setColor(g, QPalette::Base, base);
        p.setColor(g, QPalette::AlternateBase, QColor(0x27, 0x29, 0x2D));
        p.setColor(g, QPalette::ToolTipBase, QColor(0x3A, 0x3D, 0x42));
        p.setColor(g, QPalette::ToolTipText, text);
        p.setColor(g, QPalette::PlaceholderText, dim);
        p.setColor(g, QPalette::Text, text);
        p.setColor(g, QPalette::Button, QColor(0x35, 0x38, 0x3D));
        p.setColor(g, QPalette::ButtonText, text);
        p.setColor(g, QPalette::BrightText, QColor(0xFF, 0x7B, 0x72));
        p.setColor(g, QPalette::Light, QColor(0x4A, 0x4D, 0x53));
        p.setColor(g, QPalette::Midlight, QColor(0x3E, 0x41, 0x46));
        p.setColor(g, QPalette::Mid, QColor(0x24, 0x26, 0x29));
        p.setColor(g, QPalette::Dark, QColor(0x1A, 0x1B, 0x1E));
        p.setColor(g, QPalette::Shadow, QColor(0x0E, 0x0E, 0x10));
        // The brand's blue, bright enough to carry white text.
        p.setColor(g, QPalette::Highlight, QColor(0x2F, 0x6B, 0xB8));
        p.setColor(g, QPalette::HighlightedText, QColor(0xFF, 0xFF, 0xFF));
        p.setColor(g, QPalette::Link, QColor(0x7F, 0xB2, 0xF0));
        p.setColor(g, QPalette::LinkVisited, QColor(0xC3, 0x9B, 0xE8));
    }
    for (QPalette::ColorRole r : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, r, dim);
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x45, 0x48, 0x4E));
    p.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0x2A, 0x4C, 0x78));
    return p;
}

QColor alertColour(const QPalette& palette) {
    return isDark(palette) ? QColor(0xFF, 0x7B, 0x72) : QColor(0xC0, 0x39, 0x2B);
}

}  // namespace orvikdesk::artwork
