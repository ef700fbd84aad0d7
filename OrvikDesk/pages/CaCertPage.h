// "CA证书管理": the certification authorities' certificates.
#pragma once

#include "pages/CertStorePage.h"

namespace orvikdesk {

class CCaCertPage : public CCertStorePage {
    Q_OBJECT
public:
    enum { IDD = 143 };
    explicit CCaCertPage(QWidget* parent = nullptr);

protected:
    void importFile(const QString& path) override;
    void exportCertificate() override;
    StatusCheck statusCheck() const override { return StatusCheck::None; }
    QStringList droppedSuffixes() const override { return {"cer", "crt", "der", "pem"}; }
};

}  // namespace orvikdesk
