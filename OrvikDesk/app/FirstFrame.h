// Tells when the program's first frame is on the screen: one line on standard output, "first
// frame", once the first paint of any of its widgets has been flushed. Only when the environment
// asks for it (ORVIK_REPORT_FIRST_FRAME set); the start-up benchmark reads the line.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <cstdio>

namespace orvikdesk {

class FirstFrameReport : public QObject {
public:
    static void installIfAsked() {
        if (qEnvironmentVariableIsSet("ORVIK_REPORT_FIRST_FRAME"))
            QCoreApplication::instance()->installEventFilter(new FirstFrameReport(QCoreApplication::instance()));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!seen_ && event->type() == QEvent::Paint && watched->isWidgetType()) {
            seen_ = true;
            // The paint is flushed to the window once every widget of the frame has painted.
            QTimer::singleShot(0, this, [this] {
                std::fputs("first frame\n", stdout);
                std::fflush(stdout);
                QCoreApplication::instance()->removeEventFilter(this);
            });
        }
        return false;
    }

private:
    using QObject::QObject;
    bool seen_ = false;
};

}  // namespace orvikdesk
