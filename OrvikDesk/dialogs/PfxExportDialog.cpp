#include "dialogs/PfxExportDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <winuser.h>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

CPfxExportDialog::CPfxExportDialog(QWidget* parent)
    : CExportDialog(IDD, QStringLiteral("请选择要导出的个人证书文件（.PFX）(&F)："), {".pfx", ".p12"},
                    "PFX Files (*.pfx)|*.pfx||", parent) {
    auto* grid = new QGridLayout;
    password_ = controls::edit(this, IDC_PASSWORD, true);
    grid->addWidget(controls::label(this, QStringLiteral("密码(&P):"), password_), 0, 0);
    grid->addWidget(password_, 0, 1);
    confirm_ = controls::edit(this, IDC_CONFIRM, true);
    grid->addWidget(controls::label(this, QStringLiteral("确认密码(&C):"), confirm_), 1, 0);
    grid->addWidget(confirm_, 1, 1);
    body()->addLayout(grid);
    tabThrough({password_, confirm_});
}

bool CPfxExportDialog::checkFields() {
    if (password_->text() != confirm_->text()) {
        controls::message(this, "密码不相同，请确保密码相同！", MB_OK | MB_ICONHAND);
        return false;
    }
    return true;
}

QString CPfxExportDialog::password() const { return password_->text(); }

}  // namespace orvikdesk
