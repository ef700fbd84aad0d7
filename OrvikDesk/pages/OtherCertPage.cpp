#include "pages/OtherCertPage.h"

#include <winuser.h>

#include "OtherCertStore.h"
#include "dialogs/CertImportDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/DirectorySearchDialog.h"
#include "ui/CommandIds.h"

namespace orvikdesk {

COtherCertPage::COtherCertPage(QWidget* parent)
    : CCertStorePage(IDD, std::make_unique<COtherCertStore>(), CCertListModel::Fifth::Status, {154, 207},
                     QStringLiteral("其他人证书列表"), parent) {}

CCertStorePage::StatusCheck COtherCertPage::statusCheck() const {
    return onlineChecks() ? StatusCheck::Online : StatusCheck::None;
}

bool COtherCertPage::onCommand(int id) {
    if (id == cmd::ImportFromLdap) {
        importFromDirectory();
        return true;
    }
    return CCertStorePage::onCommand(id);
}

void COtherCertPage::importFile(const QString& path) {
    CCertImportDialog dialog(this);
    if (!path.isEmpty()) dialog.setPath(path);
    if (dialog.exec() != QDialog::Accepted) return;
    // The file may have gone since the dialog looked.
    if (!dialog.checkPath()) return;
    int rc = COtherCertStore().ImportCert(dialog.path().toStdString().c_str());
    if (rc == 0)
        controls::message(this, "导入证书成功!", MB_OK | MB_ICONINFORMATION);
    else if (rc == 8)
        controls::message(this, "导入失败，文件格式错误!", MB_OK | MB_ICONHAND);
    else
        controls::message(this, "导入失败!", MB_OK | MB_ICONHAND);
    refresh();
}

void COtherCertPage::exportCertificate() { exportDer("导出证书成功!", "导出失败!"); }

void COtherCertPage::importFromDirectory() {
    CDirectorySearchDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted || !dialog.chosen()) return;
    if (COtherCertStore().ImportCert(dialog.chosen()) == 0) {
        controls::message(this, "导入证书成功！", MB_OK | MB_ICONINFORMATION);
        refresh();
    } else {
        controls::message(this, "从LDAP导入证书失败！", MB_OK | MB_ICONHAND);
    }
}

}  // namespace orvikdesk
