// "从LDAP上导入证书": the certificates a directory search found for one address, one to choose.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

class CDigitalCertificate;
class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CDlgLdapImport : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 264, IDC_COUNT = 1128, IDC_LIST = 1129, IDC_VIEW = 32774 };
    using Found = std::vector<std::unique_ptr<CDigitalCertificate>>;

    // The certificates are borrowed and must outlive the dialog.
    CDlgLdapImport(const Found& found, const QString& address, QWidget* parent = nullptr);

    // The certificate of the selected row, borrowed from the list; null when none (or cancelled).
    CDigitalCertificate* chosen() const;
    QTreeWidget* list() const { return list_; }

    void done(int result) override;

private:
    void selectionChanged();
    void view();

    const Found& found_;
    QTreeWidget* list_;
    QPushButton* view_;
    QPushButton* ok_;
    int selected_ = -1;
};

}  // namespace orvikdesk
