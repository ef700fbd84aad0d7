// The main window: menu bar 153, the navigator bar with the six pages, the tray icon, and the
// routing of menu commands by id to the page that is shown.
#pragma once

#include <QMainWindow>
#include <functional>
#include <map>

class QMenu;

namespace orvikdesk {

class CNavigatorBar;
class CPage;
class COrvikPanelTray;
class CLifecyclePanel;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Makes the page of an item (0..5) as a child of parent.
    using PageFactory = std::function<CPage*(int index, QWidget* parent)>;

    explicit CMainFrame(PageFactory pages = {}, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The set-up of the window, its bar, tray and pages; false when the window cannot be made.
    bool create();

    CNavigatorBar* bar() const { return bar_; }
    CPage* page(int index) const;
    COrvikPanelTray* tray() const { return tray_; }
    QMenu* trayMenu() const { return trayMenu_; }
    bool updateCheckDone() const { return updateCheckDone_; }

    // A menu command by id, as the menu bar and the tray menu give it.
    void dispatch(int id);
    // What a command does that another part of the program provides (configuration, updates, ...).
    // A command without a handler is shown disabled.
    void setCommandHandler(int id, std::function<void()> handler);
    // Run once, at the first showing, when the profile asks for an update check at start-up.
    void setStartupUpdateCheck(std::function<void()> check) { startupCheck_ = std::move(check); }

    // The tray's click and "打开": show and restore; toggle hides again.
    void showFromTray();
    void toggleFromTray();
    // A second start of the program: the window (or its open modal dialog) comes to the front.
    void bringToFront();

    static QString caption();  // "Orvik数字证书助手"
    // The size a first start opens at: room for a certificate page's columns, within the screen.
    static QSize defaultSize(const QRect& available);
    // Keeps the window's geometry and state in the profile for the next start.
    void saveLayout();
    // Set once "退出" was chosen: the close box no longer keeps the window.
    bool exiting() const { return exiting_; }

signals:
    void exitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void pageShown(int index);
    void menuTriggered(QAction* action);
    void installPageMenus();
    void refreshHandledActions();
    void siteNavigated(const QUrl& url);
    void restoreLayout();
    static CPage* defaultPage(int index, QWidget* parent);

    PageFactory factory_;
    CNavigatorBar* bar_ = nullptr;
    COrvikPanelTray* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QMenu* emptyOperate_ = nullptr;
    QMenu* emptyView_ = nullptr;
    std::map<int, std::function<void()>> handlers_;
    std::function<void()> startupCheck_;
    bool updateCheckDone_ = false;
    bool exiting_ = false;
};

}  // namespace orvikdesk
