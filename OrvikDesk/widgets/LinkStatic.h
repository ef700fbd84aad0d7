// A text that opens an address when clicked: blue, red while hovered, purple once opened (the
// palette's link colours on a dark background).
#pragma once

#include <QLabel>
#include <QString>

namespace orvikdesk {

class CLinkStatic : public QLabel {
    Q_OBJECT
public:
    explicit CLinkStatic(QWidget* parent = nullptr);

    void SetURL(const QString& url);
    QString url() const { return url_; }
    void SetVisited(bool visited);
    bool visited() const { return visited_; }
    // -1: underlined while hovered; 1: always; anything else: never.
    void SetUnderline(int mode);
    int underline() const { return underline_; }
    bool hovered() const { return over_; }

    // Opens the address as a click does; false (and the user told why) when it cannot be opened.
    bool open();

    // "Unable to open hyperlink:\n\n" and the text for a shell result code.
    static QString errorMessage(int code);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void restyle();
    QColor colour() const;

    QString url_;
    bool visited_ = false;
    bool over_ = false;
    int underline_ = -1;
};

}  // namespace orvikdesk
