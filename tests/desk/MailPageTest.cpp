// The mail page as a user finds their way on it: the open list named, three ways back, an empty
// list that says what it needs and offers it, the view modes kept, every control named; and the
// one interface the page drives every mail client through.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <filesystem>
#include <functional>
#include <memory>

#include <sqlite3.h>

#include <EmailAccount.h>
#include <FoxContact.h>
#include <Foxmail.h>
#include <MyCertStore.h>
#include <OEAddrBook.h>
#include <OEEmailAcc.h>
#include <OtherCertStore.h>
#include <wabtags.h>
#include <windows.h>

#include "AccessibilityCheck.h"
#include "CertFixtures.h"
#include "ModalDriver.h"
#include "addressbook/WabFixture.h"
#include "crypt/FoxmailFixture.h"
#include "dialogs/AccountCertDialog.h"
#include "dialogs/ContactCertDialog.h"
#include "dialogs/DirectorySearchDialog.h"
#include "dialogs/FoxAccountCertDialog.h"
#include "dialogs/FoxContactCertsDialog.h"
#include "dialogs/LdapBatchDialog.h"
#include "dialogs/LdapImportDialog.h"
#include "pages/MailPage.h"
#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "support/UserRegistry.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"
#include "ui/MessageBoxFacade.h"
#include "widgets/ReportList.h"

namespace fs = std::filesystem;
using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::TestPki;

namespace {

QStringList column(QStandardItemModel* model, int c) {
    QStringList out;
    for (int i = 0; i < model->rowCount(); ++i) out << model->item(i, c)->text();
    return out;
}

class MailPage : public CertUiTest {
protected:
    MailPage() : oldHome_(qgetenv("HOME")) {
        orvik::test::setWabPath(ORVIKWAB_PATH);
        // No Thunderbird but the one a test makes, and no directory beyond this machine.
        qputenv("HOME", QByteArray::fromStdString(dir.path()));
        const std::string closed = "127.0.0.1:" + std::to_string(orvik::test::closedPort());
        orvik::test::setDeploymentValue("DirectoryHost1", closed);
        orvik::test::setDeploymentValue("DirectoryHost2", closed);
    }
    ~MailPage() override { qputenv("HOME", oldHome_); }

