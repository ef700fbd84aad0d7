#include "pages/FoxmailView.h"

#include <QFileInfo>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "LdapBatch.h"
#include "dialogs/DialogControls.h"
#include "dialogs/FoxAccountCertDialog.h"
#include "dialogs/FoxContactCertsDialog.h"
#include "dialogs/LdapBatchDialog.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

bool hasAccountList(const std::string& folder) {
    return !folder.empty() && QFileInfo(text(CFoxmail::ResolvePath(folder, "accounts.cfg"))).isFile();
}

}  // namespace

void CFoxmailView::noteFolder() {
    folder_.clear();
    CFoxmail::FindFoxmailDir(folder_);
    hasAccountList_ = hasAccountList(folder_);
}

CMailClientView::EmptyHint CFoxmailView::emptyHint() const {
    const QString choose = QStringLiteral("设置Foxmail目录(&D)...");
    if (!hasAccountList_)
        return {QStringLiteral("没有找到Foxmail的目录。\n请用下面的按钮选择Foxmail的安装目录，即含有帐户文件"
                               "accounts.cfg和Address文件夹的那个文件夹（例如从Windows复制过来的Foxmail文件夹）。"),
                cmd::FoxmailFolder, choose};
    return {QStringLiteral("Foxmail目录“%1”中没有%2。\n如果要使用另一个Foxmail目录，请用下面的按钮重新选择。")
                .arg(text(folder_), items()),
            cmd::FoxmailFolder, choose};
}

std::vector<int> CFoxmailView::commands() const { return {cmd::FoxmailFolder}; }

bool CFoxmailView::onCommand(int id, QWidget* owner) {
    if (id != cmd::FoxmailFolder) return false;
    const QString dir = FileDialogFacade::folder(owner, QStringLiteral("选择Foxmail的安装目录"));
    if (dir.isEmpty()) return false;
    if (!hasAccountList(dir.toStdString())) {
        controls::message(owner, "所选目录中没有Foxmail的帐户文件（accounts.cfg）！", MB_OK | MB_ICONWARNING);
        return false;
    }
    if (CFoxmail::SetFoxmailDir(dir.toStdString()) != 0) {
        controls::message(owner, "无法保存Foxmail目录！", MB_OK | MB_ICONSTOP);
        return false;
    }
    return true;
}

QString CFoxAccountView::name() const { return QStringLiteral("FoxMail帐户管理"); }
QString CFoxAccountView::remark() const { return QStringLiteral("配置安全邮件"); }

std::vector<CMailClientView::Row> CFoxAccountView::load() {
    noteFolder();
    // Without Foxmail the list is empty, and no message: the empty list says what it needs.
    foxmail_.LoadAccounts();
    std::vector<Row> rows;
    for (const auto& a : foxmail_.accounts())
        rows.push_back({text(a->getAccountName()->getText()), text(a->getEmailAddress()->getText()), Account});
    return rows;
}

bool CFoxAccountView::configure(int row, QWidget* owner) {
    if (row < 0 || row >= static_cast<int>(foxmail_.accounts().size())) return false;
    CEmailAccount& account = *foxmail_.accounts()[static_cast<size_t>(row)];
    CDlgFoxAccountCert dialog(account, owner);
    if (dialog.exec() != QDialog::Accepted || !dialog.signCert()) return false;
    account.setSignCert(dialog.signCert());
    saved(owner, foxmail_.SaveAccountSignCert(&account) == 0);
    return false;
}

QString CFoxContactView::name() const { return QStringLiteral("FoxMail通讯簿管理"); }
QString CFoxContactView::remark() const { return QStringLiteral("设置安全证书"); }

std::vector<CMailClientView::Row> CFoxContactView::load() {
    noteFolder();
    foxmail_.LoadAddressBooks();
    std::vector<Row> rows;
    for (const auto& c : foxmail_.contacts())
        rows.push_back({text(c->name), text(c->email), c->certMarker ? WithCertificate : NoCertificate});
    return rows;
}

bool CFoxContactView::configure(int row, QWidget* owner) {
    if (row < 0 || row >= static_cast<int>(foxmail_.contacts().size())) return false;
    CFoxContact& contact = *foxmail_.contacts()[static_cast<size_t>(row)];
    CDlgFoxContactCerts dialog(contact, owner);
    if (dialog.exec() != QDialog::Accepted) return false;
    CFoxContact before = contact;
    contact.setCerts(dialog.certificates());
    const bool ok = foxmail_.SaveContact(&contact) == 0;
    if (!ok) contact = before;
    saved(owner, ok);
    return true;
}

void CFoxContactView::batch(QWidget* owner, const std::function<void()>& reread) {
    foxmail_.LoadAddressBooks();
    std::vector<CLdapBatch::Candidate> candidates = CLdapBatch::FoxmailCandidates(foxmail_);
    runBookBatch(owner, CLdapBatch::Foxmail, candidates, nullptr, &foxmail_, reread);
}

}  // namespace orvikdesk
