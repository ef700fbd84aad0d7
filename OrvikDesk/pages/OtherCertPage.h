// "其他人证书管理": the certificates of the people the user writes to, from files or from the
// authority's directory.
#pragma once

#include "pages/CertStorePage.h"

namespace orvikdesk {

class COtherCertPage : public CCertStorePage {
    Q_OBJECT
public:
    enum { IDD = 144 };
    explicit COtherCertPage(QWidget* parent = nullptr);

    bool onCommand(int id) override;

protected:
    void importFile(const QString& path) override;
    void exportCertificate() override;
    StatusCheck statusCheck() const override;
    QStringList droppedSuffixes() const override { return {"cer", "crt", "der", "pem"}; }

private:
    void importFromDirectory();
};

}  // namespace orvikdesk
