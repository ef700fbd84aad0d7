// The certificate dialogs on their own: the backup password change, the directory search against
// a real slapd, and the store picker.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include <winuser.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "OtherCertStore.h"
#include "dialogs/ChangeBackupPasswordDialog.h"
#include "dialogs/CertificateViewer.h"
#include "dialogs/DirectorySearchDialog.h"
#include "dialogs/PfxExportDialog.h"
#include "dialogs/PfxImportDialog.h"
#include "dialogs/StorePickerDialog.h"
#include "pages/CertListModel.h"
#include "pages/OtherCertPage.h"
#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::IssuedCert;
using orvik::test::TestPki;
using Dialog = CChangeBackupPasswordDialog;

namespace {

class BackupPassword : public CertUiTest {
protected:
    void fill(Dialog& d, const std::string& source, const QString& oldPw, const std::string& target,
              const QString& newPw, const QString& confirm) {
        setText(&d, Dialog::IDC_SOURCE, QString::fromStdString(source));
        setText(&d, Dialog::IDC_SOURCE_PASSWORD, oldPw);
        setText(&d, Dialog::IDC_TARGET, QString::fromStdString(target));
        setText(&d, Dialog::IDC_NEW_PASSWORD, newPw);
        setText(&d, Dialog::IDC_CONFIRM, confirm);
    }
};

TEST_F(BackupPassword, InPlaceChangeKeepsTheFileUntilTheNewOneIsComplete) {
    IssuedCert me = TestPki::instance().issue({.cn = "张三", .email = "zs@example.test"});
    const std::string file = dir.file("backup.pfx");
    TestPki::save(file, makePfx(me, "旧"));
    const std::string before = orvik::test::readFile(file);

    Dialog d;
    d.show();
    fill(d, file, "错", file, "新", "新");
    MessageBoxFacade::setNextAnswer(IDYES);
    click(&d, IDOK);
    ASSERT_EQ(MessageBoxFacade::shown().size(), 2u);
    EXPECT_EQ(MessageBoxFacade::shown()[0].text, QStringLiteral("您所指定的文件已经存在，要覆盖它吗？"))
        << "the same file as target is asked about first";
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("备份失败，源文件口令错误！"));
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("证书助手"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONHAND));
    EXPECT_EQ(orvik::test::readFile(file), before) << "a wrong password leaves the bytes as they were";
    EXPECT_TRUE(d.isVisible());
    auto* oldPassword = control<QLineEdit>(&d, Dialog::IDC_SOURCE_PASSWORD);
    EXPECT_EQ(d.focusWidget(), oldPassword) << "ready for the password to be typed again";
    EXPECT_EQ(oldPassword->selectedText(), QStringLiteral("错"));

    MessageBoxFacade::clear();
    setText(&d, Dialog::IDC_SOURCE_PASSWORD, "旧");
    MessageBoxFacade::setNextAnswer(IDYES);
    click(&d, IDOK);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("修改备份密码成功！"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONINFORMATION));
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(pfxOpens(file, "新"));
    EXPECT_FALSE(pfxOpens(file, "旧"));
}

TEST_F(BackupPassword, RefusesInputInOrderAndStaysOpen) {
    IssuedCert me = TestPki::instance().issue({.cn = "李四"});
    TestPki::save(dir.file("a.pfx"), makePfx(me, "pw"));
    TestPki::save(dir.file("cert.pfx"), me.der);
    TestPki::save(dir.file("taken.pfx"), "keep me");
    struct Case {
        std::string source, target;
        QString newPw, confirm;
        int answer;
        const char* text;  // null: nothing shown
    } cases[] = {
        {"", dir.file("b.pfx"), "", "", 0, "文件名不能为空！"},
        {dir.file("a.pfx"), "", "", "", 0, "文件名不能为空！"},
        {dir.file("none.pfx"), dir.file("b.pfx"), "", "", 0, "您所要更改的源文件不存在！"},
        {dir.file("a.pfx"), dir.file("b.pfx"), "x", "y", 0, "新密码和确认密码不一致!"},
        {dir.file("cert.pfx"), dir.file("b.pfx"), "", "", 0, "备份失败，文件格式错误！"},
        {dir.file("a.pfx"), dir.file("taken.pfx"), "", "", IDNO, "您所指定的文件已经存在，要覆盖它吗？"},
    };
    for (const Case& c : cases) {
        MessageBoxFacade::clear();
        Dialog d;
        d.show();
        fill(d, c.source, "pw", c.target, c.newPw, c.confirm);
        if (c.answer) MessageBoxFacade::setNextAnswer(c.answer);
        click(&d, IDOK);
        EXPECT_EQ(MessageBoxFacade::lastText(), QString::fromUtf8(c.text)) << c.text;
        EXPECT_EQ(MessageBoxFacade::shown().size(), 1u) << c.text;
        EXPECT_TRUE(d.isVisible()) << c.text;
    }
    EXPECT_EQ(orvik::test::readFile(dir.file("taken.pfx")), "keep me");
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir.file("b.pfx"))));

    // Two empty new passwords are a password too; "选择..." fills the target from the Save dialog.
    MessageBoxFacade::clear();
    Dialog d;
    d.show();
    fill(d, dir.file("a.pfx"), "pw", "", "", "");
    FileDialogFacade::setNextAnswer(QString::fromStdString(dir.file("empty.pfx")));
    click(&d, Dialog::IDC_TARGET_BROWSE);
    ASSERT_FALSE(FileDialogFacade::asked().empty());
    EXPECT_EQ(FileDialogFacade::asked().back().kind, FileDialogFacade::Kind::Save);
    EXPECT_EQ(FileDialogFacade::asked().back().filter, QStringLiteral("PFX Files (*.pfx)|*.pfx||"));
    click(&d, IDOK);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("修改备份密码成功！"));
    EXPECT_TRUE(pfxOpens(dir.file("empty.pfx"), ""));
}

