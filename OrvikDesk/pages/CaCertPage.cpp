#include "pages/CaCertPage.h"

#include <winuser.h>

#include "CaCertStore.h"
#include "dialogs/CertImportDialog.h"
#include "dialogs/DialogControls.h"

namespace orvikdesk {

CCaCertPage::CCaCertPage(QWidget* parent)
    : CCertStorePage(IDD, std::make_unique<CCaCertStore>(), false, {156, 155}, parent) {}

void CCaCertPage::importFile(const QString& path) {
    CCertImportDialog dialog(this);
    if (!path.isEmpty()) dialog.setPath(path);
    if (dialog.exec() != QDialog::Accepted) return;
    int rc = CCaCertStore().ImportCert(dialog.path().toStdString().c_str());
    if (rc == 0)
        controls::message(this, "导入证书成功！", MB_OK | MB_ICONINFORMATION);
    else if (rc == 8)
        controls::message(this, "导入失败，文件格式错误！", MB_OK | MB_ICONHAND);
    else
        controls::message(this, "导入失败！", MB_OK | MB_ICONHAND);
    refresh();
}

void CCaCertPage::exportCertificate() { exportDer("导出证书成功!", "导出失败!"); }

}  // namespace orvikdesk
