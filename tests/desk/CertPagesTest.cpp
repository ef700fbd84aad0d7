// The three certificate pages offscreen, driven as a user drives them: the dialogs filled in, the
// message boxes and file dialogs answered through the facades.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include <winuser.h>

#include "CaCertStore.h"
#include "CertFixtures.h"
#include "ModalDriver.h"
#include "MyCertStore.h"
#include "OtherCertStore.h"
#include "app/Profile.h"
#include "dialogs/CertImportDialog.h"
#include "dialogs/CertPropertiesDialog.h"
#include "dialogs/CertificateViewer.h"
#include "dialogs/DerExportDialog.h"
#include "dialogs/PfxExportDialog.h"
#include "dialogs/PfxImportDialog.h"
#include "pages/CaCertPage.h"
#include "pages/CertListModel.h"
#include "pages/MyCertPage.h"
#include "pages/OtherCertPage.h"
#include "ui/CommandIds.h"
#include "ui/MenuFactory.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

class CertPages : public CertUiTest {
protected:
    IssuedCert person(const std::string& cn, const std::string& email) {
        return TestPki::instance().issue({.cn = cn, .email = email});
    }
    // A certificate of other people, in ADDRESSBOOK.
    std::string addOther(const IssuedCert& c, const std::string& name) {
        TestPki::save(dir.file(name), c.der);
        EXPECT_EQ(COtherCertStore().ImportCert(dir.file(name).c_str()), 0);
        return dir.file(name);
    }
    static QString hex(const IssuedCert& c) { return QByteArray::fromStdString(c.sha1).toHex().toUpper(); }
    static void expectBox(const char* text, unsigned icon, const char* why) {
        EXPECT_EQ(MessageBoxFacade::lastText(), QString::fromUtf8(text)) << why;
        EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("证书助手")) << why;
        EXPECT_EQ(MessageBoxFacade::lastType() & MB_ICONMASK, icon) << why;
    }
};

// Text as a keyboard gives it, which QTest's key clicks cannot do for Chinese.
void typeInto(QWidget* field, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(field, &press);
    }
}

enum class Back { No, Yes, PasswordSelected };

// `back`: the failure is one the user mends in the dialog, which returns with what was typed (and
// the password selected after a wrong one) until cancelled.
void importThrough(CCertStorePage& page, const QString& path, const QString& password, Back back = Back::No) {
    onNextModal<CPfxImportDialog>([=](CPfxImportDialog* d) {
        setText(d, CPfxImportDialog::IDC_PATH, path);
        setText(d, CPfxImportDialog::IDC_PASSWORD, password);
        if (back != Back::No)
            onNextModal<CPfxImportDialog>([=](CPfxImportDialog* again) {
                EXPECT_EQ(again, d) << "the same dialog";
                EXPECT_EQ(control<QLineEdit>(d, CPfxImportDialog::IDC_PATH)->text(), path);
                auto* field = control<QLineEdit>(d, CPfxImportDialog::IDC_PASSWORD);
                EXPECT_EQ(field->text(), password);
                if (back == Back::PasswordSelected) {
                    EXPECT_EQ(d->focusWidget(), field);
                    EXPECT_EQ(field->selectedText(), password);
                }
                d->reject();
            });
        click(d, IDOK);
    });
    page.onCommand(cmd::Import);
}

TEST_F(CertPages, PersonalImportReportsEachOutcomeAndChangesNothingOnFailure) {
    IssuedCert me = person("张三", "zs@example.test");
    TestPki::save(dir.file("me.pfx"), makePfx(me, "正确口令"));
    TestPki::save(dir.file("me.cer"), me.der);
    CMyCertPage page;
    page.refresh();
    struct Case {
        QString path, password;
        const char* text;
        unsigned icon;
        int rows;
        Back back;
    } cases[] = {
        {"", "", "请选定一个文件！", MB_ICONHAND, 0, Back::Yes},
        {QString::fromStdString(dir.file("none.pfx")), "", "您所指定的文件不存在！", MB_ICONHAND, 0, Back::Yes},
        {QString::fromStdString(dir.file("me.pfx")), "错误", "导入失败，口令错误！", MB_ICONHAND, 0,
         Back::PasswordSelected},
        {QString::fromStdString(dir.file("me.cer")), "正确口令", "导入失败，文件格式错误！", MB_ICONHAND, 0, Back::Yes},
        {QString::fromStdString(dir.file("me.pfx")), "正确口令", "导入成功！", MB_ICONINFORMATION, 1, Back::No},
    };
    for (const Case& c : cases) {
        MessageBoxFacade::clear();
        importThrough(page, c.path, c.password, c.back);
        expectBox(c.text, c.icon, c.text);
        EXPECT_EQ(page.model()->rowCount(), c.rows) << c.text;
    }
    EXPECT_EQ(page.model()->row(0).thumbprint, hex(me));
    EXPECT_EQ(page.model()->row(0).issuedTo, QStringLiteral("张三"));
    CMyCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    EXPECT_EQ(store.GetCertCount(), 1) << "the failed imports left nothing behind";
}

