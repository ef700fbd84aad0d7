#include "frame/MainFrame.h"

#include <algorithm>
#include <cstdlib>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QScreen>
#include <QShortcut>
#include <set>

#include <orvik/Deployment.h>

#include "app/Profile.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/HelpWindow.h"
#include "frame/NavigatorBar.h"
#include "frame/OrvikPanelTray.h"
#include "pages/CaCertPage.h"
#include "pages/LifecyclePanel.h"
#include "pages/MailPage.h"
#include "pages/MyCertPage.h"
#include "pages/OtherCertPage.h"
#include "pages/SecureFilePage.h"
#include "services/Shell.h"
#include "ui/Artwork.h"
#include "ui/CommandIds.h"
#include "ui/MenuFactory.h"

namespace orvikdesk {

namespace {

struct ItemText {
    const char* tip;
    const char* title;
    int idd;
    int picture;
    QRect hit;
};

const ItemText kItems[] = {
    {"证书生命周期管理", "证书生命周期管理", 130, 136, QRect(QPoint(0, 0), QPoint(35, 44))},
    {"个人证书库", "个人证书管理", 131, 137, QRect(QPoint(0, 56), QPoint(35, 88))},
    {"其他人证书库", "其他人证书管理", 144, 138, QRect(QPoint(0, 100), QPoint(35, 132))},
    {"CA证书库", "CA证书管理", 143, 139, QRect(QPoint(0, 144), QPoint(35, 176))},
    {"安全邮件配置", "安全邮件配置", 145, 200, QRect(QPoint(0, 188), QPoint(35, 220))},
    {"文件加密", "文件加密", 146, 141, QRect(QPoint(0, 232), QPoint(35, 264))},
};

// Commands that go to the selected page, and the pages that take each.
const std::map<int, std::set<int>>& pageCommands() {
    static const std::map<int, std::set<int>> table = {
        {cmd::Open, {1, 2, 3}},
        {cmd::Export, {1, 2, 3}},
        {cmd::Delete, {1, 2}},
        {cmd::Refresh, {1, 2, 3}},
        {cmd::CrlCheck, {1, 2}},
        {cmd::Properties, {1, 2, 3}},
        {cmd::Import, {1, 2, 3}},
        {cmd::LargeIcons, {1, 2, 3, 4, 5}},
        {cmd::SmallIcons, {1, 2, 3, 4, 5}},
        {cmd::List, {1, 2, 3, 4, 5}},
        {cmd::Details, {1, 2, 3, 4, 5}},
    };
    return table;
}

// Commands that go to one page whatever is selected.
const std::map<int, int>& fixedCommands() {
    static const std::map<int, int> table = {
        {cmd::ImportFromLdap, 2}, {cmd::Back, 0},
        {cmd::Forward, 0},        {cmd::Home, 0},
        {cmd::WebRefresh, 0},     {cmd::Encrypt, 5},
        {cmd::Decrypt, 5},        {cmd::FileConfigure, 5},
        {cmd::MailOpen, 4},       {cmd::MailConfigure, 4},
        {cmd::MailRefresh, 4},    {cmd::MailBack, 4},
        {cmd::BatchConfigure, 4}, {cmd::BatchConfigureMain, 4},
        {cmd::MailLargeIcons, 4}, {cmd::MailSmallIcons, 4},
        {cmd::MailDetails, 4},    {cmd::ImportVCard, 4},
        {cmd::FoxmailFolder, 4},
    };
    return table;
}

// Where the window's geometry and state are kept between runs.
constexpr const char* kLayoutSection = "MainFrame";

// Commands other parts of the program provide; disabled until they do.
constexpr int kHandled[] = {cmd::CheckForUpdates, cmd::ChangeBackupPassword, cmd::Configuration};

}  // namespace

CMainFrame::CMainFrame(PageFactory pages, QWidget* parent)
    : QMainWindow(parent), factory_(pages ? std::move(pages) : PageFactory(&CMainFrame::defaultPage)) {
    setObjectName("CMainFrame");
}

CMainFrame::~CMainFrame() = default;

QString CMainFrame::caption() { return QStringLiteral("Orvik数字证书助手"); }

CPage* CMainFrame::defaultPage(int index, QWidget* parent) {
    switch (index) {
    case 0: return new CLifecyclePanel(parent);
    case 1: return new CMyCertPage(parent);
    case 2: return new COtherCertPage(parent);
    case 3: return new CCaCertPage(parent);
    case 4: return new CMailPage(parent);
    case 5: return new CSecureFilePage(parent);
    default: return nullptr;
    }
}

bool CMainFrame::create() {
    setWindowTitle(caption());
    setWindowIcon(artwork::icon(153));

    menus::fillMenuBar(menuBar(), 153);
    emptyOperate_ = new QMenu(QStringLiteral("操作(&O)"), this);
    emptyView_ = new QMenu(QStringLiteral("查看(&V)"), this);
    // Each popup of the bar reports its own items: the pages' popups are put in later, and a
    // programmatic trigger reaches the popup but not the bar.
    for (QAction* top : menuBar()->actions())
        if (top->menu())
            connect(top->menu(), &QMenu::triggered, this, &CMainFrame::menuTriggered, Qt::UniqueConnection);

    bar_ = new CNavigatorBar(this);
    setCentralWidget(bar_);
    bar_->setBitmaps(artwork::bitmap(131), artwork::bitmap(134), artwork::bitmap(135), artwork::bitmap(132),
                     artwork::bitmap(133), artwork::bitmap(142), artwork::bitmap(150));

    trayMenu_ = menus::popup(175, 0, this);
    connect(trayMenu_, &QMenu::triggered, this, &CMainFrame::menuTriggered);
    QAction* open = menus::find(trayMenu_, cmd::TrayOpen);
    open->setCheckable(true);
    connect(trayMenu_, &QMenu::aboutToShow, this, [this, open] { open->setChecked(isVisible() && !isMinimized()); });
    tray_ = new COrvikPanelTray(this);
    // Without a tray the program still runs; the close box then minimises.
    if (tray_->Create(caption(), artwork::icon(175), trayMenu_)) tray_->SetIcon(artwork::icon(153));
    connect(tray_, &COrvikPanelTray::showRequested, this, &CMainFrame::showFromTray);

    for (int i = 0; i < 6; ++i) {
        const ItemText& t = kItems[i];
        CPage* p = factory_(i, bar_);
        if (p)
            connect(p, &CPage::menusChanged, this, [this, i] {
                if (bar_->selected() == i) installPageMenus();
            });
        if (auto* web = qobject_cast<CLifecyclePanel*>(p))
            connect(web, &CLifecyclePanel::navigated, this, &CMainFrame::siteNavigated);
        bar_->addItem({artwork::bitmap(t.picture), t.hit, QString::fromUtf8(t.tip), QString::fromUtf8(t.title), p});
    }
    connect(bar_, &CNavigatorBar::pageShown, this, &CMainFrame::pageShown);
    bar_->setAccessibleName(QStringLiteral("页面导航"));
    // Every page and the help are reachable from the keyboard, wherever the focus is in the window.
    for (int i = 0; i < bar_->count(); ++i)
        connect(new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_1 + i)), this),
                &QShortcut::activated, this, [this, i] { bar_->select(i); });
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this, [] { CHelpWindow::open(); });
    refreshHandledActions();

    restoreLayout();
    return bar_ != nullptr;
}

