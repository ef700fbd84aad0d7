#include "dialogs/PinDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

CPinDialog::CPinDialog(QWidget* parent, const QString& prompt) : QDialog(parent) {
    setObjectName(QStringLiteral("CPinDialog"));
    setWindowTitle(QStringLiteral("输入PIN码"));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(prompt, this);
    label->setObjectName(QString::number(IDC_PROMPT));
    label->setWordWrap(true);
    layout->addWidget(label);
    pin_ = controls::edit(this, IDC_PIN, true);
    label->setBuddy(pin_);
    pin_->setMinimumWidth(320);
    layout->addWidget(pin_);
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &CPinDialog::onOk);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CPinDialog::promptFor(const QString& token, bool retry, bool countLow, bool finalTry) {
    QString text = retry ? QStringLiteral("PIN码错误，请重新输入设备“%1”的PIN码：").arg(token)
                         : QStringLiteral("请输入设备“%1”的PIN码：").arg(token);
    if (finalTry)
        text += QStringLiteral("\n注意：这是最后一次机会，再次输入错误，设备的PIN码将被锁定。");
    else if (countLow)
        text += QStringLiteral("\n注意：剩余的尝试次数已经不多了。");
    return text;
}

void CPinDialog::onOk() {
    if (pin_->text().isEmpty()) {
        controls::message(this, "请输入PIN码！", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    accept();
}

QString CPinDialog::pin() const { return pin_->text(); }

void CPinDialog::clear() {
    pin_->setText(QString(pin_->text().size(), QChar('x')));
    pin_->clear();
}

}  // namespace orvikdesk
