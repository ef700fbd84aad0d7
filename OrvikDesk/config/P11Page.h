// "浏览器和邮件程序": whether browsers and mail programs may use the personal certificates through
// the personal store's PKCS#11 module, and where that module is registered now; and how the
// private keys behind them are kept on this disk.
#pragma once

#include <QString>
#include <QWidget>
#include <string>
#include <vector>

#include <orvik/KeyProtection.h>

#include "P11Registration.h"

class QCheckBox;
class QLabel;
class QTreeWidget;

namespace orvikdesk {

class CP11Page : public QWidget {
    Q_OBJECT
public:
    enum { IDD = 300, IDC_ENABLE = 1300, IDC_TARGETS = 1301, IDC_KEY_STORAGE = 1302 };
    enum { ProgramColumn = 0, ProfileColumn = 1, StateColumn = 2 };

    // The box is checked when any program has the module.
    explicit CP11Page(QWidget* parent = nullptr);

    // The module every page registers; empty: the one beside the program. Tests name another.
    static void setModulePath(const std::string& path);

    bool enabled() const;
    // Registers everywhere when the box is checked and some program lacks the module, takes it
    // out everywhere when the box is cleared and some program has it. The list then shows the
    // outcome. Empty, or what the user must be told: what was left unchanged and why.
    QString apply();

    static QString stateText(CP11Registration::State state);
    static QString programText(const CP11Registration::Target& target);
    // The read-only line: sealed by the keyring or plain files.
    static QString keyStorageText(const orvik::KeyStorageState& state);

private:
    void showTargets(const std::vector<CP11Registration::Target>& targets);

    QCheckBox* enable_;
    QTreeWidget* list_;
    QLabel* keyStorage_;
    std::vector<CP11Registration::Target> targets_;
};

}  // namespace orvikdesk