QSize CMainFrame::defaultSize(const QRect& available) {
    // The window frame and the panel take some of the available area once the window is shown.
    const int width = std::min(960, available.width() - 16);
    const int height = std::min(640, available.height() - 48);
    return QSize(std::max(width, 320), std::max(height, 240));
}

void CMainFrame::restoreLayout() {
    const QByteArray geometry =
        QByteArray::fromBase64(QByteArray::fromStdString(profile::read(kLayoutSection, "Geometry")));
    // A stored geometry puts the window back where it was, on a screen that is still there.
    if (!geometry.isEmpty() && restoreGeometry(geometry)) {
        const QByteArray state =
            QByteArray::fromBase64(QByteArray::fromStdString(profile::read(kLayoutSection, "State")));
        if (!state.isEmpty()) restoreState(state);
        return;
    }
    QScreen* screen = QApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    resize(defaultSize(area));
    move(area.center() - QPoint(width() / 2, height() / 2));
}

void CMainFrame::saveLayout() {
    profile::write(kLayoutSection, "Geometry", saveGeometry().toBase64().toStdString());
    profile::write(kLayoutSection, "State", saveState().toBase64().toStdString());
}

CPage* CMainFrame::page(int index) const { return bar_ ? qobject_cast<CPage*>(bar_->page(index)) : nullptr; }

