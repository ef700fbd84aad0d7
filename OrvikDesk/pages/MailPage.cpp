#include "pages/MailPage.h"

#include <QAbstractItemView>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QStyle>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

#include "app/Profile.h"
#include "dialogs/HelpWindow.h"
#include "ui/Artwork.h"
#include "ui/CommandIds.h"
#include "ui/MenuFactory.h"
#include "widgets/ReportList.h"

namespace orvikdesk {

namespace {

// The view modes the user chose for the two levels, kept as the certificate pages keep theirs.
constexpr const char* kViewSection = "View";

QIcon image(int index) { return artwork::listImage(267, 270, index); }

void addRow(QStandardItemModel* model, const QIcon& icon, const QString& first, const QString& second) {
    auto* a = new QStandardItem(icon, first);
    auto* b = new QStandardItem(second);
    a->setEditable(false);
    b->setEditable(false);
    model->appendRow({a, b});
}

// A menu without the items of these ids, and without the separators that were left doubled.
void removeItems(QMenu* menu, const std::vector<int>& ids) {
    for (int id : ids)
        if (QAction* a = menus::find(menu, id)) menu->removeAction(a);
    QAction* previous = nullptr;
    for (QAction* a : menu->actions()) {
        if (a->isSeparator() && (!previous || previous->isSeparator())) {
            menu->removeAction(a);
            continue;
        }
        previous = a;
    }
    if (previous && previous->isSeparator()) menu->removeAction(previous);
}

// The commands of a list kept by one mail client alone.
const std::vector<int> kClientCommands = {cmd::ImportVCard, cmd::FoxmailFolder, cmd::ImportRegFile};

std::string viewEntry(int listId) { return std::to_string(CMailPage::IDD) + "." + std::to_string(listId); }

CReportList::Mode storedMode(int listId, CReportList::Mode fallback) {
    const auto stored = profile::find(kViewSection, viewEntry(listId));
    if (!stored) return fallback;
    const int mode = std::atoi(stored->c_str());
    return mode >= 0 && mode <= static_cast<int>(CReportList::Mode::Details) ? static_cast<CReportList::Mode>(mode)
                                                                             : fallback;
}

// Icons wide enough for the longest name, so that no name breaks in the middle of a word.
void fitIcons(CReportList* list) {
    if (list->mode() != CReportList::Mode::LargeIcons) return;
    auto* icons = qobject_cast<QListView*>(list->currentView());
    if (!icons) return;
    int widest = 0;
    for (int row = 0; row < list->model()->rowCount(); ++row)
        widest = std::max(widest, icons->fontMetrics().horizontalAdvance(list->model()->item(row, 0)->text()));
    icons->setGridSize(QSize(std::clamp(widest + 24, 120, 240), icons->gridSize().height()));
}

// Screen readers name a list by what it lists; both views of a report list carry the name.
void nameList(CReportList* list, const QString& name) {
    list->setAccessibleName(name);
    for (QAbstractItemView* v : list->findChildren<QAbstractItemView*>()) v->setAccessibleName(name);
}

}  // namespace

CMailPage::CMailPage(QWidget* parent) : CPage(IDD, parent), views_(CMailClientView::all()) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(6, 4, 6, 4);
    back_ = new QToolButton(this);
    back_->setObjectName(QStringLiteral("back"));
    back_->setText(QStringLiteral("返回(&B)"));
    back_->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
    back_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    back_->setAutoRaise(true);
    back_->setAccessibleName(QStringLiteral("返回"));
    back_->setToolTip(QStringLiteral("返回功能列表（Backspace 或 Alt+←）"));
    caption_ = new QLabel(this);
    caption_->setObjectName(QStringLiteral("caption"));
    // The same height at both levels, with the button shown or not.
    caption_->setMinimumHeight(back_->sizeHint().height());
    QFont bigger = caption_->font();
    bigger.setBold(true);
    bigger.setPointSizeF(bigger.pointSizeF() * 1.15);
    caption_->setFont(bigger);
    header->addWidget(back_);
    header->addWidget(caption_, 1);
    layout->addLayout(header);

