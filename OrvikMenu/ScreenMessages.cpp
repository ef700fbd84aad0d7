#include "ScreenMessages.h"

#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <orvik/MessageBoxHandler.h>
#include <winuser.h>

namespace orvikmenu {

namespace {

bool set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

QMessageBox::Icon iconOf(UINT type) {
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONASTERISK: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

int show(const char* text, const char* caption, UINT type) {
    static int argc = 1;
    static char name[] = "orvikmenu";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QApplication> own;
    if (!QApplication::instance()) own = std::make_unique<QApplication>(argc, argv);
    // Only one button is ever asked for here: the box tells, it does not ask.
    QMessageBox box(iconOf(type), QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok);
    box.exec();
    return orvik::defaultMessageBoxAnswer(type);
}

}  // namespace

bool haveScreen() { return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM"); }

void showMessagesOnScreen() {
    orvik::setMessageBoxHandler(
        [](HWND, const char* text, const char* caption, UINT type) { return show(text, caption, type); });
}

}  // namespace orvikmenu
