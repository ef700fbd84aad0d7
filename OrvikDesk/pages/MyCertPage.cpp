#include "pages/MyCertPage.h"

#include <winuser.h>

#include "MyCertStore.h"
#include "PFXFile.h"
#include "TokenMessages.h"
#include "pages/CertListModel.h"
#include "dialogs/DialogControls.h"
#include "dialogs/PfxExportDialog.h"
#include "dialogs/PfxImportDialog.h"

namespace orvikdesk {

CMyCertPage::CMyCertPage(QWidget* parent)
    : CCertStorePage(IDD, std::make_unique<CMyCertStore>(), CCertListModel::Fifth::Status, {154, 155},
                     QStringLiteral("个人证书列表"), parent) {}

// The personal page always shows a state: from the cache unless online checks are on.
CCertStorePage::StatusCheck CMyCertPage::statusCheck() const {
    return onlineChecks() ? StatusCheck::Online : StatusCheck::CacheOnly;
}

void CMyCertPage::importFile(const QString& path) {
    CPfxImportDialog dialog(this);
    if (!path.isEmpty()) dialog.setPath(path);
    // A mistake the user mends in the dialog (no file, the wrong file, a wrong password) brings
    // it back with everything typed still there.
    while (dialog.exec() == QDialog::Accepted) {
        if (dialog.pathEmpty()) {
            controls::message(this, "请选定一个文件！", MB_OK | MB_ICONHAND);
            continue;
        }
        if (!dialog.fileExists()) {
            controls::message(this, "您所指定的文件不存在！", MB_OK | MB_ICONHAND);
            continue;
        }
        controls::Secret password(dialog.password());
        const std::string device = dialog.device().toStdString(), file = dialog.path().toStdString();
        CMyCertStore target;
        int rc = target.ImportP12(device.empty() ? nullptr : device.c_str(), file.c_str(), password.c_str());
        if (const char* problem = rc == 4 ? TokenErrorText(target.DeviceError()) : nullptr) {
            controls::message(this, (std::string("导入失败！") + problem).c_str(), MB_OK | MB_ICONHAND);
            break;
        }
        switch (rc) {
        case 0: controls::message(this, "导入成功！", MB_OK | MB_ICONINFORMATION); break;
        case 6: controls::message(this, "导入失败，文件格式错误！", MB_OK | MB_ICONHAND); continue;
        case 7:
            controls::message(this, "导入失败，口令错误！", MB_OK | MB_ICONHAND);
            dialog.focusPassword();
            continue;
        default:
            // A file of a newer tool: say what it uses rather than let the user doubt the password.
            if (std::string form; rc == 5 && InspectPkcs12(file.c_str(), password.c_str(), form) == -1 && !form.empty())
                controls::message(this, ("导入失败，不支持文件所用的保护方式（" + form + "）！").c_str(),
                                  MB_OK | MB_ICONHAND);
            else
                controls::message(this, "导入失败！", MB_OK | MB_ICONHAND);
            break;
        }
        break;
    }
    refresh();
}

void CMyCertPage::exportCertificate() {
    const QString thumbprint = selectedThumbprint();
    CPfxExportDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    // The dialog's event loop may have changed the selection: export what was chosen.
    if (selectedThumbprint() != thumbprint) selectStoreRow(model()->rowOfThumbprint(thumbprint));
    int index = selectedStoreIndex();
    controls::Secret password(dialog.password());
    const CMyCertStore::Result rc = index >= 0 ? static_cast<CMyCertStore&>(store()).ExportP12(
                                                     index, dialog.target().toStdString().c_str(), password.c_str())
                                               : CMyCertStore::NoCertificateAt;
    if (rc == CMyCertStore::Ok)
        controls::message(this, "导出证书成功！", MB_OK | MB_ICONINFORMATION);
    else
        controls::message(this, "导出失败！", MB_OK | MB_ICONHAND);
}

}  // namespace orvikdesk
