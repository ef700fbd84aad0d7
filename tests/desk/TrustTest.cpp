// Trust on the authorities page and in the certificate window: roots listed with the user's
// trust, trusted and distrusted after a confirmation that shows the thumbprint, the decision seen
// by the viewer and the library alike; the window's plain words for untrusted, expired and
// revoked certificates; columns as wide as what they show; every control of a page named.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QSortFilterProxyModel>
#include <QTreeView>

#include <winuser.h>

#include "CertFixtures.h"
#include "CertTrust.h"
#include "DigitalCertificate.h"
#include "ModalDriver.h"
#include "MyCertStore.h"
#include "OtherCertStore.h"
#include "dialogs/CertificateViewer.h"
#include "dialogs/TrustConfirmDialog.h"
#include "pages/CaCertPage.h"
#include "pages/CertListModel.h"
#include "pages/MyCertPage.h"
#include "pages/OtherCertPage.h"
#include "support/CertHandles.h"
#include "support/HttpServer.h"
#include "ui/CommandIds.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::addToMachineStore;
using orvik::test::addToSystemStore;
using orvik::test::contextOf;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

class Trust : public CertUiTest {
protected:
    TestPki& pki = TestPki::instance();

    static QString hex(const IssuedCert& c) { return QByteArray::fromStdString(c.sha1).toHex().toUpper(); }
    static QString spaced(const IssuedCert& c) { return QByteArray::fromStdString(c.sha1).toHex(' '); }
    static QString trustOf(CCertStorePage& page, const IssuedCert& c) {
        int row = page.model()->rowOfThumbprint(hex(c));
        return row < 0 ? QStringLiteral("<not listed>") : page.model()->row(row).status;
    }
    static QAction* itemCommand(CCertStorePage& page, const IssuedCert& c, int id) {
        page.selectStoreRow(page.model()->rowOfThumbprint(hex(c)));
        for (QAction* a : page.contextMenu(true)->actions())
            if (a->data().toInt() == id) return a;
        return nullptr;
    }
    static QString viewerSays(const IssuedCert& c, const char* label) {
        auto context = contextOf(c.der);
        CCertificateViewer viewer(context.get(), {}, nullptr);
        auto* found = viewer.findChild<QLabel*>(label);
        return found ? found->text() : QString();
    }
    static CCertTrust::State libraryState(const IssuedCert& c) {
        return CCertTrust().Check(
            CDigitalCertificate(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER));
    }
};

// Answers the next trust confirmation; returns the thumbprint it showed.
std::shared_ptr<QString> answerConfirmation(bool accept) {
    auto shown = std::make_shared<QString>();
    onNextModal<CTrustConfirmDialog>([shown, accept](CTrustConfirmDialog* d) {
        auto* print = d->findChild<QLabel*>(CTrustConfirmDialog::kThumbprintName);
        *shown = print ? print->text() : QString();
        click(d, accept ? IDOK : IDCANCEL);
    });
    return shown;
}

}  // namespace

TEST_F(Trust, TheAuthoritiesPageListsRootsWithTheTrustTheyHave) {
    IssuedCert foreign = pki.selfSigned({.cn = "别人的根", .ca = true});
    ASSERT_TRUE(addToSystemStore("Root", pki.root().der));
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));
    ASSERT_TRUE(addToSystemStore("CA", foreign.der));
    CCaCertPage page;
    page.refresh();
    EXPECT_EQ(page.model()->rowCount(), 3) << "the Root store's roots are listed too";
    EXPECT_EQ(page.model()->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("信任"));
    EXPECT_EQ(trustOf(page, pki.root()), QStringLiteral("受信任的根证书"));
    EXPECT_EQ(trustOf(page, pki.ca()), QStringLiteral("受信任"));
    EXPECT_EQ(trustOf(page, foreign), QStringLiteral("不受信任的根证书"));
    EXPECT_TRUE(page.model()->row(page.model()->rowOfThumbprint(hex(foreign))).untrusted);
}

