// The main window's life offscreen: "退出" ends the event loop whatever is open or hidden, and the
// window opens wide enough for a certificate page, where it was left, with each page's view mode.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>
#include <QTreeView>
#include <functional>

#include "app/AssistantApp.h"
#include "dialogs/AboutDialog.h"
#include "frame/MainFrame.h"
#include "frame/NavigatorBar.h"
#include "frame/OrvikPanelTray.h"
#include "pages/CertStorePage.h"
#include "support/TempHome.h"
#include "ui/CommandIds.h"
#include "ui/MenuFactory.h"

using namespace orvikdesk;

namespace {

QAction* exitInMenuBar(CMainFrame* frame) {
    return menus::find(frame->menuBar()->actions().value(0)->menu(), cmd::AppExit);
}
QAction* exitInTray(CMainFrame* frame) { return menus::find(frame->trayMenu(), cmd::AppExit); }

// Runs the event loop as the program does, with `scene` set up from inside it; the loop's exit
// code, or 99 when it was still running after 5 s.
int runLoop(const std::function<void()>& scene) {
    QTimer stuck;
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    stuck.start(5000);
    QTimer::singleShot(0, scene);
    return QApplication::exec();
}

CCertStorePage* certPage(CMainFrame& frame, int index) { return qobject_cast<CCertStorePage*>(frame.page(index)); }

}  // namespace

TEST(WindowLifetime, ExitAlwaysEndsTheLoopWhateverIsOpen) {
    orvik::test::TempHome home;
    // Each way the window can be when "退出" comes, from either menu, each a start of its own.
    for (int run = 0; run < 12; ++run) {
        CAssistantApp assistant;
        ASSERT_EQ(assistant.start({}), 0);
        ASSERT_TRUE(assistant.started());
        CMainFrame* frame = assistant.frame();
        QAction* quit = run % 2 ? exitInTray(frame) : exitInMenuBar(frame);
        int after = -2;
        const int code = runLoop([&, run, quit] {
            frame->showFromTray();
            switch (run % 6) {
            case 0: break;
            case 1: frame->showMinimized(); break;
            case 2: frame->close(); break;  // hidden to the tray, or minimised without one
            case 3: frame->dispatch(cmd::TrayOpen); break;
            case 4:
            case 5: {
                // From inside a modal dialog; one opened after it must not hold the program.
                QTimer::singleShot(0, quit, &QAction::trigger);
                CAboutDialog(frame).exec();
                if (run % 6 == 5) after = CAboutDialog(frame).exec();
                return;
            }
            }
            quit->trigger();
        });
        ASSERT_EQ(code, 0) << "run " << run << ": still running after 退出";
        if (run % 6 == 5) {
            EXPECT_NE(after, QDialog::Accepted);
        }
        EXPECT_TRUE(frame->exiting());
    }
}

TEST(WindowLifetime, TheWindowOpensWideEnoughForTheColumnsWithoutTheSite) {
    ASSERT_EQ(qgetenv("ORVIK_NO_WEBENGINE"), "1");
    // Within every screen, the usual laptop one too, and never the narrow strip it was.
    for (QRect area : {QRect(0, 0, 1366, 740), QRect(0, 0, 1920, 1050), QRect(0, 0, 800, 600), QRect(0, 0, 640, 480)}) {
        const QSize size = CMainFrame::defaultSize(area);
        EXPECT_LE(size.width(), area.width()) << area.width();
        EXPECT_LE(size.height(), area.height()) << area.width();
    }
    EXPECT_EQ(CMainFrame::defaultSize(QRect(0, 0, 1920, 1050)), QSize(960, 640));
    EXPECT_GE(CMainFrame::defaultSize(QRect(0, 0, 1366, 740)).width(), 900);

    orvik::test::TempHome home;
    CMainFrame frame;
    ASSERT_TRUE(frame.create());
    frame.show();
    QApplication::processEvents();
    const QRect area = QApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(area.contains(frame.geometry())) << "within the screen";
    frame.bar()->select(1);
    QApplication::processEvents();
    CCertStorePage* page = certPage(frame, 1);
    ASSERT_NE(page, nullptr);
    page->setView(CCertStorePage::View::Details);
    QApplication::processEvents();
    // Every column of the details view in sight, without scrolling.
    EXPECT_GE(page->detailsView()->viewport()->width(), page->detailsView()->header()->length());
    EXPECT_GE(page->height(), 300);
}

TEST(WindowLifetime, GeometryStateAndViewModesSurviveARestart) {
    orvik::test::TempHome home;
    const QRect placed(40, 30, 700, 520);
    {
        CMainFrame frame;
        ASSERT_TRUE(frame.create());
        frame.show();
        frame.setGeometry(placed);
        QApplication::processEvents();
        certPage(frame, 1)->onCommand(cmd::Details);
        certPage(frame, 3)->onCommand(cmd::List);
        frame.close();  // the close box keeps it too, not only "退出"
    }
    {
        CMainFrame frame;
        ASSERT_TRUE(frame.create());
        frame.show();
        QApplication::processEvents();
        EXPECT_EQ(frame.geometry(), placed);
        EXPECT_EQ(certPage(frame, 1)->view(), CCertStorePage::View::Details);
        EXPECT_EQ(certPage(frame, 2)->view(), CCertStorePage::View::LargeIcons) << "each page its own";
        EXPECT_EQ(certPage(frame, 3)->view(), CCertStorePage::View::List);
        EXPECT_EQ(certPage(frame, 3)->currentView(), certPage(frame, 3)->findChild<QAbstractItemView*>("1004"));
        frame.showMaximized();
        QApplication::processEvents();
        frame.dispatch(cmd::AppExit);
    }
    CMainFrame frame;
    ASSERT_TRUE(frame.create());
    frame.show();
    QApplication::processEvents();
    EXPECT_TRUE(frame.isMaximized()) << "the state as it was left";
    frame.showNormal();
    QApplication::processEvents();
    EXPECT_EQ(frame.geometry(), placed) << "and the size it had before";
}