    levels_ = new QStackedWidget(this);
    functions_ = new CReportList(IDC_FUNCTIONS, levels_);
    second_ = new QStackedWidget(levels_);
    items_ = new CReportList(IDC_ITEMS, second_);
    empty_ = new QWidget(second_);
    empty_->setObjectName(QStringLiteral("empty"));
    // Where the list would be, in the list's colours.
    empty_->setBackgroundRole(QPalette::Base);
    empty_->setAutoFillBackground(true);
    auto* emptyLayout = new QVBoxLayout(empty_);
    emptyLayout->setContentsMargins(16, 16, 16, 16);
    emptyText_ = new QLabel(empty_);
    emptyText_->setObjectName(QStringLiteral("emptyText"));
    emptyText_->setWordWrap(true);
    // The commands it names can be copied into a terminal.
    emptyText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    emptyAction_ = new QPushButton(empty_);
    emptyAction_->setObjectName(QStringLiteral("emptyAction"));
    auto* actionRow = new QHBoxLayout;
    actionRow->addWidget(emptyAction_);
    actionRow->addStretch(1);
    emptyLayout->addWidget(emptyText_);
    emptyLayout->addLayout(actionRow);
    emptyLayout->addStretch(1);
    second_->addWidget(items_);
    second_->addWidget(empty_);
    levels_->addWidget(functions_);
    levels_->addWidget(second_);
    layout->addWidget(levels_, 1);
    setTabOrder(back_, functions_);

    QStandardItemModel* model = functions_->model();
    model->setHorizontalHeaderLabels({QStringLiteral("名称"), QStringLiteral("备注")});
    for (const auto& v : views_)
        addRow(model, image(v->hasContacts() ? CMailClientView::Book : CMailClientView::Account), v->name(),
               v->remark());
    functions_->details()->header()->resizeSection(0, 200);
    functions_->setMode(storedMode(IDC_FUNCTIONS, CReportList::Mode::LargeIcons));
    items_->setMode(storedMode(IDC_ITEMS, CReportList::Mode::Details));
    fitIcons(functions_);
    nameList(functions_, QStringLiteral("邮件功能列表"));

    bar_ = makeMenus(true);
    context_ = makeMenus(false);
    QMenu* holder = menus::popup(155, 0, this);
    for (QAction* a : holder->actions())
        if (a->menu() && a->menu()->title() == QStringLiteral("查看")) view_ = a->menu();

    for (CReportList* list : {functions_, items_}) {
        connect(list, &CReportList::selectionChanged, this, &CPage::menusChanged);
        connect(list, &CReportList::contextMenuRequested, this, &CMailPage::showContextMenu);
    }
    connect(functions_, &CReportList::rowActivated, this, &CMailPage::open);
    connect(items_, &CReportList::rowActivated, this, &CMailPage::configure);
    connect(back_, &QToolButton::clicked, this, &CMailPage::back);
    connect(emptyAction_, &QPushButton::clicked, this, [this] {
        if (emptyCommand_) onCommand(emptyCommand_);
    });
    empty_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(empty_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { showContextMenu(-1, empty_->mapToGlobal(at)); });
    for (QKeySequence keys : {QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::ALT | Qt::Key_Left)}) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, &CMailPage::back);
    }
    showLevel();
}

CMailPage::~CMailPage() = default;

CMailClientView* CMailPage::view(int function) const {
    return function >= 0 && function < static_cast<int>(views_.size()) ? views_[static_cast<size_t>(function)].get()
                                                                       : nullptr;
}

// The bar's menus and the context menus are separate objects: the frame handles what is chosen
// in the one, the page what is chosen in the other.
CMailPage::Menus CMailPage::makeMenus(bool forBar) {
    Menus m{};
    m.firstRow = menus::popup(238, 0, this);
    m.firstNoRow = menus::popup(239, 0, this);
    m.row = menus::popup(240, 0, this);
    for (int f = 0; f < FunctionCount; ++f) {
        QMenu* menu = m.noRow[f] = menus::popup(241, 0, this);
        // The accounts from Windows' registry: beside the other imports of a client's data.
        auto* reg = new QAction(QStringLiteral("从.reg文件导入帐户..."), menu);
        reg->setData(cmd::ImportRegFile);
        reg->setObjectName(QString::number(cmd::ImportRegFile));
        menu->insertAction(menus::find(menu, cmd::FoxmailFolder), reg);
        const CMailClientView* v = view(f);
        std::vector<int> unused;
        if (!v->hasContacts()) unused.push_back(cmd::BatchConfigure);
        const std::vector<int> own = v->commands();
        for (int id : kClientCommands)
            if (std::find(own.begin(), own.end(), id) == own.end()) unused.push_back(id);
        removeItems(menu, unused);
    }
    if (forBar) {
        std::vector<QMenu*> all{m.firstRow, m.firstNoRow, m.row};
        all.insert(all.end(), std::begin(m.noRow), std::end(m.noRow));
        for (QMenu* menu : all) {
            menu->addSeparator();
            QMenu* configure = menus::popup(269, 0, menu);
            menu->addMenu(configure);
        }
    }
    return m;
}

bool CMailPage::atFirstLevel() const { return levels_->currentWidget() == functions_; }

CReportList* CMailPage::shownList() const { return atFirstLevel() ? functions_ : items_; }

QMenu* CMailPage::operateMenu() {
    const bool row = shownList()->currentRow() >= 0;
    if (atFirstLevel()) return row ? bar_.firstRow : bar_.firstNoRow;
    return row ? bar_.row : bar_.noRow[opened_];
}

