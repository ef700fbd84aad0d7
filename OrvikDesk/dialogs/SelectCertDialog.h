// "选择默认帐户数字 ID": one certificate chosen from a store that the caller opened and filtered,
// under the caller's title.
#pragma once

#include <QDialog>

class CCertStore;
class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CDlgSelectCert : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 220, IDC_LIST = 1050, IDC_VIEW = 1076 };

    // The store is borrowed and must outlive the dialog.
    CDlgSelectCert(CCertStore& store, const QString& title, QWidget* parent = nullptr);

    // The store index of the selected row; -1 when none was selected or the dialog was cancelled.
    int selectedIndex() const { return selected_; }

    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void selectionChanged();
    void view();

    CCertStore& store_;
    QTreeWidget* list_;
    QPushButton* view_;
    QPushButton* ok_;
    int selected_ = -1;
};

}  // namespace orvikdesk