class DirectorySearch : public CertUiTest {
protected:
    IssuedCert alice = TestPki::instance().issue({.cn = "Alice 王", .email = "alice@example.test"});
    IssuedCert bob = TestPki::instance().issue({.cn = "Bob", .email = "bob@example.test"});

    static void waitFor(CDirectorySearchDialog& d) {
        if (d.searching()) {
            QSignalSpy spy(&d, &CDirectorySearchDialog::searchFinished);
            ASSERT_TRUE(spy.wait(30000));
        }
    }
    static QTreeWidget* list(CDirectorySearchDialog& d) {
        return control<QTreeWidget>(&d, CDirectorySearchDialog::IDC_LIST);
    }
};

TEST_F(DirectorySearch, FindsChoosesAndReportsAgainstARealDirectory) {
    orvik::test::Slapd slapd({.entries = {{.cn = "Alice 王", .mail = "alice@example.test", .certificates = {alice.der}},
                                          {.cn = "Bob", .mail = "bob@example.test", .certificates = {bob.der}}}});
    orvik::test::setDeploymentValue("DirectoryHost1", "127.0.0.1:" + std::to_string(orvik::test::closedPort()));
    orvik::test::setDeploymentValue("DirectoryHost2", slapd.host());
    orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");

    CDirectorySearchDialog d;
    d.show();
    auto* server = control<QComboBox>(&d, CDirectorySearchDialog::IDC_SERVER);
    ASSERT_EQ(server->count(), 2);
    EXPECT_EQ(server->currentText().toStdString(), slapd.host()) << "host 2 comes first";
    EXPECT_FALSE(control<QPushButton>(&d, IDOK)->isEnabled());
    EXPECT_FALSE(control<QPushButton>(&d, CDirectorySearchDialog::IDC_VIEW)->isEnabled());

    d.search();
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("必须输入查询条件!"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONEXCLAMATION));

    // Enter in the e-mail field searches; it does not close the dialog.
    auto* email = control<QLineEdit>(&d, CDirectorySearchDialog::IDC_EMAIL);
    email->setText("alice@");
    email->setFocus();
    QTest::keyClick(email, Qt::Key_Return);
    waitFor(d);
    EXPECT_TRUE(d.isVisible());
    ASSERT_EQ(list(d)->topLevelItemCount(), 1);
    EXPECT_EQ(list(d)->topLevelItem(0)->text(0), QStringLiteral("Alice 王"));
    EXPECT_EQ(list(d)->topLevelItem(0)->text(1), QStringLiteral("alice@example.test"));
    EXPECT_EQ(list(d)->topLevelItem(0)->text(2), QStringLiteral("颁发者不受信任"))
        << "the test authorities are not trusted here";
    EXPECT_EQ(d.chosen(), nullptr);

    list(d)->setCurrentItem(list(d)->topLevelItem(0));
    ASSERT_NE(d.chosen(), nullptr);
    EXPECT_TRUE(control<QPushButton>(&d, IDOK)->isEnabled());
    click(&d, CDirectorySearchDialog::IDC_VIEW);
    EXPECT_EQ(CCertificateViewer::shown().size(), 1u);

    click(&d, CDirectorySearchDialog::IDC_CLEAR);
    EXPECT_EQ(list(d)->topLevelItemCount(), 0);
    EXPECT_TRUE(email->text().isEmpty());
    EXPECT_EQ(d.chosen(), nullptr) << "nothing shown, nothing to add";
    EXPECT_FALSE(control<QPushButton>(&d, IDOK)->isEnabled());

    // The unreachable host alone fails; both hosts together give the reachable one's entries.
    MessageBoxFacade::clear();
    server->setCurrentIndex(1);
    control<QLineEdit>(&d, CDirectorySearchDialog::IDC_NAME)->setText("Bob");
    d.search();
    waitFor(d);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("目录查询失败!"));
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("查找用户"));
    control<QCheckBox>(&d, CDirectorySearchDialog::IDC_SEARCH_ALL)->setChecked(true);
    MessageBoxFacade::clear();
    d.search();
    waitFor(d);
    EXPECT_TRUE(MessageBoxFacade::shown().empty());
    EXPECT_EQ(list(d)->topLevelItemCount(), 1);

    control<QLineEdit>(&d, CDirectorySearchDialog::IDC_NAME)->setText("Nobody");
    d.search();
    waitFor(d);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("目录服务中不存在与搜索条件相符的项!"));
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("查找用户"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONINFORMATION));
}