TEST_F(CertPages, PersonalExportWritesTheNamedFileOnceAndAsksAboutIt) {
    IssuedCert me = person("李四", "ls@example.test");
    TestPki::save(dir.file("in.pfx"), makePfx(me, "pw"));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("in.pfx").c_str(), "pw"), 0);
    CMyCertPage page;
    page.refresh();
    page.selectStoreRow(0);
    const QString typed = QString::fromStdString(dir.file("out"));

    auto exportAs = [&](const QString& name, int answer, bool expectOpen) {
        MessageBoxFacade::clear();
        if (answer) MessageBoxFacade::setNextAnswer(answer);
        onNextModal<CPfxExportDialog>([=](CPfxExportDialog* d) {
            setText(d, CExportDialog::IDC_PATH, name);
            setText(d, CPfxExportDialog::IDC_PASSWORD, "新");
            setText(d, CPfxExportDialog::IDC_CONFIRM, "新");
            click(d, IDOK);
            EXPECT_EQ(d->isVisible(), expectOpen) << name.toStdString();
            if (d->isVisible()) {
                EXPECT_EQ(control<QLineEdit>(d, CExportDialog::IDC_PATH)->text(), name) << "the fields stay";
                d->reject();
            }
        });
        page.onCommand(cmd::Export);
    };

    exportAs(typed, 0, false);
    EXPECT_EQ(MessageBoxFacade::shown().size(), 1u) << "no question for a new file";
    expectBox("导出证书成功！", MB_ICONINFORMATION, "first export");
    EXPECT_TRUE(pfxOpens(dir.file("out.pfx"), "新"));
    EXPECT_FALSE(QFileInfo::exists(typed));

    exportAs(typed + ".pfx", IDYES, false);
    ASSERT_EQ(MessageBoxFacade::shown().size(), 2u);
    EXPECT_EQ(MessageBoxFacade::shown()[0].text, QStringLiteral("您所指定的文件已经存在，要覆盖它吗？"));
    EXPECT_EQ(MessageBoxFacade::shown()[0].type, unsigned(MB_YESNO | MB_ICONEXCLAMATION));
    expectBox("导出证书成功！", MB_ICONINFORMATION, "overwrite");
    EXPECT_FALSE(QFileInfo::exists(typed + ".pfx.pfx"));

    exportAs(typed, IDNO, true);
    EXPECT_EQ(MessageBoxFacade::shown().size(), 1u) << "No keeps the dialog open and exports nothing";

    // The export dialog's own checks, in order.
    MessageBoxFacade::clear();
    onNextModal<CPfxExportDialog>([&](CPfxExportDialog* d) {
        click(d, IDOK);
        EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("文件名不能为空！"));
        setText(d, CExportDialog::IDC_PATH, QString::fromStdString(dir.file("other")));
        setText(d, CPfxExportDialog::IDC_PASSWORD, "a");
        click(d, IDOK);
        EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("密码不相同，请确保密码相同！"));
        EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONHAND));
        setText(d, CPfxExportDialog::IDC_PASSWORD, "");
        click(d, IDOK);
        EXPECT_FALSE(d->isVisible()) << "two empty passwords are accepted";
    });
    page.onCommand(cmd::Export);
    EXPECT_TRUE(pfxOpens(dir.file("other.pfx"), ""));
}

