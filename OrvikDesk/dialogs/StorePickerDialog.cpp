#include "dialogs/StorePickerDialog.h"

#include "DigitalCertificate.h"

namespace orvikdesk {

CStorePickerDialog::CStorePickerDialog(CCertStore& store, QWidget* parent)
    : CCertPickerDialog(store,
                        {IDD,
                         IDC_LIST,
                         IDC_VIEW,
                         QStringLiteral("从系统导入证书"),
                         QString(),
                         QStringLiteral("查看证书(&V)"),
                         {QStringLiteral("颁发给"), QStringLiteral("颁发者"), QStringLiteral("截止日期"),
                          QStringLiteral("好记的名字"), QStringLiteral("证书状态")},
                         80,
                         440},
                        parent) {
    fill();
}

QStringList CStorePickerDialog::rowTexts(CDigitalCertificate& c) const {
    std::string name, issuer, to, friendly;
    c.getDisplayName(name);
    c.getIssuerCN(issuer);
    c.getValidToDate(to);
    c.getFriendlyName(friendly);
    // "证书状态" stays empty.
    return {QString::fromStdString(name), QString::fromStdString(issuer), QString::fromStdString(to),
            QString::fromStdString(friendly), QString()};
}

}  // namespace orvikdesk
