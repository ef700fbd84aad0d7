// Every message box of the program goes through here: the library's MessageBoxA and the
// program's own. Tests switch it to headless mode and answer the boxes one by one.
#pragma once

#include <QString>
#include <deque>

class QWidget;

namespace orvikdesk {

class MessageBoxFacade {
public:
    struct Shown {
        QString text, caption;
        unsigned type = 0;  // MB_* buttons | icon
        int answer = 0;
    };

    // The captions of the program's boxes: its own, and the directory search's.
    static QString caption() { return QStringLiteral("证书助手"); }
    static QString lookupCaption() { return QStringLiteral("查找用户"); }

    // Routes MessageBoxA of the libraries here (with the active window as owner), and the
    // platform's questions for a token's PIN.
    static void install();

    // Asks for a token's PIN in a password box, from any thread; false when the user declines.
    // Headless: the next queued PIN, or declined when none is queued; the prompt is recorded.
    static bool askPin(QWidget* owner, const QString& prompt, QString& pin);
    static void setNextPin(const QString& pin);
    static const std::deque<QString>& pinPrompts();  // headless PIN questions, oldest first

    // Shows a box (MB_OK | MB_ICONINFORMATION style) and returns the IDOK-style answer; an empty
    // caption is the program's.
    static int show(QWidget* owner, const QString& text, const QString& caption, unsigned type);

    // Headless: nothing is shown; each box takes the next queued answer, or the default button.
    static void setHeadless(bool headless);
    static void setNextAnswer(int answer);
    static const std::deque<Shown>& shown();  // headless boxes, oldest first
    static QString lastText();
    static QString lastCaption();
    static unsigned lastType();
    static void clear();
};

}  // namespace orvikdesk
