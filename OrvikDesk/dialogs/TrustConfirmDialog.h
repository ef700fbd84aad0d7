// The question before the user's trust in an authority changes: what the certificate is, and its
// SHA-1 thumbprint ("指纹") to compare with what the authority publishes.
#pragma once

#include <QDialog>

class CDigitalCertificate;

namespace orvikdesk {

class CTrustConfirmDialog : public QDialog {
    Q_OBJECT
public:
    enum class Change { Trust, Distrust };
    // The thumbprint's label, selectable so it can be copied.
    static constexpr const char* kThumbprintName = "thumbprint";

    CTrustConfirmDialog(CDigitalCertificate& certificate, Change change, QWidget* parent = nullptr);

    // The thumbprint as shown: lower-case hex pairs separated by spaces.
    QString thumbprint() const { return thumbprint_; }

private:
    QString thumbprint_;
};

}  // namespace orvikdesk
