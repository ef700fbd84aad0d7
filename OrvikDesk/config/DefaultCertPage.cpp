#include "config/DefaultCertPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "MyCertStore.h"
#include "dialogs/DialogControls.h"
#include "dialogs/SelectCertDialog.h"
#include "services/DefaultEncCert.h"

namespace orvikdesk {

CDefaultCertPage::CDefaultCertPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    name_ = controls::edit(this, IDC_NAME);
    layout->addWidget(controls::label(this, QStringLiteral("设置默认的文件加密证书(&E):"), name_));
    name_->setReadOnly(true);
    row->addWidget(name_, 1);
    QPushButton* choose = controls::button(this, IDC_CHOOSE, QStringLiteral("选择(&S)..."));
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看(&V)"));
    row->addWidget(choose);
    row->addWidget(view_);
    layout->addLayout(row);
    layout->addStretch(1);
    setFocusProxy(choose);
    connect(choose, &QPushButton::clicked, this, &CDefaultCertPage::choose);
    connect(view_, &QPushButton::clicked, this, &CDefaultCertPage::view);
    setCertificate(defaultcert::load());
}

CDefaultCertPage::~CDefaultCertPage() = default;

void CDefaultCertPage::setCertificate(std::unique_ptr<CDigitalCertificate> certificate) {
    certificate_ = std::move(certificate);
    std::string name;
    if (certificate_) certificate_->getDisplayName(name);
    name_->setText(QString::fromStdString(name));
    view_->setEnabled(certificate_ != nullptr);
}

void CDefaultCertPage::choose() {
    CMyCertStore store;
    store.OpenCertStore();
    store.SetFilter("KeyUsage", "Crypt");
    CDlgSelectCert picker(store, QStringLiteral("设置默认的加密证书"), this);
    if (picker.exec() != QDialog::Accepted) return;
    const int index = picker.selectedIndex();
    // OK without a row keeps what the page had.
    if (index < 0 || index >= store.GetCertCount()) return;
    setCertificate(std::make_unique<CDigitalCertificate>(*store.getCert(index)));
    chosen_ = true;
}

void CDefaultCertPage::view() {
    if (certificate_) certificate_->Display();
}

}  // namespace orvikdesk
