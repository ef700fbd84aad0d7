// "从系统导入证书": one certificate chosen from a store that the caller opened and filtered.
#pragma once

#include "dialogs/CertPickerDialog.h"

namespace orvikdesk {

class CStorePickerDialog : public CCertPickerDialog {
    Q_OBJECT
public:
    enum { IDD = 199, IDC_LIST = 1004, IDC_VIEW = 1109 };

    explicit CStorePickerDialog(CCertStore& store, QWidget* parent = nullptr);

protected:
    QStringList rowTexts(CDigitalCertificate& certificate) const override;
};

}  // namespace orvikdesk
