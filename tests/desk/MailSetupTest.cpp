// The mail page and its certificate dialogs, offscreen, over the real address book module,
// accounts in the registry, Foxmail files made at test time and a real slapd.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>

#include <sqlite3.h>
#include <unistd.h>

#include <Foxmail.h>
#include <MyCertStore.h>
#include <OEAddrBook.h>
#include <OEEmailAcc.h>
#include <OtherCertStore.h>
#include <wabtags.h>
#include <windows.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "addressbook/WabFixture.h"
#include "crypt/FoxmailFixture.h"
#include "dialogs/AccountCertDialog.h"
#include "dialogs/ContactCertDialog.h"
#include "dialogs/DialogControls.h"
#include "dialogs/DirectoryLookup.h"
#include "dialogs/FoxAccountCertDialog.h"
#include "dialogs/FoxContactCertsDialog.h"
#include "dialogs/LdapBatchDialog.h"
#include "dialogs/LdapImportDialog.h"
#include "dialogs/SelectCertDialog.h"
#include "dialogs/StorePickerDialog.h"
#include "pages/MailPage.h"
#include "support/DeploymentValues.h"
#include "support/Shell.h"
#include "support/Slapd.h"
#include "support/UserRegistry.h"
#include "ui/Artwork.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"
#include "ui/MenuFactory.h"
#include "ui/MessageBoxFacade.h"
#include "widgets/ReportList.h"

namespace fs = std::filesystem;
using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::DirectoryEntry;
using orvik::test::IssuedCert;
using orvik::test::Slapd;
using orvik::test::TestPki;

namespace {

constexpr const char* kAccounts = OE_ACCOUNTS_KEY;

std::string binaryValue(const std::string& key, const char* name) {
    std::string out;
    return orvik::test::readUserBinary(key, name, out) ? out : "<none>";
}

QStringList rowTexts(QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(0);
    return out;
}

QStringList column(QStandardItemModel* model, int c) {
    QStringList out;
    for (int i = 0; i < model->rowCount(); ++i) out << model->item(i, c)->text();
    return out;
}

void selectRow(QTreeWidget* list, int row) { list->setCurrentItem(list->topLevelItem(row)); }

bool enabled(QWidget* dialog, int id) { return control<QPushButton>(dialog, id)->isEnabled(); }

QStringList menuIds(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) {
        if (a->isSeparator())
            out << "-";
        else if (a->menu())
            out << a->text();
        else
            out << QString::number(menus::commandOf(a));
    }
    return out;
}

// Picks the row whose first column is `text` in the next chooser of type T, then OK.
template <class T>
void chooseInNext(const QString& text, int listId) {
    onNextModal<T>([text, listId](T* d) {
        auto* list = control<QTreeWidget>(d, listId);
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == text) selectRow(list, i);
        click(d, IDOK);
    });
}

class MailSetup : public CertUiTest {
protected:
    MailSetup() { orvik::test::setWabPath(ORVIKWAB_PATH); }

