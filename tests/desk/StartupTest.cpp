// The start of the window mode: the window is painted before the web engine is started, the real
// program says when its first frame is out, and the file page opens in the view it was left in.
#include <gtest/gtest.h>

#include <QApplication>
#include <QListView>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>
#include <QTreeView>
#include <cstdlib>

#include "app/Profile.h"
#include "frame/MainFrame.h"
#include "frame/NavigatorBar.h"
#include "pages/LifecyclePanel.h"
#include "pages/SecureFilePage.h"
#include "support/TempHome.h"
#include "ui/CommandIds.h"

using namespace orvikdesk;

namespace {

struct EngineOn {
    EngineOn() { unsetenv("ORVIK_NO_WEBENGINE"); }
    ~EngineOn() { setenv("ORVIK_NO_WEBENGINE", "1", 1); }
};

}  // namespace

TEST(Startup, TheWindowIsPaintedBeforeTheWebEngineStarts) {
    orvik::test::TempHome home;
    EngineOn on;
    // Nothing listens there: the engine, once started, reaches no further than the loopback.
    profile::write("ServiceURL\\00000000", "Value", "http://127.0.0.1:9/portal");
    profile::write("ServiceURL", "Default", "00000000");
    CMainFrame frame;
    ASSERT_TRUE(frame.create());
    auto* panel = qobject_cast<CLifecyclePanel*>(frame.page(0));
    ASSERT_NE(panel, nullptr);
    if (!panel->usesEngine()) GTEST_SKIP() << "built without Qt WebEngine";
    frame.show();
    EXPECT_FALSE(panel->engineStarted()) << "not while the window is being shown";
    // The page says what comes meanwhile.
    EXPECT_TRUE(panel->showingFallback());
    EXPECT_TRUE(panel->findChild<QTextBrowser*>("fallback")->toPlainText().contains("正在打开服务站点"));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    EXPECT_TRUE(QTest::qWaitFor([panel] { return panel->engineStarted(); }, 30000)) << "and once it has been painted";
    EXPECT_EQ(panel->currentUrl(), QUrl("http://127.0.0.1:9/portal")) << "the site it was asked for";
}

TEST(Startup, AHiddenPageLoadsNothingAndAPageWithoutASiteNeedsNoEngine) {
    orvik::test::TempHome home;
    EngineOn on;
    profile::write("ServiceURL\\00000000", "Value", "file:///nowhere");
    profile::write("ServiceURL", "Default", "00000000");
    CLifecyclePanel panel(nullptr);
    panel.home();
    QApplication::processEvents();
    EXPECT_FALSE(panel.engineStarted()) << "never painted";
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    QApplication::processEvents();
    EXPECT_FALSE(panel.engineStarted()) << "no web address to load";
    EXPECT_TRUE(panel.showingFallback());
}

TEST(Startup, TheProgramReportsItsFirstFrameWhenAsked) {
    orvik::test::TempHome home;
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ORVIK_REPORT_FIRST_FRAME", "1");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(ORVIKDESK_PATH, {});
    ASSERT_TRUE(program.waitForStarted(10000));
    QByteArray out;
    const bool reported = QTest::qWaitFor(
        [&] {
            out += program.readAllStandardOutput();
            return out.contains("first frame\n") || program.state() == QProcess::NotRunning;
        },
        60000);
    program.kill();
    program.waitForFinished(10000);
    EXPECT_TRUE(reported && out.contains("first frame\n")) << out.toStdString();
}

TEST(Startup, TheFilePageOpensInTheViewItWasLeftIn) {
    orvik::test::TempHome home;
    {
        CSecureFilePage page;
        EXPECT_EQ(page.mode(), cmd::LargeIcons) << "until one is chosen";
        page.onCommand(cmd::Details);
    }
    {
        CSecureFilePage page;
        EXPECT_EQ(page.mode(), cmd::Details);
        EXPECT_NE(qobject_cast<QTreeView*>(page.currentView()), nullptr);
        page.onCommand(cmd::List);
    }
    CSecureFilePage page;
    EXPECT_EQ(page.mode(), cmd::List);
    auto* list = qobject_cast<QListView*>(page.currentView());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->viewMode(), QListView::ListMode);
    EXPECT_EQ(list->flow(), QListView::TopToBottom);
    // The file page's choice is its own: the certificate pages keep theirs.
    EXPECT_EQ(profile::read("View", "131"), "");
}
