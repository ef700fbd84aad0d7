#include "dialogs/ClientCertDialog.h"

#include <QColor>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "DigitalCertificate.h"
#include "dialogs/DialogControls.h"
#include "ui/Artwork.h"

namespace orvikdesk {

namespace {

CDigitalCertificate certOf(const QSslCertificate& certificate) {
    const QByteArray der = certificate.toDer();
    return CDigitalCertificate(der.constData(), static_cast<int>(der.size()), CDigitalCertificate::ENC_DER);
}

QString dateText(const QDateTime& time) { return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd")); }

}  // namespace

CClientCertDialog::CClientCertDialog(const QUrl& host, const QList<QSslCertificate>& certificates, QWidget* parent)
    : QDialog(parent), certificates_(certificates) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("选择数字证书"));
    auto* layout = new QVBoxLayout(this);
    const QString site = host.host().isEmpty() ? host.toString() : host.host();
    auto* prompt =
        new QLabel(QStringLiteral("站点 %1 要求您出示数字证书以确认身份。请选择要使用的证书：").arg(site), this);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);
    list_ = controls::reportList(this, IDC_LIST,
                                 {QStringLiteral("颁发给"), QStringLiteral("颁发者"), QStringLiteral("有效期")},
                                 {120, 120, 170});
    list_->setMinimumSize(440, 180);
    list_->setAccessibleName(QStringLiteral("选择要使用的证书"));
    layout->addWidget(list_, 1);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QSslCertificate& offered : certificates_) {
        CDigitalCertificate cert = certOf(offered);
        std::string name, issuer;
        cert.getDisplayName(name);
        cert.getIssuerCN(issuer);
        auto* item = new QTreeWidgetItem(
            list_, {QString::fromStdString(name), QString::fromStdString(issuer),
                    QStringLiteral("%1 至 %2").arg(dateText(offered.effectiveDate()), dateText(offered.expiryDate()))});
        const bool expired = now > offered.expiryDate() || now < offered.effectiveDate();
        item->setIcon(0, artwork::icon(expired ? 256 : 255));
        // As on the certificate pages: a date outside the validity is red.
        if (expired) item->setForeground(2, artwork::alertColour(list_->palette()));
    }

    auto* row = new QHBoxLayout;
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看证书(&V)..."));
    row->addWidget(view_);
    row->addStretch(1);
    layout->addLayout(row);
    ok_ = controls::addOkCancel(this, layout);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(view_, &QPushButton::clicked, this, &CClientCertDialog::view);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CClientCertDialog::selectionChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (selected_ >= 0) accept();
    });
    if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
    selectionChanged();
}

void CClientCertDialog::done(int result) {
    // Whatever was selected before a cancel is no choice.
    if (result != Accepted) selected_ = -1;
    QDialog::done(result);
}

int CClientCertDialog::choose(const QUrl& host, const QList<QSslCertificate>& certificates, QWidget* parent) {
    if (certificates.isEmpty()) return -1;
    CClientCertDialog dialog(host, certificates, parent);
    return dialog.exec() == Accepted ? dialog.selectedIndex() : -1;
}

void CClientCertDialog::selectionChanged() {
    selected_ = controls::selectedRow(list_);
    view_->setEnabled(selected_ >= 0);
    ok_->setEnabled(selected_ >= 0);
}

void CClientCertDialog::view() {
    if (selected_ < 0) return;
    CDigitalCertificate cert = certOf(certificates_[selected_]);
    cert.Display();
}

}  // namespace orvikdesk
