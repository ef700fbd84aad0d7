#include "pages/MailPage.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>
#include <map>
#include <set>

#include <winuser.h>

#include "ContactCards.h"
#include "DigitalCertificate.h"
#include "LdapBatch.h"
#include "MyCertStore.h"
#include "OtherCertStore.h"
#include "dialogs/AccountCertDialog.h"
#include "dialogs/ContactCertDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/FoxAccountCertDialog.h"
#include "dialogs/FoxContactCertsDialog.h"
#include "dialogs/HelpWindow.h"
#include "dialogs/InputPasswordDialog.h"
#include "dialogs/LdapBatchDialog.h"
#include "ui/Artwork.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"
#include "ui/MenuFactory.h"
#include "widgets/ReportList.h"

namespace orvikdesk {

namespace {

struct FunctionText {
    const char* name;
    const char* remark;
    int image;
};
constexpr FunctionText kFunctions[] = {
    {"Outlook Express帐户管理", "配置安全邮件", 2}, {"Outlook Express通讯簿管理", "设置安全证书", 3},
    {"FoxMail帐户管理", "配置安全邮件", 2},         {"FoxMail通讯簿管理", "设置安全证书", 3},
    {"Thunderbird帐户管理", "配置安全邮件", 2},     {"Thunderbird通讯簿管理", "设置安全证书", 3},
};

enum Image { NoCertificate = 0, WithCertificate = 1 };

QIcon image(int index) { return artwork::listImage(267, 270, index); }

void addRow(QStandardItemModel* model, const QIcon& icon, const QString& first, const QString& second) {
    auto* a = new QStandardItem(icon, first);
    auto* b = new QStandardItem(second);
    a->setEditable(false);
    b->setEditable(false);
    model->appendRow({a, b});
}

QString text(const std::string& s) { return QString::fromStdString(s); }

// A menu without the items of these ids, and without the separators that were left doubled.
void removeItems(QMenu* menu, std::initializer_list<int> ids) {
    for (int id : ids)
        if (QAction* a = menus::find(menu, id)) menu->removeAction(a);
    QAction* previous = nullptr;
    for (QAction* a : menu->actions()) {
        if (a->isSeparator() && (!previous || previous->isSeparator())) {
            menu->removeAction(a);
            continue;
        }
        previous = a;
    }
    if (previous && previous->isSeparator()) menu->removeAction(previous);
}

bool isContacts(int function) {
    return function == CMailPage::OEContacts || function == CMailPage::FoxContacts || function == CMailPage::TbContacts;
}

std::string homeDir() {
    const QByteArray home = qgetenv("HOME");
    return home.toStdString();
}

}  // namespace

CMailPage::CMailPage(QWidget* parent) : CPage(IDD, parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    levels_ = new QStackedWidget(this);
    functions_ = new CReportList(IDC_FUNCTIONS, levels_);
    items_ = new CReportList(IDC_ITEMS, levels_);
    levels_->addWidget(functions_);
    levels_->addWidget(items_);
    layout->addWidget(levels_);

    QStandardItemModel* model = functions_->model();
    model->setHorizontalHeaderLabels({QStringLiteral("名称"), QStringLiteral("备注")});
    for (const FunctionText& f : kFunctions)
        addRow(model, image(f.image), QString::fromUtf8(f.name), QString::fromUtf8(f.remark));
    functions_->details()->header()->resizeSection(0, 200);
    functions_->setMode(CReportList::Mode::LargeIcons);

    bar_ = makeMenus(true);
    context_ = makeMenus(false);
    QMenu* holder = menus::popup(155, 0, this);
    for (QAction* a : holder->actions())
        if (a->menu() && a->menu()->title() == QStringLiteral("查看")) view_ = a->menu();

    for (CReportList* list : {functions_, items_}) {
        connect(list, &CReportList::selectionChanged, this, &CPage::menusChanged);
        connect(list, &CReportList::contextMenuRequested, this, &CMailPage::showContextMenu);
    }
    connect(functions_, &CReportList::rowActivated, this, &CMailPage::open);
    connect(items_, &CReportList::rowActivated, this, &CMailPage::configure);
}

CMailPage::~CMailPage() = default;

// The bar's menus and the context menus are separate objects: the frame handles what is chosen
// in the one, the page what is chosen in the other.
CMailPage::Menus CMailPage::makeMenus(bool forBar) {
    Menus m{};
    m.firstRow = menus::popup(238, 0, this);
    m.firstNoRow = menus::popup(239, 0, this);
    m.row = menus::popup(240, 0, this);
    for (int f = 0; f < FunctionCount; ++f) {
        m.noRow[f] = menus::popup(241, 0, this);
        if (!isContacts(f)) removeItems(m.noRow[f], {cmd::BatchConfigure});
        if (f != OEContacts) removeItems(m.noRow[f], {cmd::ImportVCard});
        if (f != FoxAccounts && f != FoxContacts) removeItems(m.noRow[f], {cmd::FoxmailFolder});
    }
    if (forBar) {
        std::vector<QMenu*> all{m.firstRow, m.firstNoRow, m.row};
        all.insert(all.end(), std::begin(m.noRow), std::end(m.noRow));
        for (QMenu* menu : all) {
            menu->addSeparator();
            QMenu* configure = menus::popup(269, 0, menu);
            menu->addMenu(configure);
        }
    }
    return m;
}

bool CMailPage::atFirstLevel() const { return levels_->currentWidget() == functions_; }

CReportList* CMailPage::shownList() const { return atFirstLevel() ? functions_ : items_; }

QMenu* CMailPage::operateMenu() {
    const bool row = shownList()->currentRow() >= 0;
    if (atFirstLevel()) return row ? bar_.firstRow : bar_.firstNoRow;
    return row ? bar_.row : bar_.noRow[opened_];
}

QMenu* CMailPage::contextMenu(bool onRow) const {
    if (atFirstLevel()) return onRow ? context_.firstRow : context_.firstNoRow;
    return onRow ? context_.row : context_.noRow[opened_];
}

void CMailPage::showContextMenu(int row, const QPoint& globalPos) {
    if (QAction* chosen = contextMenu(row >= 0)->exec(globalPos))
        if (int id = menus::commandOf(chosen)) onCommand(id);
}

void CMailPage::open(int function) {
    if (function < 0 || function >= FunctionCount) return;
    opened_ = function;
    levels_->setCurrentWidget(items_);
    fill();
    emit menusChanged();
}

void CMailPage::back() {
    levels_->setCurrentWidget(functions_);
    emit menusChanged();
}

void CMailPage::fill() {
    QStandardItemModel* model = items_->model();
    model->clear();
    const bool contacts = isContacts(opened_);
    model->setHorizontalHeaderLabels(
        {contacts ? QStringLiteral("联系人姓名") : QStringLiteral("邮件帐户"), QStringLiteral("电子邮件地址")});
    items_->details()->header()->resizeSection(0, 120);
    items_->details()->header()->resizeSection(1, 200);
    // Without the mail client's data the lists are empty; that is no error to the user.
    switch (opened_) {
    case OEAccounts:
        accounts_.getEmailAcc();
        for (int i = 0; i < accounts_.GetCount(); ++i) {
            CEmailAccount* a = accounts_.getAccount(i);
            addRow(model, image(2), text(a->getAccountName()->getText()), text(a->getEmailAddress()->getText()));
        }
        break;
    case OEContacts: {
        if (book_.GetContacts() != 0) book_.ClearContactVector();
        COtherCertStore store;
        store.OpenCertStore();
        for (CContact* c : book_.getContacts()) {
            const bool has = c->getDefaultCert(&store) != nullptr;
            addRow(model, image(has ? WithCertificate : NoCertificate), text(c->getDisplayName()), text(c->getEmail()));
        }
        break;
    }
    case FoxAccounts:
        foxmail_.LoadAccounts();
        for (const auto& a : foxmail_.accounts())
            addRow(model, image(2), text(a->getAccountName()->getText()), text(a->getEmailAddress()->getText()));
        break;
    case FoxContacts:
        foxmail_.LoadAddressBooks();
        for (const auto& c : foxmail_.contacts())
            addRow(model, image(c->certMarker ? WithCertificate : NoCertificate), text(c->name), text(c->email));
        break;
    case TbAccounts:
        identities_.clear();
        if (CThunderbird::ChooseProfile(homeDir(), {}, profile_))
            CThunderbird::LoadIdentities(profile_.dir, identities_);
        for (const auto& id : identities_)
            addRow(model, image(2), text(id.fullName.empty() ? id.email : id.fullName), text(id.email));
        break;
    case TbContacts: {
        tbContacts_.clear();
        std::set<std::string> withCerts;
        if (CThunderbird::ChooseProfile(homeDir(), {}, profile_)) {
            CThunderbird::LoadContacts(profile_.dir, tbContacts_);
            withCerts = CThunderbird::CertAddresses(profile_.dir);
        }
        for (const auto& c : tbContacts_) {
            const bool has = withCerts.count(QString::fromStdString(c.email).toLower().toStdString()) > 0;
            addRow(model, image(has ? WithCertificate : NoCertificate), text(c.name), text(c.email));
        }
        break;
    }
    default: break;
    }
    emit menusChanged();
}

void CMailPage::configure(int row) {
    if (atFirstLevel() || row < 0) return;
    switch (opened_) {
    case OEAccounts:
        if (CEmailAccount* a = accounts_.getAccount(row)) applyAccount(*a);
        break;
    case OEContacts:
        if (CContact* c = book_.getContact(row)) applyContact(*c, row);
        break;
    case FoxAccounts:
        if (row < static_cast<int>(foxmail_.accounts().size()))
            applyFoxAccount(*foxmail_.accounts()[static_cast<size_t>(row)]);
        break;
    case FoxContacts:
        if (row < static_cast<int>(foxmail_.contacts().size()))
            applyFoxContact(*foxmail_.contacts()[static_cast<size_t>(row)], row);
        break;
    case TbAccounts:
        if (row < static_cast<int>(identities_.size())) applyTbIdentity(identities_[static_cast<size_t>(row)]);
        break;
    case TbContacts:
        if (row < static_cast<int>(tbContacts_.size())) applyTbContact(tbContacts_[static_cast<size_t>(row)], row);
        break;
    default: break;
    }
}

// The settings are the user's protection: a save that did not happen is said.
void CMailPage::saved(bool ok) {
    if (!ok) controls::message(this, "保存证书设置失败！", MB_OK | MB_ICONSTOP);
}

void CMailPage::applyAccount(CEmailAccount& account) {
    CDlgAccountCert dialog(account, this);
    if (dialog.exec() != QDialog::Accepted) return;
    CDigitalCertificate* sign = dialog.signCert();
    CDigitalCertificate* crypt = dialog.cryptCert();
    if (sign) account.setSignCert(sign);
    // The dialog starts from the account's own encryption certificate, so that one is kept;
    // only an account without one gets the signing certificate when it may encrypt.
    if (crypt)
        account.setCrytpCert(crypt);
    else if (sign && sign->isCryptUse())
        account.setCrytpCert(sign);
    saved(accounts_.SaveEmailAcc(&account) == 0);
}

void CMailPage::applyContact(CContact& contact, int row) {
    COtherCertStore store;
    store.OpenCertStore();
    CDlgContactCert dialog(contact.getDefaultCert(&store), text(contact.getEmail()), this);
    if (dialog.exec() != QDialog::Accepted) return;
    contact.SetDefaultCert(dialog.result());
    saved(book_.SaveContact(&contact) == 0);
    fill();
    items_->selectRow(row);
}

void CMailPage::applyFoxAccount(CEmailAccount& account) {
    CDlgFoxAccountCert dialog(account, this);
    if (dialog.exec() != QDialog::Accepted || !dialog.signCert()) return;
    account.setSignCert(dialog.signCert());
    saved(foxmail_.SaveAccountSignCert(&account) == 0);
}

void CMailPage::applyFoxContact(CFoxContact& contact, int row) {
    CDlgFoxContactCerts dialog(contact, this);
    if (dialog.exec() != QDialog::Accepted) return;
    CFoxContact before = contact;
    contact.setCerts(dialog.certificates());
    const bool ok = foxmail_.SaveContact(&contact) == 0;
    if (!ok) contact = before;
    saved(ok);
    fill();
    items_->selectRow(row);
}

std::string CMailPage::askPrimaryPassword() {
    CInputPasswordDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("输入Thunderbird主密码"));
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.password().toStdString();
}