    void shown(CMailPage& page) {
        page.resize(640, 420);
        page.show();
        page.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
    }
    static void account(const std::string& name, const std::string& email) {
        const std::string key = std::string(OE_ACCOUNTS_KEY) + "\\00000001";
        orvik::test::setUserValue(key, "SMTP Server", REG_SZ, std::string("smtp.example.cn") + '\0');
        orvik::test::setUserValue(key, "Account Name", REG_SZ, name + '\0');
        orvik::test::setUserValue(key, "SMTP Email Address", REG_SZ, email + '\0');
    }
    // A Foxmail folder with one account and one contact, not yet known to the registry.
    std::string foxmailFolder(bool withContact = true) {
        const std::string fox = dir.path() + "/Foxmail";
        fs::create_directories(fox + "/mail/zhang");
        fs::create_directories(fox + "/Address");
        orvik::test::writeVer30(fox + "/accounts.cfg", "accounts.cfg",
                                orvik::test::foxAccountList({{"张三的邮箱", "C:\\Foxmail\\mail\\zhang\\"}}));
        orvik::test::writeVer30(fox + "/mail/zhang/Account.stg", "AccInfo.cfg",
                                "MailAddress=zhang@example.cn\r\nSignCertHash=\r\nSMTPHost=smtp.example.cn\r\n");
        if (withContact)
            orvik::test::writeFoxBook(fox, "Default", {{.name = "赵六", .email = "zhao@example.cn"}},
                                      {"Emails: zhao@example.cn\r\n"});
        return fox;
    }
    // A Thunderbird profile "default" under the test's home; identities and contacts when asked.
    std::string thunderbird(bool withItems) {
        const std::string profile = dir.path() + "/.thunderbird/p.default";
        fs::create_directories(profile);
        orvik::test::writeFile(dir.path() + "/.thunderbird/profiles.ini",
                               "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\nDefault=1\n");
        orvik::test::writeFile(profile + "/prefs.js",
                               withItems ? "user_pref(\"mail.identity.id1.useremail\", \"zhang@example.cn\");\n"
                                           "user_pref(\"mail.identity.id1.fullName\", \"张三\");\n"
                                         : "");
        if (withItems) {
            sqlite3* db = nullptr;
            EXPECT_EQ(sqlite3_open((profile + "/abook.sqlite").c_str(), &db), SQLITE_OK);
            sqlite3_exec(db,
                         "CREATE TABLE properties (card TEXT, name TEXT, value TEXT);"
                         "INSERT INTO properties VALUES ('c1','DisplayName','王五'),"
                         "('c1','PrimaryEmail','wang@example.cn');",
                         nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
        return profile;
    }

private:
    QByteArray oldHome_;
};

}  // namespace

TEST_F(MailPage, TheCaptionNamesTheOpenListAndThreeWaysLeadBack) {
    CMailPage page;
    shown(page);
    EXPECT_EQ(page.caption()->text(), QStringLiteral("邮件功能"));
    EXPECT_FALSE(page.backButton()->isVisible()) << "no way back from the first level";
    // Each function in turn, each way back in turn: the button, Backspace, Alt+Left.
    for (int f = 0; f < CMailPage::FunctionCount; ++f) {
        page.open(f);
        const QString name = page.functions()->model()->item(f, 0)->text();
        EXPECT_EQ(page.caption()->text(), name) << f;
        EXPECT_EQ(page.view(f)->name(), name) << f;
        EXPECT_TRUE(page.backButton()->isVisible()) << f;
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr) << f;
        EXPECT_TRUE(page.isAncestorOf(focus)) << f << ": the open list has the focus";
        switch (f % 3) {
        case 0: page.backButton()->click(); break;
        case 1: QTest::keyClick(focus, Qt::Key_Backspace); break;
        case 2: QTest::keyClick(focus, Qt::Key_Left, Qt::AltModifier); break;
        }
        EXPECT_TRUE(page.atFirstLevel()) << f;
        EXPECT_EQ(page.caption()->text(), QStringLiteral("邮件功能")) << f;
        EXPECT_EQ(page.functions()->currentRow(), f) << f << ": the function left is selected again";
    }
    // Backspace at the first level stays there; Enter on the selected function opens it again.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    EXPECT_TRUE(page.atFirstLevel());
    page.onCommand(cmd::MailOpen);
    EXPECT_EQ(page.opened(), CMailPage::TbContacts);
}

TEST_F(MailPage, EachEmptyListSaysWhatItNeedsAndOffersIt) {
    CMailPage page;
    shown(page);
    auto hint = [&page](int function) {
        page.open(function);
        EXPECT_TRUE(page.emptyPanel()->isVisible()) << function;
        EXPECT_FALSE(page.items()->isVisible()) << function;
        return page.emptyText()->text();
    };

    // Outlook Express accounts come from Windows' registry, as a .reg file.
    EXPECT_TRUE(hint(CMailPage::OEAccounts).contains(QStringLiteral("orvikctl reg-import")));
    EXPECT_EQ(page.emptyAction()->text(), QStringLiteral("从.reg文件导入帐户(&I)..."));
    const std::string reg = dir.file("accounts.reg");
    orvik::test::writeFile(reg,
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001]\r\n"
                           "\"Account Name\"=\"工作邮箱\"\r\n\"SMTP Server\"=\"smtp.example.cn\"\r\n"
                           "\"SMTP Email Address\"=\"zhang@example.cn\"\r\n"
                           "[HKEY_CURRENT_USER\\Software\\Elsewhere]\r\n\"x\"=\"y\"\r\n");
    FileDialogFacade::setNextAnswer(QString::fromStdString(reg));
    page.emptyAction()->click();
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONSTOP)) << "a key beyond mail: nothing goes in";
    EXPECT_TRUE(page.emptyPanel()->isVisible());
    std::string bytes = orvik::test::readFile(reg);
    bytes.resize(bytes.find("[HKEY_CURRENT_USER\\Software\\Elsewhere]"));
    orvik::test::writeFile(reg, bytes);
    FileDialogFacade::setNextAnswer(QString::fromStdString(reg));
    page.emptyAction()->click();
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("导入完成，现有1个Outlook Express邮件帐户。"));
    EXPECT_EQ(column(page.items()->model(), 0), QStringList({"工作邮箱"}));
    EXPECT_TRUE(page.items()->isVisible());

    // Contacts come as vCard files; the book's own file cannot be read.
    const QString contacts = hint(CMailPage::OEContacts);
    EXPECT_TRUE(contacts.contains(QStringLiteral("vCard")));
    EXPECT_TRUE(contacts.contains(QStringLiteral(".wab")));
    EXPECT_EQ(page.emptyAction()->text(), QStringLiteral("从vCard文件导入联系人(&I)..."));
    const std::string vcf = dir.file("contacts.vcf");
    orvik::test::writeFile(vcf, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:钱一\r\nEMAIL:qian@example.cn\r\nEND:VCARD\r\n");
    FileDialogFacade::setNextAnswer(QString::fromStdString(vcf));
    page.emptyAction()->click();
    EXPECT_EQ(column(page.items()->model(), 0), QStringList({"钱一"}));

    // Foxmail's folder is asked for, and the lists follow the one chosen.
    EXPECT_TRUE(hint(CMailPage::FoxAccounts).startsWith(QStringLiteral("没有找到Foxmail的目录。")));
    EXPECT_TRUE(hint(CMailPage::FoxContacts).startsWith(QStringLiteral("没有找到Foxmail的目录。")));
    const std::string fox = foxmailFolder(false);
    FileDialogFacade::setNextAnswer(QString::fromStdString(fox));
    page.emptyAction()->click();
    EXPECT_EQ(hint(CMailPage::FoxContacts),
              QStringLiteral("Foxmail目录“%1”中没有联系人。\n如果要使用另一个Foxmail目录，请用下面的按钮重新选择。")
                  .arg(QString::fromStdString(fox)));
    page.open(CMailPage::FoxAccounts);
    EXPECT_EQ(column(page.items()->model(), 0), QStringList({"张三的邮箱"}));

    // Thunderbird: no profile at all, then a profile without identities or contacts.
    EXPECT_TRUE(hint(CMailPage::TbAccounts).startsWith(QStringLiteral("没有找到Thunderbird的配置文件")));
    EXPECT_TRUE(hint(CMailPage::TbContacts).startsWith(QStringLiteral("没有找到Thunderbird的配置文件")));
    thunderbird(false);
    page.emptyAction()->click();  // "刷新"
    EXPECT_EQ(page.emptyText()->text(),
              QStringLiteral("Thunderbird的默认配置文件“default”中没有带电子邮件地址的联系人。"
                             "\n请在Thunderbird中添加后刷新。"));
    EXPECT_TRUE(hint(CMailPage::TbAccounts).contains(QStringLiteral("没有设置了电子邮件地址的帐户")));
    EXPECT_EQ(unnamedControls(&page), QStringList());
}

