#include "widgets/LinkStatic.h"

#include <QApplication>
#include <QMouseEvent>

#include <windows.h>

#include "services/Shell.h"
#include "ui/Artwork.h"
#include "ui/MessageBoxFacade.h"

namespace orvikdesk {

CLinkStatic::CLinkStatic(QWidget* parent) : QLabel(parent) {
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    restyle();
}

void CLinkStatic::SetURL(const QString& url) {
    url_ = url;
    if (text().isEmpty()) setText(url);
    setToolTip(url);
    adjustSize();
}

void CLinkStatic::SetVisited(bool visited) {
    visited_ = visited;
    restyle();
}

void CLinkStatic::SetUnderline(int mode) {
    underline_ = mode;
    restyle();
}

// The classic link colours on a light background; a dark one takes the palette's link roles,
// since those blues and purples would not be legible there.
QColor CLinkStatic::colour() const {
    const QPalette& p = parentWidget() ? parentWidget()->palette() : QApplication::palette();
    if (artwork::isDark(p))
        return over_ ? artwork::alertColour(p) : p.color(visited_ ? QPalette::LinkVisited : QPalette::Link);
    return over_ ? QColor(0xFF, 0x00, 0x00) : visited_ ? QColor(0x55, 0x1A, 0x8B) : QColor(0x00, 0x00, 0xEE);
}

void CLinkStatic::restyle() {
    const QColor c = colour();
    if (palette().color(QPalette::WindowText) != c) {  // setting it again would come back as a change
        QPalette p = palette();
        p.setColor(QPalette::WindowText, c);
        setPalette(p);
    }
    QFont f = font();
    f.setUnderline(underline_ == 1 || (underline_ == -1 && over_));
    setFont(f);
    update();
}

void CLinkStatic::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    // A new scheme reaches the label as a palette change of its parent.
    if (event->type() == QEvent::ParentChange || event->type() == QEvent::PaletteChange) restyle();
}

void CLinkStatic::enterEvent(QEnterEvent* event) {
    over_ = true;
    restyle();
    QLabel::enterEvent(event);
}

void CLinkStatic::leaveEvent(QEvent* event) {
    over_ = false;
    restyle();
    QLabel::leaveEvent(event);
}

void CLinkStatic::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) open();
    QLabel::mouseReleaseEvent(event);
}

bool CLinkStatic::open() {
    over_ = false;
    int code = 0;
    if (shell::openAddress((url_.isEmpty() ? text() : url_).toStdString(), &code)) {
        SetVisited(true);
        return true;
    }
    restyle();
    QApplication::beep();
    MessageBoxFacade::show(window(), errorMessage(code), MessageBoxFacade::caption(), MB_OK | MB_ICONEXCLAMATION);
    return false;
}

QString CLinkStatic::errorMessage(int code) {
    QString text;
    switch (code) {
    case 0: text = "The operating system is out\nof memory or resources."; break;
    case SE_ERR_FNF: text = "The specified file was not found."; break;
    case SE_ERR_PNF: text = "The specified path was not found."; break;
    case SE_ERR_ACCESSDENIED: text = "The operating system denied\naccess to the specified file."; break;
    case SE_ERR_OOM: text = "There was not enough memory to complete the operation."; break;
    case 11: text = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."; break;
    case SE_ERR_SHARE: text = "A sharing violation occurred. "; break;
    case SE_ERR_ASSOCINCOMPLETE: text = "The filename association is\nincomplete or invalid."; break;
    case SE_ERR_DDETIMEOUT: text = "The DDE transaction could not\nbe completed because the request timed out."; break;
    case SE_ERR_DDEFAIL: text = "The DDE transaction failed."; break;
    case SE_ERR_DDEBUSY:
        text = "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.";
        break;
    case SE_ERR_NOASSOC: text = "There is no application associated\nwith the given filename extension."; break;
    case SE_ERR_DLLNOTFOUND: text = "The specified dynamic-link library was not found."; break;
    default: text = QString("Unknown Error (%1) occurred.").arg(code); break;
    }
    return "Unable to open hyperlink:\n\n" + text;
}

}  // namespace orvikdesk
