// "输入PIN码": the PIN of the token that holds a certificate's private key.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;

namespace orvikdesk {

class CPinDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDC_PROMPT = 1, IDC_PIN = 2 };
    CPinDialog(QWidget* parent, const QString& prompt);
    QString pin() const;
    // Overwrites what was typed.
    void clear();

    // The question for this token, with the token's warnings.
    static QString promptFor(const QString& token, bool retry, bool countLow, bool finalTry);

private:
    void onOk();
    QLineEdit* pin_;
};

}  // namespace orvikdesk