TEST_F(DirectorySearch, OtherPageAddsTheChosenCertificate) {
    orvik::test::Slapd slapd({.entries = {{.cn = "Bob", .mail = "bob@example.test", .certificates = {bob.der}}}});
    orvik::test::setDeploymentValue("DirectoryHost2", slapd.host());
    orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");
    COtherCertPage page;
    page.refresh();
    onNextModal<CDirectorySearchDialog>([](CDirectorySearchDialog* d) {
        control<QLineEdit>(d, CDirectorySearchDialog::IDC_NAME)->setText("Bob");
        d->search();
        waitFor(*d);
        list(*d)->setCurrentItem(list(*d)->topLevelItem(0));
        click(d, IDOK);
    });
    page.onCommand(cmd::ImportFromLdap);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("导入证书成功！"));
    ASSERT_EQ(page.model()->rowCount(), 1);
    EXPECT_EQ(page.model()->row(0).issuedTo, QStringLiteral("Bob"));
}

TEST_F(CertUiTest, StorePickerOffersOnlyARowThatIsSelected) {
    for (const char* cn : {"甲", "乙"}) {
        IssuedCert c = TestPki::instance().issue({.cn = cn});
        TestPki::save(dir.file(std::string(cn) + ".cer"), c.der);
        ASSERT_EQ(COtherCertStore().ImportCert(dir.file(std::string(cn) + ".cer").c_str()), 0);
    }
    COtherCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    CStorePickerDialog d(store);
    d.resize(500, 400);
    d.show();
    auto* list = control<QTreeWidget>(&d, CStorePickerDialog::IDC_LIST);
    auto* ok = control<QPushButton>(&d, IDOK);
    EXPECT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->headerItem()->text(4), QStringLiteral("证书状态"));
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_EQ(d.selected(), nullptr);

    QRect second = list->visualItemRect(list->topLevelItem(1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, second.center());
    EXPECT_EQ(d.selectedIndex(), 1);
    EXPECT_EQ(d.selected(), store.getCert(1));
    EXPECT_TRUE(ok->isEnabled());
    EXPECT_TRUE(control<QPushButton>(&d, CStorePickerDialog::IDC_VIEW)->isEnabled());

    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, list->viewport()->height() - 5));
    EXPECT_EQ(d.selectedIndex(), -1) << "a click below the rows";
    EXPECT_FALSE(ok->isEnabled());
}

// The controls Tab reaches, in order, from the first one.
QStringList tabChain(QWidget& dialog, int first) {
    QStringList names;
    QWidget* start = dialog.findChild<QWidget*>(QString::number(first));
    for (QWidget* w = start; w; w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) names << w->objectName();
        if (w->nextInFocusChain() == start) break;
    }
    return names;
}

TEST_F(CertUiTest, PasswordFieldsComeInTheTabOrderTheyAreShownIn) {
    CPfxExportDialog exporting;
    EXPECT_EQ(tabChain(exporting, 1011), QStringList({"1011", "1003", "1012", "1013", "1", "2"}));
    CPfxImportDialog importing;
    EXPECT_EQ(tabChain(importing, CPfxImportDialog::IDC_PATH), QStringList({"1016", "1003", "1015", "1014", "1", "2"}));
    Dialog backup;
    EXPECT_EQ(tabChain(backup, Dialog::IDC_SOURCE),
              QStringList({"1021", "1020", "1022", "1014", "1004", "1023", "1015", "1", "2"}));
}

}  // namespace
