// Files the service site offers: the user says where each goes, or that it does not come at all.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>

#ifdef ORVIK_HAVE_WEBENGINE
#include <QWebEnginePage>
#include <QWebEngineView>
#endif

#include <winuser.h>

#include "CertFixtures.h"
#include "app/Profile.h"
#include "pages/LifecyclePanel.h"
#include "support/HttpServer.h"
#include "ui/FileDialogFacade.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using orvik::test::readFile;
using orvik::test::writeFile;

namespace {

class SiteDownload : public orvikdesk::test::CertUiTest {
protected:
    QString path(const std::string& name) const { return QString::fromStdString(dir.file(name)); }
};

const QString kReplace = QStringLiteral("您所指定的文件已经存在，要覆盖它吗？");

}  // namespace

TEST_F(SiteDownload, TheUserChoosesThePathAndIsAskedBeforeAFileIsReplaced) {
    FileDialogFacade::setNextAnswer(path("证书申请表.pdf"));
    EXPECT_EQ(CLifecyclePanel::askDownloadPath(nullptr, "证书申请表.pdf"), path("证书申请表.pdf"));
    ASSERT_EQ(FileDialogFacade::asked().size(), 1u);
    EXPECT_EQ(FileDialogFacade::asked()[0].kind, FileDialogFacade::Kind::Save);
    EXPECT_EQ(FileDialogFacade::asked()[0].defaultSuffix, "pdf") << "a name typed without one gets the site's";
    EXPECT_TRUE(FileDialogFacade::asked()[0].filter.startsWith("PDF 文件(*.pdf)|*.pdf|"));
    EXPECT_TRUE(MessageBoxFacade::shown().empty());

    FileDialogFacade::clear();
    EXPECT_EQ(CLifecyclePanel::askDownloadPath(nullptr, "a.cer"), QString()) << "cancelled";

    writeFile(dir.file("taken.cer"), "keep me");
    struct Case {
        int answer;
        QString expected;
    } cases[] = {{IDYES, path("taken.cer")}, {IDNO, path("other.cer")}};
    for (const Case& c : cases) {
        FileDialogFacade::clear();
        MessageBoxFacade::clear();
        FileDialogFacade::setNextAnswer(path("taken.cer"));
        FileDialogFacade::setNextAnswer(path("other.cer"));  // asked again after a "no"
        MessageBoxFacade::setNextAnswer(c.answer);
        EXPECT_EQ(CLifecyclePanel::askDownloadPath(nullptr, "a.cer"), c.expected) << c.answer;
        ASSERT_EQ(MessageBoxFacade::shown().size(), 1u);
        EXPECT_EQ(MessageBoxFacade::lastText(), kReplace);
        EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_YESNO | MB_ICONEXCLAMATION));
    }
    EXPECT_EQ(readFile(dir.file("taken.cer")), "keep me") << "asking writes nothing";

    FileDialogFacade::clear();
    FileDialogFacade::setNextAnswer(path("readme"));
    EXPECT_EQ(CLifecyclePanel::askDownloadPath(nullptr, "README"), path("readme"));
    EXPECT_EQ(FileDialogFacade::asked()[0].filter, "所有文件(*.*)|*.*||") << "a name without a suffix";
}

TEST_F(SiteDownload, AFileOfTheSiteIsSavedWhereTheUserSaidOrNotAtAll) {
    unsetenv("ORVIK_NO_WEBENGINE");
    struct EngineOff {
        ~EngineOff() { setenv("ORVIK_NO_WEBENGINE", "1", 1); }
    } restore;
    CLifecyclePanel panel(nullptr);
    if (!panel.usesEngine()) GTEST_SKIP() << "built without Qt WebEngine";
#ifdef ORVIK_HAVE_WEBENGINE
    panel.resize(640, 480);
    panel.show();
    orvik::test::HttpServer server;
    server.set("/portal", {.body = "<html><head><title>站点</title></head><body>"
                                   "<a id='form' href='/form'>申请表</a></body></html>",
                           .headers = {{"Content-Type", "text/html; charset=utf-8"}}});
    const std::string form = "%PDF-1.4 申请表";
    server.set("/form", {.body = form,
                         .headers = {{"Content-Type", "application/pdf"},
                                     {"Content-Disposition", "attachment; filename=\"form.pdf\""}}});
    orvikdesk::profile::write("ServiceURL\\00000000", "Value", server.url("/portal"));
    orvikdesk::profile::write("ServiceURL", "Default", "00000000");
    QSignalSpy loads(&panel, &CLifecyclePanel::loadEnded);
    panel.home();
    ASSERT_TRUE(loads.wait(60000));
    ASSERT_TRUE(loads.takeFirst().at(0).toBool());
    auto* page = panel.findChild<QWebEngineView*>(QString::number(CLifecyclePanel::IDC_BROWSER))->page();
    auto clickForm = [page] { page->runJavaScript("document.getElementById('form').click();"); };

    QSignalSpy downloads(&panel, &CLifecyclePanel::downloadEnded);
    FileDialogFacade::setNextAnswer(path("saved.pdf"));
    clickForm();
    ASSERT_TRUE(downloads.wait(30000));
    EXPECT_EQ(downloads.first().at(0).toString(), path("saved.pdf"));
    EXPECT_TRUE(downloads.first().at(1).toBool());
    EXPECT_EQ(readFile(dir.file("saved.pdf")), form);
    EXPECT_EQ(FileDialogFacade::asked().back().defaultSuffix, "pdf") << "asked with the site's name for it";

    // Cancelled: the site's file goes nowhere.
    FileDialogFacade::clear();
    const int hits = server.hits("/form");
    clickForm();
    QTRY_COMPARE_WITH_TIMEOUT(FileDialogFacade::asked().size(), size_t(1), 30000);
    QTest::qWait(500);
    EXPECT_EQ(downloads.size(), 1);
    EXPECT_EQ(server.hits("/form"), hits + 1);
    EXPECT_FALSE(QFileInfo::exists(path("form.pdf")));
    EXPECT_EQ(QDir(QString::fromStdString(dir.path())).entryList(QDir::Files), QStringList{"saved.pdf"});
#endif
}