    static IssuedCert mine(const std::string& cn, const std::string& email, int keyUsage) {
        IssuedCert c = TestPki::instance().issue({.cn = cn, .email = email, .keyUsage = keyUsage});
        CMyCertStore store;
        EXPECT_EQ(store.OpenCertStore(), 0);
        CDigitalCertificate cert(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER);
        EXPECT_EQ(store.ImportCertAndKey(cert, c.keyDer), 0);
        return c;
    }
    static IssuedCert other(const std::string& cn, const std::string& email, int keyUsage = 0x30) {
        IssuedCert c = TestPki::instance().issue({.cn = cn, .email = email, .keyUsage = keyUsage});
        COtherCertStore store;
        EXPECT_EQ(store.OpenCertStore(), 0);
        CDigitalCertificate cert(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER);
        EXPECT_EQ(store.ImportCert(&cert), 0);
        return c;
    }
    static void account(const std::string& id, const std::string& name, const std::string& email) {
        const std::string key = std::string(kAccounts) + "\\" + id;
        orvik::test::setUserValue(key, "SMTP Server", REG_SZ, "smtp.example.cn" + std::string(1, '\0'));
        orvik::test::setUserValue(key, "Account Name", REG_SZ, name + std::string(1, '\0'));
        orvik::test::setUserValue(key, "SMTP Email Address", REG_SZ, email + std::string(1, '\0'));
    }
    static std::string thumbOf(const IssuedCert& c) {
        CDigitalCertificate cert(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER);
        std::string thumb;
        cert.getThumbPrint(thumb);
        return thumb;
    }
    // The thumbprint of the default certificate of the book's first contact with that address.
    static std::string defaultOf(const std::string& email) {
        COEAddrBook book;
        EXPECT_EQ(book.GetContacts(), 0);
        COtherCertStore store;
        store.OpenCertStore();
        for (CContact* c : book.getContacts()) {
            if (c->getEmail() != email) continue;
            std::string thumb;
            if (CDigitalCertificate* d = c->getDefaultCert(&store)) d->getThumbPrint(thumb);
            return thumb;
        }
        return "<no contact>";
    }
    void foxmailFolder() {
        foxDir = dir.path() + "/Foxmail";
        fs::create_directories(foxDir + "/mail/zhang");
        fs::create_directories(foxDir + "/Address");
        orvik::test::writeVer30(foxDir + "/accounts.cfg", "accounts.cfg",
                                orvik::test::foxAccountList({{"张三的邮箱", "C:\\Foxmail\\mail\\zhang\\"}}));
        orvik::test::writeVer30(foxDir + "/mail/zhang/Account.stg", "AccInfo.cfg",
                                "MailAddress=zhang@example.cn\r\nSignCertHash=\r\nSMTPHost=smtp.example.cn\r\n");
        ASSERT_EQ(CFoxmail::SetFoxmailDir(foxDir), 0);
    }
    void pointAt(const Slapd& slapd, bool host2Too = false) {
        orvik::test::setDeploymentValue("DirectoryHost1", slapd.host());
        orvik::test::setDeploymentValue("DirectoryHost2", host2Too ? slapd.host() : closed());
        orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");
    }
    static std::string closed() { return "127.0.0.1:" + std::to_string(orvik::test::closedPort()); }
    // The batch chooses only certificates of authorities the user trusts.
    static void trustTestAuthorities() {
        for (auto [name, der] :
             {std::pair{"Root", TestPki::instance().root().der}, {"CA", TestPki::instance().ca().der}}) {
            HCERTSTORE store = CertOpenSystemStoreA(0, name);
            ASSERT_NE(store, nullptr);
            EXPECT_TRUE(CertAddEncodedCertificateToStore(
                store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
            CertCloseStore(store, 0);
        }
    }

    std::string foxDir;
};

bool showsImage(const CMailPage& page, int row, int image) {
    QImage shown = page.items()->model()->item(row)->icon().pixmap(16, 16).toImage();
    return !shown.isNull() && shown == artwork::listImage(267, 270, image).pixmap(16, 16).toImage();
}

void waitForLookup(CDirectoryLookup* lookup) {
    ASSERT_TRUE(QTest::qWaitFor([lookup] { return !lookup->busy(); }, 20000));
    QTest::qWait(20);  // the queued completion
}

}  // namespace

TEST_F(MailSetup, PageLevelsMenusAndViews) {
    account("00000001", "工作邮箱", "zhang@example.cn");
    addContact("李四", "lisi@example.cn");
    CMailPage page;
    page.resize(500, 400);
    page.show();
    QSignalSpy menus(&page, &CPage::menusChanged);
    ASSERT_TRUE(page.atFirstLevel());
    EXPECT_EQ(column(page.functions()->model(), 0),
              QStringList({"Outlook Express帐户管理", "Outlook Express通讯簿管理", "FoxMail帐户管理",
                           "FoxMail通讯簿管理", "Thunderbird帐户管理", "Thunderbird通讯簿管理"}));
    EXPECT_EQ(column(page.functions()->model(), 1), QStringList({"配置安全邮件", "设置安全证书", "配置安全邮件",
                                                                 "设置安全证书", "配置安全邮件", "设置安全证书"}));
    EXPECT_EQ(page.functions()->details()->objectName(), QString::number(CMailPage::IDC_FUNCTIONS));
    EXPECT_EQ(menuIds(page.contextMenu(false)), QStringList({"查看", "-", "57670"}));
    EXPECT_EQ(menuIds(page.contextMenu(true)), QStringList({"32819", "-", "57670"}));

    // "打开" with no row selected does nothing; with one it opens that function. A click in the
    // icon view selects a single cell: that is a selected row too.
    page.onCommand(cmd::MailOpen);
    EXPECT_TRUE(page.atFirstLevel());
    QAbstractItemView* icons = page.functions()->currentView();
    QTest::mouseClick(icons->viewport(), Qt::LeftButton, {},
                      icons->visualRect(page.functions()->model()->index(0, 0)).center());
    EXPECT_EQ(page.functions()->currentRow(), 0);
    EXPECT_EQ(menuIds(page.operateMenu()).first(), "32819");
    page.onCommand(cmd::MailOpen);
    ASSERT_EQ(page.opened(), CMailPage::OEAccounts);
    EXPECT_GT(menus.count(), 0);
    EXPECT_EQ(column(page.items()->model(), 0), QStringList({"工作邮箱"}));
    EXPECT_EQ(page.items()->model()->horizontalHeaderItem(0)->text(), QStringLiteral("邮件帐户"));
    EXPECT_EQ(page.items()->details()->objectName(), QString::number(CMailPage::IDC_ITEMS));
    // Outside the rows of an account list: no batch configuration, but the accounts' import.
    EXPECT_EQ(menuIds(page.contextMenu(false)), QStringList({"33004", "-", "查看", "32822", "32823", "-", "57670"}));
    EXPECT_EQ(menuIds(page.contextMenu(true)), QStringList({"32821", "-", "32822", "32823", "-", "57670"}));
    // The bar's menu ends with "配置加密证书"; its batch item does nothing on an account list.
    QMenu* bar = page.operateMenu();
    EXPECT_EQ(bar->actions().last()->text(), QStringLiteral("配置加密证书"));
    EXPECT_NE(bar, page.contextMenu(false)) << "the frame and the page each handle their own menus";
    page.onCommand(cmd::BatchConfigureMain);
    EXPECT_TRUE(MessageBoxFacade::shown().empty());

    // The view items of the menu bar and of the page's own menu both reach the shown list.
    page.onCommand(cmd::MailLargeIcons);
    EXPECT_EQ(page.items()->mode(), CReportList::Mode::LargeIcons);
    page.onCommand(cmd::Details);
    EXPECT_EQ(page.items()->mode(), CReportList::Mode::Details);
    EXPECT_EQ(page.functions()->mode(), CReportList::Mode::LargeIcons);

    page.onCommand(cmd::MailBack);
    EXPECT_TRUE(page.atFirstLevel());
    page.open(CMailPage::OEContacts);
    EXPECT_EQ(column(page.items()->model(), 0), QStringList({"李四"}));
    EXPECT_EQ(page.items()->model()->horizontalHeaderItem(0)->text(), QStringLiteral("联系人姓名"));
    EXPECT_EQ(menuIds(page.contextMenu(false)).mid(0, 3), QStringList({"32836", "-", "33002"}));
    page.open(CMailPage::FoxContacts);
    EXPECT_EQ(page.items()->model()->rowCount(), 0) << "no Foxmail: an empty list, no message";
    EXPECT_TRUE(MessageBoxFacade::shown().empty());
    EXPECT_TRUE(menuIds(page.contextMenu(false)).contains("33003"));
    page.activate();
    EXPECT_TRUE(page.atFirstLevel()) << "showing the page again returns to the first level";

    // A right click on empty space clears the selection and offers the no-row menu.
    page.open(CMailPage::OEContacts);
    page.items()->selectRow(0);
    QTreeView* view = page.items()->details();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, view->viewport()->height() - 5), QPointF(), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &press);
    EXPECT_EQ(page.items()->currentRow(), -1);
}