TEST_F(Trust, ARootIsTrustedAndDistrustedAfterAConfirmationThatShowsItsThumbprint) {
    IssuedCert user = pki.issue({.cn = "张三"});
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));
    ASSERT_TRUE(addToSystemStore("CA", pki.root().der));  // imported on the page: not trusted yet
    CCaCertPage page;
    page.refresh();
    QAction* trust = itemCommand(page, pki.root(), cmd::Trust);
    QAction* distrust = itemCommand(page, pki.root(), cmd::Distrust);
    ASSERT_TRUE(trust && distrust);
    EXPECT_EQ(trust->text(), QStringLiteral("信任..."));
    EXPECT_TRUE(trust->isEnabled());
    EXPECT_FALSE(itemCommand(page, pki.ca(), cmd::Trust)->isEnabled()) << "an intermediate cannot anchor trust";

    // Cancel changes nothing.
    page.selectStoreRow(page.model()->rowOfThumbprint(hex(pki.root())));
    auto shown = answerConfirmation(false);
    page.onCommand(cmd::Trust);
    EXPECT_EQ(*shown, spaced(pki.root()));
    EXPECT_EQ(trustOf(page, pki.root()), QStringLiteral("不受信任的根证书"));
    EXPECT_EQ(libraryState(user), CCertTrust::Untrusted);
    EXPECT_TRUE(viewerSays(user, "trustWarning").startsWith(QStringLiteral("此证书不受信任。")));

    shown = answerConfirmation(true);
    page.onCommand(cmd::Trust);
    EXPECT_EQ(*shown, spaced(pki.root()));
    EXPECT_EQ(trustOf(page, pki.root()), QStringLiteral("受信任的根证书"));
    EXPECT_EQ(page.selectedThumbprint(), hex(pki.root())) << "the row stays selected";
    EXPECT_EQ(libraryState(user), CCertTrust::Trusted);
    EXPECT_EQ(viewerSays(user, "trustWarning"), QString());
    EXPECT_EQ(viewerSays(user, "status"), QStringLiteral("该证书没有问题。"));

    // Distrusted: the page, the library and the window all say so.
    EXPECT_FALSE(itemCommand(page, pki.root(), cmd::Trust)->isEnabled()) << "already trusted";
    shown = answerConfirmation(true);
    page.onCommand(cmd::Distrust);
    EXPECT_EQ(*shown, spaced(pki.root()));
    EXPECT_EQ(trustOf(page, pki.root()), QStringLiteral("已设为不信任的根证书"));
    EXPECT_EQ(trustOf(page, pki.ca()), QStringLiteral("已设为不信任"));
    EXPECT_EQ(libraryState(user), CCertTrust::Distrusted);
    EXPECT_EQ(viewerSays(user, "trustWarning"),
              QStringLiteral("此证书不受信任。您已将它或颁发它的证书机构设为不信任。"));
    EXPECT_EQ(viewerSays(user, "status"), QStringLiteral("此证书或颁发它的证书机构已被设为不信任。"));
    EXPECT_FALSE(itemCommand(page, pki.root(), cmd::Distrust)->isEnabled());
    EXPECT_TRUE(MessageBoxFacade::shown().empty()) << "no box for a change that worked";
}

TEST_F(Trust, ABuiltInAuthorityMayBeDistrustedButNotDeleted) {
    ASSERT_TRUE(addToMachineStore("Root", pki.root().der));
    CCaCertPage page;
    page.refresh();
    EXPECT_EQ(trustOf(page, pki.root()), QStringLiteral("受信任的根证书（内置）"));

    page.selectStoreRow(page.model()->rowOfThumbprint(hex(pki.root())));
    page.onCommand(cmd::Delete);
    EXPECT_EQ(MessageBoxFacade::lastText(),
              QStringLiteral("这是系统内置的证书颁发机构，不能删除；您可以将它设为不信任。"));
    EXPECT_EQ(page.model()->rowCount(), 1);

    answerConfirmation(true);
    page.onCommand(cmd::Distrust);
    EXPECT_EQ(trustOf(page, pki.root()), QStringLiteral("已设为不信任的根证书（内置）"));
}

