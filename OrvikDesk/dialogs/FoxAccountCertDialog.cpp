#include "dialogs/FoxAccountCertDialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "DigitalCertificate.h"
#include "EmailAccount.h"
#include "dialogs/DialogControls.h"
#include "dialogs/SelectCertDialog.h"

namespace orvikdesk {

CDlgFoxAccountCert::CDlgFoxAccountCert(CEmailAccount& account, QWidget* parent)
    : QDialog(parent), address_(account.getEmailAddress()->getText()) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("设置帐户证书"));
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    name_ = controls::edit(this, IDC_SIGN_NAME);
    name_->setReadOnly(true);
    name_->setAccessibleName(QStringLiteral("签名证书"));
    QPushButton* choose = controls::button(this, IDC_CHOOSE, QStringLiteral("选择(&S)..."));
    choose->setAccessibleName(QStringLiteral("选择签名证书"));
    row->addWidget(name_, 1);
    row->addWidget(choose);
    layout->addWidget(controls::group(this, QStringLiteral("选择签名证书"), row));
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(choose, &QPushButton::clicked, this, &CDlgFoxAccountCert::choose);
    if (CDigitalCertificate* current = account.getSignCert()) name_->setText(controls::displayName(*current));
    setMinimumWidth(380);
}

CDlgFoxAccountCert::~CDlgFoxAccountCert() = default;

void CDlgFoxAccountCert::choose() {
    // Foxmail signs with any certificate of the address: no key usage is asked for.
    store_.OpenCertStore();
    store_.SetFilter("SubjectEmail", address_.c_str());
    CDlgSelectCert select(store_, QStringLiteral("选择默认帐户数字 ID"), this);
    if (select.exec() != QDialog::Accepted || !select.selected()) return;
    chosen_ = controls::copyOf(select.selected());
    name_->setText(controls::displayName(*chosen_));
}

}  // namespace orvikdesk
