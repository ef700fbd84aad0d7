// The picker a site's request for a client certificate shows: what it lists of the certificates
// the browser offers, and that only the user's "确定" picks one.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSslCertificate>
#include <QTreeWidget>

#include <winuser.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "dialogs/ClientCertDialog.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

class ClientCert : public CertUiTest {
protected:
    ClientCert() {
        IssuedCert zhang = TestPki::instance().issue({.cn = "张三", .email = "zs@example.test"});
        IssuedCert li = TestPki::instance().issue({.cn = "李四", .notAfterOffset = -3600});
        for (const IssuedCert* c : {&zhang, &li})
            offered.append(QSslCertificate(QByteArray::fromStdString(c->der), QSsl::Der));
    }
    static QTreeWidget* listOf(QDialog* d) { return control<QTreeWidget>(d, CClientCertDialog::IDC_LIST); }

    const QUrl site{"https://127.0.0.1:8443/login"};
    QList<QSslCertificate> offered;
};

}  // namespace

TEST_F(ClientCert, ListsTheOfferedCertificatesByNameIssuerAndValidity) {
    ASSERT_FALSE(offered[1].isNull()) << "Qt reads the DER";
    CClientCertDialog d(site, offered);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("选择数字证书"));
    EXPECT_TRUE(d.findChild<QLabel*>()->text().contains("127.0.0.1")) << "the site asking is named";
    QTreeWidget* list = listOf(&d);
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), QStringLiteral("张三"));
    EXPECT_EQ(list->topLevelItem(0)->text(1), QStringLiteral("Orvik Test CA"));
    const QString validity = offered[0].effectiveDate().toLocalTime().toString("yyyy-MM-dd") + " 至 " +
                             offered[0].expiryDate().toLocalTime().toString("yyyy-MM-dd");
    EXPECT_EQ(list->topLevelItem(0)->text(2), validity);
    EXPECT_EQ(list->topLevelItem(1)->foreground(2).color(), QColor(0xC0, 0x39, 0x2B)) << "an expired one is red";
    EXPECT_NE(list->topLevelItem(0)->foreground(2).color(), QColor(0xC0, 0x39, 0x2B));
}

TEST_F(ClientCert, OnlyTheUsersOkChoosesACertificate) {
    onNextModal<CClientCertDialog>([](CClientCertDialog* d) {
        listOf(d)->setCurrentItem(listOf(d)->topLevelItem(1));
        click(d, IDOK);
    });
    EXPECT_EQ(CClientCertDialog::choose(site, offered, nullptr), 1);

    onNextModal<CClientCertDialog>([](CClientCertDialog* d) {
        listOf(d)->setCurrentItem(listOf(d)->topLevelItem(0));
        emit listOf(d)->itemDoubleClicked(listOf(d)->topLevelItem(0), 0);
    });
    EXPECT_EQ(CClientCertDialog::choose(site, offered, nullptr), 0) << "a double click chooses too";

    // Every way out but "确定" sends nothing, whatever row was selected.
    struct Way {
        const char* name;
        void (*leave)(CClientCertDialog*);
    } ways[] = {
        {"取消", [](CClientCertDialog* d) { click(d, IDCANCEL); }},
        {"closed", [](CClientCertDialog* d) { d->close(); }},
        {"no row, OK refused",
         [](CClientCertDialog* d) {
             listOf(d)->clearSelection();
             auto* ok = control<QPushButton>(d, IDOK);
             EXPECT_FALSE(ok->isEnabled());
             ok->click();
             EXPECT_TRUE(d->isVisible());
             d->reject();
         }},
    };
    for (const Way& way : ways) {
        onNextModal<CClientCertDialog>([&way](CClientCertDialog* d) {
            listOf(d)->setCurrentItem(listOf(d)->topLevelItem(1));
            way.leave(d);
        });
        EXPECT_EQ(CClientCertDialog::choose(site, offered, nullptr), -1) << way.name;
    }

    EXPECT_EQ(CClientCertDialog::choose(site, {}, nullptr), -1) << "nothing to offer, nothing asked";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}
