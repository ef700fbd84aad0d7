// "设置联系人证书" for a Foxmail contact: its list of certificates, the first the default, added
// from other people's certificates or from the directories, removed and reordered.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "OtherCertStore.h"

class CDigitalCertificate;
class CFoxContact;
class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CDirectoryLookup;

class CDlgFoxContactCerts : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 272,
        IDC_LIST = 1073,
        IDC_FROM_SYSTEM = 1138,
        IDC_LDAP = 1135,
        IDC_VIEW = 1137,
        IDC_REMOVE = 1060,
        IDC_SET_DEFAULT = 1061,
    };

    // The contact is borrowed; its certificates are copied into the working list.
    CDlgFoxContactCerts(CFoxContact& contact, QWidget* parent = nullptr);
    ~CDlgFoxContactCerts() override;

    // The working list in order, the default first; borrowed from the dialog.
    std::vector<CDigitalCertificate*> certificates() const;
    QTreeWidget* list() const { return list_; }
    CDirectoryLookup* lookup() const { return lookup_; }

    void reject() override;

private:
    void fill(int select);
    void selectionChanged();
    void removeSelected();
    void setDefault();
    void fromSystem();
    void searched();
    // Appends the certificate unless the list has its thumbprint; then `duplicate` is shown.
    void add(std::unique_ptr<CDigitalCertificate> certificate, const char* duplicate);
    void setBusy(bool busy);

    QString address_;
    std::vector<std::unique_ptr<CDigitalCertificate>> working_;
    COtherCertStore store_;
    CDirectoryLookup* lookup_;
    QTreeWidget* list_;
    QPushButton* system_;
    QPushButton* ldap_;
    QPushButton* view_;
    QPushButton* remove_;
    QPushButton* setDefault_;
    QPushButton* ok_;
};

}  // namespace orvikdesk
