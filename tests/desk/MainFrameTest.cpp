// The main window offscreen: pages by navigator clicks, the menu bar each page puts up, commands
// routed by id, the close box, the tray and "退出", the about box.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <vector>

#include "app/Profile.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/HelpWindow.h"
#include "frame/MainFrame.h"
#include "frame/NavigatorBar.h"
#include "frame/OrvikPanelTray.h"
#include "pages/LifecyclePanel.h"
#include "support/TempHome.h"
#include "ui/CommandIds.h"
#include "ui/MenuFactory.h"
#include "ui/MessageBoxFacade.h"
#include "widgets/LinkStatic.h"

using namespace orvikdesk;

namespace {

// A page that records what reaches it and offers menus of its own.
class RecordingPage : public CPage {
public:
    RecordingPage(int index, QWidget* parent) : CPage(1000 + index, parent) {
        operate_ = new QMenu(this);
        operate_->addAction(QString("operate %1").arg(index));
        view_ = new QMenu(this);
        view_->addAction(QString("view %1").arg(index));
    }
    void activate() override { ++activations; }
    QMenu* operateMenu() override { return operate_; }
    QMenu* viewMenu() override { return view_; }
    bool onCommand(int id) override {
        commands.push_back(id);
        return true;
    }
    int activations = 0;
    std::vector<int> commands;

private:
    QMenu* operate_;
    QMenu* view_;
};

struct Frame {
    explicit Frame(bool recording = true)
        : frame(recording ? CMainFrame::PageFactory([](int i, QWidget* parent) -> CPage* {
              if (i == 0) return new CLifecyclePanel(parent);
              return new RecordingPage(i, parent);
          })
                          : CMainFrame::PageFactory()) {
        EXPECT_TRUE(frame.create());
        frame.show();
        QApplication::processEvents();
    }
    RecordingPage* page(int i) { return static_cast<RecordingPage*>(frame.page(i)); }
    QPoint itemCentre(int i) { return QPoint(18, i == 0 ? 20 : 56 + 44 * (i - 1) + 16); }
    void click(int item) { QTest::mouseClick(frame.bar(), Qt::LeftButton, {}, itemCentre(item)); }
    QString menuBarTitle(int position) { return frame.menuBar()->actions().value(position)->text(); }
    QMenu* menuBarMenu(int position) { return frame.menuBar()->actions().value(position)->menu(); }

    orvik::test::TempHome home;
    CMainFrame frame;
};

}  // namespace

TEST(MainFrame, CaptionMenuBarAndTheWebPageFirst) {
    Frame f;
    EXPECT_EQ(f.frame.windowTitle(), QString("Orvik数字证书助手"));
    ASSERT_EQ(f.frame.menuBar()->actions().size(), 5);
    QStringList titles;
    for (QAction* a : f.frame.menuBar()->actions()) titles << a->text();
    EXPECT_EQ(titles, QStringList({"文件(&F)", "工具(&T)", "操作(&O)", "查看(&V)", "帮助(&H)"}));
    EXPECT_EQ(f.frame.bar()->selected(), 0);
    EXPECT_TRUE(f.frame.page(0)->isVisible());
    // Page 0 puts menu 152 at position 2 and an empty popup at position 3.
    QMenu* operate = f.menuBarMenu(2);
    ASSERT_NE(menus::find(operate, cmd::Back), nullptr);
    EXPECT_EQ(menus::find(operate, cmd::Home)->text(), QString("返回首页"));
    EXPECT_TRUE(f.menuBarMenu(3)->actions().isEmpty());
    EXPECT_EQ(menus::find(f.menuBarMenu(0), cmd::AppExit)->text(), QString("退出(&X)"));
}

