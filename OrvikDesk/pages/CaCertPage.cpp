#include "pages/CaCertPage.h"

#include <QAction>
#include <QMenu>

#include <winuser.h>

#include "CaCertStore.h"
#include "CertTrust.h"
#include "dialogs/CertImportDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/TrustConfirmDialog.h"
#include "ui/CommandIds.h"

namespace orvikdesk {

CCaCertPage::CCaCertPage(QWidget* parent)
    : CCertStorePage(IDD, std::make_unique<CCaCertStore>(CCaCertStore::WithRoots), CCertListModel::Fifth::Trust,
                     {156, 155}, QStringLiteral("CA证书列表"), parent) {
    trust_ = addItemCommand(QStringLiteral("信任..."), cmd::Trust);
    distrust_ = addItemCommand(QStringLiteral("不信任..."), cmd::Distrust);
}

void CCaCertPage::loaded() {
    CCertTrust trust;
    for (int i = 0; i < store().GetCertCount(); ++i) {
        CDigitalCertificate& cert = *store().getCert(i);
        const CCertTrust::State state = trust.Check(cert);
        QString text = state == CCertTrust::Trusted      ? QStringLiteral("受信任")
                       : state == CCertTrust::Distrusted ? QStringLiteral("已设为不信任")
                                                         : QStringLiteral("不受信任");
        if (CCertTrust::IsRoot(cert)) text += QStringLiteral("的根证书");
        if (CCertTrust::IsBuiltIn(cert)) text += QStringLiteral("（内置）");
        model()->setTrust(CCertListModel::thumbprintText(cert), text, state != CCertTrust::Trusted);
    }
}

void CCaCertPage::prepareItemMenus() {
    CDigitalCertificate* cert = selectedCertificate();
    if (!cert) return;
    // Trust is offered where it changes something: a root outside "Root", or what is distrusted.
    CCertTrust trust;
    const bool distrusted = trust.IsDistrusted(*cert);
    const bool mayTrust = distrusted || (CCertTrust::IsRoot(*cert) && !trust.InRoot(*cert));
    for (QMenu* menu : itemMenus()) {
        for (QAction* action : menu->actions()) {
            if (action->data().toInt() == cmd::Trust) action->setEnabled(mayTrust);
            if (action->data().toInt() == cmd::Distrust) action->setEnabled(!distrusted);
        }
    }
}

bool CCaCertPage::onCommand(int id) {
    switch (id) {
    case cmd::Trust: changeTrust(true); return true;
    case cmd::Distrust: changeTrust(false); return true;
    default: return CCertStorePage::onCommand(id);
    }
}

void CCaCertPage::changeTrust(bool trust) {
    CDigitalCertificate* cert = selectedCertificate();
    if (!cert) return;
    // A copy: the box runs an event loop, and a refresh meanwhile would free the store's object.
    CDigitalCertificate chosen(*cert);
    CTrustConfirmDialog confirm(
        chosen, trust ? CTrustConfirmDialog::Change::Trust : CTrustConfirmDialog::Change::Distrust, this);
    if (confirm.exec() != QDialog::Accepted) return;
    const CCertStore::Code rc = trust ? CCertTrust::Trust(chosen) : CCertTrust::Distrust(chosen);
    if (rc == CCertStore::NothingDone)
        controls::message(this, "只有根证书才能被信任；请信任颁发此证书的根证书。", MB_OK | MB_ICONEXCLAMATION);
    else if (rc != CCertStore::Ok)
        controls::message(this, "更改证书的信任设置失败！", MB_OK | MB_ICONHAND);
    const QString thumbprint = CCertListModel::thumbprintText(chosen);
    refresh();
    selectStoreRow(model()->rowOfThumbprint(thumbprint));
}

bool CCaCertPage::mayDelete(CDigitalCertificate& certificate) {
    if (!CCertTrust::IsBuiltIn(certificate)) return true;
    controls::message(this, "这是系统内置的证书颁发机构，不能删除；您可以将它设为不信任。", MB_OK | MB_ICONEXCLAMATION);
    return false;
}

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