QMenu* CMailPage::contextMenu(bool onRow) const {
    if (atFirstLevel()) return onRow ? context_.firstRow : context_.firstNoRow;
    return onRow ? context_.row : context_.noRow[opened_];
}

void CMailPage::showContextMenu(int row, const QPoint& globalPos) {
    if (QAction* chosen = contextMenu(row >= 0)->exec(globalPos))
        if (int id = menus::commandOf(chosen)) onCommand(id);
}

// The caption names the list shown; the way back is offered where there is one.
void CMailPage::showLevel() {
    const bool first = atFirstLevel();
    back_->setVisible(!first);
    caption_->setText(first ? QStringLiteral("邮件功能") : view(opened_)->name());
}

void CMailPage::open(int function) {
    if (!view(function)) return;
    opened_ = function;
    levels_->setCurrentWidget(second_);
    nameList(items_, view(function)->name());
    showLevel();
    fill();
    if (isVisible()) {
        if (second_->currentWidget() == items_)
            items_->currentView()->setFocus();
        else
            (emptyAction_->isVisible() ? static_cast<QWidget*>(emptyAction_) : back_)->setFocus();
    }
    emit menusChanged();
}

void CMailPage::back() {
    if (atFirstLevel()) return;
    levels_->setCurrentWidget(functions_);
    showLevel();
    // Where the user came from stays selected, so Enter opens it again.
    functions_->selectRow(opened_);
    if (isVisible()) functions_->currentView()->setFocus();
    emit menusChanged();
}

void CMailPage::fill() {
    CMailClientView* v = view(opened_);
    QStandardItemModel* model = items_->model();
    model->clear();
    model->setHorizontalHeaderLabels(v->columns());
    items_->details()->header()->resizeSection(0, 120);
    items_->details()->header()->resizeSection(1, 200);
    for (const CMailClientView::Row& row : v->load()) addRow(model, image(row.image), row.name, row.email);
    fitIcons(items_);
    if (model->rowCount() > 0) {
        second_->setCurrentWidget(items_);
    } else {
        const CMailClientView::EmptyHint hint = v->emptyHint();
        emptyText_->setText(hint.text);
        emptyCommand_ = hint.command;
        emptyAction_->setText(hint.action);
        emptyAction_->setVisible(hint.command != 0);
        second_->setCurrentWidget(empty_);
    }
    emit menusChanged();
}

void CMailPage::configure(int row) {
    if (atFirstLevel() || row < 0) return;
    if (view(opened_)->configure(row, this)) {
        fill();
        items_->selectRow(row);
    }
}

void CMailPage::batch(int function) {
    CMailClientView* v = view(function);
    if (!v || !v->hasContacts()) return;
    v->batch(this, [this, function] {
        if (!atFirstLevel() && opened_ == function) fill();
    });
}

bool CMailPage::setMode(int command) {
    CReportList::Mode mode;
    switch (command) {
    case cmd::LargeIcons:
    case cmd::MailLargeIcons: mode = CReportList::Mode::LargeIcons; break;
    case cmd::SmallIcons:
    case cmd::MailSmallIcons: mode = CReportList::Mode::SmallIcons; break;
    case cmd::List: mode = CReportList::Mode::List; break;
    case cmd::Details:
    case cmd::MailDetails: mode = CReportList::Mode::Details; break;
    default: return false;
    }
    CReportList* list = shownList();
    if (list->mode() != mode)
        profile::write(kViewSection, viewEntry(atFirstLevel() ? IDC_FUNCTIONS : IDC_ITEMS),
                       std::to_string(static_cast<int>(mode)));
    list->setMode(mode);
    fitIcons(list);
    return true;
}

bool CMailPage::onCommand(int id) {
    if (setMode(id)) return true;
    switch (id) {
    case cmd::MailOpen:
        if (atFirstLevel()) open(functions_->currentRow());
        return true;
    case cmd::MailConfigure: configure(items_->currentRow()); return true;
    case cmd::MailRefresh:
        if (!atFirstLevel()) fill();
        return true;
    case cmd::MailBack: back(); return true;
    case cmd::BatchConfigure:
    case cmd::BatchConfigureMain:
        // The opened book, or at the first level the selected one.
        batch(atFirstLevel() ? functions_->currentRow() : opened_);
        return true;
    case cmd::PageHelp: CHelpWindow::open(); return true;
    default: break;
    }
    if (atFirstLevel()) return false;
    CMailClientView* v = view(opened_);
    const std::vector<int> own = v->commands();
    if (std::find(own.begin(), own.end(), id) == own.end()) return false;
    if (v->onCommand(id, this)) fill();
    return true;
}

}  // namespace orvikdesk