TEST(MainFrame, NavigatorClicksSwitchPagesAndTheirMenus) {
    Frame f;
    f.click(2);
    EXPECT_EQ(f.frame.bar()->selected(), 2);
    EXPECT_TRUE(f.page(2)->isVisible());
    EXPECT_FALSE(f.frame.page(0)->isVisible());
    EXPECT_EQ(f.page(2)->activations, 1);
    EXPECT_EQ(f.menuBarTitle(2), QString("操作(&O)"));
    EXPECT_EQ(f.menuBarMenu(2)->actions().value(0)->text(), QString("operate 2"));
    EXPECT_EQ(f.menuBarMenu(3)->actions().value(0)->text(), QString("view 2"));
    EXPECT_EQ(f.frame.menuBar()->actions().size(), 5);

    // The gap between two items, and the selected item itself, change nothing.
    QTest::mouseClick(f.frame.bar(), Qt::LeftButton, {}, QPoint(18, 50));
    f.click(2);
    EXPECT_EQ(f.frame.bar()->selected(), 2);
    EXPECT_EQ(f.page(2)->activations, 1);

    f.click(5);
    f.click(0);
    EXPECT_EQ(f.frame.bar()->selected(), 0);
    EXPECT_NE(menus::find(f.menuBarMenu(2), cmd::Forward), nullptr) << "menu 152 again";
    EXPECT_TRUE(f.menuBarMenu(3)->actions().isEmpty());
    f.click(2);
    EXPECT_EQ(f.page(2)->activations, 2) << "each selection activates again";
}

TEST(MainFrame, CtrlAndADigitSelectsEachPageAndF1OpensTheHelp) {
    Frame f;
    f.frame.activateWindow();
    for (int i = 5; i >= 0; --i) {
        QTest::keyClick(&f.frame, static_cast<Qt::Key>(Qt::Key_1 + i), Qt::ControlModifier);
        EXPECT_EQ(f.frame.bar()->selected(), i) << "Ctrl+" << i + 1;
    }
    // The help file beside the program, as an installed one has it.
    QFile help(CHelpWindow::helpPath());
    const bool made = !help.exists();
    if (made) {
        ASSERT_TRUE(help.open(QIODevice::WriteOnly));
        help.write("<html><body>帮助</body></html>");
        help.close();
    }
    QTest::keyClick(&f.frame, Qt::Key_F1);
    ASSERT_NE(CHelpWindow::instance(), nullptr);
    EXPECT_TRUE(CHelpWindow::instance()->isVisible());
    CHelpWindow::instance()->close();
    if (made) help.remove();
}

TEST(MainFrame, CommandsReachThePagesTheirTableNames) {
    Frame f;
    f.click(3);
    f.frame.dispatch(cmd::Delete);  // not a command of the CA page
    f.frame.dispatch(cmd::Open);
    f.frame.dispatch(cmd::Details);
    EXPECT_EQ(f.page(3)->commands, (std::vector<int>{cmd::Open, cmd::Details}));
    f.click(4);
    f.frame.dispatch(cmd::Open);  // nothing on the mail page
    f.frame.dispatch(cmd::List);
    EXPECT_EQ(f.page(4)->commands, (std::vector<int>{cmd::List}));
    // Fixed destinations whatever is selected.
    f.frame.dispatch(cmd::ImportFromLdap);
    f.frame.dispatch(cmd::Encrypt);
    f.frame.dispatch(cmd::BatchConfigureMain);
    EXPECT_EQ(f.page(2)->commands, (std::vector<int>{cmd::ImportFromLdap}));
    EXPECT_EQ(f.page(5)->commands, (std::vector<int>{cmd::Encrypt}));
    EXPECT_EQ(f.page(4)->commands, (std::vector<int>{cmd::List, cmd::BatchConfigureMain}));
    // A menu-bar action carries its id to the same routing.
    f.click(1);
    QAction* item = new QAction("导出...", &f.frame);
    item->setData(cmd::Export);
    f.menuBarMenu(2)->addAction(item);
    item->trigger();
    EXPECT_EQ(f.page(1)->commands, (std::vector<int>{cmd::Export}));
}

TEST(MainFrame, CommandsOfOtherPartsAreDisabledUntilProvided) {
    Frame f;
    QAction* update = menus::find(f.menuBarMenu(0), cmd::CheckForUpdates);
    EXPECT_FALSE(update->isEnabled());
    int runs = 0;
    f.frame.setCommandHandler(cmd::CheckForUpdates, [&] { ++runs; });
    EXPECT_TRUE(update->isEnabled());
    EXPECT_TRUE(menus::find(f.frame.trayMenu(), cmd::CheckForUpdates)->isEnabled());
    update->trigger();
    EXPECT_EQ(runs, 1);
}

