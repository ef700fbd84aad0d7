#include "dialogs/AccountCertDialog.h"

#include <QGroupBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "DigitalCertificate.h"
#include "EmailAccount.h"
#include "dialogs/DialogControls.h"
#include "dialogs/SelectCertDialog.h"

namespace orvikdesk {

namespace {

QLineEdit* nameEdit(QWidget* parent, int id) {
    QLineEdit* e = controls::edit(parent, id);
    e->setReadOnly(true);
    return e;
}

}  // namespace

CDlgAccountCert::CDlgAccountCert(CEmailAccount& account, QWidget* parent)
    : QDialog(parent), address_(account.getEmailAddress()->getText()) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("设置帐户证书"));
    // Each lookup reloads the account's store: copies, taken one at a time, outlive it.
    sign_ = controls::copyOf(account.getSignCert());
    crypt_ = controls::copyOf(account.getCryptCert());

    auto* layout = new QVBoxLayout(this);
    // The two "选择..." buttons differ by their mnemonics, and by their names to a screen reader.
    auto section = [this, layout](const QString& title, QLineEdit*& name, int editId, int buttonId, bool signing) {
        auto* row = new QHBoxLayout;
        name = nameEdit(this, editId);
        name->setAccessibleName(signing ? QStringLiteral("签名证书") : QStringLiteral("加密证书"));
        QPushButton* choose =
            controls::button(this, buttonId, signing ? QStringLiteral("选择(&S)...") : QStringLiteral("选择(&E)..."));
        choose->setAccessibleName(title);
        row->addWidget(name, 1);
        row->addWidget(choose);
        layout->addWidget(controls::group(this, title, row));
        connect(choose, &QPushButton::clicked, this, [this, signing] { this->choose(signing); });
    };
    section(QStringLiteral("选择签名证书"), signName_, IDC_SIGN_NAME, IDC_CHOOSE_SIGN, true);
    section(QStringLiteral("选择加密证书"), cryptName_, IDC_CRYPT_NAME, IDC_CHOOSE_CRYPT, false);
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    signName_->setText(shownName(sign_.get()));
    cryptName_->setText(shownName(crypt_.get()));

    reload(signStore_, "Sign");
    reload(cryptStore_, "Crypt");
    setMinimumWidth(380);
}

CDlgAccountCert::~CDlgAccountCert() = default;

QString CDlgAccountCert::shownName(CDigitalCertificate* certificate) {
    if (!certificate) return {};
    std::string friendly;
    certificate->getFriendlyName(friendly);
    return friendly.empty() ? controls::displayName(*certificate) : QString::fromStdString(friendly);
}

// The personal certificates of the account's address that allow the use, as the store is now.
void CDlgAccountCert::reload(CMyCertStore& store, const char* usage) {
    store.OpenCertStore();
    store.SetFilter("SubjectEmail", address_.c_str());
    store.SetFilter("KeyUsage", usage);
}

void CDlgAccountCert::choose(bool signing) {
    CMyCertStore& store = signing ? signStore_ : cryptStore_;
    reload(store, signing ? "Sign" : "Crypt");
    CDlgSelectCert select(store, QStringLiteral("选择默认帐户数字 ID"), this);
    if (select.exec() != QDialog::Accepted || !select.selected()) return;
    std::unique_ptr<CDigitalCertificate>& target = signing ? sign_ : crypt_;
    target = controls::copyOf(select.selected());
    (signing ? signName_ : cryptName_)->setText(shownName(target.get()));
}

}  // namespace orvikdesk
