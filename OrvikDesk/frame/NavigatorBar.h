// The main window's client area: a picture strip of buttons down the left and the selected page
// beside it, in painted margins. Hit rectangles are in logical pixels.
#pragma once

#include <QPixmap>
#include <QRect>
#include <QString>
#include <QWidget>
#include <vector>

namespace orvikdesk {

class CNavigatorBar : public QWidget {
    Q_OBJECT
public:
    struct Item {
        QPixmap picture;  // the whole strip with this item highlighted
        QRect hit;
        QString tip;
        QString title;
        QWidget* page = nullptr;  // not owned
    };

    explicit CNavigatorBar(QWidget* parent = nullptr);

    void setBitmaps(const QPixmap& background, const QPixmap& top, const QPixmap& bottom, const QPixmap& left,
                    const QPixmap& right, const QPixmap& logo, const QPixmap& titleBand);
    void addItem(const Item& item);

    int count() const { return static_cast<int>(items_.size()); }
    int selected() const { return selected_; }
    QWidget* page(int index) const;
    QRect pageRect() const { return pageRect_; }
    // Selects an item as a click on it does; false when it is out of range or already selected.
    bool select(int index);
    // The item whose hit rectangle holds the point, or -1.
    int itemAt(const QPoint& point) const;

signals:
    // An item's page was shown and should refresh itself and the menu bar.
    void pageShown(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void showSelected();
    void layoutPages();
    static void tile(QPainter& painter, const QPixmap& pixmap, const QRect& area);

    std::vector<Item> items_;
    int selected_ = 0;
    bool firstLayout_ = true;
    QRect pageRect_;
    QPixmap background_, top_, bottom_, left_, right_, logo_, titleBand_;
};

}  // namespace orvikdesk