TEST_F(MailSetup, AccountCertificatesFollowTheChoiceAndKeepTheEncryptionCertificate) {
    const std::string key = std::string(kAccounts) + "\\00000001";
    account("00000001", "工作邮箱", "zhang@example.cn");
    IssuedCert both = mine("张三 两用", "zhang@example.cn", 0xA0);
    IssuedCert signOnly = mine("张三 签名", "zhang@example.cn", 0x80);
    IssuedCert cryptOnly = mine("张三 加密", "zhang@example.cn", 0x20);
    mine("别人", "other@example.cn", 0xA0);
    CMailPage page;
    page.open(CMailPage::OEAccounts);
    page.items()->selectRow(0);

    // Only a signing certificate that may encrypt: both values become it.
    onNextModal<CDlgAccountCert>([](CDlgAccountCert* d) {
        EXPECT_TRUE(control<QLineEdit>(d, CDlgAccountCert::IDC_SIGN_NAME)->text().isEmpty());
        onNextModal<CDlgSelectCert>([d](CDlgSelectCert* s) {
            EXPECT_EQ(s->windowTitle(), QStringLiteral("选择默认帐户数字 ID"));
            QStringList rows = rowTexts(control<QTreeWidget>(s, CDlgSelectCert::IDC_LIST));
            rows.sort();
            EXPECT_EQ(rows, QStringList({"张三 两用", "张三 签名"})) << "signing certificates of the address only";
            EXPECT_FALSE(enabled(s, IDOK));
            selectRow(control<QTreeWidget>(s, CDlgSelectCert::IDC_LIST),
                      rowTexts(control<QTreeWidget>(s, CDlgSelectCert::IDC_LIST)).indexOf("张三 两用"));
            click(s, IDOK);
        });
        click(d, CDlgAccountCert::IDC_CHOOSE_SIGN);
        EXPECT_EQ(control<QLineEdit>(d, CDlgAccountCert::IDC_SIGN_NAME)->text(), QStringLiteral("张三 两用"));
        click(d, IDOK);
    });
    page.onCommand(cmd::MailConfigure);
    EXPECT_EQ(binaryValue(key, "SMTP Certificate"), both.sha1);
    EXPECT_EQ(binaryValue(key, "SMTP Encryption Certificate"), both.sha1);

    // An encryption certificate chosen by hand, then a signing-only one: the encryption choice stays.
    onNextModal<CDlgAccountCert>([](CDlgAccountCert* d) {
        EXPECT_EQ(control<QLineEdit>(d, CDlgAccountCert::IDC_CRYPT_NAME)->text(), QStringLiteral("张三 两用"));
        onNextModal<CDlgSelectCert>([](CDlgSelectCert* s) {
            QStringList rows = rowTexts(control<QTreeWidget>(s, CDlgSelectCert::IDC_LIST));
            rows.sort();
            EXPECT_EQ(rows, QStringList({"张三 两用", "张三 加密"}));
            auto* list = control<QTreeWidget>(s, CDlgSelectCert::IDC_LIST);
            selectRow(list, rowTexts(list).indexOf("张三 加密"));
            click(s, IDOK);
        });
        click(d, CDlgAccountCert::IDC_CHOOSE_CRYPT);
        click(d, IDOK);
    });
    page.configure(0);
    EXPECT_EQ(binaryValue(key, "SMTP Encryption Certificate"), cryptOnly.sha1);
    onNextModal<CDlgAccountCert>([](CDlgAccountCert* d) {
        chooseInNext<CDlgSelectCert>("张三 签名", CDlgSelectCert::IDC_LIST);
        click(d, CDlgAccountCert::IDC_CHOOSE_SIGN);
        click(d, IDOK);
    });
    page.configure(0);
    EXPECT_EQ(binaryValue(key, "SMTP Certificate"), signOnly.sha1);
    EXPECT_EQ(binaryValue(key, "SMTP Encryption Certificate"), cryptOnly.sha1);

    // OK without a change writes the same values; cancel writes nothing.
    onNextModal<CDlgAccountCert>([](CDlgAccountCert* d) { click(d, IDOK); });
    page.configure(0);
    EXPECT_EQ(binaryValue(key, "SMTP Certificate"), signOnly.sha1);
    EXPECT_EQ(binaryValue(key, "SMTP Encryption Certificate"), cryptOnly.sha1);
    EXPECT_TRUE(MessageBoxFacade::shown().empty());
}

TEST_F(MailSetup, AnAccountWithoutCertificatesOfItsAddressGetsAnEmptyChooser) {
    account("00000001", "工作邮箱", "nobody@example.cn");
    mine("张三", "zhang@example.cn", 0xA0);
    COEEmailAcc list;
    ASSERT_EQ(list.getEmailAcc(), 0);
    CDlgAccountCert d(*list.getAccount(0));
    onNextModal<CDlgSelectCert>([](CDlgSelectCert* s) {
        EXPECT_EQ(control<QTreeWidget>(s, CDlgSelectCert::IDC_LIST)->topLevelItemCount(), 0);
        EXPECT_FALSE(enabled(s, IDOK));
        click(s, IDCANCEL);
    });
    click(&d, CDlgAccountCert::IDC_CHOOSE_SIGN);
    EXPECT_EQ(d.signCert(), nullptr);
}

TEST_F(MailSetup, ContactDefaultCertificateIsSetFromTheSystemAndRemoved) {
    addContact("李四", "lisi@example.cn");
    IssuedCert lisi = other("李四", "lisi@example.cn");
    other("李四 签名", "lisi@example.cn", 0x80);
    CMailPage page;
    page.open(CMailPage::OEContacts);
    ASSERT_EQ(page.items()->model()->rowCount(), 1);
    EXPECT_TRUE(showsImage(page, 0, 0));
    onNextModal<CDlgContactCert>([](CDlgContactCert* d) {
        EXPECT_FALSE(enabled(d, CDlgContactCert::IDC_VIEW));
        EXPECT_FALSE(enabled(d, CDlgContactCert::IDC_REMOVE));
        onNextModal<CStorePickerDialog>([](CStorePickerDialog* s) {
            auto* list = control<QTreeWidget>(s, CStorePickerDialog::IDC_LIST);
            EXPECT_EQ(rowTexts(list), QStringList({"李四"})) << "encryption certificates of the address only";
            selectRow(list, 0);
            click(s, IDOK);
        });
        click(d, CDlgContactCert::IDC_FROM_SYSTEM);
        EXPECT_EQ(control<QLineEdit>(d, CDlgContactCert::IDC_NAME)->text(), QStringLiteral("李四"));
        EXPECT_TRUE(enabled(d, CDlgContactCert::IDC_VIEW));
        EXPECT_TRUE(enabled(d, CDlgContactCert::IDC_REMOVE));
        click(d, IDOK);
    });
    page.configure(0);
    EXPECT_EQ(defaultOf("lisi@example.cn"), thumbOf(lisi));
    EXPECT_TRUE(showsImage(page, 0, 1)) << "the row shows that it has a certificate now";

    onNextModal<CDlgContactCert>([](CDlgContactCert* d) {
        EXPECT_EQ(control<QLineEdit>(d, CDlgContactCert::IDC_NAME)->text(), QStringLiteral("李四"));
        click(d, CDlgContactCert::IDC_REMOVE);
        EXPECT_TRUE(control<QLineEdit>(d, CDlgContactCert::IDC_NAME)->text().isEmpty());
        EXPECT_FALSE(enabled(d, CDlgContactCert::IDC_VIEW));
        click(d, IDOK);
    });
    page.configure(0);
    EXPECT_EQ(defaultOf("lisi@example.cn"), "");
    orvik::test::WabSession wab;
    ASSERT_TRUE(wab.ok());
    ASSERT_EQ(wab.entryIds().size(), 1u);
    EXPECT_TRUE(wab.binaries(wab.entryIds()[0], PR_USER_X509_CERTIFICATE).empty());
}

