// "设置默认加密证书": the personal certificate every secure file is also encrypted for.
#pragma once

#include <QWidget>
#include <memory>

class CDigitalCertificate;
class QLineEdit;
class QPushButton;

namespace orvikdesk {

class CDefaultCertPage : public QWidget {
    Q_OBJECT
public:
    enum { IDD = 229, IDC_NAME = 1103, IDC_CHOOSE = 1104, IDC_VIEW = 1105 };

    // Shows the default certificate the profile names, when it is still a personal certificate.
    explicit CDefaultCertPage(QWidget* parent = nullptr);
    ~CDefaultCertPage() override;

    // The page's certificate, owned by the page; null when none is shown.
    CDigitalCertificate* certificate() const { return certificate_.get(); }
    // True once the user picked a certificate; until then OK leaves the stored default alone, so a
    // default whose token is unplugged for a moment is not erased.
    bool chosen() const { return chosen_; }

    void choose();
    void view();

private:
    void setCertificate(std::unique_ptr<CDigitalCertificate> certificate);

    // A copy of its own: the store it came from frees its entries on the next filter.
    std::unique_ptr<CDigitalCertificate> certificate_;
    bool chosen_ = false;
    QLineEdit* name_;
    QPushButton* view_;
};

}  // namespace orvikdesk
