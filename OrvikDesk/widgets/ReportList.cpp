#include "widgets/ReportList.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QListView>
#include <QMouseEvent>
#include <QStandardItemModel>
#include <QTreeView>

namespace orvikdesk {

CReportList::CReportList(int id, QWidget* parent) : QStackedWidget(parent) {
    model_ = new QStandardItemModel(this);
    icons_ = new QListView(this);
    icons_->setObjectName(QString("%1-icons").arg(id));
    icons_->setModel(model_);
    icons_->setMovement(QListView::Static);
    icons_->setResizeMode(QListView::Adjust);
    icons_->setWordWrap(true);
    icons_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    details_ = new QTreeView(this);
    details_->setObjectName(QString::number(id));
    details_->setModel(model_);
    details_->setRootIsDecorated(false);
    details_->setAllColumnsShowFocus(true);
    details_->setUniformRowHeights(true);
    details_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    details_->setSelectionBehavior(QAbstractItemView::SelectRows);
    QItemSelectionModel* own = icons_->selectionModel();
    icons_->setSelectionModel(details_->selectionModel());
    delete own;
    addWidget(icons_);
    addWidget(details_);

    for (QAbstractItemView* v : {static_cast<QAbstractItemView*>(icons_), static_cast<QAbstractItemView*>(details_)}) {
        v->setSelectionMode(QAbstractItemView::SingleSelection);
        v->setSelectionBehavior(QAbstractItemView::SelectRows);
        v->viewport()->installEventFilter(this);
        connect(v, &QAbstractItemView::activated, this, [this](const QModelIndex& i) { emit rowActivated(i.row()); });
    }
    connect(details_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CReportList::selectionChanged);
    setMode(Mode::Details);
}

QAbstractItemView* CReportList::currentView() const {
    return currentWidget() == details_ ? static_cast<QAbstractItemView*>(details_) : icons_;
}

void CReportList::setIconSizes(QSize large, QSize small) {
    large_ = large;
    small_ = small;
    setMode(mode_);
}

void CReportList::setMode(Mode mode) {
    mode_ = mode;
    details_->setIconSize(small_);
    if (mode == Mode::Details) {
        setCurrentWidget(details_);
        return;
    }
    const bool large = mode == Mode::LargeIcons;
    icons_->setViewMode(large ? QListView::IconMode : QListView::ListMode);
    icons_->setFlow(mode == Mode::List ? QListView::TopToBottom : QListView::LeftToRight);
    icons_->setWrapping(true);
    icons_->setIconSize(large ? large_ : small_);
    icons_->setGridSize(large ? QSize(150, 90) : QSize(200, 22));
    setCurrentWidget(icons_);
}

int CReportList::currentRow() const {
    // The icon views select one cell, the details view whole rows.
    const QModelIndexList cells = details_->selectionModel()->selectedIndexes();
    return cells.isEmpty() ? -1 : cells.first().row();
}

void CReportList::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) {
        clearSelection();
        return;
    }
    details_->selectionModel()->setCurrentIndex(model_->index(row, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void CReportList::clearSelection() {
    details_->selectionModel()->clearSelection();
    details_->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

int CReportList::rowAt(const QPoint& viewportPos) const {
    QModelIndex hit = currentView()->indexAt(viewportPos);
    return hit.isValid() ? hit.row() : -1;
}

// A press outside the rows leaves none selected; a right click selects what it hits.
bool CReportList::eventFilter(QObject* watched, QEvent* event) {
    QAbstractItemView* view = currentView();
    if (watched != view->viewport()) return QStackedWidget::eventFilter(watched, event);
    if (event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (rowAt(mouse->position().toPoint()) < 0) clearSelection();
    } else if (event->type() == QEvent::ContextMenu) {
        auto* e = static_cast<QContextMenuEvent*>(event);
        int row = currentRow();
        QPoint at = view->visualRect(view->currentIndex()).center();
        if (e->reason() == QContextMenuEvent::Mouse) {
            at = e->pos();
            row = rowAt(at);
            selectRow(row);
        }
        emit contextMenuRequested(row, view->viewport()->mapToGlobal(at));
        return true;
    }
    return QStackedWidget::eventFilter(watched, event);
}

}  // namespace orvikdesk
