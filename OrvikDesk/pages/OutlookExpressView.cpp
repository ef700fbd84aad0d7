#include "pages/OutlookExpressView.h"

#include <QFile>

#include <winuser.h>

#include <orvik/RegFile.h>

#include "ContactCards.h"
#include "DigitalCertificate.h"
#include "LdapBatch.h"
#include "OtherCertStore.h"
#include "dialogs/AccountCertDialog.h"
#include "dialogs/ContactCertDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/LdapBatchDialog.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

QString COEAccountView::name() const { return QStringLiteral("Outlook Express帐户管理"); }
QString COEAccountView::remark() const { return QStringLiteral("配置安全邮件"); }

std::vector<CMailClientView::Row> COEAccountView::load() {
    // Without the accounts key the list is empty; that is no error to the user.
    accounts_.getEmailAcc();
    std::vector<Row> rows;
    for (int i = 0; i < accounts_.GetCount(); ++i) {
        CEmailAccount* a = accounts_.getAccount(i);
        rows.push_back({text(a->getAccountName()->getText()), text(a->getEmailAddress()->getText()), Account});
    }
    return rows;
}

bool COEAccountView::configure(int row, QWidget* owner) {
    CEmailAccount* account = accounts_.getAccount(row);
    if (!account) return false;
    CDlgAccountCert dialog(*account, owner);
    if (dialog.exec() != QDialog::Accepted) return false;
    CDigitalCertificate* sign = dialog.signCert();
    CDigitalCertificate* crypt = dialog.cryptCert();
    if (sign) account->setSignCert(sign);
    // The dialog starts from the account's own encryption certificate, so that one is kept;
    // only an account without one gets the signing certificate when it may encrypt.
    if (crypt)
        account->setCrytpCert(crypt);
    else if (sign && sign->isCryptUse())
        account->setCrytpCert(sign);
    saved(owner, accounts_.SaveEmailAcc(account) == 0);
    return false;
}

CMailClientView::EmptyHint COEAccountView::emptyHint() const {
    return {QStringLiteral("没有找到Outlook Express的邮件帐户。\n"
                           "在Windows上用注册表编辑器把“HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account "
                           "Manager\\Accounts”导出为.reg文件，再用下面的按钮导入；也可以在终端中运行“orvikctl "
                           "reg-import 文件.reg”。"),
            cmd::ImportRegFile, QStringLiteral("从.reg文件导入帐户(&I)...")};
}

std::vector<int> COEAccountView::commands() const { return {cmd::ImportRegFile}; }

bool COEAccountView::onCommand(int id, QWidget* owner) {
    if (id != cmd::ImportRegFile) return false;
    importRegFile(owner);
    return true;
}

// The file goes in whole or not at all, and only with the keys of mail and of the assistant.
void COEAccountView::importRegFile(QWidget* owner) {
    const QString path =
        FileDialogFacade::open(owner, QStringLiteral("reg"), QStringLiteral("注册表文件 (*.reg)|*.reg||"));
    if (path.isEmpty()) return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > static_cast<qint64>(orvik::kMaxRegFileBytes)) {
        controls::message(owner, "无法读取该注册表文件！", MB_OK | MB_ICONSTOP);
        return;
    }
    const QByteArray bytes = file.readAll();
    const orvik::RegImportResult result = orvik::importRegFile(std::string_view(bytes.constData(), bytes.size()));
    if (!result.refused.empty()) {
        controls::message(owner, "该文件含有邮件帐户、通讯簿、Foxmail和本助手设置以外的注册表项，没有导入任何内容！",
                          MB_OK | MB_ICONSTOP);
        return;
    }
    if (!result.ok) {
        const QString why = QStringLiteral("无法导入该注册表文件，没有导入任何内容：\n%1").arg(text(result.error));
        controls::message(owner, why.toStdString().c_str(), MB_OK | MB_ICONSTOP);
        return;
    }
    COEEmailAcc now;
    now.getEmailAcc();
    const QString done = QStringLiteral("导入完成，现有%1个Outlook Express邮件帐户。").arg(now.GetCount());
    controls::message(owner, done.toStdString().c_str(), MB_OK | MB_ICONINFORMATION);
}

