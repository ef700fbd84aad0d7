#include "dialogs/LdapImportDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "DigitalCertificate.h"
#include "DirectoryTrust.h"
#include "dialogs/DialogControls.h"
#include "ui/Artwork.h"

namespace orvikdesk {

CDlgLdapImport::CDlgLdapImport(const Found& found, const QString& address, QWidget* parent)
    : QDialog(parent), found_(found) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("从LDAP上导入证书"));
    auto* layout = new QVBoxLayout(this);
    auto* count = new QLabel(QStringLiteral("总共找到%1个与邮件“%2”对应的证书").arg(found.size()).arg(address), this);
    count->setObjectName(QString::number(IDC_COUNT));
    count->setWordWrap(true);
    layout->addWidget(count);
    list_ = controls::reportList(
        this, IDC_LIST,
        {QStringLiteral("颁发给"), QStringLiteral("颁发者"), QStringLiteral("截止日期"), QStringLiteral("证书状态")},
        {90, 85, 85, 85});
    list_->setMinimumSize(380, 180);
    list_->setAccessibleName(QStringLiteral("找到的证书"));
    layout->addWidget(list_, 1);
    const QIcon icon = artwork::icon(255);
    // The directory's word is not taken: the user sees which results check out before choosing.
    const CDirectoryTrust trust;
    for (const auto& c : found_) {
        std::string issuer, to;
        c->getIssuerCN(issuer);
        c->getValidToDate(to);
        auto* item = new QTreeWidgetItem(
            list_, {controls::displayName(*c), QString::fromStdString(issuer), QString::fromStdString(to),
                    QString::fromStdString(CDirectoryTrust::Text(trust.Check(*c)))});
        item->setIcon(0, icon);
    }

    auto* row = new QHBoxLayout;
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看证书(&V)"));
    row->addWidget(view_);
    row->addStretch(1);
    layout->addLayout(row);
    ok_ = controls::addOkCancel(this, layout);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(view_, &QPushButton::clicked, this, &CDlgLdapImport::view);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CDlgLdapImport::selectionChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &CDlgLdapImport::view);
    selectionChanged();
}

CDigitalCertificate* CDlgLdapImport::chosen() const {
    return selected_ >= 0 && selected_ < static_cast<int>(found_.size()) ? found_[static_cast<size_t>(selected_)].get()
                                                                         : nullptr;
}

void CDlgLdapImport::done(int result) {
    if (result != Accepted) selected_ = -1;
    QDialog::done(result);
}

void CDlgLdapImport::selectionChanged() {
    selected_ = controls::selectedRow(list_);
    view_->setEnabled(selected_ >= 0);
    ok_->setEnabled(selected_ >= 0);
}

void CDlgLdapImport::view() {
    if (CDigitalCertificate* c = chosen()) c->Display();
}

}  // namespace orvikdesk
