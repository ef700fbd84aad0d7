// Handover: started by the fetcher once the downloads are in place; installs them and starts the
// assistant again.
#include <windows.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <string>

#include <orvik/MessageBoxHandler.h>

#include "HandoverDialog.h"

namespace {

// The folder of this program, where the assistant and its temp folder lie.
std::string programFolder() {
    char path[4096] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string self(path, n < sizeof path ? n : 0);
    size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The install's messages only inform: one OK button.
    orvik::setMessageBoxHandler([](HWND, const char* text, const char* caption, UINT type) {
        QMessageBox box((type & MB_ICONMASK) == MB_ICONHAND ? QMessageBox::Critical : QMessageBox::Warning,
                        QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok);
        box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
        box.exec();
        return IDOK;
    });
    handover::HandoverDialog dialog(programFolder());
    dialog.exec();
    // The updater's callers have always seen 1 here.
    return 1;
}