TEST_F(MailSetup, ContactCertificateFromTheDirectoryGoesIntoOtherPeoplesStore) {
    IssuedCert found = TestPki::instance().issue({.cn = "王五", .email = "wangwu@example.cn", .keyUsage = 0x30});
    Slapd slapd({.defaultSearchBase = true,
                 .entries = {{.cn = "王五", .mail = "wangwu@example.cn", .certificates = {found.der}}}});
    pointAt(slapd);
    addContact("王五", "wangwu@example.cn");
    CMailPage page;
    page.open(CMailPage::OEContacts);
    onNextModal<CDlgContactCert>([](CDlgContactCert* d) {
        onNextModal<CDlgLdapImport>([](CDlgLdapImport* imp) {
            EXPECT_EQ(control<QLabel>(imp, CDlgLdapImport::IDC_COUNT)->text(),
                      QStringLiteral("总共找到1个与邮件“wangwu@example.cn”对应的证书"));
            EXPECT_FALSE(enabled(imp, IDOK));
            EXPECT_FALSE(enabled(imp, CDlgLdapImport::IDC_VIEW));
            selectRow(imp->list(), 0);
            EXPECT_TRUE(enabled(imp, IDOK));
            click(imp, IDOK);
        });
        click(d, CDlgContactCert::IDC_LDAP);
        EXPECT_FALSE(enabled(d, IDOK)) << "no OK while the directories are asked";
        d->reject();
        EXPECT_TRUE(d->isVisible()) << "nor cancel";
        waitForLookup(d->lookup());
        EXPECT_EQ(control<QLineEdit>(d, CDlgContactCert::IDC_NAME)->text(), QStringLiteral("王五"));
        click(d, IDOK);
    });
    page.configure(0);
    EXPECT_EQ(defaultOf("wangwu@example.cn"), thumbOf(found));
    COtherCertStore store;
    store.OpenCertStore();
    EXPECT_EQ(store.GetCertCount(), 1) << "the directory's certificate was added to other people's store";
    EXPECT_EQ(page.items()->currentRow(), 0) << "the row stays selected after the list is read again";
}

TEST_F(MailSetup, SingleSearchMessagesAndTheSecondHostStandingIn) {
    IssuedCert a = TestPki::instance().issue({.cn = "甲", .email = "jia@example.cn", .keyUsage = 0x30});
    IssuedCert b = TestPki::instance().issue({.cn = "甲 二", .email = "jia@example.cn", .keyUsage = 0x30});
    Slapd slapd({.defaultSearchBase = true,
                 .entries = {{.cn = "甲", .mail = "jia@example.cn", .certificates = {a.der, b.der}}}});
    QWidget owner;
    CDirectoryLookup lookup(&owner);

    // Both hosts holding the same certificates: each is offered once.
    pointAt(slapd, true);
    ASSERT_TRUE(lookup.start("jia@example.cn"));
    waitForLookup(&lookup);
    EXPECT_EQ(lookup.found().size(), 2u);

    // Host 2 down, host 1 answers: its certificates are offered.
    pointAt(slapd);
    ASSERT_TRUE(lookup.start("jia@example.cn"));
    EXPECT_FALSE(lookup.start("jia@example.cn")) << "one search at a time";
    waitForLookup(&lookup);
    onNextModal<CDlgLdapImport>([](CDlgLdapImport* imp) {
        EXPECT_EQ(rowTexts(imp->list()), QStringList({"甲", "甲 二"}));
        EXPECT_EQ(imp->list()->headerItem()->text(3), QStringLiteral("证书状态"));
        EXPECT_EQ(imp->list()->topLevelItem(0)->text(3), QStringLiteral("颁发者不受信任"));
        selectRow(imp->list(), 1);
        click(imp, IDOK);
    });
    std::unique_ptr<CDigitalCertificate> chosen = lookup.choose();
    ASSERT_NE(chosen, nullptr);
    std::string thumb;
    chosen->getThumbPrint(thumb);
    // The chosen copy outlives the next search, which frees what the last one found.
    ASSERT_TRUE(lookup.start("nobody@example.cn"));
    waitForLookup(&lookup);
    std::string again;
    chosen->getThumbPrint(again);
    EXPECT_EQ(again, thumb);
    EXPECT_EQ(lookup.choose(), nullptr);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("目录服务中不存在与搜索条件相符的项！"));
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("查找用户"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONINFORMATION));

    orvik::test::setDeploymentValue("DirectoryHost1", closed());
    ASSERT_TRUE(lookup.start("jia@example.cn"));
    waitForLookup(&lookup);
    EXPECT_EQ(lookup.choose(), nullptr);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("目录查询失败！"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONWARNING));
}

TEST_F(MailSetup, FoxmailAccountSigningCertificate) {
    foxmailFolder();
    IssuedCert zhang = mine("张三", "zhang@example.cn", 0x20);  // Foxmail asks for no key usage
    mine("别人", "other@example.cn", 0xA0);
    const std::string file = foxDir + "/mail/zhang/Account.stg";
    CMailPage page;
    page.open(CMailPage::FoxAccounts);
    ASSERT_EQ(column(page.items()->model(), 0), QStringList({"张三的邮箱"}));
    EXPECT_EQ(column(page.items()->model(), 1), QStringList({"zhang@example.cn"}));

    // OK without a choice saves nothing.
    const std::string before = orvik::test::readFile(file);
    onNextModal<CDlgFoxAccountCert>([](CDlgFoxAccountCert* d) { click(d, IDOK); });
    page.configure(0);
    EXPECT_EQ(orvik::test::readFile(file), before);

    onNextModal<CDlgFoxAccountCert>([](CDlgFoxAccountCert* d) {
        onNextModal<CDlgSelectCert>([](CDlgSelectCert* s) {
            auto* list = control<QTreeWidget>(s, CDlgSelectCert::IDC_LIST);
            EXPECT_EQ(rowTexts(list), QStringList({"张三"}));
            selectRow(list, 0);
            click(s, IDOK);
        });
        click(d, CDlgFoxAccountCert::IDC_CHOOSE);
        EXPECT_EQ(control<QLineEdit>(d, CDlgFoxAccountCert::IDC_SIGN_NAME)->text(), QStringLiteral("张三"));
        click(d, IDOK);
    });
    page.configure(0);
    CDigitalCertificate cert(zhang.der.data(), static_cast<int>(zhang.der.size()), CDigitalCertificate::ENC_DER);
    EXPECT_EQ(orvik::test::ver30Stream(file, "AccInfo.cfg"),
              "MailAddress=zhang@example.cn\r\nSignCertHash=" + CFoxContact::GroupedThumbprint(&cert) +
                  "\r\nSMTPHost=smtp.example.cn\r\n");
    onNextModal<CDlgFoxAccountCert>([](CDlgFoxAccountCert* d) {
        EXPECT_EQ(control<QLineEdit>(d, CDlgFoxAccountCert::IDC_SIGN_NAME)->text(), QStringLiteral("张三"));
        click(d, IDCANCEL);
    });
    page.configure(0);
}

