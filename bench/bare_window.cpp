// The reference of the start-up benchmark: the least a Qt program does to put a window of the
// main window's size on the screen, reporting its first frame as the assistant does.
#include <QApplication>
#include <QLabel>

#include "app/FirstFrame.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    orvikdesk::FirstFrameReport::installIfAsked();
    QLabel window(QStringLiteral("证书助手"));
    window.setWindowTitle(QStringLiteral("Orvik数字证书助手"));
    window.resize(960, 640);
    window.show();
    return QApplication::exec();
}
