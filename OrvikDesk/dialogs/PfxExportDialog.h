// "导出证书" of a personal certificate with its private key: the PKCS #12 file and its password,
// typed twice.
#pragma once

#include "dialogs/ExportDialog.h"

namespace orvikdesk {

class CPfxExportDialog : public CExportDialog {
    Q_OBJECT
public:
    enum { IDD = 158, IDC_PASSWORD = 1012, IDC_CONFIRM = 1013 };

    explicit CPfxExportDialog(QWidget* parent = nullptr);

    QString password() const;

protected:
    bool checkFields() override;

private:
    QLineEdit* password_;
    QLineEdit* confirm_;
};

}  // namespace orvikdesk
