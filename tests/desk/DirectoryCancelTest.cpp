// Directory searches against a directory that takes the connection and never answers: cancel,
// close and the end of a dialog return at once, and the busy cursor goes with the search.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <winuser.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "dialogs/DirectoryLookup.h"
#include "dialogs/DirectorySearchDialog.h"
#include "dialogs/LdapBatchDialog.h"
#include "pages/OtherCertPage.h"
#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "ui/CommandIds.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;

namespace {

// Well inside what a user waits for a button; far below the directory's time-out.
constexpr qint64 kAtOnceMs = 1500;

class DirectoryCancel : public CertUiTest {
protected:
    orvik::test::SilentListener silent;

    DirectoryCancel() {
        orvik::test::setDeploymentValue("DirectoryHost1", silent.host());
        orvik::test::setDeploymentValue("DirectoryHost2", silent.host());
        orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");
        orvik::test::setDeploymentValue("DirectoryTimeout", "60");
    }

    static void startSearch(CDirectorySearchDialog& d) {
        control<QLineEdit>(&d, CDirectorySearchDialog::IDC_NAME)->setText("Bob");
        d.search();
        ASSERT_TRUE(d.searching());
        EXPECT_NE(QApplication::overrideCursor(), nullptr) << "busy while the directory is asked";
    }
};

TEST_F(DirectoryCancel, SearchDialogGivesUpOnCancelCloseAndDestruction) {
    struct Way {
        const char* name;
        std::function<void(CDirectorySearchDialog*&)> end;
    } ways[] = {
        {"cancel", [](CDirectorySearchDialog*& d) { click(d, IDCANCEL); }},
        {"close box", [](CDirectorySearchDialog*& d) { d->close(); }},
        {"Escape", [](CDirectorySearchDialog*& d) { QTest::keyClick(d, Qt::Key_Escape); }},
        {"destroyed",
         [](CDirectorySearchDialog*& d) {
             delete d;
             d = nullptr;
         }},
    };
    for (const Way& way : ways) {
        MessageBoxFacade::clear();
        auto* d = new CDirectorySearchDialog;
        d->show();
        startSearch(*d);
        QTest::qWait(100);  // the connection is made and the bind waits for its answer
        QElapsedTimer clock;
        clock.start();
        way.end(d);
        EXPECT_LT(clock.elapsed(), kAtOnceMs) << way.name;
        EXPECT_EQ(QApplication::overrideCursor(), nullptr) << way.name;
        if (d) {
            EXPECT_FALSE(d->isVisible()) << way.name;
            EXPECT_FALSE(d->searching()) << way.name;
            EXPECT_EQ(d->result(), QDialog::Rejected) << way.name;
            QSignalSpy finished(d, &CDirectorySearchDialog::searchFinished);
            QTest::qWait(50);
            EXPECT_EQ(finished.count(), 0) << way.name << ": a search given up reports nothing";
            delete d;
        }
        EXPECT_TRUE(MessageBoxFacade::shown().empty()) << way.name;
    }
}

TEST_F(DirectoryCancel, ASearchAfterOneGivenUpRunsAndEndsWithItsCursor) {
    CDirectorySearchDialog d;
    d.show();
    startSearch(d);
    d.reject();
    // The same dialog again, now against a port that refuses: its own answer, and no cursor left.
    orvik::test::setDeploymentValue("DirectoryHost2", "127.0.0.1:" + std::to_string(orvik::test::closedPort()));
    control<QComboBox>(&d, CDirectorySearchDialog::IDC_SERVER)->clear();
    control<QComboBox>(&d, CDirectorySearchDialog::IDC_SERVER)
        ->addItem(QString::fromStdString("127.0.0.1:" + std::to_string(orvik::test::closedPort())));
    d.show();
    startSearch(d);
    QSignalSpy finished(&d, &CDirectorySearchDialog::searchFinished);
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("目录查询失败!"));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(control<QPushButton>(&d, CDirectorySearchDialog::IDC_SEARCH)->isEnabled());
}

TEST_F(DirectoryCancel, OtherPeoplesPageComesBackAtOnce) {
    COtherCertPage page;
    page.refresh();
    onNextModal<CDirectorySearchDialog>([](CDirectorySearchDialog* d) {
        startSearch(*d);
        click(d, IDCANCEL);
    });
    QElapsedTimer clock;
    clock.start();
    page.onCommand(cmd::ImportFromLdap);
    EXPECT_LT(clock.elapsed(), kAtOnceMs + 1000);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(MessageBoxFacade::shown().empty()) << "nothing imported, nothing said";
}

TEST_F(DirectoryCancel, ContactLookupCancelsAndEndsWithoutWaiting) {
    QWidget owner;
    auto* lookup = new CDirectoryLookup(&owner);
    QSignalSpy finished(lookup, &CDirectoryLookup::finished);
    ASSERT_TRUE(lookup->start("bob@example.test"));
    EXPECT_NE(QApplication::overrideCursor(), nullptr);
    lookup->cancel();
    EXPECT_FALSE(lookup->busy());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    QTest::qWait(50);
    EXPECT_EQ(finished.count(), 0);

    ASSERT_TRUE(lookup->start("bob@example.test")) << "a new search after one given up";
    QElapsedTimer clock;
    clock.start();
    delete lookup;
    EXPECT_LT(clock.elapsed(), kAtOnceMs);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(DirectoryCancel, BatchDialogEndsAtOnce) {
    std::vector<CLdapBatch::Candidate> candidates(3);
    for (size_t i = 0; i < candidates.size(); ++i) candidates[i].email = "p" + std::to_string(i) + "@example.cn";
    QElapsedTimer clock;
    {
        CDlgLdapBatchCon d(candidates, CDlgLdapBatchCon::OutlookExpress);
        QSignalSpy ended(&d, &CDlgLdapBatchCon::searchEnded);
        d.show();
        ASSERT_TRUE(d.searching());
        QTest::qWait(100);
        clock.start();
        d.close();
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(d.result(), QDialog::Rejected);
        QTest::qWait(50);
        EXPECT_EQ(ended.count(), 0);
    }
    EXPECT_LT(clock.elapsed(), kAtOnceMs) << "neither the close nor the end of the dialog waits";
    for (const auto& c : candidates) EXPECT_TRUE(c.found.empty());
    EXPECT_TRUE(MessageBoxFacade::shown().empty());
}

}  // namespace