TEST_F(Trust, TheFirstTabSaysWhenACertificateIsUntrustedExpiredOrRevoked) {
    IssuedCert orphan = pki.issue({.cn = "孤儿"});
    EXPECT_EQ(viewerSays(orphan, "trustWarning"), QStringLiteral("此证书不受信任。找不到它的颁发者，无法验证它。"));
    IssuedCert foreign = pki.selfSigned({.cn = "别人的根"});
    EXPECT_EQ(viewerSays(foreign, "trustWarning"), QStringLiteral("此证书不受信任。它的根证书不是受信任的根证书。"));

    ASSERT_TRUE(addToSystemStore("Root", pki.root().der));
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));
    orvik::test::HttpServer server;
    IssuedCert good = pki.issue({.cn = "好人", .crlUrl = server.url("/ca.crl")});
    IssuedCert revoked = pki.issue({.cn = "坏人", .crlUrl = server.url("/ca.crl")});
    IssuedCert expired = pki.issue({.cn = "旧人", .notBeforeOffset = -730L * 86400, .notAfterOffset = -86400});
    server.set("/ca.crl", pki.crl(pki.ca(), {revoked}));
    std::string state;
    // Online once, as the pages' check does: the window itself reads only the cache.
    CDigitalCertificate checked(revoked.der.data(), static_cast<int>(revoked.der.size()), CDigitalCertificate::ENC_DER);
    EXPECT_EQ(checked.CRLCheck(state, true), CDigitalCertificate::Revoked);
    ASSERT_EQ(state, "已吊销");

    EXPECT_EQ(viewerSays(revoked, "revokedWarning"), QStringLiteral("此证书已被吊销。"));
    EXPECT_EQ(viewerSays(revoked, "status"), QStringLiteral("此证书已被吊销。"));
    EXPECT_EQ(viewerSays(expired, "timeWarning"), QStringLiteral("此证书已过期。"));
    EXPECT_EQ(viewerSays(expired, "trustWarning"), QString()) << "its chain is sound";
    for (const char* warning : {"revokedWarning", "timeWarning", "trustWarning"})
        EXPECT_EQ(viewerSays(good, warning), QString()) << warning;
    EXPECT_EQ(server.hits("/ca.crl"), 1) << "opening the window never goes online";
}

TEST_F(Trust, ColumnsAreAsWideAsTheirContentsAndEveryControlIsNamed) {
    IssuedCert wide = pki.issue({.cn = "一个名字很长很长的证书持有人，用来检查列宽是否足够 Long Name Holder",
                                 .email = "long.name.holder@example.test"});
    TestPki::save(dir.file("me.pfx"), makePfx(wide, "pw"));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("me.pfx").c_str(), "pw"), 0);
    TestPki::save(dir.file("o.cer"), wide.der);
    ASSERT_EQ(COtherCertStore().ImportCert(dir.file("o.cer").c_str()), 0);
    ASSERT_TRUE(addToSystemStore("Root", pki.root().der));
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));

    CMyCertPage mine;
    COtherCertPage others;
    CCaCertPage authorities;
    for (CCertStorePage* page : {static_cast<CCertStorePage*>(&mine), static_cast<CCertStorePage*>(&others),
                                 static_cast<CCertStorePage*>(&authorities)}) {
        page->resize(1000, 500);
        page->setView(CCertStorePage::View::Details);
        page->refresh();
        QTreeView* details = page->detailsView();
        for (int c = 0; c < page->model()->columnCount(); ++c) {
            int wanted = details->header()->sectionSizeHint(c);
            for (int r = 0; r < page->proxy()->rowCount(); ++r)
                wanted = std::max(wanted, details->sizeHintForIndex(page->proxy()->index(r, c)).width());
            EXPECT_GE(details->header()->sectionSize(c), std::min(wanted, 360))
                << page->metaObject()->className() << " column " << c;
        }
        for (QWidget* control : page->findChildren<QWidget*>()) {
            if (control->focusPolicy() == Qt::NoFocus || control->isWindow()) continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
            ASSERT_TRUE(a);
            EXPECT_FALSE(a->text(QAccessible::Name).isEmpty())
                << page->metaObject()->className() << " " << control->metaObject()->className() << " "
                << control->objectName().toStdString();
        }
    }
    EXPECT_GT(mine.detailsView()->header()->sectionSize(0), 200) << "the long name made its column wider";
}
