// "批量配置": the directory searched for each contact without a usable certificate, on a worker
// thread, while the user looks at what was found and chooses each contact's default. Cancel and
// close give the search up at once.
#pragma once

#include <QDialog>
#include <vector>

#include "DirectoryTrust.h"
#include "LdapBatch.h"
#include "dialogs/DirectoryLookup.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CDlgLdapBatchCon : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 265,
        IDC_CONTACTS = 1130,
        IDC_ANIMATION = 1132,
        IDC_SEARCHING = 1133,
        IDC_CERTS = 1073,
        IDC_ADDRESS = 1131,
        IDC_VIEW = 1109,
        IDC_SET_DEFAULT = 1005,
        IDC_AUTO = 1068,
    };
    enum Mode { Foxmail = CLdapBatch::Foxmail, OutlookExpress = CLdapBatch::OutlookExpress };

    // The candidates are borrowed: the search fills their found certificates and the user's
    // choices land in them.
    CDlgLdapBatchCon(std::vector<CLdapBatch::Candidate>& candidates, Mode mode, QWidget* parent = nullptr);
    // Gives up a search still under way.
    ~CDlgLdapBatchCon() override;

    Mode mode() const { return mode_; }
    bool searching() const { return worker_.busy(); }
    bool stopRequested() const { return stop_; }
    bool searchFinished() const { return finished_; }
    QTreeWidget* contacts() const { return contacts_; }
    QTreeWidget* certificates() const { return certs_; }

    void reject() override;

signals:
    // The search has ended (done, stopped or failed) and its messages were shown.
    void searchEnded();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void startSearch();
    void received(size_t index, CLdapBatch::Found found);
    void ended(int result, const std::string& tlsFailure);
    void showContact(int row);
    void certSelectionChanged();
    void setDefault();
    void viewCert();
    void onOk();
    CDigitalCertificate* selectedCert() const;

    std::vector<CLdapBatch::Candidate>& candidates_;
    Mode mode_;
    CDirectoryTrust trust_;  // the stores as the dialog opened, for the results shown
    CDirectoryWorker worker_{this};
    bool stop_ = false;
    bool started_ = false;
    bool finished_ = false;
    int contactRow_ = -1;

    QTreeWidget* contacts_;
    QProgressBar* animation_;
    QLabel* searchingText_;
    QTreeWidget* certs_;
    QLabel* address_;
    QPushButton* view_;
    QPushButton* setDefault_;
    QCheckBox* auto_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

}  // namespace orvikdesk
