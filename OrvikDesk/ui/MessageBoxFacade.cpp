#include "ui/MessageBoxFacade.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <mutex>

#include <orvik/MessageBoxHandler.h>
#include <orvik/Tokens.h>
#include <windows.h>

#include "OrvikEncFile.h"

#include "dialogs/PinDialog.h"

namespace orvikdesk {

namespace {

struct State {
    std::mutex lock;
    bool headless = false;
    std::deque<int> answers;
    std::deque<MessageBoxFacade::Shown> shown;
    std::deque<QString> pins;
    std::deque<QString> pinPrompts;
};

State& state() {
    static State s;
    return s;
}

QMessageBox::Icon iconOf(unsigned type) {
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONASTERISK: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

struct Button {
    int id;
    const char* text;
    QMessageBox::ButtonRole role;
};

std::vector<Button> buttonsOf(unsigned type) {
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return {{IDOK, "确定", QMessageBox::AcceptRole}, {IDCANCEL, "取消", QMessageBox::RejectRole}};
    case MB_ABORTRETRYIGNORE:
        return {{IDABORT, "中止(&A)", QMessageBox::RejectRole},
                {IDRETRY, "重试(&R)", QMessageBox::AcceptRole},
                {IDIGNORE, "忽略(&I)", QMessageBox::AcceptRole}};
    case MB_YESNOCANCEL:
        return {{IDYES, "是(&Y)", QMessageBox::YesRole},
                {IDNO, "否(&N)", QMessageBox::NoRole},
                {IDCANCEL, "取消", QMessageBox::RejectRole}};
    case MB_YESNO: return {{IDYES, "是(&Y)", QMessageBox::YesRole}, {IDNO, "否(&N)", QMessageBox::NoRole}};
    case MB_RETRYCANCEL:
        return {{IDRETRY, "重试(&R)", QMessageBox::AcceptRole}, {IDCANCEL, "取消", QMessageBox::RejectRole}};
    default: return {{IDOK, "确定", QMessageBox::AcceptRole}};
    }
}

int showForReal(QWidget* owner, const QString& text, const QString& caption, unsigned type) {
    QMessageBox box(iconOf(type), caption, text, QMessageBox::NoButton, owner);
    std::vector<std::pair<QAbstractButton*, int>> ids;
    auto buttons = buttonsOf(type);
    size_t defaultIndex = ((type & MB_DEFMASK) >> 8);
    for (size_t i = 0; i < buttons.size(); ++i) {
        QPushButton* b = box.addButton(QString::fromUtf8(buttons[i].text), buttons[i].role);
        b->setObjectName(QString::number(buttons[i].id));
        ids.emplace_back(b, buttons[i].id);
        if (i == defaultIndex) box.setDefaultButton(b);
    }
    box.exec();
    for (auto& [button, id] : ids)
        if (box.clickedButton() == button) return id;
    // Esc or the close box: Cancel where there is one, else the only button.
    for (const auto& b : buttons)
        if (b.id == IDCANCEL) return IDCANCEL;
    return buttons.size() == 1 ? buttons[0].id : IDNO;
}

// Keys are used from the workers of long operations too, and a key may ask (a PIN, a locked
// keyring); windows live on the GUI thread.
template <class F>
void onGuiThread(F&& f) {
    bool headless = false;
    {
        std::lock_guard guard(state().lock);
        headless = state().headless;
    }
    if (headless || QThread::currentThread() == qApp->thread())
        f();
    else
        QMetaObject::invokeMethod(qApp, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

}  // namespace

void MessageBoxFacade::install() {
    orvik::setMessageBoxHandler([](HWND, const char* text, const char* caption, UINT type) {
        const QString t = QString::fromUtf8(text ? text : ""), c = QString::fromUtf8(caption ? caption : "");
        int answer = IDOK;
        onGuiThread([&] { answer = show(QApplication::activeWindow(), t, c, type); });
        return answer;
    });
    // The version 0 operations report every step; with a window they are shown, as boxes.
    SetEncFileMessageSink([](const char* text, bool) { MessageBoxA(nullptr, text, "证书助手", MB_OK | MB_ICONERROR); });
    orvik::setPinHandler([](const orvik::PinRequest& r, std::string& pin) {
        const QString prompt = CPinDialog::promptFor(QString::fromStdString(r.token), r.retry, r.countLow, r.finalTry);
        QString answer;
        bool given = false;
        onGuiThread([&] { given = askPin(QApplication::activeWindow(), prompt, answer); });
        if (given) {
            QByteArray utf8 = answer.toUtf8();
            pin.assign(utf8.constData(), static_cast<size_t>(utf8.size()));
            utf8.fill('\0');
        }
        answer.fill(QChar(0));
        return given;
    });
}

bool MessageBoxFacade::askPin(QWidget* owner, const QString& prompt, QString& pin) {
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        if (s.headless) {
            s.pinPrompts.push_back(prompt);
            if (s.pins.empty()) return false;
            pin = s.pins.front();
            s.pins.pop_front();
            return true;
        }
    }
    CPinDialog dialog(owner, prompt);
    const bool given = dialog.exec() == QDialog::Accepted;
    if (given) pin = dialog.pin();
    dialog.clear();
    return given;
}

void MessageBoxFacade::setNextPin(const QString& pin) {
    std::lock_guard guard(state().lock);
    state().pins.push_back(pin);
}

const std::deque<QString>& MessageBoxFacade::pinPrompts() { return state().pinPrompts; }

int MessageBoxFacade::show(QWidget* owner, const QString& text, const QString& given, unsigned type) {
    const QString caption = given.isEmpty() ? MessageBoxFacade::caption() : given;
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        if (s.headless) {
            int answer = orvik::defaultMessageBoxAnswer(type);
            if (!s.answers.empty()) {
                answer = s.answers.front();
                s.answers.pop_front();
            }
            s.shown.push_back({text, caption, type, answer});
            return answer;
        }
    }
    return showForReal(owner, text, caption, type);
}

void MessageBoxFacade::setHeadless(bool headless) {
    std::lock_guard guard(state().lock);
    state().headless = headless;
}

void MessageBoxFacade::setNextAnswer(int answer) {
    std::lock_guard guard(state().lock);
    state().answers.push_back(answer);
}

const std::deque<MessageBoxFacade::Shown>& MessageBoxFacade::shown() { return state().shown; }

QString MessageBoxFacade::lastText() { return state().shown.empty() ? QString() : state().shown.back().text; }
QString MessageBoxFacade::lastCaption() { return state().shown.empty() ? QString() : state().shown.back().caption; }
unsigned MessageBoxFacade::lastType() { return state().shown.empty() ? 0 : state().shown.back().type; }

void MessageBoxFacade::clear() {
    std::lock_guard guard(state().lock);
    state().answers.clear();
    state().shown.clear();
    state().pins.clear();
    state().pinPrompts.clear();
}

}  // namespace orvikdesk
