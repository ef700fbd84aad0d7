#include "frame/NavigatorBar.h"

#include <QApplication>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "ui/Artwork.h"

namespace orvikdesk {

namespace {

QSize logical(const QPixmap& p) { return p.isNull() ? QSize() : p.deviceIndependentSize().toSize(); }

}  // namespace

CNavigatorBar::CNavigatorBar(QWidget* parent) : QWidget(parent) {
    setObjectName("navigatorBar");
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
}

void CNavigatorBar::setBitmaps(const QPixmap& background, const QPixmap& top, const QPixmap& bottom,
                               const QPixmap& left, const QPixmap& right, const QPixmap& logo,
                               const QPixmap& titleBand) {
    background_ = background;
    top_ = top;
    bottom_ = bottom;
    left_ = left;
    right_ = right;
    logo_ = logo;
    titleBand_ = titleBand;
    layoutPages();
    update();
}

void CNavigatorBar::addItem(const Item& item) {
    items_.push_back(item);
    if (item.page) {
        item.page->setParent(this);
        item.page->setGeometry(pageRect_);
        item.page->hide();
    }
    if (!firstLayout_ && static_cast<int>(items_.size()) - 1 == selected_) showSelected();
}

QWidget* CNavigatorBar::page(int index) const {
    return index >= 0 && index < count() ? items_[static_cast<size_t>(index)].page : nullptr;
}

int CNavigatorBar::itemAt(const QPoint& point) const {
    for (int i = 0; i < count(); ++i)
        if (items_[static_cast<size_t>(i)].hit.contains(point)) return i;
    return -1;
}

bool CNavigatorBar::select(int index) {
    if (index < 0 || index >= count() || index == selected_) return false;
    selected_ = index;
    showSelected();
    update();
    return true;
}

void CNavigatorBar::showSelected() {
    for (int i = 0; i < count(); ++i)
        if (i != selected_ && items_[static_cast<size_t>(i)].page) items_[static_cast<size_t>(i)].page->hide();
    if (QWidget* p = page(selected_)) {
        p->show();
        p->setFocus();
    }
    emit pageShown(selected_);
}

void CNavigatorBar::layoutPages() {
    pageRect_ = QRect(QPoint(logical(left_).width(), logical(top_).height() + logical(titleBand_).height()),
                      QPoint(width() - logical(right_).width() - 1, height() - logical(bottom_).height() - 1));
    for (auto& item : items_)
        if (item.page) item.page->setGeometry(pageRect_);
}

void CNavigatorBar::resizeEvent(QResizeEvent*) {
    layoutPages();
    if (firstLayout_ && !items_.empty()) {
        firstLayout_ = false;
        showSelected();
    }
}

void CNavigatorBar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    int index = itemAt(event->position().toPoint());
    if (index >= 0) select(index);
}

void CNavigatorBar::mouseMoveEvent(QMouseEvent* event) {
    int index = itemAt(event->position().toPoint());
    setCursor(index >= 0 && index != selected_ ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

bool CNavigatorBar::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        int index = itemAt(help->pos());
        if (index < 0) {
            QToolTip::hideText();
            event->ignore();
            return true;
        }
        // The tips' pale blue belongs to a light look; a dark one keeps its own tip colours.
        QPalette tip = QApplication::palette();
        if (!artwork::isDark(tip)) {
            tip.setColor(QPalette::ToolTipBase, QColor(0xE7, 0xEC, 0xF7));
            tip.setColor(QPalette::ToolTipText, QColor(0x00, 0x00, 0x00));
        }
        QToolTip::setPalette(tip);
        const Item& item = items_[static_cast<size_t>(index)];
        QToolTip::showText(help->globalPos(), item.tip, this, item.hit);
        return true;
    }
    return QWidget::event(event);
}

// Copies at the pixmap's own size in rows from the top-left corner; the last copies may cross the edge.
void CNavigatorBar::tile(QPainter& painter, const QPixmap& pixmap, const QRect& area) {
    QSize size = logical(pixmap);
    if (size.isEmpty()) return;
    painter.save();
    painter.setClipRect(area);
    for (int y = area.top(); y <= area.bottom(); y += size.height())
        for (int x = area.left(); x <= area.right(); x += size.width()) painter.drawPixmap(x, y, pixmap);
    painter.restore();
}

void CNavigatorBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int w = width(), h = height();
    const QSize l = logical(left_), t = logical(top_), b = logical(bottom_), r = logical(right_), g = logical(logo_);
    // The paper tile and the dark blue title suit a light look; a dark one paints the margins
    // around the page in its own colours, so the page does not sit in a bright frame.
    const bool dark = artwork::isDark(palette());
    painter.fillRect(rect(), palette().window());
    if (!dark) tile(painter, background_, rect());
    tile(painter, left_, QRect(0, 0, l.width(), h));
    tile(painter, top_, QRect(0, 0, w, t.height()));
    if (selected_ < count()) painter.drawPixmap(0, 0, items_[static_cast<size_t>(selected_)].picture);
    const QRect footer(l.width(), h - b.height(), w - l.width(), b.height());
    if (dark && !b.isEmpty()) {
        // The pale footer would glare under a dark page: the same fall into the brand's blue,
        // from the page's own colour.
        QLinearGradient fall(footer.topLeft(), footer.bottomLeft());
        fall.setColorAt(0, palette().color(QPalette::Window));
        fall.setColorAt(1, QColor(0x1A, 0x43, 0x7C));
        painter.fillRect(footer, fall);
        painter.fillRect(QRect(footer.left(), footer.top(), footer.width(), 1), palette().color(QPalette::Light));
    } else {
        tile(painter, bottom_, footer);
    }
    tile(painter, right_, QRect(w - r.width(), 0, r.width(), h));
    if (!logo_.isNull()) {
        int x = (w - g.width() - l.width()) / 2 < 1 ? 0 : (w + l.width() - g.width()) / 2;
        int y = h - (g.height() + b.height()) / 2;
        painter.drawPixmap(x, y, logo_);
    }
    if (selected_ < count()) {
        painter.setPen(dark ? palette().color(QPalette::WindowText) : QColor(0x00, 0x1F, 0x4D));
        QFont font = painter.font();
        font.setBold(true);
        painter.setFont(font);
        QRect titleArea(l.width() + 2, t.height() + 2, w - l.width() - r.width() - 4, logical(titleBand_).height());
        painter.drawText(titleArea, Qt::AlignLeft | Qt::AlignVCenter, items_[static_cast<size_t>(selected_)].title);
    }
}

}  // namespace orvikdesk
