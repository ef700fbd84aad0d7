// "从系统导入证书": one certificate chosen from a store that the caller opened and filtered.
#pragma once

#include <QDialog>

class CCertStore;
class CDigitalCertificate;
class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CStorePickerDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 199, IDC_LIST = 1004, IDC_VIEW = 1109 };

    // The store is borrowed and must outlive the dialog.
    explicit CStorePickerDialog(CCertStore& store, QWidget* parent = nullptr);

    int selectedIndex() const { return selected_; }
    // The store's certificate of the selected row, borrowed from the store; null when none.
    CDigitalCertificate* selected() const;

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
