// "选择默认帐户数字 ID": one certificate chosen from a store that the caller opened and filtered,
// under the caller's title.
#pragma once

#include "dialogs/CertPickerDialog.h"

namespace orvikdesk {

class CDlgSelectCert : public CCertPickerDialog {
    Q_OBJECT
public:
    enum { IDD = 220, IDC_LIST = 1050, IDC_VIEW = 1076 };

    CDlgSelectCert(CCertStore& store, const QString& title, QWidget* parent = nullptr);

protected:
    QStringList rowTexts(CDigitalCertificate& certificate) const override;
};

}  // namespace orvikdesk