TEST_F(MailSetup, FoxmailContactCertificatesAreOrderedRemovedAndNotDoubled) {
    foxmailFolder();
    IssuedCert first = TestPki::instance().issue({.cn = "赵六 甲", .email = "zhao@example.cn", .keyUsage = 0x30});
    IssuedCert second = TestPki::instance().issue({.cn = "赵六 乙", .email = "zhao@example.cn", .keyUsage = 0x30});
    orvik::test::writeFoxBook(foxDir, "Default", {{.name = "赵六", .email = "zhao@example.cn", .marker = '1'}},
                              {"Emails: zhao@example.cn\r\nCertificates: " + orvik::test::foxStoredCert(first) +
                               "\r\n " + orvik::test::foxStoredCert(second) + "\r\nNotes: keep\r\n"});
    // The second is also among other people's certificates: choosing it from there is a duplicate.
    COtherCertStore others;
    others.OpenCertStore();
    CDigitalCertificate secondCert(second.der.data(), static_cast<int>(second.der.size()),
                                   CDigitalCertificate::ENC_DER);
    ASSERT_EQ(others.ImportCert(&secondCert), 0);

    CMailPage page;
    page.open(CMailPage::FoxContacts);
    ASSERT_EQ(column(page.items()->model(), 0), QStringList({"赵六"}));
    onNextModal<CDlgFoxContactCerts>([](CDlgFoxContactCerts* d) {
        QTreeWidget* list = d->list();
        EXPECT_EQ(rowTexts(list), QStringList({"赵六 甲 (默认证书)", "赵六 乙"}));
        for (int id :
             {CDlgFoxContactCerts::IDC_VIEW, CDlgFoxContactCerts::IDC_REMOVE, CDlgFoxContactCerts::IDC_SET_DEFAULT})
            EXPECT_FALSE(enabled(d, id));
        // Already the default: nothing changes.
        selectRow(list, 0);
        click(d, CDlgFoxContactCerts::IDC_SET_DEFAULT);
        EXPECT_EQ(rowTexts(list), QStringList({"赵六 甲 (默认证书)", "赵六 乙"}));
        selectRow(list, 1);
        click(d, CDlgFoxContactCerts::IDC_SET_DEFAULT);
        EXPECT_EQ(rowTexts(list), QStringList({"赵六 乙 (默认证书)", "赵六 甲"}));

        onNextModal<CStorePickerDialog>([](CStorePickerDialog* s) {
            selectRow(control<QTreeWidget>(s, CStorePickerDialog::IDC_LIST), 0);
            click(s, IDOK);
        });
        click(d, CDlgFoxContactCerts::IDC_FROM_SYSTEM);
        EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("您选定的证书已经和该联系人关联！"));
        EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("证书助手"));
        EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK));
        EXPECT_EQ(list->topLevelItemCount(), 2);
        click(d, IDOK);
    });
    page.configure(0);
    CFoxmail fox;
    ASSERT_EQ(fox.LoadAddressBooks(foxDir), 0);
    ASSERT_EQ(fox.contacts().size(), 1u);
    auto certs = fox.contacts()[0]->getCerts();
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(CFoxContact::GroupedThumbprint(certs[0].get()), CFoxContact::GroupedThumbprint(&secondCert))
        << "the new default is saved first";

    // Removing every row leaves the row buttons off; OK saves a contact without certificates.
    onNextModal<CDlgFoxContactCerts>([](CDlgFoxContactCerts* d) {
        selectRow(d->list(), 1);
        click(d, CDlgFoxContactCerts::IDC_REMOVE);
        EXPECT_EQ(rowTexts(d->list()), QStringList({"赵六 乙 (默认证书)"}));
        EXPECT_EQ(controls::selectedRow(d->list()), 0) << "the first row is selected after a removal";
        click(d, CDlgFoxContactCerts::IDC_REMOVE);
        EXPECT_EQ(d->list()->topLevelItemCount(), 0);
        for (int id :
             {CDlgFoxContactCerts::IDC_VIEW, CDlgFoxContactCerts::IDC_REMOVE, CDlgFoxContactCerts::IDC_SET_DEFAULT})
            EXPECT_FALSE(enabled(d, id));
        // A certificate added to the empty list is the default.
        onNextModal<CStorePickerDialog>([](CStorePickerDialog* s) {
            selectRow(control<QTreeWidget>(s, CStorePickerDialog::IDC_LIST), 0);
            click(s, IDOK);
        });
        click(d, CDlgFoxContactCerts::IDC_FROM_SYSTEM);
        EXPECT_EQ(rowTexts(d->list()), QStringList({"赵六 乙 (默认证书)"}));
        click(d, IDOK);
    });
    page.configure(0);
    ASSERT_EQ(fox.LoadAddressBooks(foxDir), 0);
    EXPECT_EQ(fox.contacts()[0]->getCerts().size(), 1u);
}

TEST_F(MailSetup, FoxmailContactRefusesADirectoryCertificateItAlreadyHas) {
    foxmailFolder();
    IssuedCert held = TestPki::instance().issue({.cn = "孙七", .email = "sun@example.cn", .keyUsage = 0x30});
    Slapd slapd(
        {.defaultSearchBase = true, .entries = {{.cn = "孙七", .mail = "sun@example.cn", .certificates = {held.der}}}});
    pointAt(slapd);
    orvik::test::writeFoxBook(foxDir, "Default", {{.name = "孙七", .email = "sun@example.cn", .marker = '1'}},
                              {"Emails: sun@example.cn\r\nCertificates: " + orvik::test::foxStoredCert(held) + "\r\n"});
    CFoxmail fox;
    ASSERT_EQ(fox.LoadAddressBooks(foxDir), 0);
    CDlgFoxContactCerts d(*fox.contacts()[0]);
    d.show();
    onNextModal<CDlgLdapImport>([](CDlgLdapImport* imp) {
        selectRow(imp->list(), 0);
        click(imp, IDOK);
    });
    click(&d, CDlgFoxContactCerts::IDC_LDAP);
    waitForLookup(d.lookup());
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("你所选定要导入的证书已经和该联系人关联！"));
    EXPECT_EQ(d.certificates().size(), 1u);
    COtherCertStore store;
    store.OpenCertStore();
    EXPECT_EQ(store.GetCertCount(), 0) << "Foxmail's certificates stay out of the system stores";
}

