// "选择数字证书": a site asks for a client certificate during the TLS handshake; the user picks one
// of the personal certificates the browser offers for it, or none. Nothing goes to the site
// without this choice.
#pragma once

#include <QDialog>
#include <QList>
#include <QSslCertificate>
#include <QUrl>

class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CClientCertDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 280, IDC_LIST = 1050, IDC_VIEW = 1076 };

    CClientCertDialog(const QUrl& host, const QList<QSslCertificate>& certificates, QWidget* parent = nullptr);

    // The offered certificate's index the user chose; -1 after a cancel.
    int selectedIndex() const { return selected_; }
    void done(int result) override;

    // Asks the user; the chosen index, or -1 when there was nothing to offer or they declined.
    static int choose(const QUrl& host, const QList<QSslCertificate>& certificates, QWidget* parent);

private:
    void selectionChanged();
    void view();

    QList<QSslCertificate> certificates_;
    QTreeWidget* list_;
    QPushButton* view_;
    QPushButton* ok_;
    int selected_ = -1;
};

}  // namespace orvikdesk
