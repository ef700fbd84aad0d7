// The assistant's entry to the update check: the check runs beside the check window, and any
// message box it asks for is shown by the program's own handler on the window's thread.
#include <QApplication>
#include <QThread>
#include <QWidget>

#include <orvik/MessageBoxHandler.h>

#include "CheckDialog.h"
#include "Common.h"

namespace {

// Sends MessageBoxA calls of other threads to the GUI thread, for as long as it lives.
class GuiThreadBoxes {
public:
    GuiThreadBoxes() {
        previous_ = orvik::setMessageBoxHandler([this](HWND owner, const char* text, const char* caption, UINT type) {
            int answer = 0;
            auto show = [&] {
                answer = previous_ ? previous_(owner, text, caption, type) : orvik::defaultMessageBoxAnswer(type);
            };
            if (QThread::currentThread() == qApp->thread())
                show();
            else
                QMetaObject::invokeMethod(qApp, show, Qt::BlockingQueuedConnection);
            return answer;
        });
    }
    ~GuiThreadBoxes() { orvik::setMessageBoxHandler(previous_); }
    GuiThreadBoxes(const GuiThreadBoxes&) = delete;
    GuiThreadBoxes& operator=(const GuiThreadBoxes&) = delete;

private:
    orvik::MessageBoxHandler previous_;
};

QWidget* ownerWindow() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    return QApplication::activeWindow();
}

}  // namespace

int Common::Start(std::string configPath, std::string serverName, std::string serverPath) {
    if (!qApp) return CheckForUpdate(configPath, serverName, serverPath);
    GuiThreadBoxes boxes;
    Common self = *this;
    CheckDialog dialog([&] { return self.CheckForUpdate(configPath, serverName, serverPath); }, ownerWindow());
    return dialog.exec();
}
