// What the two certificate pickers share: one certificate chosen from a store that the caller
// opened and filtered, shown as rows of the store's order; OK and the view button only while a
// row is selected, and no choice after a cancel.
#pragma once

#include <QDialog>
#include <QStringList>

class CCertStore;
class CDigitalCertificate;
class QBoxLayout;
class QPushButton;
class QTreeWidget;

namespace orvikdesk {

class CCertPickerDialog : public QDialog {
    Q_OBJECT
public:
    // The store index of the selected row; -1 when none was selected or the dialog was cancelled.
    int selectedIndex() const { return selected_; }
    // The store's certificate of the selected row, borrowed from the store; null when none.
    CDigitalCertificate* selected() const;

    void done(int result) override;

protected:
    struct Layout {
        int idd, listId, viewId;
        QString title, prompt, viewText;  // no prompt line when empty
        QStringList columns;
        int columnWidth, minimumWidth;
    };
    // The store is borrowed and must outlive the dialog.
    CCertPickerDialog(CCertStore& store, const Layout& layout, QWidget* parent);
    // Fills the list; called by the subclass once it is constructed.
    void fill();
    // The texts of one row, in the order of the columns.
    virtual QStringList rowTexts(CDigitalCertificate& certificate) const = 0;

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
