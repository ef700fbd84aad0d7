#include "pages/MailClientView.h"

#include <winuser.h>

#include "dialogs/DialogControls.h"
#include "dialogs/LdapBatchDialog.h"
#include "pages/FoxmailView.h"
#include "pages/OutlookExpressView.h"
#include "pages/ThunderbirdView.h"

namespace orvikdesk {

QStringList CMailClientView::columns() const {
    return {hasContacts() ? QStringLiteral("联系人姓名") : QStringLiteral("邮件帐户"), QStringLiteral("电子邮件地址")};
}

void CMailClientView::batch(QWidget*, const std::function<void()>&) {}

bool CMailClientView::onCommand(int, QWidget*) { return false; }

std::vector<std::unique_ptr<CMailClientView>> CMailClientView::all() {
    std::vector<std::unique_ptr<CMailClientView>> views;
    views.push_back(std::make_unique<COEAccountView>());
    views.push_back(std::make_unique<COEContactView>());
    views.push_back(std::make_unique<CFoxAccountView>());
    views.push_back(std::make_unique<CFoxContactView>());
    views.push_back(std::make_unique<CTbIdentityView>());
    views.push_back(std::make_unique<CTbContactView>());
    return views;
}

void CMailClientView::saved(QWidget* owner, bool ok) {
    if (!ok) controls::message(owner, "保存证书设置失败！", MB_OK | MB_ICONSTOP);
}

void CMailClientView::summary(QWidget* owner, int count) {
    controls::message(owner, QStringLiteral("你共为%1个联系人配置了加密证书").arg(count).toStdString().c_str(),
                      MB_OK | MB_ICONINFORMATION);
}

void CMailClientView::noCandidates(QWidget* owner) {
    controls::message(owner, "可需要批量配置的联系人个数为零！", MB_OK | MB_ICONINFORMATION);
}

void CMailClientView::runBookBatch(QWidget* owner, CLdapBatch::Kind kind,
                                   std::vector<CLdapBatch::Candidate>& candidates, COEAddrBook* book, CFoxmail* foxmail,
                                   const std::function<void()>& reread) {
    if (candidates.empty()) {
        reread();
        noCandidates(owner);
        return;
    }
    CDlgLdapBatchCon dialog(candidates, static_cast<CDlgLdapBatchCon::Mode>(kind), owner);
    if (dialog.exec() != QDialog::Accepted) {
        reread();
        return;
    }
    bool failed = false;
    const int count = CLdapBatch::Apply(kind, candidates, book, foxmail, [&failed](size_t, CLdapBatch::Outcome o) {
        failed = failed || o == CLdapBatch::Failed;
    });
    reread();
    if (failed) {
        controls::message(owner, "设置默认证书失败！", MB_OK | MB_ICONSTOP);
        return;
    }
    summary(owner, count);
}

}  // namespace orvikdesk
