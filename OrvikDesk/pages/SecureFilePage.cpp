#include "pages/SecureFilePage.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>
#include <cstdlib>
#include <string>

#include "app/Profile.h"
#include "dialogs/HelpWindow.h"
#include "ui/Artwork.h"
#include "ui/CommandIds.h"
#include "ui/MenuFactory.h"
#include "workflows/DecryptWorkflow.h"
#include "workflows/EncryptWorkflow.h"

namespace orvikdesk {

namespace {

std::function<void(QWidget*)>& configureHook() {
    static std::function<void(QWidget*)> hook;
    return hook;
}

struct EntryText {
    const char* name;
    const char* remark;
    int icon;
    int menu;
};
constexpr EntryText kEntries[] = {
    {"文件加密", "用证书加密文件", 235, 230},
    {"文件解密", "用证书解密文件", 237, 231},
    {"设置默认加密证书", "设置用于加密文件的默认证书", 263, 233},
};

// The view commands in the order the certificate pages keep their views in the profile, under
// the same section, so every page's choice is stored alike.
constexpr int kViews[] = {cmd::LargeIcons, cmd::SmallIcons, cmd::List, cmd::Details};
constexpr const char* kViewSection = "View";

}  // namespace

void CSecureFilePage::setConfigure(std::function<void(QWidget*)> configure) { configureHook() = std::move(configure); }

CSecureFilePage::CSecureFilePage(QWidget* parent) : CPage(IDD, parent) {
    model_ = new QStandardItemModel(0, 2, this);
    model_->setHorizontalHeaderLabels({QStringLiteral("名称"), QStringLiteral("备注")});
    for (const EntryText& e : kEntries) {
        auto* name = new QStandardItem(artwork::icon(e.icon), QString::fromUtf8(e.name));
        auto* remark = new QStandardItem(QString::fromUtf8(e.remark));
        name->setEditable(false);
        remark->setEditable(false);
        model_->appendRow({name, remark});
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    stack_ = new QStackedWidget(this);
    icons_ = new QListView(stack_);
    icons_->setObjectName(QString::number(IDC_LIST));
    icons_->setModel(model_);
    icons_->setMovement(QListView::Static);
    icons_->setResizeMode(QListView::Adjust);
    icons_->setWordWrap(true);
    details_ = new QTreeView(stack_);
    details_->setObjectName(QString("%1-details").arg(IDC_LIST));
    details_->setModel(model_);
    details_->setRootIsDecorated(false);
    details_->setAllColumnsShowFocus(true);
    details_->header()->resizeSection(0, 200);
    QItemSelectionModel* own = icons_->selectionModel();
    icons_->setSelectionModel(details_->selectionModel());
    delete own;
    icons_->setAccessibleName(QStringLiteral("文件加密"));
    details_->setAccessibleName(QStringLiteral("文件加密"));
    stack_->addWidget(icons_);
    stack_->addWidget(details_);
    layout->addWidget(stack_);

    operate_ = menus::popup(254, 0, this);
    QMenu* holder = menus::popup(253, 0, this);
    view_ = holder->actions().isEmpty() ? nullptr : holder->actions().first()->menu();
    for (int i = 0; i < 3; ++i) entryMenus_[i] = menus::popup(kEntries[i].menu, 0, this);
    noEntry_ = holder;

    for (QAbstractItemView* v : {static_cast<QAbstractItemView*>(icons_), static_cast<QAbstractItemView*>(details_)}) {
        v->setContextMenuPolicy(Qt::DefaultContextMenu);
        v->viewport()->installEventFilter(this);
        v->installEventFilter(this);
        connect(v, &QAbstractItemView::activated, this, [this](const QModelIndex& i) { activateEntry(i.row()); });
    }
    // The view the user last chose here; large icons until one is.
    const int stored = std::atoi(profile::read(kViewSection, std::to_string(IDD)).c_str());
    applyMode(stored >= 0 && stored < 4 ? kViews[stored] : cmd::LargeIcons);
}

QAbstractItemView* CSecureFilePage::currentView() const {
    return stack_->currentWidget() == details_ ? static_cast<QAbstractItemView*>(details_) : icons_;
}

void CSecureFilePage::setMode(int command) {
    if (command == mode_) return;
    for (int i = 0; i < 4; ++i)
        if (kViews[i] == command) profile::write(kViewSection, std::to_string(IDD), std::to_string(i));
    applyMode(command);
}

void CSecureFilePage::applyMode(int command) {
    mode_ = command;
    if (command == cmd::Details) {
        stack_->setCurrentWidget(details_);
        return;
    }
    const bool large = command == cmd::LargeIcons;
    icons_->setViewMode(large ? QListView::IconMode : QListView::ListMode);
    icons_->setFlow(command == cmd::List ? QListView::TopToBottom : QListView::LeftToRight);
    icons_->setWrapping(true);
    icons_->setIconSize(large ? QSize(32, 32) : QSize(16, 16));
    icons_->setGridSize(large ? QSize(120, 90) : QSize(180, 22));
    stack_->setCurrentWidget(icons_);
}

void CSecureFilePage::activateEntry(int entry) {
    switch (entry) {
    case EncryptEntry: CEncryptWorkflow(this).run({}, false); break;
    case DecryptEntry: CDecryptWorkflow(this).run({}); break;
    case DefaultCertEntry:
        if (configureHook()) configureHook()(this);
        break;
    default: break;
    }
}

bool CSecureFilePage::onCommand(int id) {
    switch (id) {
    case cmd::Encrypt: activateEntry(EncryptEntry); return true;
    case cmd::Decrypt: activateEntry(DecryptEntry); return true;
    case cmd::FileConfigure: activateEntry(DefaultCertEntry); return true;
    case cmd::PageHelp: CHelpWindow::open(); return true;
    case cmd::LargeIcons:
    case cmd::SmallIcons:
    case cmd::List:
    case cmd::Details: setMode(id); return true;
    default: return false;
    }
}

QMenu* CSecureFilePage::contextMenuAt(const QPoint& viewportPos) {
    QModelIndex hit = currentView()->indexAt(viewportPos);
    if (!hit.isValid()) {
        currentView()->selectionModel()->clear();
        return noEntry_;
    }
    currentView()->selectionModel()->setCurrentIndex(hit,
                                                     QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    return entryMenus_[hit.row()];
}

bool CSecureFilePage::eventFilter(QObject* watched, QEvent* event) {
    QAbstractItemView* view = currentView();
    if (watched == view->viewport() && event->type() == QEvent::ContextMenu) {
        auto* e = static_cast<QContextMenuEvent*>(event);
        QPoint at =
            e->reason() == QContextMenuEvent::Mouse ? e->pos() : view->visualRect(view->currentIndex()).center();
        if (QAction* chosen = contextMenuAt(at)->exec(view->viewport()->mapToGlobal(at)))
            if (int id = menus::commandOf(chosen)) onCommand(id);
        return true;
    }
    return CPage::eventFilter(watched, event);
}

}  // namespace orvikdesk
