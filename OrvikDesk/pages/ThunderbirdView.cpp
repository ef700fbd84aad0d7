#include "pages/ThunderbirdView.h"

#include <QByteArray>
#include <map>
#include <set>

#include <winuser.h>

#include <orvik/Secret.h>

#include "DigitalCertificate.h"
#include "EmailAccount.h"
#include "LdapBatch.h"
#include "MyCertStore.h"
#include "dialogs/AccountCertDialog.h"
#include "dialogs/ContactCertDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/InputPasswordDialog.h"
#include "dialogs/LdapBatchDialog.h"
#include "ui/CommandIds.h"

namespace orvikdesk {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

std::string homeDir() { return qgetenv("HOME").toStdString(); }

std::string lower(const std::string& s) { return text(s).toLower().toStdString(); }

}  // namespace

bool CThunderbirdView::findProfile() {
    profile_ = {};
    found_ = CThunderbird::ChooseProfile(homeDir(), {}, profile_);
    return found_;
}

CMailClientView::EmptyHint CThunderbirdView::emptyHint() const {
    const QString refresh = QStringLiteral("刷新(&R)");
    if (!found_)
        return {QStringLiteral("没有找到Thunderbird的配置文件：~/.thunderbird以及snap版、flatpak版Thunderbird的"
                               "文件夹中都没有profiles.ini。\n请先启动一次Thunderbird并设置好邮件帐户，然后刷新。"),
                cmd::MailRefresh, refresh};
    return {QStringLiteral("Thunderbird的默认配置文件“%1”中没有%2。\n请在Thunderbird中添加后刷新。")
                .arg(text(profile_.name.empty() ? profile_.dir : profile_.name), items()),
            cmd::MailRefresh, refresh};
}

std::string CThunderbirdView::askPrimaryPassword(QWidget* owner) {
    CInputPasswordDialog dialog(owner);
    dialog.setWindowTitle(QStringLiteral("输入Thunderbird主密码"));
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.password().toStdString();
}

