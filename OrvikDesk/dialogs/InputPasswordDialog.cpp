#include "dialogs/InputPasswordDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

CInputPasswordDialog::CInputPasswordDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("输入保护密码"));
    auto* layout = new QVBoxLayout(this);
    password_ = controls::edit(this, IDC_PASSWORD, true);
    layout->addWidget(controls::label(this, QStringLiteral("请输入保护密码(&P)："), password_));
    password_->setMinimumWidth(240);
    layout->addWidget(password_);
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &CInputPasswordDialog::onOk);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CInputPasswordDialog::onOk() {
    if (password_->text().isEmpty()) {
        controls::message(this, "请输入密码！", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    accept();
}

QString CInputPasswordDialog::password() const { return password_->text(); }

}  // namespace orvikdesk