namespace {

// Contacts p0..p(n-1) in the address book; the directory has one certificate for the even ones
// and two for every third.
std::vector<DirectoryEntry> batchBook(int count) {
    std::vector<DirectoryEntry> entries;
    for (int i = 0; i < count; ++i) {
        const std::string mail = "p" + std::to_string(i) + "@example.cn";
        DirectoryEntry e{.cn = "联系人" + std::to_string(i), .mail = mail};
        auto issue = [&] { return TestPki::instance().issue({.cn = e.cn, .email = mail, .keyUsage = 0x30}).der; };
        if (i % 3 == 0)
            e.certificates = {issue(), issue()};
        else if (i % 2 == 0)
            e.certificates = {issue()};
        entries.push_back(std::move(e));
    }
    return entries;
}

}  // namespace

TEST_F(MailSetup, BatchRunsChoosesAndApplies) {
    trustTestAuthorities();
    Slapd slapd({.defaultSearchBase = true, .entries = batchBook(6)});
    pointAt(slapd);
    for (int i = 0; i < 6; ++i) addContact("联系人" + std::to_string(i), "p" + std::to_string(i) + "@example.cn");
    CMailPage page;
    page.open(CMailPage::OEContacts);
    onNextModal<CDlgLdapBatchCon>([](CDlgLdapBatchCon* d) {
        EXPECT_TRUE(d->searchFinished() || !enabled(d, IDOK)) << "no OK while the search runs";
        EXPECT_EQ(d->contacts()->topLevelItemCount(), 6);
        EXPECT_EQ(d->contacts()->topLevelItem(1)->text(1), QStringLiteral("p1@example.cn"));
        ASSERT_TRUE(QTest::qWaitFor([d] { return d->searchFinished(); }, 20000));
        EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("LDAP搜索完毕！"));
        EXPECT_FALSE(control<QWidget>(d, CDlgLdapBatchCon::IDC_ANIMATION)->isVisible());
        EXPECT_TRUE(enabled(d, IDOK));
        // p0 has two certificates: the user picks the second.
        selectRow(d->contacts(), 0);
        EXPECT_EQ(control<QLabel>(d, CDlgLdapBatchCon::IDC_ADDRESS)->text(),
                  QStringLiteral("搜索到与p0@example.cn匹配的证书"));
        EXPECT_EQ(d->certificates()->topLevelItemCount(), 2);
        EXPECT_FALSE(enabled(d, CDlgLdapBatchCon::IDC_SET_DEFAULT));
        selectRow(d->certificates(), 1);
        click(d, CDlgLdapBatchCon::IDC_SET_DEFAULT);
        EXPECT_EQ(rowTexts(d->certificates()), QStringList({"联系人0", "联系人0 (默认证书)"}));
        // Another contact starts with no certificate chosen in the list.
        selectRow(d->contacts(), 3);
        EXPECT_EQ(d->certificates()->topLevelItemCount(), 2);
        EXPECT_EQ(controls::selectedRow(d->certificates()), -1);
        EXPECT_FALSE(enabled(d, CDlgLdapBatchCon::IDC_SET_DEFAULT));
        selectRow(d->contacts(), 1);
        EXPECT_EQ(control<QLabel>(d, CDlgLdapBatchCon::IDC_ADDRESS)->text(),
                  QStringLiteral("未搜到与p1@example.cn匹配的证书"));
        EXPECT_EQ(d->certificates()->topLevelItemCount(), 0);
        // The automatic choice takes the contacts with one certificate: p2 and p4.
        control<QCheckBox>(d, CDlgLdapBatchCon::IDC_AUTO)->setChecked(true);
        click(d, IDOK);
    });
    page.onCommand(cmd::BatchConfigure);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("你共为3个联系人配置了加密证书"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONINFORMATION));
    for (int i : {0, 2, 4}) EXPECT_NE(defaultOf("p" + std::to_string(i) + "@example.cn"), "") << i;
    for (int i : {1, 3, 5}) EXPECT_EQ(defaultOf("p" + std::to_string(i) + "@example.cn"), "") << i;
    QStandardItemModel* rows = page.items()->model();
    ASSERT_EQ(rows->rowCount(), 6);

    // The next run offers only the three left.
    onNextModal<CDlgLdapBatchCon>([](CDlgLdapBatchCon* d) {
        EXPECT_EQ(d->contacts()->topLevelItemCount(), 3);
        ASSERT_TRUE(QTest::qWaitFor([d] { return d->searchFinished(); }, 20000));
        click(d, IDCANCEL);
    });
    MessageBoxFacade::clear();
    page.onCommand(cmd::BatchConfigureMain);
    EXPECT_EQ(MessageBoxFacade::shown().size(), 1u) << "cancel applies nothing and says nothing";
}

TEST_F(MailSetup, BatchStopsOnCancelAndReportsAFailedDirectory) {
    Slapd slapd({.defaultSearchBase = true, .entries = batchBook(60)});
    pointAt(slapd);
    std::vector<CLdapBatch::Candidate> candidates(60);
    for (int i = 0; i < 60; ++i) candidates[static_cast<size_t>(i)].email = "p" + std::to_string(i) + "@example.cn";
    {
        CDlgLdapBatchCon d(candidates, CDlgLdapBatchCon::OutlookExpress);
        QSignalSpy ended(&d, &CDlgLdapBatchCon::searchEnded);
        d.show();
        ASSERT_TRUE(d.searching());
        d.reject();
        EXPECT_TRUE(d.stopRequested());
        EXPECT_FALSE(d.searching());
        EXPECT_FALSE(d.isVisible()) << "cancel ends the dialog at once, not after the contact under way";
        EXPECT_EQ(d.result(), QDialog::Rejected);
        QTest::qWait(200);
        EXPECT_EQ(ended.count(), 0) << "a search given up reports nothing";
        EXPECT_NE(MessageBoxFacade::lastText(), QStringLiteral("LDAP搜索完毕！"));
    }
    size_t searched = 0;
    for (const auto& c : candidates) searched += c.found.empty() ? 0 : 1;
    EXPECT_LT(searched, 40u) << "the search ended early";

    orvik::test::setDeploymentValue("DirectoryHost1", closed());
    std::vector<CLdapBatch::Candidate> more(2);
    more[0].email = "p0@example.cn";
    more[1].email = "p2@example.cn";
    CDlgLdapBatchCon d(more, CDlgLdapBatchCon::Foxmail);
    QSignalSpy ended(&d, &CDlgLdapBatchCon::searchEnded);
    d.show();
    ASSERT_TRUE(ended.wait(20000));
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("目录查询失败，批量配置失败！"));
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("查找用户"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONWARNING));
    EXPECT_FALSE(enabled(&d, IDOK));
    d.reject();
    EXPECT_FALSE(d.isVisible()) << "after the search, cancel closes at once";
}

