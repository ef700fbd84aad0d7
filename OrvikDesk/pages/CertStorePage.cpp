#include "pages/CertStorePage.h"

#include <QAction>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QSortFilterProxyModel>
#include <QStackedWidget>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <winuser.h>

#include "CertStore.h"
#include "DigitalCertificate.h"
#include "app/Profile.h"
#include "dialogs/CertPropertiesDialog.h"
#include "dialogs/DerExportDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/HelpWindow.h"
#include "pages/CertListModel.h"
#include "services/RevocationChecker.h"
#include "ui/CommandIds.h"
#include "ui/MenuFactory.h"

namespace orvikdesk {

namespace {

// Each page's view mode between runs, by the page's resource number.
constexpr const char* kViewSection = "View";

// The merged "操作(&O)" menu is the page's menu without its entry at position 4.
QMenu* operateMenuOf(int id, QWidget* parent) {
    QMenu* menu = menus::popup(id, 0, parent);
    QList<QAction*> actions = menu->actions();
    if (actions.size() > 4) menu->removeAction(actions[4]);
    return menu;
}

}  // namespace

CCertStorePage::CCertStorePage(int idd, std::unique_ptr<CCertStore> store, CCertListModel::Fifth fifth, MenuIds menus,
                               const QString& listName, QWidget* parent)
    : CPage(idd, parent), store_(std::move(store)), menuIds_(menus) {
    // The list's own background, whatever the palette makes of it.
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    setAcceptDrops(true);

    model_ = new CCertListModel(fifth, this);
    proxy_ = new QSortFilterProxyModel(this);
    proxy_->setSourceModel(model_);
    proxy_->setFilterKeyColumn(-1);
    proxy_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    proxy_->setSortRole(CCertListModel::SortRole);
    proxy_->setSortLocaleAware(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    search_ = new QLineEdit(this);
    search_->setObjectName("search");
    search_->setPlaceholderText(QStringLiteral("搜索证书"));
    search_->setClearButtonEnabled(true);
    search_->setAccessibleName(QStringLiteral("搜索证书"));
    layout->addWidget(search_);

    stack_ = new QStackedWidget(this);
    icons_ = new QListView(stack_);
    icons_->setModel(proxy_);
    icons_->setObjectName(QString::number(IDC_LIST));
    icons_->setMovement(QListView::Static);
    icons_->setResizeMode(QListView::Adjust);
    icons_->setWrapping(true);
    icons_->setWordWrap(true);
    icons_->setLayoutMode(QListView::Batched);
    details_ = new QTreeView(stack_);
    details_->setModel(proxy_);
    details_->setObjectName(QString("%1-details").arg(IDC_LIST));
    details_->setRootIsDecorated(false);
    details_->setUniformRowHeights(true);
    details_->setAllColumnsShowFocus(true);
    details_->setIconSize(QSize(16, 16));
    // Store order until the user sorts by a column.
    details_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    details_->setSortingEnabled(true);
    const int widths[] = {200, 200, 150, 80, 80};
    for (int c = 0; c < model_->columnCount(); ++c) details_->header()->resizeSection(c, widths[c]);
    icons_->setAccessibleName(listName);
    details_->setAccessibleName(listName);
    stack_->setAccessibleName(listName);
    // One selection for both views, so switching the view keeps it.
    QItemSelectionModel* own = icons_->selectionModel();
    icons_->setSelectionModel(details_->selectionModel());
    delete own;
    for (QAbstractItemView* v : {static_cast<QAbstractItemView*>(icons_), static_cast<QAbstractItemView*>(details_)}) {
        v->setSelectionMode(QAbstractItemView::SingleSelection);
        v->setSelectionBehavior(QAbstractItemView::SelectRows);
        v->setEditTriggers(QAbstractItemView::NoEditTriggers);
        v->setFrameShape(QFrame::NoFrame);
        v->installEventFilter(this);
        v->viewport()->installEventFilter(this);
        connect(v, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
            if (index.isValid()) onCommand(cmd::Open);
        });
        stack_->addWidget(v);
    }
    search_->installEventFilter(this);
    layout->addWidget(stack_, 1);

    connect(details_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CCertStorePage::selectionChanged);
    connect(search_, &QLineEdit::textChanged, this, &CCertStorePage::filter);

    checker_ = new CRevocationChecker(this);
    single_ = new CRevocationChecker(this);
    for (CRevocationChecker* c : {checker_, single_}) {
        connect(c, &CRevocationChecker::checked, model_, &CCertListModel::setStatus);
        connect(c, &CRevocationChecker::finished, this, &CCertStorePage::fitColumns);
    }
    connect(checker_, &CRevocationChecker::finished, this, &CCertStorePage::statusesDone);

    operateItem_ = operateMenuOf(menuIds_.item, this);
    operateNoItem_ = operateMenuOf(menuIds_.noItem, this);
    viewHolder_ = menus::popup(155, 0, this);
    contextItem_ = menus::popup(menuIds_.item, 0, this);
    contextNoItem_ = menus::popup(menuIds_.noItem, 0, this);
    // Beyond the resource: the thumbprint to the clipboard, before the help entry.
    QList<QAction*> items = contextItem_->actions();
    auto* copy = new QAction(QStringLiteral("复制指纹"), contextItem_);
    copy->setData(cmd::CopyThumbprint);
    copy->setObjectName(QString::number(cmd::CopyThumbprint));
    contextItem_->insertAction(items.size() >= 2 ? items[items.size() - 2] : nullptr, copy);
    // The view the user last chose on this page; large icons until one is.
    const int stored = std::atoi(profile::read(kViewSection, std::to_string(this->idd())).c_str());
    view_ = stored >= 0 && stored <= static_cast<int>(View::Details) ? static_cast<View>(stored) : View::LargeIcons;
    applyView();
}

CCertStorePage::~CCertStorePage() = default;

QAbstractItemView* CCertStorePage::currentView() const {
    return view_ == View::Details ? static_cast<QAbstractItemView*>(details_) : icons_;
}

void CCertStorePage::setView(View view) {
    if (view != view_) profile::write(kViewSection, std::to_string(idd()), std::to_string(static_cast<int>(view)));
    view_ = view;
    applyView();
}

void CCertStorePage::applyView() {
    const View view = view_;
    stack_->setUpdatesEnabled(false);
    switch (view) {
    case View::LargeIcons:
        icons_->setViewMode(QListView::IconMode);
        icons_->setFlow(QListView::LeftToRight);
        icons_->setIconSize(QSize(32, 32));
        // Each label wraps in its own height; one size for all would elide the longer names.
        icons_->setUniformItemSizes(false);
        icons_->setGridSize(QSize(150, 90));
        icons_->setSpacing(4);
        break;
    case View::SmallIcons:
    case View::List:
        icons_->setViewMode(QListView::ListMode);
        icons_->setFlow(view == View::SmallIcons ? QListView::LeftToRight : QListView::TopToBottom);
        icons_->setWrapping(true);
        icons_->setIconSize(QSize(16, 16));
        icons_->setUniformItemSizes(true);
        icons_->setGridSize(QSize(180, 22));
        icons_->setSpacing(0);
        break;
    case View::Details: break;
    }
    stack_->setCurrentWidget(currentView());
    stack_->setUpdatesEnabled(true);
}

void CCertStorePage::refresh() {
    checker_->cancel();
    single_->cancel();
    // A refresh forgets the selection: the rows may be other certificates now.
    details_->selectionModel()->clear();
    selected_.clear();
    if (store_->OpenCertStore() != 0) {
        model_->clear();
        emit menusChanged();
        return;
    }
    model_->load(*store_);
    loaded();
    fitColumns();
    emit menusChanged();
    StatusCheck check = statusCheck();
    if (check == StatusCheck::None) return;
    std::vector<CRevocationChecker::Job> jobs;
    jobs.reserve(static_cast<size_t>(store_->GetCertCount()));
    for (int i = 0; i < store_->GetCertCount(); ++i) {
        const CERT_CONTEXT* context = store_->getCert(i)->getPCCERT();
        if (!context) continue;
        jobs.push_back({model_->row(i).thumbprint,
                        std::string(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded)});
    }
    checker_->start(std::move(jobs), check == StatusCheck::Online);
}

bool CCertStorePage::onlineChecks() {
    return std::atoi(profile::read("Common", "SartOnlineCRLCheck", "0").c_str()) == 1;
}

void CCertStorePage::filter(const QString& text) {
    QString kept = selected_;
    proxy_->setFilterFixedString(text);
    // The view moves the current row to a neighbour when the chosen one is filtered out; what
    // is selected stays the user's choice, or nothing.
    int row = kept.isEmpty() ? -1 : model_->rowOfThumbprint(kept);
    QModelIndex shown = row < 0 ? QModelIndex() : proxy_->mapFromSource(model_->index(row, 0));
    QItemSelectionModel* selection = details_->selectionModel();
    if (shown.isValid())
        selection->setCurrentIndex(shown, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    else {
        selection->clearSelection();
        selection->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
}

void CCertStorePage::selectionChanged() {
    QModelIndexList rows = details_->selectionModel()->selectedRows();
    QString now = rows.isEmpty() ? QString() : rows.first().data(CCertListModel::ThumbprintRole).toString();
    if (now == selected_) return;
    bool menusDiffer = now.isEmpty() != selected_.isEmpty();
    selected_ = now;
    if (menusDiffer) emit menusChanged();
}

void CCertStorePage::selectStoreRow(int index) {
    QItemSelectionModel* selection = details_->selectionModel();
    if (index < 0 || index >= model_->rowCount()) {
        selection->clear();
        return;
    }
    QModelIndex shown = proxy_->mapFromSource(model_->index(index, 0));
    if (!shown.isValid()) {
        selection->clear();
        return;
    }
    selection->setCurrentIndex(shown, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

int CCertStorePage::selectedStoreIndex() {
    if (selected_.isEmpty()) return -1;
    int row = model_->rowOfThumbprint(selected_);
    // The row is the store's index while the list is the one loaded; check it all the same.
    if (row >= 0 && row < store_->GetCertCount() && CCertListModel::thumbprintText(*store_->getCert(row)) == selected_)
        return row;
    for (int i = 0; i < store_->GetCertCount(); ++i)
        if (CCertListModel::thumbprintText(*store_->getCert(i)) == selected_) return i;
    return -1;
}

CDigitalCertificate* CCertStorePage::selectedCertificate() {
    int index = selectedStoreIndex();
    return index >= 0 ? store_->getCert(index) : nullptr;
}

void CCertStorePage::fitColumns() {
    // Wide enough for the longest text (the header's included), but one long name must not push
    // the other columns out of the window.
    constexpr int kMaxWidth = 360;
    constexpr int kSampled = 500;  // rows looked at: a huge store must not stall a refresh
    QHeaderView* header = details_->header();
    const int rows = std::min(proxy_->rowCount(), kSampled);
    for (int c = 0; c < proxy_->columnCount(); ++c) {
        int wanted = header->sectionSizeHint(c);
        for (int r = 0; r < rows; ++r)
            wanted = std::max(wanted, details_->sizeHintForIndex(proxy_->index(r, c)).width());
        header->resizeSection(c, std::min(wanted + details_->indentation() / 2, kMaxWidth));
    }
}

QAction* CCertStorePage::addItemCommand(const QString& text, int id) {
    QAction* added = nullptr;
    for (QMenu* menu : {contextItem_, operateItem_}) {
        auto* action = new QAction(text, menu);
        action->setData(id);
        action->setObjectName(QString::number(id));
        QList<QAction*> items = menu->actions();
        // Before the separator that stands above "帮助".
        menu->insertAction(items.size() >= 2 ? items[items.size() - 2] : nullptr, action);
        if (!added) added = action;
    }
    return added;
}

QMenu* CCertStorePage::operateMenu() {
    if (selected_.isEmpty()) return operateNoItem_;
    prepareItemMenus();
    return operateItem_;
}

QMenu* CCertStorePage::viewMenu() {
    QList<QAction*> actions = viewHolder_->actions();
    return actions.size() > 4 ? actions[4]->menu() : nullptr;
}

QMenu* CCertStorePage::contextMenu(bool onItem) {
    if (!onItem) return contextNoItem_;
    prepareItemMenus();
    return contextItem_;
}

QMenu* CCertStorePage::contextMenuAt(const QPoint& viewportPos) {
    QModelIndex hit = currentView()->indexAt(viewportPos);
    if (hit.isValid())
        details_->selectionModel()->setCurrentIndex(hit,
                                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    else
        details_->selectionModel()->clear();
    return contextMenu(hit.isValid());
}

void CCertStorePage::showContextMenu(const QPoint& globalPos) {
    QMenu* menu = contextMenu(!selected_.isEmpty());
    if (QAction* chosen = menu->exec(globalPos))
        if (int id = menus::commandOf(chosen)) onCommand(id);
}

bool CCertStorePage::onCommand(int id) {
    switch (id) {
    case cmd::Open:
        if (CDigitalCertificate* cert = selectedCertificate()) cert->Display();
        return true;
    case cmd::Export:
        if (selectedCertificate()) exportCertificate();
        return true;
    case cmd::Delete: deleteSelected(); return true;
    case cmd::Refresh: refresh(); return true;
    case cmd::CrlCheck:
        if (model_->fifth() == CCertListModel::Fifth::Status) checkSelected();
        return true;
    case cmd::Properties: editProperties(); return true;
    case cmd::Import: importFile({}); return true;
    case cmd::LargeIcons: setView(View::LargeIcons); return true;
    case cmd::SmallIcons: setView(View::SmallIcons); return true;
    case cmd::List: setView(View::List); return true;
    case cmd::Details: setView(View::Details); return true;
    case cmd::PageHelp: CHelpWindow::open(); return true;
    case cmd::CopyThumbprint: copyThumbprint(); return true;
    default: return false;
    }
}

void CCertStorePage::deleteSelected() {
    CDigitalCertificate* chosen = selectedCertificate();
    if (!chosen || !mayDelete(*chosen)) return;
    if (controls::message(this, "您确信删除您的证书吗？", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) return;
    // The index is looked up again: nothing may have moved, but the box let events run.
    int index = selectedStoreIndex();
    if (index >= 0) store_->Remove(index);
    refresh();
}

void CCertStorePage::checkSelected() {
    CDigitalCertificate* cert = selectedCertificate();
    if (!cert || !cert->getPCCERT()) return;
    const CERT_CONTEXT* context = cert->getPCCERT();
    model_->setStatus(selected_, QString());
    single_->start(
        {{selected_, std::string(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded)}},
        true);
}

void CCertStorePage::editProperties() {
    CDigitalCertificate* cert = selectedCertificate();
    if (!cert) return;
    const QString thumbprint = selected_;
    CCertPropertiesDialog dialog(model_->row(model_->rowOfThumbprint(thumbprint)).friendlyName, this);
    if (dialog.exec() != QDialog::Accepted) return;
    // The dialog ran an event loop: find the certificate again.
    int index = model_->rowOfThumbprint(thumbprint);
    cert = index >= 0 && index < store_->GetCertCount() ? store_->getCert(index) : nullptr;
    if (!cert || CCertListModel::thumbprintText(*cert) != thumbprint) return;
    std::string name = dialog.friendlyName().toStdString();
    if (cert->setFriendlyName(name) == 0) model_->setFriendlyName(thumbprint, dialog.friendlyName());
}

void CCertStorePage::copyThumbprint() {
    if (!selected_.isEmpty()) QApplication::clipboard()->setText(selected_);
}

void CCertStorePage::exportDer(const char* success, const char* failure) {
    CDerExportDialog dialog(this);
    const QString thumbprint = selected_;
    if (dialog.exec() != QDialog::Accepted) return;
    int index = model_->rowOfThumbprint(thumbprint);
    CDigitalCertificate* cert = index >= 0 && index < store_->GetCertCount() ? store_->getCert(index) : nullptr;
    bool ok = cert && cert->ExportDerFile(dialog.target().toStdString().c_str()) == 0;
    controls::message(this, ok ? success : failure, MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONHAND));
}

bool CCertStorePage::acceptsFile(const QString& path) const {
    return droppedSuffixes().contains(QFileInfo(path).suffix().toLower());
}

bool CCertStorePage::offerFile(const QString& path) {
    if (!acceptsFile(path)) return false;
    importFile(path);
    return true;
}

QString CCertStorePage::droppedFile(const QMimeData* data) const {
    if (!data || !data->hasUrls()) return {};
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && acceptsFile(url.toLocalFile())) return url.toLocalFile();
    return {};
}

void CCertStorePage::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CCertStorePage::dropEvent(QDropEvent* event) {
    QString path = droppedFile(event->mimeData());
    if (path.isEmpty()) return;
    event->acceptProposedAction();
    offerFile(path);
}

bool CCertStorePage::handleKey(QKeyEvent* event) {
    bool onView = search_ != QApplication::focusWidget();
    switch (event->key()) {
    case Qt::Key_F5: refresh(); return true;
    case Qt::Key_Delete:
        if (!onView) return false;
        onCommand(cmd::Delete);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!onView) return false;
        onCommand(cmd::Open);
        return true;
    case Qt::Key_C:
        if (!onView || !(event->modifiers() & Qt::ControlModifier)) return false;
        copyThumbprint();
        return true;
    case Qt::Key_F10:
        if (!onView || !(event->modifiers() & Qt::ShiftModifier)) return false;
        break;
    case Qt::Key_Menu:
        if (!onView) return false;
        break;
    default: return false;
    }
    // The keyboard's context menu opens at the selected row, or at the top of the list.
    QAbstractItemView* v = currentView();
    QModelIndexList rows = details_->selectionModel()->selectedRows();
    QPoint at = rows.isEmpty() ? QPoint(8, 8) : v->visualRect(rows.first()).center();
    showContextMenu(v->viewport()->mapToGlobal(at));
    return true;
}

bool CCertStorePage::eventFilter(QObject* watched, QEvent* event) {
    QAbstractItemView* v = currentView();
    switch (event->type()) {
    case QEvent::KeyPress:
        if (handleKey(static_cast<QKeyEvent*>(event))) return true;
        break;
    case QEvent::MouseButtonPress:
        if (watched == v->viewport()) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            // A click on empty space leaves nothing selected.
            if (!v->indexAt(mouse->position().toPoint()).isValid()) details_->selectionModel()->clear();
        }
        break;
    case QEvent::ContextMenu: {
        auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        if (menuEvent->reason() == QContextMenuEvent::Keyboard) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Menu, Qt::NoModifier);
            handleKey(&key);
            return true;
        }
        if (watched != v->viewport()) break;
        contextMenuAt(menuEvent->pos());
        showContextMenu(menuEvent->globalPos());
        return true;
    }
    default: break;
    }
    return CPage::eventFilter(watched, event);
}

}  // namespace orvikdesk
