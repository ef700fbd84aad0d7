// "个人证书管理": the user's own certificates with their private keys, imported from and
// exported to PKCS #12 files.
#pragma once

#include "pages/CertStorePage.h"

namespace orvikdesk {

class CMyCertPage : public CCertStorePage {
    Q_OBJECT
public:
    enum { IDD = 131 };
    explicit CMyCertPage(QWidget* parent = nullptr);

protected:
    void importFile(const QString& path) override;
    void exportCertificate() override;
    StatusCheck statusCheck() const override;
    QStringList droppedSuffixes() const override { return {"pfx", "p12"}; }
};

}  // namespace orvikdesk