TEST_F(MailSetup, BatchShowsEachResultsChecksAndNeverChoosesAnUnverifiedOne) {
    trustTestAuthorities();
    IssuedCert stranger = TestPki::instance().selfSigned({.cn = "Orvik Stranger CA", .ca = true});
    IssuedCert good = TestPki::instance().issue({.cn = "好", .email = "good@example.cn", .keyUsage = 0x30});
    IssuedCert forged =
        TestPki::instance().issue({.cn = "伪", .email = "forged@example.cn", .keyUsage = 0x30}, stranger);
    IssuedCert old = TestPki::instance().issue({.cn = "旧",
                                                .email = "old@example.cn",
                                                .keyUsage = 0x30,
                                                .notBeforeOffset = -9 * 86400,
                                                .notAfterOffset = -60});
    Slapd slapd({.defaultSearchBase = true,
                 .entries = {{.cn = "好", .mail = "good@example.cn", .certificates = {good.der}},
                             {.cn = "伪", .mail = "forged@example.cn", .certificates = {forged.der}},
                             {.cn = "旧", .mail = "old@example.cn", .certificates = {old.der}}}});
    pointAt(slapd);
    for (const char* who : {"good", "forged", "old"}) addContact(who, std::string(who) + "@example.cn");
    CMailPage page;
    page.open(CMailPage::OEContacts);
    onNextModal<CDlgLdapBatchCon>([](CDlgLdapBatchCon* d) {
        ASSERT_TRUE(QTest::qWaitFor([d] { return d->searchFinished(); }, 20000));
        EXPECT_EQ(d->certificates()->headerItem()->text(2), QStringLiteral("证书状态"));
        const QStringList expected = {"可信", "颁发者不受信任", "已过期"};
        for (int row = 0; row < 3; ++row) {
            selectRow(d->contacts(), row);
            ASSERT_EQ(d->certificates()->topLevelItemCount(), 1);
            EXPECT_EQ(d->certificates()->topLevelItem(0)->text(2), expected[row]) << row;
        }
        // The forged one cannot be chosen here by hand either.
        selectRow(d->contacts(), 1);
        selectRow(d->certificates(), 0);
        click(d, CDlgLdapBatchCon::IDC_SET_DEFAULT);
        EXPECT_EQ(MessageBoxFacade::lastText(),
                  QStringLiteral("该证书的颁发者不受信任，不能在批量配置中设为默认证书！"));
        EXPECT_EQ(rowTexts(d->certificates()), QStringList({"伪"}));
        control<QCheckBox>(d, CDlgLdapBatchCon::IDC_AUTO)->setChecked(true);
        click(d, IDOK);
        EXPECT_EQ(
            MessageBoxFacade::lastText(),
            QStringLiteral("有2个联系人搜索到的证书未通过验证（颁发者不受信任、已过期或不可用于加密），未自动配置。"));
    });
    page.onCommand(cmd::BatchConfigure);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("你共为1个联系人配置了加密证书"));
    EXPECT_NE(defaultOf("good@example.cn"), "");
    EXPECT_EQ(defaultOf("forged@example.cn"), "");
    EXPECT_EQ(defaultOf("old@example.cn"), "");

    // A directory whose TLS certificate fails is named, and nothing is asked of it.
    IssuedCert server = TestPki::instance().issue({.cn = "127.0.0.1", .keyUsage = 0xA0}, stranger);
    Slapd secure({.defaultSearchBase = true,
                  .entries = {{.cn = "伪", .mail = "forged@example.cn", .certificates = {forged.der}}},
                  .tlsCertificate = server.pem,
                  .tlsKey = server.keyPem});
    orvik::test::setDeploymentValue("DirectoryTls", "ldaps");
    orvik::test::setDeploymentValue("DirectoryHost1", secure.tlsHost());
    std::vector<CLdapBatch::Candidate> candidates(1);
    candidates[0].email = "forged@example.cn";
    CDlgLdapBatchCon d(candidates, CDlgLdapBatchCon::OutlookExpress);
    QSignalSpy ended(&d, &CDlgLdapBatchCon::searchEnded);
    d.show();
    ASSERT_TRUE(ended.wait(20000));
    EXPECT_EQ(MessageBoxFacade::lastText(),
              QStringLiteral("与目录服务器%1的安全连接失败：服务器证书的颁发者不受信任。批量配置失败！")
                  .arg(QString::fromStdString(secure.tlsHost())));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(secure.log().find(" SRCH "), std::string::npos);
}

TEST_F(MailSetup, BatchWithoutCandidatesAndForFoxmail) {
    trustTestAuthorities();
    foxmailFolder();
    IssuedCert held = TestPki::instance().issue({.cn = "周八", .email = "zhou@example.cn", .keyUsage = 0x30});
    IssuedCert fetched = TestPki::instance().issue({.cn = "吴九", .email = "wu@example.cn", .keyUsage = 0x30});
    Slapd slapd({.defaultSearchBase = true,
                 .entries = {{.cn = "吴九", .mail = "wu@example.cn", .certificates = {fetched.der}}}});
    pointAt(slapd);
    CMailPage page;
    page.open(CMailPage::OEContacts);
    page.onCommand(cmd::BatchConfigure);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("可需要批量配置的联系人个数为零！"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONINFORMATION));

    orvik::test::writeFoxBook(
        foxDir, "Default",
        {{.name = "周八", .email = "zhou@example.cn", .marker = '1'}, {.name = "吴九", .email = "wu@example.cn"}},
        {"Emails: zhou@example.cn\r\nCertificates: " + orvik::test::foxStoredCert(held) + "\r\n",
         "Emails: wu@example.cn\r\n"});
    // From the first level, with the Foxmail book selected.
    page.back();
    page.functions()->selectRow(CMailPage::FoxContacts);
    onNextModal<CDlgLdapBatchCon>([](CDlgLdapBatchCon* d) {
        EXPECT_EQ(d->mode(), CDlgLdapBatchCon::Foxmail);
        EXPECT_EQ(rowTexts(d->contacts()), QStringList({"吴九"}));
        ASSERT_TRUE(QTest::qWaitFor([d] { return d->searchFinished(); }, 20000));
        control<QCheckBox>(d, CDlgLdapBatchCon::IDC_AUTO)->setChecked(true);
        click(d, IDOK);
    });
    page.onCommand(cmd::BatchConfigureMain);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("你共为1个联系人配置了加密证书"));
    CFoxmail fox;
    ASSERT_EQ(fox.LoadAddressBooks(foxDir), 0);
    ASSERT_EQ(fox.contacts().size(), 2u);
    EXPECT_EQ(fox.contacts()[1]->getCerts().size(), 1u);
}

