#include "dialogs/TrustConfirmDialog.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <string>

#include "CertTrust.h"
#include "DigitalCertificate.h"
#include "dialogs/DialogControls.h"

namespace orvikdesk {

namespace {

QLabel* value(const QString& text, const QString& accessible, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setAccessibleName(accessible);
    return label;
}

}  // namespace

CTrustConfirmDialog::CTrustConfirmDialog(CDigitalCertificate& certificate, Change change, QWidget* parent)
    : QDialog(parent) {
    const bool trust = change == Change::Trust;
    setWindowTitle(trust ? QStringLiteral("信任证书") : QStringLiteral("不信任证书"));
    setObjectName(trust ? "trustConfirm" : "distrustConfirm");

    std::string issuedTo, issuedBy, from, to, thumb;
    certificate.getDisplayName(issuedTo);
    certificate.getIssuerCN(issuedBy);
    certificate.getValidFromDate(from);
    certificate.getValidToDate(to);
    certificate.getThumbPrint(thumb);
    thumbprint_ = QString::fromStdString(thumb);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    icon->setAccessibleName(QStringLiteral("警告"));
    top->addWidget(icon, 0, Qt::AlignTop);
    QString question;
    if (trust && CCertTrust::IsRoot(certificate))
        question = QStringLiteral(
            "您将信任下面的根证书：此后由它颁发的所有证书都将被信任。\n"
            "请先向颁发机构核对指纹，确认无误后再单击\u201c确定\u201d。");
    else if (trust)
        question = QStringLiteral("您将取消对下面证书的不信任设置。\n请先向颁发机构核对指纹。");
    else
        question = QStringLiteral("您将不再信任下面的证书：由它颁发的所有证书都将不受信任。");
    auto* text = new QLabel(question, this);
    text->setObjectName("question");
    text->setWordWrap(true);
    top->addWidget(text, 1);
    layout->addLayout(top);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("颁发给："), value(QString::fromStdString(issuedTo), QStringLiteral("颁发给"), this));
    form->addRow(QStringLiteral("颁发者："), value(QString::fromStdString(issuedBy), QStringLiteral("颁发者"), this));
    form->addRow(QStringLiteral("有效期："),
                 value(QStringLiteral("%1 到 %2").arg(QString::fromStdString(from), QString::fromStdString(to)),
                       QStringLiteral("有效期"), this));
    QLabel* print = value(thumbprint_, QStringLiteral("指纹"), this);
    print->setObjectName(kThumbprintName);
    print->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    form->addRow(QStringLiteral("指纹 (sha1)："), print);
    layout->addLayout(form);

    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    // A change of trust is not made by a stray Enter: the safe answer has the focus.
    ok->setDefault(false);
    if (auto* cancel = findChild<QPushButton*>("2")) {
        cancel->setDefault(true);
        cancel->setFocus();
    }
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace orvikdesk
