#include "dialogs/ContactCertDialog.h"

#include <QGroupBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "dialogs/DialogControls.h"
#include "dialogs/DirectoryLookup.h"
#include "dialogs/StorePickerDialog.h"

namespace orvikdesk {

CDlgContactCert::CDlgContactCert(CDigitalCertificate* defaultCert, const QString& address, QWidget* parent)
    : QDialog(parent), address_(address), lookup_(new CDirectoryLookup(this)) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("设置联系人证书"));
    auto* layout = new QVBoxLayout(this);

    auto* current = new QGridLayout;
    name_ = controls::edit(this, IDC_NAME);
    name_->setReadOnly(true);
    name_->setAccessibleName(QStringLiteral("加密证书"));
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看证书(&V)"));
    remove_ = controls::button(this, IDC_REMOVE, QStringLiteral("删除证书(&D)"));
    current->addWidget(name_, 0, 0);
    current->addWidget(view_, 0, 1);
    removeLabel_ = new QLabel(QStringLiteral("删除默认的加密证书"), this);
    current->addWidget(removeLabel_, 1, 0);
    current->addWidget(remove_, 1, 1);
    layout->addWidget(controls::group(this, QStringLiteral("设置加密证书"), current));

    auto* import = new QGridLayout;
    ldap_ = controls::button(this, IDC_LDAP, QStringLiteral("LDAP搜索(&L)..."));
    system_ = controls::button(this, IDC_FROM_SYSTEM, QStringLiteral("从系统导入(&I)..."));
    import->addWidget(new QLabel(QStringLiteral("LDAP搜索功能完成从LDAP搜索证书"), this), 0, 0);
    import->addWidget(ldap_, 0, 1);
    import->addWidget(new QLabel(QStringLiteral("从系统导入功能完成从个人证书库"), this), 1, 0);
    import->addWidget(system_, 1, 1);
    layout->addWidget(controls::group(this, QStringLiteral("导入证书"), import));
    ok_ = controls::addOkCancel(this, layout);

    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(view_, &QPushButton::clicked, this, [this] {
        if (result_) result_->Display();
    });
    connect(remove_, &QPushButton::clicked, this, [this] { setResult(nullptr); });
    connect(system_, &QPushButton::clicked, this, &CDlgContactCert::fromSystem);
    connect(ldap_, &QPushButton::clicked, this, &CDlgContactCert::searchDirectory);
    connect(lookup_, &CDirectoryLookup::finished, this, &CDlgContactCert::searched);

    setResult(controls::copyOf(defaultCert));
    store_.OpenCertStore();
    store_.SetFilter("SubjectEmail", address_.toStdString().c_str());
    store_.SetFilter("KeyUsage", "Crypt");
}

CDlgContactCert::~CDlgContactCert() = default;

void CDlgContactCert::setResult(std::unique_ptr<CDigitalCertificate> certificate) {
    result_ = std::move(certificate);
    showResult();
}

void CDlgContactCert::showResult() {
    name_->setText(result_ ? controls::displayName(*result_) : QString());
    view_->setEnabled(result_ != nullptr);
    remove_->setEnabled(result_ != nullptr);
}

void CDlgContactCert::fromSystem() {
    CStorePickerDialog picker(store_, this);
    if (picker.exec() == QDialog::Accepted && picker.selected()) setResult(controls::copyOf(picker.selected()));
}

void CDlgContactCert::searchDirectory() {
    if (lookup_->start(address_)) setBusy(true);
}

void CDlgContactCert::searched() {
    setBusy(false);
    std::unique_ptr<CDigitalCertificate> chosen = lookup_->choose();
    if (!chosen) return;
    // The contact's certificate must be where the address book looks for it.
    if (store_.ImportCert(chosen.get()) != 0) {
        controls::message(this, "从LDAP导入证书失败！", MB_OK | MB_ICONSTOP);
        return;
    }
    setResult(std::move(chosen));
}

void CDlgContactCert::hideRemove() {
    remove_->hide();
    removeLabel_->hide();
}

// The dialog stays while the directories are asked: what comes back is the user's to choose.
void CDlgContactCert::reject() {
    if (!lookup_->busy()) QDialog::reject();
}

void CDlgContactCert::setBusy(bool busy) {
    for (QPushButton* b : {ldap_, system_, ok_, findChild<QPushButton*>(QString::number(IDCANCEL))})
        if (b) b->setEnabled(!busy);
}

}  // namespace orvikdesk
