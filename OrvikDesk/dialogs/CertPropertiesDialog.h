// "证书属性": the certificate's friendly name, edited; the caller stores it.
#pragma once

#include <QDialog>

class QLineEdit;

namespace orvikdesk {

class CCertPropertiesDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 159, IDC_NAME = 1013 };

    explicit CCertPropertiesDialog(const QString& friendlyName, QWidget* parent = nullptr);

    QString friendlyName() const;

private:
    QLineEdit* name_;
};

}  // namespace orvikdesk