TEST_F(MailPage, OneInterfaceDrivesEveryClient) {
    account("工作邮箱", "zhang@example.cn");
    addContact("李四", "lisi@example.cn");
    ASSERT_EQ(CFoxmail::SetFoxmailDir(foxmailFolder()), 0);
    thunderbird(true);
    QWidget owner;
    struct Expected {
        const char* name;
        const char* email;
        int dialog;
    };
    const Expected expected[] = {
        {"工作邮箱", "zhang@example.cn", CDlgAccountCert::IDD},
        {"李四", "lisi@example.cn", CDlgContactCert::IDD},
        {"张三的邮箱", "zhang@example.cn", CDlgFoxAccountCert::IDD},
        {"赵六", "zhao@example.cn", CDlgFoxContactCerts::IDD},
        {"张三", "zhang@example.cn", CDlgAccountCert::IDD},
        {"王五", "wang@example.cn", CDlgContactCert::IDD},
    };
    std::vector<std::unique_ptr<CMailClientView>> views = CMailClientView::all();
    ASSERT_EQ(views.size(), std::size(expected));
    for (size_t i = 0; i < views.size(); ++i) {
        CMailClientView& v = *views[i];
        SCOPED_TRACE(v.name().toStdString());
        EXPECT_EQ(v.hasContacts(), i % 2 == 1);
        EXPECT_EQ(v.columns().first(), v.hasContacts() ? QStringLiteral("联系人姓名") : QStringLiteral("邮件帐户"));
        const std::vector<CMailClientView::Row> rows = v.load();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].name, QString::fromUtf8(expected[i].name));
        EXPECT_EQ(rows[0].email, QString::fromUtf8(expected[i].email));
        EXPECT_EQ(rows[0].image, v.hasContacts() ? CMailClientView::NoCertificate : CMailClientView::Account);
        // The row's own certificate dialog; cancelled, it changes nothing.
        QString shown;
        onNextModal<QDialog>([&shown](QDialog* d) {
            shown = d->objectName();
            d->reject();
        });
        EXPECT_FALSE(v.configure(0, &owner));
        EXPECT_EQ(shown, QStringLiteral("IDD%1").arg(expected[i].dialog));
        EXPECT_FALSE(v.configure(1, &owner)) << "a row that is not there does nothing";
        EXPECT_FALSE(v.emptyHint().text.isEmpty());
        // The account lists have no batch: nothing is asked or said.
        if (!v.hasContacts()) v.batch(&owner, [] { ADD_FAILURE() << "nothing to read again"; });
    }
    EXPECT_TRUE(MessageBoxFacade::shown().empty()) << MessageBoxFacade::lastText().toStdString();
}

