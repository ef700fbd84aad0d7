// "添加证书到证书库": other people's certificates looked up by name and e-mail address in the
// authority's directories. The search runs off the window's thread and cancel or close give it up
// at once; the dialog owns what it found.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "dialogs/DirectoryLookup.h"

class CDigitalCertificate;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CDirectorySearchDialog : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 208,
        IDC_SERVER = 1070,
        IDC_NAME = 1071,
        IDC_EMAIL = 1072,
        IDC_SEARCH_ALL = 1068,
        IDC_SEARCH = 1074,
        IDC_CLEAR = 1075,
        IDC_VIEW = 1076,
        IDC_LIST = 1073,
    };

    explicit CDirectorySearchDialog(QWidget* parent = nullptr);
    ~CDirectorySearchDialog() override;

    // The found certificate of the selected row, borrowed from the dialog; null when none.
    CDigitalCertificate* chosen() const;
    bool searching() const { return worker_.busy(); }

    void search();
    // A search under way is given up, not waited for.
    void reject() override;

signals:
    void searchFinished();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Outcome;
    void finish(std::shared_ptr<Outcome> outcome);
    void selectionChanged();
    void view();
    void clearAll();
    void setRowButtons(bool enabled);

    QComboBox* server_;
    QLineEdit* name_;
    QLineEdit* email_;
    QCheckBox* all_;
    QPushButton* searchButton_;
    QPushButton* view_;
    QPushButton* add_;
    QTreeWidget* list_;
    std::vector<std::unique_ptr<CDigitalCertificate>> found_;
    int selected_ = -1;
    CDirectoryWorker worker_{this};
};

}  // namespace orvikdesk
