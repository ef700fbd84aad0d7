#include "dialogs/SelectCertDialog.h"

#include "DigitalCertificate.h"

namespace orvikdesk {

CDlgSelectCert::CDlgSelectCert(CCertStore& store, const QString& title, QWidget* parent)
    : CCertPickerDialog(store,
                        {IDD,
                         IDC_LIST,
                         IDC_VIEW,
                         title,
                         QStringLiteral("选择要使用的数字证书"),
                         QStringLiteral("查看证书(&V)..."),
                         {QStringLiteral("颁发给"), QStringLiteral("颁发者"), QStringLiteral("预期目的"),
                          QStringLiteral("好记的名字"), QStringLiteral("截止日期")},
                         80,
                         420},
                        parent) {
    fill();
}

QStringList CDlgSelectCert::rowTexts(CDigitalCertificate& c) const {
    std::string name, issuer, friendly, to;
    c.getDisplayName(name);
    c.getIssuerCN(issuer);
    c.getFriendlyName(friendly);
    c.getValidToDate(to);
    // "预期目的" stays empty.
    return {QString::fromStdString(name), QString::fromStdString(issuer), QString(), QString::fromStdString(friendly),
            QString::fromStdString(to)};
}

}  // namespace orvikdesk