bool CMailPage::confirmTrust(const std::string& authority) {
    const QString question =
        QStringLiteral(
            "Thunderbird需要信任颁发该证书的机构“%1”才能验证联系人的证书。\n是否信任该机构颁发的电子邮件证书？")
            .arg(text(authority));
    return controls::message(this, question.toStdString().c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

bool CMailPage::thunderbirdDone(int result) {
    switch (result) {
    case CThunderbird::Ok: return true;
    case CThunderbird::Cancelled: break;  // the user said no to the password question
    case CThunderbird::Locked:
        controls::message(this, "Thunderbird正在运行，请先退出Thunderbird，然后再设置证书。", MB_OK | MB_ICONWARNING);
        break;
    case CThunderbird::OldDatabase:
        controls::message(this, "请先启动一次Thunderbird，使其转换证书数据库，然后再试。", MB_OK | MB_ICONWARNING);
        break;
    case CThunderbird::WrongPassword:
        controls::message(this, "Thunderbird主密码不正确，证书未设置。", MB_OK | MB_ICONSTOP);
        break;
    case CThunderbird::NotExportable:
        controls::message(this, "该证书的私钥不能导出，无法用于Thunderbird。", MB_OK | MB_ICONSTOP);
        break;
    default: saved(false); break;
    }
    return false;
}

void CMailPage::applyTbIdentity(const CThunderbird::Identity& identity) {
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
    CDlgAccountCert dialog(account, this);
    if (dialog.exec() != QDialog::Accepted) return;
    CDigitalCertificate* sign = dialog.signCert();
    CDigitalCertificate* crypt = dialog.cryptCert();
    if (!crypt && sign && sign->isCryptUse()) crypt = sign;
    const int rc = CThunderbird::SetIdentityCerts(profile_.dir, identity.key, sign, crypt,
                                                  [this] { return askPrimaryPassword(); });
    thunderbirdDone(rc);
    fill();
}

void CMailPage::applyTbContact(const CThunderbird::Contact& contact, int row) {
    auto current = CThunderbird::CertsFor(profile_.dir, contact.email);
    CDlgContactCert dialog(current.empty() ? nullptr : current.front().get(), text(contact.email), this);
    dialog.hideRemove();
    if (dialog.exec() != QDialog::Accepted || !dialog.result()) return;
    const int rc = CThunderbird::ImportContactCert(
        profile_.dir, *dialog.result(), [this] { return askPrimaryPassword(); },
        [this](const std::string& ca) { return confirmTrust(ca); });
    thunderbirdDone(rc);
    fill();
    items_->selectRow(row);
}

void CMailPage::batchThunderbird() {
    // Read on the side: the rows shown keep pointing at the lists they were made from.
    std::vector<CLdapBatch::Candidate> candidates;
    CThunderbird::Profile profile;
    std::vector<CThunderbird::Contact> contacts;
    if (CThunderbird::ChooseProfile(homeDir(), {}, profile)) {
        CThunderbird::LoadContacts(profile.dir, contacts);
        const std::set<std::string> withCerts = CThunderbird::CertAddresses(profile.dir);
        for (const auto& c : contacts) {
            if (withCerts.count(QString::fromStdString(c.email).toLower().toStdString())) continue;
            CLdapBatch::Candidate candidate;
            candidate.name = c.name;
            candidate.email = c.email;
            candidates.push_back(std::move(candidate));
        }
    }
    if (candidates.empty()) {
        controls::message(this, "可需要批量配置的联系人个数为零！", MB_OK | MB_ICONINFORMATION);
        return;
    }
    CDlgLdapBatchCon dialog(candidates, CDlgLdapBatchCon::OutlookExpress, this);
    if (dialog.exec() != QDialog::Accepted) return;
    // One question per authority for the whole batch, and one password.
    std::map<std::string, bool> trusted;
    std::string password;
    bool asked = false;
    int count = 0;
    int rc = CThunderbird::Ok;
    for (const CLdapBatch::Candidate& c : candidates) {
        if (!c.chosen) continue;
        rc = CThunderbird::ImportContactCert(
            profile.dir, *c.chosen,
            [&] {
                if (!asked) password = askPrimaryPassword();
                asked = true;
                return password;
            },
            [&](const std::string& ca) {
                if (!trusted.count(ca)) trusted[ca] = confirmTrust(ca);
                return trusted[ca];
            });
        if (!thunderbirdDone(rc)) break;
        ++count;
    }
    std::fill(password.begin(), password.end(), '\0');
    if (!atFirstLevel() && opened_ == TbContacts) fill();
    if (rc == CThunderbird::Cancelled && count == 0) return;
    controls::message(this, QStringLiteral("你共为%1个联系人配置了加密证书").arg(count).toStdString().c_str(),
                      MB_OK | MB_ICONINFORMATION);
}

void CMailPage::batch(int function) {
    if (function == TbContacts) {
        batchThunderbird();
        return;
    }
    std::vector<CLdapBatch::Candidate> candidates;
    CLdapBatch::Kind kind;
    if (function == OEContacts) {
        kind = CLdapBatch::OutlookExpress;
        COtherCertStore store;
        store.OpenCertStore();
        candidates = CLdapBatch::OutlookCandidates(book_, store);
    } else if (function == FoxContacts) {
        kind = CLdapBatch::Foxmail;
        foxmail_.LoadAddressBooks();
        candidates = CLdapBatch::FoxmailCandidates(foxmail_);
    } else {
        return;
    }
    // The lists were read again: the rows shown must follow them.
    auto refresh = [this, function] {
        if (!atFirstLevel() && opened_ == function) fill();
    };
    if (candidates.empty()) {
        refresh();
        controls::message(this, "可需要批量配置的联系人个数为零！", MB_OK | MB_ICONINFORMATION);
        return;
    }
    CDlgLdapBatchCon dialog(candidates, static_cast<CDlgLdapBatchCon::Mode>(kind), this);
    if (dialog.exec() != QDialog::Accepted) {
        refresh();
        return;
    }
    bool failed = false;
    const int count = CLdapBatch::Apply(kind, candidates, &book_, &foxmail_, [&failed](size_t, CLdapBatch::Outcome o) {
        if (o == CLdapBatch::Failed) failed = true;
    });
    refresh();
    if (failed) {
        controls::message(this, "设置默认证书失败！", MB_OK | MB_ICONSTOP);
        return;
    }
    controls::message(this, QStringLiteral("你共为%1个联系人配置了加密证书").arg(count).toStdString().c_str(),
                      MB_OK | MB_ICONINFORMATION);
}

void CMailPage::importVCard() {
    const QString path =
        FileDialogFacade::open(this, QStringLiteral("vcf"), QStringLiteral("vCard 文件 (*.vcf)|*.vcf||"));
    if (path.isEmpty()) return;
    COtherCertStore store;
    store.OpenCertStore();
    CContactCards::Result result;
    const int rc = CContactCards::Import(path.toStdString(), book_, store, result);
    if (!atFirstLevel() && opened_ == OEContacts) fill();
    switch (rc) {
    case 0: {
        QString done = QStringLiteral("成功导入%1个联系人，%2个证书。").arg(result.imported).arg(result.certificates);
        if (result.duplicates) done += QStringLiteral("\n另有%1个联系人已在通讯簿中。").arg(result.duplicates);
        if (!result.damaged.empty()) {
            done += QStringLiteral("\n以下%1张名片已损坏，未导入：").arg(result.damaged.size());
            for (const CVCard::Problem& d : result.damaged)
                done += d.card == 0 ? QStringLiteral("\n%1").arg(QString::fromStdString(d.error))
                                    : QStringLiteral("\n第%1张（%2）：%3")
                                          .arg(d.card)
                                          .arg(QString::fromStdString(d.name))
                                          .arg(QString::fromStdString(d.error));
        }
        controls::message(this, done.toStdString().c_str(), MB_OK | MB_ICONINFORMATION);
        return;
    }
    case 3: controls::message(this, "无法读取该vCard文件！", MB_OK | MB_ICONSTOP); return;
    case 8: controls::message(this, "该vCard文件已损坏，没有导入任何联系人！", MB_OK | MB_ICONSTOP); return;
    case 4: controls::message(this, "无法保存联系人的证书！", MB_OK | MB_ICONSTOP); return;
    default: controls::message(this, "无法写入通讯簿，没有导入任何联系人！", MB_OK | MB_ICONSTOP); return;
    }
}

void CMailPage::chooseFoxmailFolder() {
    const QString dir = FileDialogFacade::folder(this, QStringLiteral("选择Foxmail的安装目录"));
    if (dir.isEmpty()) return;
    const std::string list = CFoxmail::ResolvePath(dir.toStdString(), "accounts.cfg");
    if (!QFileInfo(QString::fromStdString(list)).isFile()) {
        controls::message(this, "所选目录中没有Foxmail的帐户文件（accounts.cfg）！", MB_OK | MB_ICONWARNING);
        return;
    }
    if (CFoxmail::SetFoxmailDir(dir.toStdString()) != 0) {
        controls::message(this, "无法保存Foxmail目录！", MB_OK | MB_ICONSTOP);
        return;
    }
    if (!atFirstLevel()) fill();
}

bool CMailPage::setMode(int command) {
    switch (command) {
    case cmd::LargeIcons:
    case cmd::MailLargeIcons: shownList()->setMode(CReportList::Mode::LargeIcons); return true;
    case cmd::SmallIcons:
    case cmd::MailSmallIcons: shownList()->setMode(CReportList::Mode::SmallIcons); return true;
    case cmd::List: shownList()->setMode(CReportList::Mode::List); return true;
    case cmd::Details:
    case cmd::MailDetails: shownList()->setMode(CReportList::Mode::Details); return true;
    default: return false;
    }
}

bool CMailPage::onCommand(int id) {
    if (setMode(id)) return true;
    switch (id) {
    case cmd::MailOpen:
        if (atFirstLevel()) open(functions_->currentRow());
        return true;
    case cmd::MailConfigure: configure(items_->currentRow()); return true;
    case cmd::MailRefresh:
        if (!atFirstLevel()) fill();
        return true;
    case cmd::MailBack: back(); return true;
    case cmd::BatchConfigure:
    case cmd::BatchConfigureMain:
        // The opened book, or at the first level the selected one.
        batch(atFirstLevel() ? functions_->currentRow() : opened_);
        return true;
    case cmd::ImportVCard: importVCard(); return true;
    case cmd::FoxmailFolder: chooseFoxmailFolder(); return true;
    case cmd::PageHelp: CHelpWindow::open(); return true;
    default: return false;
    }
}

}  // namespace orvikdesk
