// The help file (OrvikDesk.html beside the program) in a window of the program; one window,
// brought to the front by every help command.
#pragma once

#include <QString>
#include <QTextBrowser>

namespace orvikdesk {

class CHelpWindow : public QTextBrowser {
    Q_OBJECT
public:
    // Shows the help file; false when it cannot be found (then nothing is shown).
    static bool open();
    static QString helpPath();
    static CHelpWindow* instance();  // null until the first open

private:
    CHelpWindow();
};

}  // namespace orvikdesk
