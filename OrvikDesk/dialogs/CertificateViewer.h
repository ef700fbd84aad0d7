// The program's certificate window, where CryptUIDlgViewContext and CDigitalCertificate::Display()
// end up: general facts, every field and extension, and the path up to a trusted root.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

#include <wincrypt.h>

class QTabWidget;

namespace orvikdesk {

class CCertificateViewer : public QDialog {
    Q_OBJECT
public:
    // The dialog keeps its own reference on the certificate; an empty title gives "证书".
    CCertificateViewer(PCCERT_CONTEXT certificate, const QString& title, QWidget* parent = nullptr);
    ~CCertificateViewer() override;

    // Routes the platform's viewer here, owned by the active modal widget or else the active window.
    static void install();

    // Headless: the hook builds the window without showing it and records the certificate's
    // SHA-1 thumbprint (upper-case hex, no spaces).
    static void setHeadless(bool headless);
    static const std::vector<QString>& shown();
    static void clearShown();

    struct Assessment;

private:
    QWidget* generalPage(const Assessment& assessment);
    QWidget* detailsPage();
    QWidget* pathPage(const Assessment& assessment);

    PCCERT_CONTEXT certificate_ = nullptr;
    QTabWidget* tabs_ = nullptr;
};

}  // namespace orvikdesk