TEST_F(MailPage, TheViewModeOfEachLevelSurvivesARestart) {
    {
        CMailPage page;
        EXPECT_EQ(page.functions()->mode(), CReportList::Mode::LargeIcons);
        page.onCommand(cmd::List);
        page.open(CMailPage::OEAccounts);
        EXPECT_EQ(page.items()->mode(), CReportList::Mode::Details);
        page.onCommand(cmd::MailSmallIcons);
    }
    CMailPage page;
    EXPECT_EQ(page.functions()->mode(), CReportList::Mode::List);
    EXPECT_EQ(page.items()->mode(), CReportList::Mode::SmallIcons);
}

TEST_F(MailPage, ThePageAndItsDialogsNameEveryControl) {
    addContact("李四", "lisi@example.cn");
    CMailPage page;
    shown(page);
    EXPECT_EQ(unnamedControls(&page), QStringList()) << "first level";
    page.open(CMailPage::OEContacts);
    EXPECT_EQ(unnamedControls(&page), QStringList()) << "a list";
    EXPECT_EQ(QAccessible::queryAccessibleInterface(page.items()->currentView())->text(QAccessible::Name),
              QStringLiteral("Outlook Express通讯簿管理"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(page.backButton())->text(QAccessible::Name),
              QStringLiteral("返回"));
    page.open(CMailPage::FoxAccounts);
    EXPECT_EQ(unnamedControls(&page), QStringList()) << "an empty list";

    const orvik::test::IssuedCert found =
        TestPki::instance().issue({.cn = "王五", .email = "wang@example.cn", .keyUsage = 0x30});
    CDlgLdapImport::Found certificates;
    certificates.push_back(std::make_unique<CDigitalCertificate>(found.der.data(), static_cast<int>(found.der.size()),
                                                                 CDigitalCertificate::ENC_DER));
    CEmailAccount account;
    account.getEmailAddress()->setBytes("zhang@example.cn", 16);
    CFoxContact foxContact;
    foxContact.email = "zhao@example.cn";
    std::vector<CLdapBatch::Candidate> none;
    const std::vector<std::pair<const char*, std::function<std::unique_ptr<QDialog>()>>> dialogs = {
        {"account", [&] { return std::make_unique<CDlgAccountCert>(account); }},
        {"contact", [&] { return std::make_unique<CDlgContactCert>(nullptr, QStringLiteral("lisi@example.cn")); }},
        {"foxmail account", [&] { return std::make_unique<CDlgFoxAccountCert>(account); }},
        {"foxmail contact", [&] { return std::make_unique<CDlgFoxContactCerts>(foxContact); }},
        {"directory import",
         [&] { return std::make_unique<CDlgLdapImport>(certificates, QStringLiteral("wang@example.cn")); }},
        {"batch", [&] { return std::make_unique<CDlgLdapBatchCon>(none, CDlgLdapBatchCon::OutlookExpress); }},
        {"directory search", [] { return std::make_unique<CDirectorySearchDialog>(); }},
    };
    for (const auto& [which, make] : dialogs) {
        std::unique_ptr<QDialog> dialog = make();
        dialog->show();
        QApplication::processEvents();
        EXPECT_EQ(unnamedControls(dialog.get()), QStringList()) << which;
        EXPECT_EQ(doubledMnemonics(dialog.get()), QStringList()) << which;
        dialog->reject();
    }
}