void CMainFrame::pageShown(int index) {
    if (CPage* p = page(index)) p->activate();
    installPageMenus();
}

// Positions 2 and 3 of the menu bar are the shown page's.
void CMainFrame::installPageMenus() {
    CPage* p = page(bar_->selected());
    QMenu* operate = p && p->operateMenu() ? p->operateMenu() : emptyOperate_;
    QMenu* view = p && p->viewMenu() ? p->viewMenu() : emptyView_;
    operate->setTitle(QStringLiteral("操作(&O)"));
    view->setTitle(QStringLiteral("查看(&V)"));
    for (QMenu* m : {operate, view})
        connect(m, &QMenu::triggered, this, &CMainFrame::menuTriggered, Qt::UniqueConnection);
    QList<QAction*> actions = menuBar()->actions();
    if (actions.size() < 5) return;
    if (actions[2] != operate->menuAction()) {
        menuBar()->insertAction(actions[2], operate->menuAction());
        menuBar()->removeAction(actions[2]);
    }
    actions = menuBar()->actions();
    if (actions[3] != view->menuAction()) {
        menuBar()->insertAction(actions[3], view->menuAction());
        menuBar()->removeAction(actions[3]);
    }
}

void CMainFrame::menuTriggered(QAction* action) {
    if (int id = menus::commandOf(action)) dispatch(id);
}

void CMainFrame::setCommandHandler(int id, std::function<void()> handler) {
    handlers_[id] = std::move(handler);
    refreshHandledActions();
}

void CMainFrame::refreshHandledActions() {
    for (int id : kHandled) {
        bool handled = handlers_.count(id) && handlers_[id];
        for (QAction* top : menuBar()->actions())
            if (QAction* a = menus::find(top->menu(), id)) a->setEnabled(handled);
        if (QAction* a = menus::find(trayMenu_, id)) a->setEnabled(handled);
    }
}

void CMainFrame::dispatch(int id) {
    if (auto h = handlers_.find(id); h != handlers_.end() && h->second) {
        h->second();
        return;
    }
    if (auto fixed = fixedCommands().find(id); fixed != fixedCommands().end()) {
        if (CPage* p = page(fixed->second)) p->onCommand(id);
        return;
    }
    if (auto routed = pageCommands().find(id); routed != pageCommands().end()) {
        int selected = bar_->selected();
        if (routed->second.count(selected))
            if (CPage* p = page(selected)) p->onCommand(id);
        return;
    }
    switch (id) {
    case cmd::AppExit:
        // Set before anything else runs, so no close on the way out hides the window instead.
        exiting_ = true;
        saveLayout();
        emit exitRequested();
        break;
    case cmd::AppAbout: CAboutDialog(this).exec(); break;
    case cmd::HelpFile:
    case cmd::TrayHelp:
    case cmd::PageHelp: CHelpWindow::open(); break;
    case cmd::HomePage: shell::openAddress(orvik::deployment::text(orvik::deployment::kHomePage)); break;
    case cmd::TrayOpen: toggleFromTray(); break;
    default: break;
    }
}

void CMainFrame::showFromTray() {
    show();
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
}

void CMainFrame::toggleFromTray() {
    if (!isVisible() || isMinimized()) {
        showFromTray();
    } else {
        hide();
    }
    if (tray_) tray_->SetIcon(artwork::icon(153));
}

void CMainFrame::bringToFront() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        show();
        if (isMinimized()) showNormal();
        modal->raise();
        modal->activateWindow();
        return;
    }
    showFromTray();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    saveLayout();
    if (exiting_) {
        event->accept();
        return;
    }
    // The close box only hides: the program ends through "退出".
    event->ignore();
    if (tray_ && tray_->enabled())
        hide();
    else
        showMinimized();
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (updateCheckDone_) return;
    updateCheckDone_ = true;
    // Read as the settings page reads it: any text that converts to 1 ("01" too) is on.
    if (std::atoi(profile::read("UpdateConfig", "StartUpCheckNew").c_str()) == 1 && startupCheck_) startupCheck_();
}

// The site chooses the window's size by its addresses; a hidden or minimised window is left alone.
void CMainFrame::siteNavigated(const QUrl& url) {
    if (!isVisible() || isMinimized()) return;
    if (url.toString().contains("mini"))
        showNormal();
    else
        showMaximized();
}

}  // namespace orvikdesk