TEST_F(CertPages, CommandsActOnlyOnASelectionOfTheListAsItIsNow) {
    IssuedCert a = person("甲", "a@example.test"), b = person("乙", "b@example.test");
    addOther(a, "a.cer");
    addOther(b, "b.cer");
    COtherCertPage page;
    page.refresh();
    page.selectStoreRow(0);
    ASSERT_FALSE(page.selectedThumbprint().isEmpty());
    page.refresh();
    EXPECT_TRUE(page.selectedThumbprint().isEmpty()) << "a refresh forgets the selection";
    for (int id : {cmd::Delete, cmd::Export, cmd::Properties, cmd::Open}) page.onCommand(id);
    EXPECT_TRUE(MessageBoxFacade::shown().empty()) << "nothing selected, nothing done";
    EXPECT_TRUE(CCertificateViewer::shown().empty());
    EXPECT_EQ(page.model()->rowCount(), 2);

    page.selectStoreRow(1);
    const QString kept = page.model()->row(0).thumbprint;
    MessageBoxFacade::setNextAnswer(IDCANCEL);
    page.onCommand(cmd::Delete);
    expectBox("您确信删除您的证书吗？", MB_ICONEXCLAMATION, "delete asks");
    EXPECT_EQ(MessageBoxFacade::lastType() & MB_TYPEMASK, unsigned(MB_OKCANCEL));
    EXPECT_EQ(page.model()->rowCount(), 2) << "Cancel keeps it";
    MessageBoxFacade::setNextAnswer(IDOK);
    page.onCommand(cmd::Delete);
    ASSERT_EQ(page.model()->rowCount(), 1);
    EXPECT_EQ(page.model()->row(0).thumbprint, kept) << "the chosen certificate went, not its neighbour";

    page.selectStoreRow(0);
    MessageBoxFacade::setNextAnswer(IDOK);
    page.onCommand(cmd::Delete);
    EXPECT_EQ(page.model()->rowCount(), 0);
    EXPECT_EQ(menus::find(page.operateMenu(), cmd::Open), nullptr) << "no-item commands after the last one went";
}