bool CThunderbirdView::confirmTrust(QWidget* owner, const std::string& authority) {
    const QString question =
        QStringLiteral(
            "Thunderbird需要信任颁发该证书的机构“%1”才能验证联系人的证书。\n是否信任该机构颁发的电子邮件证书？")
            .arg(text(authority));
    return controls::message(owner, question.toStdString().c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

bool CThunderbirdView::done(QWidget* owner, int result) {
    switch (result) {
    case CThunderbird::Ok: return true;
    case CThunderbird::Cancelled: break;  // the user said no to the password question
    case CThunderbird::Locked:
        controls::message(owner, "Thunderbird正在运行，请先退出Thunderbird，然后再设置证书。", MB_OK | MB_ICONWARNING);
        break;
    case CThunderbird::OldDatabase:
        controls::message(owner, "请先启动一次Thunderbird，使其转换证书数据库，然后再试。", MB_OK | MB_ICONWARNING);
        break;
    case CThunderbird::WrongPassword:
        controls::message(owner, "Thunderbird主密码不正确，证书未设置。", MB_OK | MB_ICONSTOP);
        break;
    case CThunderbird::NotExportable:
        controls::message(owner, "该证书的私钥不能导出，无法用于Thunderbird。", MB_OK | MB_ICONSTOP);
        break;
    default: saved(owner, false); break;
    }
    return false;
}

QString CTbIdentityView::name() const { return QStringLiteral("Thunderbird帐户管理"); }
QString CTbIdentityView::remark() const { return QStringLiteral("配置安全邮件"); }

std::vector<CMailClientView::Row> CTbIdentityView::load() {
    identities_.clear();
    if (findProfile()) CThunderbird::LoadIdentities(profile_.dir, identities_);
    std::vector<Row> rows;
    for (const auto& id : identities_)
        rows.push_back({text(id.fullName.empty() ? id.email : id.fullName), text(id.email), Account});
    return rows;
}

bool CTbIdentityView::configure(int row, QWidget* owner) {
    if (row < 0 || row >= static_cast<int>(identities_.size())) return false;
    const CThunderbird::Identity identity = identities_[static_cast<size_t>(row)];
    // The identity's certificates as the account dialog knows them: personal certificates by dbKey.
    CEmailAccount account;
    account.getEmailAddress()->setBytes(identity.email.data(), static_cast<int>(identity.email.size()));
    CMyCertStore mine;
    mine.OpenCertStore();
    for (int i = 0; i < mine.GetCertCount(); ++i) {
        CDigitalCertificate* c = mine.getCert(i);
        const std::string key = CThunderbird::DbKey(*c);
        if (!identity.signDbKey.empty() && key == identity.signDbKey) account.setSignCert(c);
        if (!identity.cryptDbKey.empty() && key == identity.cryptDbKey) account.setCrytpCert(c);
    }
    CDlgAccountCert dialog(account, owner);
    if (dialog.exec() != QDialog::Accepted) return false;
    CDigitalCertificate* sign = dialog.signCert();
    CDigitalCertificate* crypt = dialog.cryptCert();
    if (!crypt && sign && sign->isCryptUse()) crypt = sign;
    const int rc = CThunderbird::SetIdentityCerts(profile_.dir, identity.key, sign, crypt,
                                                  [owner] { return askPrimaryPassword(owner); });
    done(owner, rc);
    return true;
}

QString CTbContactView::name() const { return QStringLiteral("Thunderbird通讯簿管理"); }
QString CTbContactView::remark() const { return QStringLiteral("设置安全证书"); }

std::vector<CMailClientView::Row> CTbContactView::load() {
    contacts_.clear();
    std::set<std::string> withCerts;
    if (findProfile()) {
        CThunderbird::LoadContacts(profile_.dir, contacts_);
        withCerts = CThunderbird::CertAddresses(profile_.dir);
    }
    std::vector<Row> rows;
    for (const auto& c : contacts_)
        rows.push_back(
            {text(c.name), text(c.email), withCerts.count(lower(c.email)) ? WithCertificate : NoCertificate});
    return rows;
}

bool CTbContactView::configure(int row, QWidget* owner) {
    if (row < 0 || row >= static_cast<int>(contacts_.size())) return false;
    const CThunderbird::Contact contact = contacts_[static_cast<size_t>(row)];
    auto current = CThunderbird::CertsFor(profile_.dir, contact.email);
    CDlgContactCert dialog(current.empty() ? nullptr : current.front().get(), text(contact.email), owner);
    dialog.hideRemove();
    if (dialog.exec() != QDialog::Accepted || !dialog.result()) return false;
    const int rc = CThunderbird::ImportContactCert(
        profile_.dir, *dialog.result(), [owner] { return askPrimaryPassword(owner); },
        [owner](const std::string& ca) { return confirmTrust(owner, ca); });
    done(owner, rc);
    return true;
}

void CTbContactView::batch(QWidget* owner, const std::function<void()>& reread) {
    // Read on the side: the rows shown keep pointing at the lists they were made from.
    std::vector<CLdapBatch::Candidate> candidates;
    CThunderbird::Profile profile;
    std::vector<CThunderbird::Contact> contacts;
    if (CThunderbird::ChooseProfile(homeDir(), {}, profile)) {
        CThunderbird::LoadContacts(profile.dir, contacts);
        const std::set<std::string> withCerts = CThunderbird::CertAddresses(profile.dir);
        for (const auto& c : contacts) {
            if (withCerts.count(lower(c.email))) continue;
            CLdapBatch::Candidate candidate;
            candidate.name = c.name;
            candidate.email = c.email;
            candidates.push_back(std::move(candidate));
        }
    }
    if (candidates.empty()) {
        noCandidates(owner);
        return;
    }
    CDlgLdapBatchCon dialog(candidates, CDlgLdapBatchCon::OutlookExpress, owner);
    if (dialog.exec() != QDialog::Accepted) return;
    // One question per authority for the whole batch, and one password.
    std::map<std::string, bool> trusted;
    orvik::SecretString password;
    bool asked = false;
    int count = 0;
    int rc = CThunderbird::Ok;
    for (const CLdapBatch::Candidate& c : candidates) {
        if (!c.chosen) continue;
        rc = CThunderbird::ImportContactCert(
            profile.dir, *c.chosen,
            [&] {
                if (!asked) {
                    std::string typed = askPrimaryPassword(owner);
                    password.assign(typed.data(), typed.size());
                    orvik::wipe(typed);
                }
                asked = true;
                return std::string(password.data(), password.size());
            },
            [&](const std::string& ca) {
                if (!trusted.count(ca)) trusted[ca] = confirmTrust(owner, ca);
                return trusted[ca];
            });
        if (!done(owner, rc)) break;
        ++count;
    }
    reread();
    if (rc == CThunderbird::Cancelled && count == 0) return;
    summary(owner, count);
}

}  // namespace orvikdesk
