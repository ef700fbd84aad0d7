// "CA证书管理": the certification authorities, roots included, and the user's trust in them.
#pragma once

#include "pages/CertStorePage.h"

class QAction;

namespace orvikdesk {

class CCaCertPage : public CCertStorePage {
    Q_OBJECT
public:
    enum { IDD = 143 };
    explicit CCaCertPage(QWidget* parent = nullptr);

    bool onCommand(int id) override;

protected:
    void importFile(const QString& path) override;
    void exportCertificate() override;
    StatusCheck statusCheck() const override { return StatusCheck::None; }
    QStringList droppedSuffixes() const override { return {"cer", "crt", "der", "pem"}; }
    void loaded() override;
    void prepareItemMenus() override;
    bool mayDelete(CDigitalCertificate& certificate) override;

private:
    void changeTrust(bool trust);

    QAction* trust_ = nullptr;
    QAction* distrust_ = nullptr;
};

}  // namespace orvikdesk