TEST_F(CertPages, SortedAndFilteredRowsActOnTheirOwnCertificates) {
    const char* names[] = {"王五", "赵六", "孙七"};
    std::vector<IssuedCert> certs;
    for (const char* n : names) {
        certs.push_back(person(n, std::string("p") + std::to_string(certs.size()) + "@example.test"));
        addOther(certs.back(), std::to_string(certs.size()) + ".cer");
    }
    COtherCertPage page;
    page.refresh();
    page.onCommand(cmd::Details);
    QTreeView* view = page.detailsView();
    view->sortByColumn(CCertListModel::IssuedTo, Qt::DescendingOrder);
    QModelIndex top = page.proxy()->index(0, 0);
    view->selectionModel()->setCurrentIndex(top, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const QString chosen = top.data().toString();
    const QString thumb = page.selectedThumbprint();
    EXPECT_EQ(page.model()->row(page.model()->rowOfThumbprint(thumb)).issuedTo, chosen);

    onNextModal<CCertPropertiesDialog>([](CCertPropertiesDialog* d) {
        setText(d, CCertPropertiesDialog::IDC_NAME, "同事");
        click(d, IDOK);
    });
    page.onCommand(cmd::Properties);
    COtherCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    std::string t = thumb.toStdString(), friendly;
    ASSERT_NE(store.FindByThumb(t), nullptr);
    ASSERT_EQ(store.FindByThumb(t)->getFriendlyName(friendly), 0);
    EXPECT_EQ(friendly, "同事") << "the certificate of the sorted row got the name";
    EXPECT_EQ(page.model()->row(page.model()->rowOfThumbprint(thumb)).friendlyName, QStringLiteral("同事"));

    onNextModal<CCertPropertiesDialog>([](CCertPropertiesDialog* d) {
        EXPECT_EQ(control<QLineEdit>(d, CCertPropertiesDialog::IDC_NAME)->text(), QStringLiteral("同事"));
        setText(d, CCertPropertiesDialog::IDC_NAME, "");
        click(d, IDOK);
    });
    page.onCommand(cmd::Properties);
    EXPECT_TRUE(page.model()->row(page.model()->rowOfThumbprint(thumb)).friendlyName.isEmpty());
    ASSERT_EQ(store.OpenCertStore(), 0);
    friendly.clear();
    ASSERT_EQ(store.FindByThumb(t)->getFriendlyName(friendly), 0);
    EXPECT_EQ(friendly, "") << "an empty name deletes it";

    page.searchBox()->setText("赵");
    ASSERT_EQ(page.proxy()->rowCount(), 1);
    EXPECT_EQ(page.proxy()->index(0, 0).data().toString(), QStringLiteral("赵六"));
    page.searchBox()->setText("P2@EXAMPLE");
    EXPECT_EQ(page.proxy()->rowCount(), 0) << "the search covers the shown columns only";
    page.searchBox()->clear();
    EXPECT_EQ(page.proxy()->rowCount(), 3);

    // Filtering never hands the selection to a neighbour of the chosen row, as a shown view
    // with the focus does on its own.
    page.show();
    page.selectStoreRow(page.model()->rowOfThumbprint(thumb));
    page.searchBox()->setFocus();
    typeInto(page.searchBox(), QStringLiteral("赵"));
    EXPECT_EQ(page.selectedThumbprint(), thumb) << "still shown, still chosen";
    page.searchBox()->clear();
    typeInto(page.searchBox(), QStringLiteral("王"));
    EXPECT_TRUE(page.selectedThumbprint().isEmpty()) << "filtered out";
    EXPECT_TRUE(view->selectionModel()->selectedRows().isEmpty());
    page.onCommand(cmd::Delete);
    ASSERT_EQ(store.OpenCertStore(), 0);
    EXPECT_EQ(store.GetCertCount(), 3) << "a delete with nothing chosen deletes nothing";
}

TEST_F(CertPages, MenusAndViewsFollowTheSelection) {
    addOther(person("周八", "z@example.test"), "z.cer");
    COtherCertPage page;
    page.refresh();
    EXPECT_EQ(page.view(), CCertStorePage::View::LargeIcons) << "a fresh page shows large icons";

    QMenu* empty = page.contextMenuAt(QPoint(2000, 2000));
    ASSERT_NE(empty, nullptr);
    QAction* fromFile = menus::find(empty, cmd::Import);
    QAction* fromDirectory = menus::find(empty, cmd::ImportFromLdap);
    ASSERT_TRUE(fromFile && fromDirectory);
    EXPECT_EQ(fromFile->text(), QStringLiteral("从文件导入..."));
    EXPECT_EQ(fromDirectory->text(), QStringLiteral("从LDAP导入..."));
    EXPECT_EQ(empty->actions()[0]->text(), QStringLiteral("导入"));

    EXPECT_NE(menus::find(page.operateMenu(), cmd::ImportFromLdap), nullptr);
    EXPECT_EQ(menus::find(page.operateMenu(), cmd::Details), nullptr) << "the view commands are under 查看(&V)";
    for (int id : {cmd::LargeIcons, cmd::SmallIcons, cmd::List, cmd::Details})
        EXPECT_NE(menus::find(page.viewMenu(), id), nullptr) << id;

    QSignalSpy changes(&page, &CPage::menusChanged);
    page.selectStoreRow(0);
    EXPECT_EQ(changes.count(), 1);
    for (int id : {cmd::Open, cmd::Export, cmd::Delete, cmd::Refresh, cmd::CrlCheck, cmd::Properties})
        EXPECT_NE(menus::find(page.operateMenu(), id), nullptr) << id;
    EXPECT_NE(menus::find(page.contextMenu(true), cmd::CopyThumbprint), nullptr);

    page.onCommand(cmd::Details);
    EXPECT_EQ(page.view(), CCertStorePage::View::Details);
    EXPECT_EQ(page.model()->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("证书状态"));
    EXPECT_FALSE(page.selectedThumbprint().isEmpty()) << "the views share one selection";

    CCaCertPage authorities;
    EXPECT_EQ(authorities.model()->columnCount(), 5) << "the fifth column holds the trust";
    QMenu* caItem = authorities.contextMenu(true);
    EXPECT_EQ(menus::find(caItem, cmd::Delete), nullptr);
    EXPECT_EQ(menus::find(caItem, cmd::CrlCheck), nullptr);
}

TEST_F(CertPages, StatusColumnFollowsTheOnlineSetting) {
    IssuedCert me = person("吴九", "w@example.test");
    TestPki::save(dir.file("me.pfx"), makePfx(me, "pw"));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("me.pfx").c_str(), "pw"), 0);
    addOther(person("郑十", "zh@example.test"), "o.cer");

    CMyCertPage mine;
    QSignalSpy done(&mine, &CCertStorePage::statusesDone);
    mine.refresh();
    ASSERT_TRUE(done.count() > 0 || done.wait(10000));
    EXPECT_EQ(mine.model()->row(0).status, QStringLiteral("无CRL")) << "the personal page always checks";

    COtherCertPage others;
    others.refresh();
    QTest::qWait(50);
    EXPECT_TRUE(others.model()->row(0).status.isEmpty()) << "no online checks unless the setting asks";

    // The check command asks at once, for the selected row only.
    others.selectStoreRow(0);
    others.onCommand(cmd::CrlCheck);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !others.model()->row(0).status.isEmpty(); }, 10000));
    EXPECT_EQ(others.model()->row(0).status, QStringLiteral("无CRL"));

    ASSERT_TRUE(profile::write("Common", "SartOnlineCRLCheck", "1"));
    QSignalSpy othersDone(&others, &CCertStorePage::statusesDone);
    others.refresh();
    ASSERT_TRUE(othersDone.count() > 0 || othersDone.wait(10000));
    EXPECT_EQ(others.model()->row(0).status, QStringLiteral("无CRL"));
}

