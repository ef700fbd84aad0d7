#include "dialogs/CertPickerDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "CertStore.h"
#include "dialogs/DialogControls.h"
#include "ui/Artwork.h"

namespace orvikdesk {

CCertPickerDialog::CCertPickerDialog(CCertStore& store, const Layout& shape, QWidget* parent)
    : QDialog(parent), store_(store) {
    setObjectName(QString("IDD%1").arg(shape.idd));
    setWindowTitle(shape.title);
    auto* layout = new QVBoxLayout(this);
    list_ = new QTreeWidget(this);
    // The prompt names the list; without one the title does.
    list_->setAccessibleName(shape.prompt.isEmpty() ? shape.title : shape.prompt);
    if (!shape.prompt.isEmpty()) layout->addWidget(controls::label(this, shape.prompt, list_));
    list_->setObjectName(QString::number(shape.listId));
    list_->setRootIsDecorated(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHeaderLabels(shape.columns);
    for (int c = 0; c < shape.columns.size(); ++c) list_->header()->resizeSection(c, shape.columnWidth);
    list_->setIconSize(QSize(16, 16));
    list_->setMinimumSize(shape.minimumWidth, 200);
    list_->viewport()->installEventFilter(this);
    list_->installEventFilter(this);
    layout->addWidget(list_, 1);

    auto* row = new QHBoxLayout;
    view_ = controls::button(this, shape.viewId, shape.viewText);
    row->addWidget(view_);
    row->addStretch(1);
    layout->addLayout(row);
    ok_ = controls::addOkCancel(this, layout);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(view_, &QPushButton::clicked, this, &CCertPickerDialog::view);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CCertPickerDialog::selectionChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &CCertPickerDialog::view);
}

void CCertPickerDialog::fill() {
    list_->clear();
    QIcon icon = artwork::icon(255);
    for (int i = 0; i < store_.GetCertCount(); ++i)
        (new QTreeWidgetItem(list_, rowTexts(*store_.getCert(i))))->setIcon(0, icon);
    selectionChanged();
}

CDigitalCertificate* CCertPickerDialog::selected() const {
    return selected_ >= 0 && selected_ < store_.GetCertCount() ? store_.getCert(selected_) : nullptr;
}

void CCertPickerDialog::done(int result) {
    // Whatever was selected before a cancel is no choice.
    if (result != Accepted) selected_ = -1;
    QDialog::done(result);
}

// A click below the rows leaves no row chosen. The first arrow key on a list that shows a
// current row but no selection chooses that row, so a single row can be chosen by keys too.
bool CCertPickerDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyPress && list_->selectedItems().isEmpty() &&
        list_->currentItem()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Down || key == Qt::Key_Up) {
            list_->currentItem()->setSelected(true);
            return true;
        }
    }
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (!list_->indexAt(mouse->position().toPoint()).isValid()) list_->clearSelection();
    }
    return QDialog::eventFilter(watched, event);
}

void CCertPickerDialog::selectionChanged() {
    QList<QTreeWidgetItem*> items = list_->selectedItems();
    selected_ = items.isEmpty() ? -1 : list_->indexOfTopLevelItem(items.first());
    view_->setEnabled(selected_ >= 0);
    ok_->setEnabled(selected_ >= 0);
}

void CCertPickerDialog::view() {
    if (CDigitalCertificate* cert = selected()) cert->Display();
}

}  // namespace orvikdesk
