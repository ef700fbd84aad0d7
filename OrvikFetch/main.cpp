// OrvikFetch: started by the update check when the server has a newer list; offers the newer
// components, downloads them and hands over to the installer.
#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <orvik/MessageBoxHandler.h>
#include <windows.h>

#include "Fetcher.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(OrvikFetch);
    QApplication::setApplicationDisplayName(QStringLiteral("在线升级"));
    QApplication::setWindowIcon(QIcon(":/orvikfetch/icon153.png"));
    // The fetcher's messages only inform: one OK button.
    orvik::setMessageBoxHandler([](HWND, const char* text, const char* caption, UINT type) {
        QMessageBox::Icon icon =
            (type & MB_ICONMASK) == MB_ICONASTERISK ? QMessageBox::Information : QMessageBox::Warning;
        QMessageBox box(icon, QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok);
        box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
        box.exec();
        return IDOK;
    });
    Fetcher().run();
    return 0;
}