TEST(MainFrame, CloseHidesOrMinimisesAndOnlyExitEnds) {
    Frame f;
    QSignalSpy exit(&f.frame, &CMainFrame::exitRequested);
    f.frame.close();
    QApplication::processEvents();
    // Offscreen there is no tray: the close box minimises and the program keeps running.
    bool tray = f.frame.tray()->enabled();
    if (tray)
        EXPECT_FALSE(f.frame.isVisible());
    else
        EXPECT_TRUE(f.frame.isMinimized());
    EXPECT_EQ(exit.count(), 0);
    f.frame.showFromTray();
    EXPECT_TRUE(f.frame.isVisible());
    EXPECT_FALSE(f.frame.isMinimized());

    // "打开" hides a shown window and shows it again.
    f.frame.dispatch(cmd::TrayOpen);
    EXPECT_FALSE(f.frame.isVisible());
    f.frame.dispatch(cmd::TrayOpen);
    EXPECT_TRUE(f.frame.isVisible());
    QMenu* trayMenu = f.frame.trayMenu();
    emit trayMenu->aboutToShow();
    EXPECT_TRUE(menus::find(trayMenu, cmd::TrayOpen)->isChecked());

    menus::find(trayMenu, cmd::AppExit)->trigger();
    EXPECT_EQ(exit.count(), 1);
}

TEST(MainFrame, TheStartUpUpdateCheckRunsOnceAndOnlyWhenAsked) {
    {
        orvik::test::TempHome home;
        int checks = 0;
        // Without StartUpCheckNew nothing is checked.
        CMainFrame frame;
        frame.setStartupUpdateCheck([&] { ++checks; });
        frame.create();
        frame.show();
        EXPECT_TRUE(frame.updateCheckDone());
        EXPECT_EQ(checks, 0);
    }
    orvik::test::TempHome home;
    profile::write("UpdateConfig", "StartUpCheckNew", "1");
    int checks = 0;
    CMainFrame frame;
    frame.setStartupUpdateCheck([&] { ++checks; });
    frame.create();
    frame.show();
    frame.hide();
    frame.show();
    EXPECT_EQ(checks, 1) << "showing again from the tray does not check again";
}

TEST(MainFrame, ASecondStartBringsTheWindowOrItsDialogToTheFront) {
    Frame f;
    f.frame.hide();
    f.frame.bringToFront();
    EXPECT_TRUE(f.frame.isVisible());
    f.frame.showMinimized();
    f.frame.bringToFront();
    EXPECT_FALSE(f.frame.isMinimized());
}

TEST(AboutBox, TextsAndLinks) {
    orvik::test::TempHome home;
    CAboutDialog about;
    EXPECT_EQ(about.windowTitle(), QString("Orvik数字证书助手"));
    EXPECT_EQ(about.findChild<QLabel*>("version")->text(), QString("Orvik数字证书助手1.5版"));
    EXPECT_EQ(about.reportLink()->text(), QString("报告Bug"));
    EXPECT_TRUE(about.reportLink()->url().startsWith("mailto:"));
    EXPECT_TRUE(about.makerLink()->url().startsWith("https://"));
    EXPECT_EQ(about.makerLink()->underline(), 1);
    EXPECT_EQ(about.findChild<CLinkStatic*>("1112"), about.reportLink());
    QTimer::singleShot(0, &about, [&] { about.findChild<QWidget*>("1")->setFocus(), about.accept(); });
    EXPECT_EQ(about.exec(), QDialog::Accepted);
}

TEST(LinkStatic, AFailedOpenSaysWhyAndStaysUnvisited) {
    EXPECT_EQ(CLinkStatic::errorMessage(26), QString("Unable to open hyperlink:\n\nA sharing violation occurred. "));
    EXPECT_EQ(CLinkStatic::errorMessage(1), QString("Unable to open hyperlink:\n\nUnknown Error (1) occurred."));
    CLinkStatic link;
    link.SetURL("ftp://example.test/");  // only web and mail addresses are opened
    MessageBoxFacade::clear();
    EXPECT_FALSE(link.open());
    EXPECT_FALSE(link.visited());
    EXPECT_TRUE(MessageBoxFacade::lastText().startsWith("Unable to open hyperlink:\n\n"));

    // The desktop's opener decides: one that fails leaves the link unvisited, one that works marks it.
    link.SetURL("https://example.test/");
    setenv("ORVIK_OPENER", "false", 1);
    EXPECT_FALSE(link.open());
    EXPECT_EQ(MessageBoxFacade::lastText(), CLinkStatic::errorMessage(31));
    setenv("ORVIK_OPENER", "true", 1);
    EXPECT_TRUE(link.open());
    EXPECT_TRUE(link.visited());
    unsetenv("ORVIK_OPENER");
}
