// A list of rows in the four views of the pages: icons and lists in a QListView, details in a
// QTreeView, both over one model and one selection. The details view carries the control's id.
#pragma once

#include <QStackedWidget>

class QAbstractItemView;
class QListView;
class QStandardItemModel;
class QTreeView;

namespace orvikdesk {

class CReportList : public QStackedWidget {
    Q_OBJECT
public:
    enum class Mode { LargeIcons, SmallIcons, List, Details };

    CReportList(int id, QWidget* parent);

    QStandardItemModel* model() const { return model_; }
    QTreeView* details() const { return details_; }
    QAbstractItemView* currentView() const;
    Mode mode() const { return mode_; }
    void setMode(Mode mode);
    // Large and small pictures of the rows, set on the first column's items.
    void setIconSizes(QSize large, QSize small);

    // The selected row; -1 when none.
    int currentRow() const;
    void selectRow(int row);
    void clearSelection();
    // The row at a point of the shown view's viewport; -1 outside the rows.
    int rowAt(const QPoint& viewportPos) const;

signals:
    // Enter or a double click on a row.
    void rowActivated(int row);
    void selectionChanged();
    // A right click or the menu key: the row under it is selected first (none outside the rows).
    void contextMenuRequested(int row, const QPoint& globalPos);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QStandardItemModel* model_;
    QListView* icons_;
    QTreeView* details_;
    Mode mode_ = Mode::Details;
    QSize large_{32, 32}, small_{16, 16};
};

}  // namespace orvikdesk
