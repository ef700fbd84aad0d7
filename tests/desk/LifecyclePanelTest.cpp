// Page 0 against a site served on 127.0.0.1: the embedded browser when there is one, and the text
// page when there is none, when the site is down or silent, or when no web address is set.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTextBrowser>
#include <cstdlib>

#include "app/Profile.h"
#include "frame/MainFrame.h"
#include "pages/LifecyclePanel.h"
#include "support/HttpServer.h"
#include "support/TempHome.h"

using orvikdesk::CLifecyclePanel;
namespace profile = orvikdesk::profile;

namespace {

void chooseSite(const std::string& url) {
    profile::write("ServiceURL\\00000000", "Value", url);
    profile::write("ServiceURL\\00000000", "Description", "测试站点");
    profile::write("ServiceURL", "Default", "00000000");
}

// The engine only where a test asks for it: no test page may reach past the loopback address.
struct Engine {
    explicit Engine(bool on) {
        if (on)
            unsetenv("ORVIK_NO_WEBENGINE");
        else
            setenv("ORVIK_NO_WEBENGINE", "1", 1);
    }
    ~Engine() { setenv("ORVIK_NO_WEBENGINE", "1", 1); }
};

}  // namespace

TEST(LifecyclePanel, WithoutTheEngineTheTextPageDescribesTheSite) {
    orvik::test::TempHome home;
    Engine off(false);
    chooseSite("http://127.0.0.1:9/portal");
    CLifecyclePanel panel(nullptr);
    EXPECT_FALSE(panel.usesEngine());
    panel.home();
    EXPECT_TRUE(panel.showingFallback());
    EXPECT_EQ(panel.pageTitle(), QString("证书生命周期管理"));
    QString text = panel.findChild<QTextBrowser*>("fallback")->toPlainText();
    EXPECT_TRUE(text.contains("http://127.0.0.1:9/portal")) << text.toStdString();
    EXPECT_TRUE(text.contains("在浏览器中打开"));
}

TEST(LifecyclePanel, OnlyWebAddressesAreNavigated) {
    orvik::test::TempHome home;
    Engine on(true);
    chooseSite("file:///etc/passwd");
    CLifecyclePanel panel(nullptr);
    QSignalSpy loads(&panel, &CLifecyclePanel::loadEnded);
    panel.home();
    EXPECT_TRUE(panel.showingFallback());
    EXPECT_FALSE(panel.findChild<QTextBrowser*>("fallback")->toPlainText().contains("在浏览器中打开"));
    EXPECT_EQ(loads.count(), 0);
}

TEST(LifecyclePanel, TheSiteLoadsAndADeadOrSilentSiteFallsBack) {
    orvik::test::TempHome home;
    Engine on(true);
    CLifecyclePanel panel(nullptr);
    if (!panel.usesEngine()) GTEST_SKIP() << "built without Qt WebEngine";
    panel.resize(640, 480);
    panel.show();
    orvik::test::HttpServer server;
    server.set("/portal", {.body = "<html><head><title>证书服务站点</title></head><body>证书服务</body></html>",
                           .headers = {{"Content-Type", "text/html; charset=utf-8"}}});
    chooseSite(server.url("/portal"));

    QSignalSpy loads(&panel, &CLifecyclePanel::loadEnded);
    QSignalSpy navigated(&panel, &CLifecyclePanel::navigated);
    panel.home();
    ASSERT_TRUE(loads.wait(60000));
    EXPECT_TRUE(loads.takeFirst().at(0).toBool());
    EXPECT_FALSE(panel.showingFallback());
    EXPECT_EQ(panel.pageTitle(), QString("证书服务站点"));
    EXPECT_EQ(navigated.count(), 1);

    server.set("/silent", {.silent = true});
    chooseSite(server.url("/silent"));
    panel.setLoadTimeout(1500);
    panel.home();
    ASSERT_TRUE(loads.wait(20000));
    EXPECT_FALSE(loads.takeFirst().at(0).toBool());
    EXPECT_TRUE(panel.showingFallback()) << "the time-out shows the text page";

    server.stop();
    chooseSite(server.url("/portal"));
    panel.setLoadTimeout(20000);
    panel.home();
    ASSERT_TRUE(loads.wait(30000));
    EXPECT_FALSE(loads.takeFirst().at(0).toBool());
    EXPECT_TRUE(panel.showingFallback());
    EXPECT_TRUE(panel.findChild<QTextBrowser*>("fallback")->toPlainText().contains("重试"));
}

TEST(LifecyclePanel, TheSiteSizesAShownWindowOnly) {
    orvik::test::TempHome home;
    Engine off(false);
    orvikdesk::CMainFrame frame;
    ASSERT_TRUE(frame.create());
    auto* panel = static_cast<CLifecyclePanel*>(frame.page(0));
    frame.show();
    emit panel->navigated(QUrl("https://127.0.0.1/mini/start"));
    EXPECT_FALSE(frame.isMaximized());
    emit panel->navigated(QUrl("https://127.0.0.1/portal"));
    EXPECT_TRUE(frame.isMaximized());
    frame.showNormal();
    frame.hide();
    emit panel->navigated(QUrl("https://127.0.0.1/portal"));
    EXPECT_FALSE(frame.isVisible()) << "a window hidden in the tray stays hidden";
    EXPECT_FALSE(frame.isMaximized());
}
