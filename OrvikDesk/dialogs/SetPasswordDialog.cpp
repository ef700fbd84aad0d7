#include "dialogs/SetPasswordDialog.h"

#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

CSetPasswordDialog::CSetPasswordDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("设置保护密码"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    password_ = controls::edit(this, IDC_PASSWORD, true);
    again_ = controls::edit(this, IDC_AGAIN, true);
    // The form's labels are the fields' buddies.
    form->addRow(QStringLiteral("保护密码(&P)"), password_);
    form->addRow(QStringLiteral("再次输入(&A)"), again_);
    layout->addLayout(form);
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &CSetPasswordDialog::onOk);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CSetPasswordDialog::onOk() {
    if (password_->text().isEmpty()) {
        controls::message(this, "请输入密码！", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    if (again_->text() != password_->text()) {
        controls::message(this, "输入密码不一致，请重新输入！", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    accept();
}

QString CSetPasswordDialog::password() const { return password_->text(); }

}  // namespace orvikdesk
