#include "dialogs/LdapBatchDialog.h"

#include <QGroupBox>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "dialogs/DialogControls.h"
#include "ui/Artwork.h"

namespace orvikdesk {

CDlgLdapBatchCon::CDlgLdapBatchCon(std::vector<CLdapBatch::Candidate>& candidates, Mode mode, QWidget* parent)
    : QDialog(parent), candidates_(candidates), mode_(mode) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("批量配置"));
    auto* layout = new QVBoxLayout(this);

    auto* people = new QVBoxLayout;
    contacts_ =
        controls::reportList(this, IDC_CONTACTS, {QStringLiteral("姓名"), QStringLiteral("电子邮件地址")}, {150, 200});
    contacts_->setMinimumSize(380, 150);
    contacts_->setAccessibleName(QStringLiteral("联系人列表"));
    people->addWidget(contacts_);
    auto* busy = new QHBoxLayout;
    animation_ = new QProgressBar(this);
    animation_->setObjectName(QString::number(IDC_ANIMATION));
    animation_->setRange(0, 0);
    animation_->setTextVisible(false);
    animation_->setMaximumWidth(120);
    searchingText_ = new QLabel(QStringLiteral("正在查找LDAP，请稍候..."), this);
    searchingText_->setObjectName(QString::number(IDC_SEARCHING));
    busy->addWidget(animation_);
    busy->addWidget(searchingText_, 1);
    people->addLayout(busy);
    layout->addWidget(controls::group(this, QStringLiteral("联系人列表"), people));

    auto* certs = new QGridLayout;
    address_ = new QLabel(this);
    address_->setObjectName(QString::number(IDC_ADDRESS));
    certs_ = controls::reportList(this, IDC_CERTS,
                                  {QStringLiteral("姓名"), QStringLiteral("截止日期"), QStringLiteral("证书状态")},
                                  {240, 2, 110});
    certs_->setMinimumSize(360, 100);
    certs_->setAccessibleName(QStringLiteral("搜索到的证书"));
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看证书(&V)"));
    setDefault_ = controls::button(this, IDC_SET_DEFAULT, QStringLiteral("设为默认值(&M)"));
    certs->addWidget(address_, 0, 0, 1, 2);
    certs->addWidget(certs_, 1, 0, 3, 1);
    certs->addWidget(view_, 1, 1);
    certs->addWidget(setDefault_, 2, 1);
    certs->setRowStretch(3, 1);
    layout->addWidget(controls::group(this, QStringLiteral("设置默认证书"), certs));

    auto* options = new QVBoxLayout;
    auto_ = new QCheckBox(QStringLiteral("自动为搜索到仅有一个证书的联系人配置证书(&A) "), this);
    auto_->setObjectName(QString::number(IDC_AUTO));
    options->addWidget(auto_);
    layout->addWidget(controls::group(this, QStringLiteral("选项"), options));
    ok_ = controls::addOkCancel(this, layout);
    cancel_ = findChild<QPushButton*>(QString::number(IDCANCEL));

    connect(ok_, &QPushButton::clicked, this, &CDlgLdapBatchCon::onOk);
    connect(contacts_, &QTreeWidget::itemSelectionChanged, this,
            [this] { showContact(controls::selectedRow(contacts_)); });
    connect(certs_, &QTreeWidget::itemSelectionChanged, this, &CDlgLdapBatchCon::certSelectionChanged);
    connect(certs_, &QTreeWidget::itemDoubleClicked, this, &CDlgLdapBatchCon::viewCert);
    connect(view_, &QPushButton::clicked, this, &CDlgLdapBatchCon::viewCert);
    connect(setDefault_, &QPushButton::clicked, this, &CDlgLdapBatchCon::setDefault);

    ok_->setEnabled(false);
    view_->setEnabled(false);
    setDefault_->setEnabled(false);
    address_->clear();
    for (const CLdapBatch::Candidate& c : candidates_)
        new QTreeWidgetItem(contacts_, {QString::fromStdString(c.name), QString::fromStdString(c.email)});
}

CDlgLdapBatchCon::~CDlgLdapBatchCon() = default;

void CDlgLdapBatchCon::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!started_) startSearch();
}

void CDlgLdapBatchCon::startSearch() {
    started_ = true;
    std::vector<std::string> emails;
    for (const CLdapBatch::Candidate& c : candidates_) emails.push_back(c.email);
    // Only the window's thread touches the candidates: what the worker finds comes over in steps.
    worker_.start(
        [this, emails](const CDirectoryWorker::Post& post, const std::atomic<bool>& stop) {
            CLdapBatch batch;
            const int result = batch.Search(emails, stop, [this, &post](size_t index, CLdapBatch::Found found) {
                auto box = std::make_shared<CLdapBatch::Found>(std::move(found));
                post([this, index, box] { received(index, std::move(*box)); });
            });
            return std::function<void()>([this, result, tls = batch.tlsFailureText()] { ended(result, tls); });
        },
        false);
}