TEST_F(CertPages, CertificateFilesImportWithEachPagesOwnWording) {
    IssuedCert c = person("钱一", "q@example.test");
    TestPki::save(dir.file("c.cer"), c.der);
    TestPki::save(dir.file("c.pem"), c.pem);
    TestPki::save(dir.file("junk.cer"), "not a certificate");
    COtherCertPage others;
    CCaCertPage authorities;
    struct Case {
        CCertStorePage* page;
        const char* file;
        const char* text;
        unsigned icon;
    } cases[] = {
        {&others, "junk.cer", "导入失败，文件格式错误!", MB_ICONHAND},
        {&authorities, "junk.cer", "导入失败，文件格式错误！", MB_ICONHAND},
        {&others, "c.pem", "导入证书成功!", MB_ICONINFORMATION},
        {&authorities, "c.cer", "导入证书成功！", MB_ICONINFORMATION},
    };
    for (const Case& k : cases) {
        MessageBoxFacade::clear();
        onNextModal<CCertImportDialog>([&](CCertImportDialog* d) {
            setText(d, CCertImportDialog::IDC_PATH, QString::fromStdString(dir.file(k.file)));
            click(d, IDOK);
        });
        k.page->onCommand(cmd::Import);
        expectBox(k.text, k.icon, k.text);
    }
    EXPECT_EQ(others.model()->rowCount(), 1);
    EXPECT_EQ(authorities.model()->rowCount(), 1);

    MessageBoxFacade::clear();
    onNextModal<CCertImportDialog>([&](CCertImportDialog* d) {
        click(d, IDOK);
        EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("文件名不能为空!"));
        EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONEXCLAMATION));
        setText(d, CCertImportDialog::IDC_PATH, QString::fromStdString(dir.file("gone.cer")));
        click(d, IDOK);
        EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("您所要导入的证书路径错误!"));
        EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONHAND));
        EXPECT_TRUE(d->isVisible());
        d->reject();
    });
    others.onCommand(cmd::Import);
    EXPECT_EQ(MessageBoxFacade::shown().size(), 2u) << "a cancelled import reports nothing";
}

TEST_F(CertPages, DerExportKeepsADerNameAndWritesTheCertificate) {
    IssuedCert c = person("冯二", "f@example.test");
    addOther(c, "c.cer");
    COtherCertPage page;
    page.refresh();
    page.selectStoreRow(0);
    struct Case {
        std::string typed, written;
        const char* text;
    } cases[] = {
        {dir.file("a"), dir.file("a.cer"), "导出证书成功!"},
        {dir.file("b.crt"), dir.file("b.crt"), "导出证书成功!"},
        {dir.file("missing/c"), "", "导出失败!"},
    };
    for (const Case& k : cases) {
        onNextModal<CDerExportDialog>([&](CDerExportDialog* d) {
            setText(d, CExportDialog::IDC_PATH, QString::fromStdString(k.typed));
            click(d, IDOK);
        });
        page.onCommand(cmd::Export);
        EXPECT_EQ(MessageBoxFacade::lastText(), QString::fromUtf8(k.text)) << k.typed;
        if (!k.written.empty()) {
            EXPECT_EQ(orvik::test::readFile(k.written), c.der) << k.typed;
        }
    }
}

TEST_F(CertPages, KeysAndDropsWorkAsClicksDo) {
    IssuedCert c = person("陈三", "c3@example.test");
    addOther(c, "c.cer");
    COtherCertPage page;
    page.resize(600, 400);
    page.show();
    page.refresh();
    page.selectStoreRow(0);
    QAbstractItemView* view = page.currentView();
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Return);
    ASSERT_EQ(CCertificateViewer::shown().size(), 1u);
    EXPECT_EQ(CCertificateViewer::shown()[0], hex(c));
    MessageBoxFacade::setNextAnswer(IDCANCEL);
    QTest::keyClick(view, Qt::Key_Delete);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("您确信删除您的证书吗？"));
    QTest::keyClick(view, Qt::Key_F5);
    EXPECT_TRUE(page.selectedThumbprint().isEmpty());

    // A dropped certificate file opens the import dialog with its name filled in.
    QString offered;
    onNextModal<CCertImportDialog>([&](CCertImportDialog* d) {
        offered = d->path();
        d->reject();
    });
    EXPECT_TRUE(page.offerFile(QString::fromStdString(dir.file("c.cer"))));
    EXPECT_EQ(offered, QString::fromStdString(dir.file("c.cer")));
    EXPECT_FALSE(page.offerFile(QString::fromStdString(dir.file("c.pfx"))))
        << "a key backup belongs on the personal page";
    EXPECT_TRUE(CMyCertPage().acceptsFile("/backups/Me.P12"));
}

}  // namespace