QString COEContactView::name() const { return QStringLiteral("Outlook Express通讯簿管理"); }
QString COEContactView::remark() const { return QStringLiteral("设置安全证书"); }

std::vector<CMailClientView::Row> COEContactView::load() {
    if (book_.GetContacts() != 0) book_.ClearContactVector();
    COtherCertStore store;
    store.OpenCertStore();
    std::vector<Row> rows;
    for (CContact* c : book_.getContacts()) {
        const bool has = c->getDefaultCert(&store) != nullptr;
        rows.push_back({text(c->getDisplayName()), text(c->getEmail()), has ? WithCertificate : NoCertificate});
    }
    return rows;
}

bool COEContactView::configure(int row, QWidget* owner) {
    CContact* contact = book_.getContact(row);
    if (!contact) return false;
    COtherCertStore store;
    store.OpenCertStore();
    CDlgContactCert dialog(contact->getDefaultCert(&store), text(contact->getEmail()), owner);
    if (dialog.exec() != QDialog::Accepted) return false;
    contact->SetDefaultCert(dialog.result());
    saved(owner, book_.SaveContact(contact) == 0);
    return true;
}

void COEContactView::batch(QWidget* owner, const std::function<void()>& reread) {
    COtherCertStore store;
    store.OpenCertStore();
    std::vector<CLdapBatch::Candidate> candidates = CLdapBatch::OutlookCandidates(book_, store);
    runBookBatch(owner, CLdapBatch::OutlookExpress, candidates, &book_, nullptr, reread);
}

CMailClientView::EmptyHint COEContactView::emptyHint() const {
    return {QStringLiteral("通讯簿中没有联系人。\n"
                           "在Windows通讯簿中把联系人导出为vCard名片（.vcf），再用下面的按钮导入；也可以在终端中运行"
                           "“orvikctl vcard-import 文件.vcf”。Windows通讯簿文件（.wab）不能直接导入。"),
            cmd::ImportVCard, QStringLiteral("从vCard文件导入联系人(&I)...")};
}

std::vector<int> COEContactView::commands() const { return {cmd::ImportVCard}; }

bool COEContactView::onCommand(int id, QWidget* owner) {
    if (id != cmd::ImportVCard) return false;
    importVCard(owner);
    return true;
}

void COEContactView::importVCard(QWidget* owner) {
    const QString path =
        FileDialogFacade::open(owner, QStringLiteral("vcf"), QStringLiteral("vCard 文件 (*.vcf)|*.vcf||"));
    if (path.isEmpty()) return;
    COtherCertStore store;
    store.OpenCertStore();
    CContactCards::Result result;
    const int rc = CContactCards::Import(path.toStdString(), book_, store, result);
    switch (rc) {
    case 0: {
        QString done = QStringLiteral("成功导入%1个联系人，%2个证书。").arg(result.imported).arg(result.certificates);
        if (result.duplicates) done += QStringLiteral("\n另有%1个联系人已在通讯簿中。").arg(result.duplicates);
        if (!result.damaged.empty()) {
            done += QStringLiteral("\n以下%1张名片已损坏，未导入：").arg(result.damaged.size());
            for (const CVCard::Problem& d : result.damaged)
                done += d.card == 0
                            ? QStringLiteral("\n%1").arg(text(d.error))
                            : QStringLiteral("\n第%1张（%2）：%3").arg(d.card).arg(text(d.name)).arg(text(d.error));
        }
        controls::message(owner, done.toStdString().c_str(), MB_OK | MB_ICONINFORMATION);
        return;
    }
    case 3: controls::message(owner, "无法读取该vCard文件！", MB_OK | MB_ICONSTOP); return;
    case 8: controls::message(owner, "该vCard文件已损坏，没有导入任何联系人！", MB_OK | MB_ICONSTOP); return;
    case 4: controls::message(owner, "无法保存联系人的证书！", MB_OK | MB_ICONSTOP); return;
    default: controls::message(owner, "无法写入通讯簿，没有导入任何联系人！", MB_OK | MB_ICONSTOP); return;
    }
}

}  // namespace orvikdesk