void CDlgLdapBatchCon::received(size_t index, CLdapBatch::Found found) {
    if (index >= candidates_.size()) return;
    for (auto& c : found) candidates_[index].found.push_back(std::move(c));
    if (static_cast<int>(index) == contactRow_) showContact(contactRow_);
}

void CDlgLdapBatchCon::ended(int result, const std::string& tlsFailure) {
    animation_->hide();
    searchingText_->hide();
    if (result != 0) {
        controls::message(this,
                          tlsFailure.empty() ? "目录查询失败，批量配置失败！" : (tlsFailure + "批量配置失败！").c_str(),
                          MB_OK | MB_ICONWARNING, "查找用户");
    } else {
        controls::message(this, "LDAP搜索完毕！", MB_OK | MB_ICONINFORMATION);
        ok_->setEnabled(true);
    }
    finished_ = true;
    emit searchEnded();
}

// Cancel and the close box end the dialog at once: a search under way is given up, and what it
// found so far stays with the candidates, applied only by OK.
void CDlgLdapBatchCon::reject() {
    if (worker_.busy()) {
        stop_ = true;
        worker_.abandon();
        animation_->hide();
        searchingText_->hide();
    }
    QDialog::reject();
}

void CDlgLdapBatchCon::showContact(int row) {
    // The certificate row stays selected only while the same contact is shown again.
    const int certRow = row == contactRow_ ? controls::selectedRow(certs_) : -1;
    contactRow_ = row;
    certs_->clear();
    if (row < 0 || row >= static_cast<int>(candidates_.size())) {
        address_->clear();
        certSelectionChanged();
        return;
    }
    const CLdapBatch::Candidate& c = candidates_[static_cast<size_t>(row)];
    const QIcon icon = artwork::icon(255);
    for (const auto& found : c.found) {
        std::string to;
        found->getValidToDate(to);
        auto* item = new QTreeWidgetItem(
            certs_, {controls::certRowText(*found, found.get() == c.chosen), QString::fromStdString(to),
                     QString::fromStdString(CDirectoryTrust::Text(trust_.Check(*found)))});
        item->setIcon(0, icon);
    }
    const QString email = QString::fromStdString(c.email);
    address_->setText(c.found.empty() ? QStringLiteral("未搜到与%1匹配的证书").arg(email)
                                      : QStringLiteral("搜索到与%1匹配的证书").arg(email));
    if (certRow >= 0 && certRow < certs_->topLevelItemCount()) certs_->setCurrentItem(certs_->topLevelItem(certRow));
    certSelectionChanged();
}

CDigitalCertificate* CDlgLdapBatchCon::selectedCert() const {
    const int row = controls::selectedRow(certs_);
    if (contactRow_ < 0 || contactRow_ >= static_cast<int>(candidates_.size()) || row < 0) return nullptr;
    const auto& found = candidates_[static_cast<size_t>(contactRow_)].found;
    return row < static_cast<int>(found.size()) ? found[static_cast<size_t>(row)].get() : nullptr;
}

void CDlgLdapBatchCon::certSelectionChanged() {
    const bool row = selectedCert() != nullptr;
    view_->setEnabled(row);
    setDefault_->setEnabled(row);
}

void CDlgLdapBatchCon::viewCert() {
    if (CDigitalCertificate* c = selectedCert()) c->Display();
}

void CDlgLdapBatchCon::setDefault() {
    CDigitalCertificate* chosen = selectedCert();
    if (!chosen) {
        controls::message(this, "设置默认证书失败！", MB_OK | MB_ICONSTOP);
        return;
    }
    // Whom the user encrypts to is not for a directory to say: an unverified issuer's certificate
    // is chosen only in the contact's own search, where the user looks at it alone.
    if (!trust_.Check(*chosen).trusted) {
        controls::message(this, "该证书的颁发者不受信任，不能在批量配置中设为默认证书！", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    candidates_[static_cast<size_t>(contactRow_)].chosen = chosen;
    showContact(contactRow_);
}

void CDlgLdapBatchCon::onOk() {
    if (worker_.busy()) return;
    if (auto_->isChecked()) {
        const CLdapBatch::AutoResult result = CLdapBatch::AutoAssign(candidates_);
        if (!result.refused.empty())
            controls::message(
                this,
                QStringLiteral(
                    "有%1个联系人搜索到的证书未通过验证（颁发者不受信任、已过期或不可用于加密），未自动配置。")
                    .arg(result.refused.size())
                    .toStdString()
                    .c_str(),
                MB_OK | MB_ICONINFORMATION);
    }
    accept();
}

}  // namespace orvikdesk