TEST_F(MailSetup, VCardImportFillsTheContactList) {
    const std::string file = dir.file("contacts.vcf");
    orvik::test::writeFile(file,
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:钱一\r\nEMAIL:qian@example.cn\r\nEND:VCARD\r\n"
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:钱二\r\nEMAIL:qian2@example.cn\r\nEND:VCARD\r\n");
    CMailPage page;
    page.open(CMailPage::OEContacts);
    FileDialogFacade::setNextAnswer(QString::fromStdString(file));
    page.onCommand(cmd::ImportVCard);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("成功导入2个联系人，0个证书。"));
    EXPECT_EQ(column(page.items()->model(), 0), QStringList({"钱一", "钱二"}));

    orvik::test::writeFile(file, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:坏\r\nKEY;ENCODING=b:***\r\nEND:VCARD\r\n");
    FileDialogFacade::setNextAnswer(QString::fromStdString(file));
    page.onCommand(cmd::ImportVCard);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("该vCard文件已损坏，没有导入任何联系人！"));
    EXPECT_EQ(page.items()->model()->rowCount(), 2);

    // A damaged card among good ones: the good one goes in and the damaged one is named.
    orvik::test::writeFile(file,
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:坏\r\nKEY;ENCODING=b:***\r\nEND:VCARD\r\n"
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:钱三\r\nEMAIL:qian3@example.cn\r\nEND:VCARD\r\n");
    FileDialogFacade::setNextAnswer(QString::fromStdString(file));
    page.onCommand(cmd::ImportVCard);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("成功导入1个联系人，0个证书。\n以下1张名片已损坏，未导入：\n"
                                                           "第1张（坏）：line 4: invalid base64 in KEY"));
    EXPECT_EQ(page.items()->model()->rowCount(), 3);
}

TEST_F(MailSetup, FoxmailFolderIsChosenByHand) {
    foxmailFolder();
    ASSERT_EQ(CFoxmail::SetFoxmailDir(dir.path() + "/elsewhere"), 0);
    CMailPage page;
    page.open(CMailPage::FoxAccounts);
    EXPECT_EQ(page.items()->model()->rowCount(), 0);
    FileDialogFacade::setNextAnswer(QString::fromStdString(dir.path()));
    page.onCommand(cmd::FoxmailFolder);
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONWARNING)) << "a folder without Foxmail's files";
    FileDialogFacade::setNextAnswer(QString::fromStdString(foxDir));
    page.onCommand(cmd::FoxmailFolder);
    EXPECT_EQ(column(page.items()->model(), 0), QStringList({"张三的邮箱"}));
}

namespace {

std::string shell(const std::string& command) { return orvik::test::runShell(command + " 2>&1").out; }

// A Thunderbird profile under a home of its own, for as long as the test runs.
class ThunderbirdHome {
public:
    explicit ThunderbirdHome(const std::string& root) : home_(root), old_(qgetenv("HOME")) {
        dir = root + "/.thunderbird/p.default";
        fs::create_directories(dir);
        orvik::test::writeFile(root + "/.thunderbird/profiles.ini",
                               "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\nDefault=1\n");
        orvik::test::writeFile(dir + "/prefs.js",
                               "user_pref(\"mail.identity.id1.useremail\", \"zhang@example.cn\");\n"
                               "user_pref(\"mail.identity.id1.fullName\", \"张三\");\n");
        EXPECT_EQ(shell("certutil -N -d sql:" + dir + " --empty-password"), "");
        qputenv("HOME", QByteArray::fromStdString(root));
    }
    ~ThunderbirdHome() { qputenv("HOME", old_); }
    std::string listing() const { return shell("certutil -L -d sql:" + dir); }

    std::string dir;

private:
    std::string home_;
    QByteArray old_;
};

}  // namespace

TEST_F(MailSetup, ThunderbirdIdentitiesAndContactsAreSetUpLikeTheOthers) {
    ThunderbirdHome tb(dir.path());
    mine("张三", "zhang@example.cn", 0xA0);
    other("王五", "wang@example.cn");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((tb.dir + "/abook.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db,
                 "CREATE TABLE properties (card TEXT, name TEXT, value TEXT);"
                 "INSERT INTO properties VALUES ('c1','DisplayName','王五'),('c1','PrimaryEmail','wang@example.cn');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);

    CMailPage page;
    page.open(CMailPage::TbAccounts);
    ASSERT_EQ(column(page.items()->model(), 0), QStringList({"张三"}));
    onNextModal<CDlgAccountCert>([](CDlgAccountCert* d) {
        chooseInNext<CDlgSelectCert>("张三", CDlgSelectCert::IDC_LIST);
        click(d, CDlgAccountCert::IDC_CHOOSE_SIGN);
        click(d, IDOK);
    });
    page.configure(0);
    EXPECT_TRUE(MessageBoxFacade::shown().empty()) << MessageBoxFacade::lastText().toStdString();
    EXPECT_NE(tb.listing().find("u,u,u"), std::string::npos) << tb.listing();
    const std::string prefs = orvik::test::readFile(tb.dir + "/prefs.js");
    EXPECT_NE(prefs.find("mail.identity.id1.signing_cert_name\", \"张三\""), std::string::npos) << prefs;
    EXPECT_NE(prefs.find("mail.identity.id1.encryption_cert_dbkey"), std::string::npos) << "it may encrypt too";

    page.open(CMailPage::TbContacts);
    ASSERT_EQ(column(page.items()->model(), 1), QStringList({"wang@example.cn"}));
    EXPECT_TRUE(showsImage(page, 0, 0));
    onNextModal<CDlgContactCert>([](CDlgContactCert* d) {
        chooseInNext<CStorePickerDialog>("王五", CStorePickerDialog::IDC_LIST);
        click(d, CDlgContactCert::IDC_FROM_SYSTEM);
        click(d, IDOK);
    });
    page.configure(0);
    EXPECT_NE(tb.listing().find("王五"), std::string::npos) << tb.listing();
    EXPECT_TRUE(showsImage(page, 0, 1));

    // Thunderbird running: the user is told and nothing changes.
    fs::create_symlink("127.0.0.1:+" + std::to_string(::getpid()), tb.dir + "/lock");
    page.open(CMailPage::TbAccounts);
    onNextModal<CDlgAccountCert>([](CDlgAccountCert* d) { click(d, IDOK); });
    page.configure(0);
    EXPECT_EQ(MessageBoxFacade::lastText(),
              QStringLiteral("Thunderbird正在运行，请先退出Thunderbird，然后再设置证书。"));
    EXPECT_EQ(orvik::test::readFile(tb.dir + "/prefs.js"), prefs);
}
