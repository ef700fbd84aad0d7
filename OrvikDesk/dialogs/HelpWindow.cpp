#include "dialogs/HelpWindow.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QPointer>
#include <QShortcut>
#include <QUrl>
#include <cstdio>

#include <windows.h>

#include "ui/Artwork.h"

namespace orvikdesk {

namespace {

QPointer<CHelpWindow>& shown() {
    static QPointer<CHelpWindow> w;
    return w;
}

}  // namespace

CHelpWindow::CHelpWindow() {
    setObjectName("helpWindow");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Orvik数字证书助手 帮助"));
    setWindowIcon(artwork::icon(153));
    setOpenExternalLinks(false);
    setOpenLinks(false);
    // Anchors inside the file stay here; anything else goes to the desktop's browser.
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        if (url.isRelative() || url.isLocalFile())
            setSource(url);
        else if (url.scheme() == "http" || url.scheme() == "https")
            QDesktopServices::openUrl(url);
    });
    setAccessibleName(QStringLiteral("帮助"));
    // A window of its own: Esc closes it, as it closes a dialog.
    connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this, &QWidget::close);
    resize(760, 640);
}

QString CHelpWindow::helpPath() {
    char module[1024] = {};
    GetModuleFileNameA(nullptr, module, sizeof module);
    char drive[8] = {}, dir[1024] = {};
    _splitpath(module, drive, dir, nullptr, nullptr);
    return QString::fromUtf8(drive) + QString::fromUtf8(dir) + "OrvikDesk.html";
}

CHelpWindow* CHelpWindow::instance() { return shown().data(); }

bool CHelpWindow::open() {
    QString path = helpPath();
    if (!QFileInfo(path).isFile()) {
        std::fprintf(stderr, "OrvikDesk: no help file at %s\n", path.toUtf8().constData());
        return false;
    }
    if (!shown()) shown() = new CHelpWindow;
    shown()->setSource(QUrl::fromLocalFile(path));
    shown()->show();
    shown()->raise();
    shown()->activateWindow();
    return true;
}

}  // namespace orvikdesk
