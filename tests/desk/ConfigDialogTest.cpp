// The settings dialog offscreen: the two switches, the service sites and their edit dialog, the
// default encryption certificate and its picker, and saving all of it or nothing.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <dlfcn.h>
#include <map>
#include <optional>
#include <sqlite3.h>
#include <string>

#include <windows.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "MyCertStore.h"
#include "app/Profile.h"
#include "config/ConfigManageDlg.h"
#include "config/CrlCheckPage.h"
#include "config/DefaultCertPage.h"
#include "config/P11Page.h"
#include "config/RaSitePage.h"
#include "config/SiteEditDlg.h"
#include "config/UpdatePage.h"
#include "dialogs/CertificateViewer.h"
#include "dialogs/SelectCertDialog.h"
#include "services/ServiceSiteList.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

constexpr int kKeyEncipherment = 0x20, kDigitalSignature = 0x80;

// Every string value under the profile as "key\\value" = text: a whole state to compare.
void collect(const std::string& path, std::map<std::string, std::string>& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (DWORD i = 0;; ++i) {
        char name[256], data[2048];
        DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize) !=
            ERROR_SUCCESS)
            break;
        out[path + "\\" + name] = std::string(data, dataSize).c_str();
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        collect(path + "\\" + name, out);
    }
    RegCloseKey(key);
}

std::map<std::string, std::string> profileState() {
    std::map<std::string, std::string> state;
    collect(profile::kRoot, state);
    return state;
}

std::optional<std::string> stored(const std::string& section, const std::string& entry) {
    auto state = profileState();
    auto it = state.find(std::string(profile::kRoot) + "\\" + section + "\\" + entry);
    return it == state.end() ? std::nullopt : std::optional(it->second);
}

// Makes the registry database refuse every write of one value name, the way a full disk or a
// damaged file would refuse it, until the object goes. The platform library has SQLite loaded.
class RefusedWrites {
public:
    RefusedWrites(const std::string& database, const std::string& valueName) {
        open_ = reinterpret_cast<decltype(open_)>(dlsym(RTLD_DEFAULT, "sqlite3_open_v2"));
        exec_ = reinterpret_cast<decltype(exec_)>(dlsym(RTLD_DEFAULT, "sqlite3_exec"));
        close_ = reinterpret_cast<decltype(close_)>(dlsym(RTLD_DEFAULT, "sqlite3_close"));
        if (!open_ || !exec_ || !close_) {
            ADD_FAILURE() << "SQLite is not loaded";
            return;
        }
        if (open_(database.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << database;
            return;
        }
        std::string fold;
        for (char c : valueName) fold += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const char* when : {"INSERT", "UPDATE"}) {
            std::string sql = std::string("CREATE TRIGGER refuse_") + when + " BEFORE " + when +
                              " ON reg_values WHEN NEW.fold = '" + fold +
                              "' BEGIN SELECT RAISE(ABORT, 'refused'); END;";
            EXPECT_EQ(exec_(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        }
    }
    ~RefusedWrites() {
        if (!db_) return;
        exec_(db_, "DROP TRIGGER IF EXISTS refuse_INSERT; DROP TRIGGER IF EXISTS refuse_UPDATE;", nullptr, nullptr,
              nullptr);
        close_(db_);
    }
    RefusedWrites(const RefusedWrites&) = delete;
    RefusedWrites& operator=(const RefusedWrites&) = delete;

private:
    decltype(&sqlite3_open_v2) open_ = nullptr;
    decltype(&sqlite3_exec) exec_ = nullptr;
    decltype(&sqlite3_close) close_ = nullptr;
    sqlite3* db_ = nullptr;
};

class ConfigDialog : public CertUiTest {
protected:
    static QString hex(const IssuedCert& c) { return QByteArray::fromStdString(c.sha1).toHex().toUpper(); }
    // The stored thumbprint as hex digits only, in upper case.
    static QString normalised(const std::optional<std::string>& text) {
        return text ? QString::fromStdString(*text).remove(' ').toUpper() : QString("<missing>");
    }

    // A personal certificate with its key, as a PKCS #12 import leaves it.
    IssuedCert mine(const std::string& cn, int keyUsage) {
        IssuedCert c = TestPki::instance().issue({.cn = cn, .keyUsage = keyUsage});
        const std::string file = dir.file(std::to_string(++files_) + ".pfx");
        TestPki::save(file, makePfx(c, "pw"));
        EXPECT_EQ(CMyCertStore().ImportP12(nullptr, file.c_str(), "pw"), 0) << cn;
        return c;
    }

    static void site(const std::string& name, const std::string& url, const std::string& description) {
        ASSERT_TRUE(profile::write("ServiceURL\\" + name, "Value", url));
        ASSERT_TRUE(profile::write("ServiceURL\\" + name, "Description", description));
    }

    static QComboBox* sites(QWidget* d) { return control<QComboBox>(d, CRaSitePage::IDC_SITES); }
    static QLineEdit* certName(QWidget* d) { return control<QLineEdit>(d, CDefaultCertPage::IDC_NAME); }

    // "添加..." or "修改..." answered with the given fields; returns the edit dialog's title.
    static QString editSite(QWidget* d, int button, const QString& url, const QString& name, bool ok = true) {
        QString title;
        onNextModal<CSiteEditDlg>([&](CSiteEditDlg* edit) {
            title = edit->windowTitle();
            setText(edit, CSiteEditDlg::IDC_URL, url);
            setText(edit, CSiteEditDlg::IDC_NAME, name);
            click(edit, ok ? IDOK : IDCANCEL);
        });
        click(d, button);
        return title;
    }

    int files_ = 0;
};

TEST_F(ConfigDialog, SwitchesShowAnExactOneAsTheFirstButtonAndSaveOneOrZero) {
    struct Case {
        std::optional<std::string> stored;
        bool first;         // the first button checked at opening
        const char* saved;  // what OK writes back
    } cases[] = {
        {std::nullopt, false, "0"}, {"1", true, "1"},    {"01", true, "1"}, {"0", false, "0"},
        {"2", false, "0"},          {"yes", false, "0"}, {"", false, "0"},  {"1abc", true, "1"},
    };
    struct Switch {
        const char* section;
        const char* entry;
        int firstId, secondId;
    } switches[] = {
        {"UpdateConfig", "StartUpCheckNew", CUpdatePage::IDC_CHECK, CUpdatePage::IDC_NO_CHECK},
        {"Common", "SartOnlineCRLCheck", CCrlCheckPage::IDC_ONLINE, CCrlCheckPage::IDC_OFFLINE},
    };
    for (const Switch& s : switches) {
        for (const Case& c : cases) {
            orvik::test::TempHome fresh;
            const std::string row = std::string(s.entry) + "=" + c.stored.value_or("<missing>");
            if (c.stored) {
                ASSERT_TRUE(profile::write(s.section, s.entry, *c.stored));
            }
            CConfigManageDlg d(0);
            d.show();
            EXPECT_EQ(control<QRadioButton>(&d, s.firstId)->isChecked(), c.first) << row;
            EXPECT_EQ(control<QRadioButton>(&d, s.secondId)->isChecked(), !c.first) << row;
            click(&d, IDOK);
            EXPECT_EQ(d.result(), QDialog::Accepted) << row;
            EXPECT_EQ(stored(s.section, s.entry), std::optional<std::string>(c.saved)) << row;
        }
    }
}

TEST_F(ConfigDialog, TheCheckedButtonIsWhatOkSaves) {
    CConfigManageDlg d(0);
    d.show();
    control<QRadioButton>(&d, CUpdatePage::IDC_CHECK)->click();
    control<QRadioButton>(&d, CCrlCheckPage::IDC_ONLINE)->click();
    EXPECT_FALSE(control<QRadioButton>(&d, CUpdatePage::IDC_NO_CHECK)->isChecked()) << "one group per page";
    click(&d, IDOK);
    EXPECT_EQ(stored("UpdateConfig", "StartUpCheckNew"), "1");
    EXPECT_EQ(stored("Common", "SartOnlineCRLCheck"), "1");
}

TEST_F(ConfigDialog, TabsInOrderAndTheInitialPageAloneVisible) {
    struct Case {
        int initial;
        int visible;  // -1: none
    } cases[] = {{0, 0}, {3, 3}, {4, 4}, {7, -1}, {-1, -1}};
    for (const Case& c : cases) {
        CConfigManageDlg d(c.initial);
        d.show();
        auto* tabs = control<QTabWidget>(&d, CConfigManageDlg::IDC_TABS);
        ASSERT_EQ(tabs->count(), 5);
        EXPECT_EQ(d.windowTitle(), QStringLiteral("配置管理"));
        QStringList texts;
        for (int i = 0; i < tabs->count(); ++i) texts << tabs->tabText(i);
        EXPECT_EQ(texts,
                  QStringList({"更新设置", "CRL检查设置", "RA站点设置", "设置默认加密证书", "浏览器和邮件程序"}));
        QWidget* pages[] = {d.updatePage(), d.crlCheckPage(), d.raSitePage(), d.defaultCertPage(), d.p11Page()};
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(tabs->widget(i), pages[i]) << "tab " << i;
            EXPECT_EQ(pages[i]->isVisible(), i == c.visible) << "initial " << c.initial << ", page " << i;
        }
        if (c.visible >= 0) {
            EXPECT_EQ(tabs->currentIndex(), c.visible);
        }
    }

    // "/C" opens on the certificate page; the tabs then switch pages, one at a time.
    CConfigManageDlg d(3);
    d.show();
    auto* tabs = control<QTabWidget>(&d, CConfigManageDlg::IDC_TABS);
    EXPECT_EQ(tabs->tabText(tabs->currentIndex()), QStringLiteral("设置默认加密证书"));
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
    EXPECT_EQ(tabs->currentIndex(), 1);
    EXPECT_TRUE(d.crlCheckPage()->isVisible());
    EXPECT_FALSE(d.defaultCertPage()->isVisible());

    // Without an initial page, a click on the tab that looks current still shows its page.
    CConfigManageDlg none(9);
    none.show();
    auto* noneTabs = control<QTabWidget>(&none, CConfigManageDlg::IDC_TABS);
    QTest::mouseClick(noneTabs->tabBar(), Qt::LeftButton, {},
                      noneTabs->tabBar()->tabRect(noneTabs->currentIndex()).center());
    EXPECT_TRUE(noneTabs->currentWidget()->isVisible());
}

TEST_F(ConfigDialog, SitesListTheirDescriptionsWithTheDefaultSelected) {
    site("00000001", "https://a.example.test/", "甲站");
    site("00000002", "https://b.example.test/", "乙站");
    ASSERT_TRUE(profile::write("ServiceURL", "Default", "00000002"));
    CConfigManageDlg d(2);
    d.show();
    ASSERT_EQ(sites(&d)->count(), 2);
    EXPECT_EQ(sites(&d)->itemText(0), QStringLiteral("甲站"));
    EXPECT_EQ(sites(&d)->currentText(), QStringLiteral("乙站"));
    EXPECT_TRUE(control<QPushButton>(&d, CRaSitePage::IDC_MODIFY)->isEnabled());

    // Keeping the default changes no site; choosing another one does.
    click(&d, IDOK);
    EXPECT_FALSE(d.siteChanged());
    CConfigManageDlg other(2);
    other.show();
    sites(&other)->setCurrentIndex(0);
    click(&other, IDOK);
    EXPECT_EQ(profile::read("ServiceURL", "Default"), "00000001");
    EXPECT_TRUE(other.siteChanged());
}

TEST_F(ConfigDialog, AddingASiteWithoutANameShowsItsUrlAndKeepsTheDefault) {
    site("00000001", "https://a.example.test/", "甲站");
    ASSERT_TRUE(profile::write("ServiceURL", "Default", "00000001"));
    CConfigManageDlg d(2);
    d.show();
    EXPECT_EQ(editSite(&d, CRaSitePage::IDC_ADD, "https://new.example.test/", ""), QStringLiteral("添加定制的RA网站"));
    ASSERT_EQ(sites(&d)->count(), 2);
    EXPECT_EQ(sites(&d)->itemText(1), QStringLiteral("https://new.example.test/"));
    EXPECT_EQ(sites(&d)->currentIndex(), 0) << "the new site is not selected";
    EXPECT_FALSE(stored("ServiceURL\\00000000", "Value")) << "nothing is written before OK";

    // A cancelled edit adds nothing.
    editSite(&d, CRaSitePage::IDC_ADD, "https://dropped.example.test/", "x", false);
    EXPECT_EQ(sites(&d)->count(), 2);

    click(&d, IDOK);
    CServiceSiteList saved;
    ASSERT_EQ(saved.sites().size(), 2u);
    EXPECT_EQ(saved.defaultName(), "00000001");
    EXPECT_EQ(stored("ServiceURL\\00000000", "Value"), "https://new.example.test/") << "the smallest free name";
    EXPECT_EQ(stored("ServiceURL\\00000000", "Description"), "https://new.example.test/");
    EXPECT_FALSE(d.siteChanged());
}

TEST_F(ConfigDialog, ModifyNeedsASelectionAndEditsTheSelectedSite) {
    // No ServiceURL at all: nothing to select, nothing to modify.
    {
        CConfigManageDlg empty(2);
        empty.show();
        EXPECT_EQ(sites(&empty)->count(), 0);
        EXPECT_FALSE(control<QPushButton>(&empty, CRaSitePage::IDC_MODIFY)->isEnabled());
    }
    // A default naming no site selects nothing either, until the user picks one.
    site("00000001", "https://a.example.test/", "甲站");
    site("00000002", "https://b.example.test/", "乙站");
    ASSERT_TRUE(profile::write("ServiceURL", "Default", "gone0000"));
    CConfigManageDlg d(2);
    d.show();
    auto* modify = control<QPushButton>(&d, CRaSitePage::IDC_MODIFY);
    EXPECT_EQ(sites(&d)->currentIndex(), -1);
    EXPECT_FALSE(modify->isEnabled());
    sites(&d)->setCurrentIndex(1);
    EXPECT_TRUE(modify->isEnabled());

    QString url, name;
    onNextModal<CSiteEditDlg>([&](CSiteEditDlg* edit) {
        EXPECT_EQ(edit->windowTitle(), QStringLiteral("编辑乙站"));
        url = control<QLineEdit>(edit, CSiteEditDlg::IDC_URL)->text();
        name = control<QLineEdit>(edit, CSiteEditDlg::IDC_NAME)->text();
        setText(edit, CSiteEditDlg::IDC_URL, "https://b2.example.test/");
        setText(edit, CSiteEditDlg::IDC_NAME, "");
        click(edit, IDOK);
    });
    click(&d, CRaSitePage::IDC_MODIFY);
    EXPECT_EQ(url, QStringLiteral("https://b.example.test/"));
    EXPECT_EQ(name, QStringLiteral("乙站"));
    EXPECT_EQ(sites(&d)->itemText(1), QStringLiteral("https://b2.example.test/")) << "an empty name shows the URL";
    EXPECT_EQ(sites(&d)->currentIndex(), 1);
    EXPECT_EQ(profile::read("ServiceURL\\00000002", "Value"), "https://b.example.test/") << "written only on OK";

    click(&d, IDOK);
    EXPECT_EQ(profile::read("ServiceURL\\00000002", "Value"), "https://b2.example.test/");
    EXPECT_EQ(profile::read("ServiceURL\\00000002", "Description"), "https://b2.example.test/");
    EXPECT_EQ(profile::read("ServiceURL", "Default"), "00000002");
    EXPECT_TRUE(d.siteChanged());
}

TEST_F(ConfigDialog, OkWithoutASelectedSiteLeavesTheStoredDefault) {
    struct Case {
        bool withSite;
        std::optional<std::string> stored;
    } cases[] = {{false, std::nullopt}, {false, "00000007"}, {true, "gone0000"}, {true, std::nullopt}};
    for (const Case& c : cases) {
        orvik::test::TempHome fresh;
        const std::string row = (c.withSite ? "one site, default " : "no site, default ") + c.stored.value_or("-");
        if (c.withSite) site("00000001", "https://a.example.test/", "甲站");
        if (c.stored) {
            ASSERT_TRUE(profile::write("ServiceURL", "Default", *c.stored));
        }
        CConfigManageDlg d(2);
        d.show();
        ASSERT_EQ(sites(&d)->currentIndex(), -1) << row;
        control<QRadioButton>(&d, CUpdatePage::IDC_CHECK)->click();
        click(&d, IDOK);
        EXPECT_EQ(d.result(), QDialog::Accepted) << row;
        EXPECT_EQ(stored("ServiceURL", "Default"), c.stored) << row;
        EXPECT_EQ(stored("UpdateConfig", "StartUpCheckNew"), "1") << row << ": the rest is saved";
        EXPECT_FALSE(d.siteChanged()) << row;
    }
}

TEST_F(ConfigDialog, CancelWritesNothingEvenAfterAddingASite) {
    site("00000001", "https://a.example.test/", "甲站");
    ASSERT_TRUE(profile::write("ServiceURL", "Default", "00000001"));
    ASSERT_TRUE(profile::write("Common", "SartOnlineCRLCheck", "1"));
    const auto before = profileState();
    onNextModal<CConfigManageDlg>([](CConfigManageDlg* d) {
        editSite(d, CRaSitePage::IDC_ADD, "https://new.example.test/", "新站");
        sites(d)->setCurrentIndex(1);
        control<QRadioButton>(d, CUpdatePage::IDC_CHECK)->click();
        control<QRadioButton>(d, CCrlCheckPage::IDC_OFFLINE)->click();
        click(d, IDCANCEL);
    });
    CConfigManageDlg d(0);
    EXPECT_EQ(d.exec(), QDialog::Rejected);
    EXPECT_EQ(profileState(), before);
}

TEST_F(ConfigDialog, AFailedWriteReportsKeepsTheDialogOpenAndUndoesTheOthers) {
    IssuedCert crypt = mine("加密证书", kKeyEncipherment);
    site("00000001", "https://a.example.test/", "甲站");
    site("00000002", "https://b.example.test/", "乙站");
    ASSERT_TRUE(profile::write("ServiceURL", "Default", "00000001"));
    ASSERT_TRUE(profile::write("Common", "SartOnlineCRLCheck", "1"));
    const auto before = profileState();  // no UpdateConfig, no DefaultEncCert yet

    bool openAfterFailure = false;
    std::map<std::string, std::string> afterFailure;
    onNextModal<CConfigManageDlg>([&](CConfigManageDlg* d) {
        control<QRadioButton>(d, CUpdatePage::IDC_CHECK)->click();
        control<QRadioButton>(d, CCrlCheckPage::IDC_OFFLINE)->click();
        editSite(d, CRaSitePage::IDC_ADD, "https://new.example.test/", "新站");
        editSite(d, CRaSitePage::IDC_MODIFY, "https://a2.example.test/", "甲站二");
        sites(d)->setCurrentIndex(1);
        onNextModal<CDlgSelectCert>([](CDlgSelectCert* picker) {
            auto* list = control<QTreeWidget>(picker, CDlgSelectCert::IDC_LIST);
            list->setCurrentItem(list->topLevelItem(0));
            click(picker, IDOK);
        });
        click(d, CDefaultCertPage::IDC_CHOOSE);
        {
            // The certificate is written last: everything before it has been written by then.
            RefusedWrites refused(home.file("registry.db"), "CertHash");
            click(d, IDOK);
        }
        openAfterFailure = d->isVisible();
        afterFailure = profileState();
        // The same choices save once the registry takes them.
        MessageBoxFacade::clear();
        click(d, IDOK);
    });
    CConfigManageDlg d(0);
    EXPECT_EQ(d.exec(), QDialog::Accepted);

    EXPECT_TRUE(openAfterFailure);
    EXPECT_EQ(afterFailure, before) << "the values written before the failure are put back";
    EXPECT_TRUE(MessageBoxFacade::shown().empty()) << "no message for the save that worked";
    EXPECT_EQ(stored("UpdateConfig", "StartUpCheckNew"), "1");
    EXPECT_EQ(stored("Common", "SartOnlineCRLCheck"), "0");
    EXPECT_EQ(stored("ServiceURL\\00000001", "Value"), "https://a2.example.test/");
    EXPECT_EQ(stored("ServiceURL\\00000000", "Description"), "新站");
    EXPECT_EQ(stored("ServiceURL", "Default"), "00000002");
    EXPECT_EQ(normalised(stored("DefaultEncCert", "CertHash")), hex(crypt));
    EXPECT_TRUE(d.siteChanged());
}

TEST_F(ConfigDialog, AFailedWriteShowsTheMessage) {
    ASSERT_TRUE(profile::write("UpdateConfig", "StartUpCheckNew", "0"));
    CConfigManageDlg d(0);
    d.show();
    control<QRadioButton>(&d, CUpdatePage::IDC_CHECK)->click();
    RefusedWrites refused(home.file("registry.db"), "StartUpCheckNew");
    click(&d, IDOK);
    ASSERT_EQ(MessageBoxFacade::shown().size(), 1u);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("保存设置失败！"));
    EXPECT_EQ(MessageBoxFacade::lastCaption(), QStringLiteral("证书助手"));
    EXPECT_EQ(MessageBoxFacade::lastType() & MB_ICONMASK, unsigned(MB_ICONHAND));
    EXPECT_TRUE(d.isVisible());
    EXPECT_NE(d.result(), QDialog::Accepted);
    EXPECT_EQ(stored("UpdateConfig", "StartUpCheckNew"), "0");
    EXPECT_FALSE(stored("Common", "SartOnlineCRLCheck")) << "nothing after the failed write either";
}

TEST_F(ConfigDialog, DefaultCertificateStoredWithSpacesAndUpperCaseIsFound) {
    IssuedCert crypt = mine("默认证书", kKeyEncipherment);
    QString spaced;
    for (int i = 0; i < hex(crypt).size(); i += 2) spaced += (i ? " " : "") + hex(crypt).mid(i, 2);
    struct Case {
        QString stored;
        bool found;
    } cases[] = {{spaced, true}, {spaced.toLower(), true}, {"", false}, {QString(40, '0'), false}};
    for (const Case& c : cases) {
        ASSERT_TRUE(profile::write("DefaultEncCert", "CertHash", c.stored.toStdString()));
        CConfigManageDlg d(3);
        d.show();
        EXPECT_EQ(certName(&d)->text(), c.found ? QStringLiteral("默认证书") : QString()) << c.stored.toStdString();
        EXPECT_EQ(control<QPushButton>(&d, CDefaultCertPage::IDC_VIEW)->isEnabled(), c.found) << c.stored.toStdString();
        click(&d, IDOK);
        // OK without a new choice keeps what was stored, also a default that is absent now (its
        // token unplugged): it comes back when the token does.
        EXPECT_EQ(stored("DefaultEncCert", "CertHash"), c.stored.toStdString());
    }
}

TEST_F(ConfigDialog, PickerOffersOnlyEncryptionCertificates) {
    mine("签名证书", kDigitalSignature);
    IssuedCert crypt = mine("加密证书", kKeyEncipherment | kDigitalSignature);
    IssuedCert other = mine("另一加密证书", kKeyEncipherment);
    ASSERT_TRUE(profile::write("DefaultEncCert", "CertHash", hex(other).toStdString()));
    CConfigManageDlg d(3);
    d.show();
    ASSERT_EQ(certName(&d)->text(), QStringLiteral("另一加密证书"));

    // An OK without a row keeps the page's certificate.
    QStringList names;
    onNextModal<CDlgSelectCert>([&](CDlgSelectCert* picker) {
        EXPECT_EQ(picker->windowTitle(), QStringLiteral("设置默认的加密证书"));
        auto* list = control<QTreeWidget>(picker, CDlgSelectCert::IDC_LIST);
        for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
        EXPECT_FALSE(control<QPushButton>(picker, IDOK)->isEnabled());
        picker->accept();
    });
    click(&d, CDefaultCertPage::IDC_CHOOSE);
    names.sort();
    EXPECT_EQ(names, QStringList({"加密证书", "另一加密证书"}));
    EXPECT_EQ(certName(&d)->text(), QStringLiteral("另一加密证书"));
    EXPECT_TRUE(control<QPushButton>(&d, CDefaultCertPage::IDC_VIEW)->isEnabled());

    auto choose = [&](const QString& name, int button) {
        onNextModal<CDlgSelectCert>([=](CDlgSelectCert* picker) {
            auto* list = control<QTreeWidget>(picker, CDlgSelectCert::IDC_LIST);
            auto found = list->findItems(name, Qt::MatchExactly, 0);
            ASSERT_EQ(found.size(), 1) << name.toStdString();
            list->setCurrentItem(found.first());
            click(picker, button);
        });
        click(&d, CDefaultCertPage::IDC_CHOOSE);
    };
    choose("加密证书", IDOK);
    EXPECT_EQ(certName(&d)->text(), QStringLiteral("加密证书"));
    // The page keeps its own copy: later pickers free their stores, the chosen one stays viewable.
    choose("另一加密证书", IDCANCEL);
    EXPECT_EQ(certName(&d)->text(), QStringLiteral("加密证书"));
    click(&d, CDefaultCertPage::IDC_VIEW);
    ASSERT_EQ(CCertificateViewer::shown().size(), 1u);
    EXPECT_EQ(CCertificateViewer::shown()[0], hex(crypt));

    click(&d, IDOK);
    EXPECT_EQ(normalised(stored("DefaultEncCert", "CertHash")), hex(crypt));
}

TEST_F(ConfigDialog, DefaultCertificateWrittenOnlyOnOk) {
    mine("加密证书", kKeyEncipherment);
    onNextModal<CConfigManageDlg>([](CConfigManageDlg* d) {
        onNextModal<CDlgSelectCert>([](CDlgSelectCert* picker) {
            auto* list = control<QTreeWidget>(picker, CDlgSelectCert::IDC_LIST);
            list->setCurrentItem(list->topLevelItem(0));
            click(picker, IDOK);
        });
        click(d, CDefaultCertPage::IDC_CHOOSE);
        EXPECT_FALSE(stored("DefaultEncCert", "CertHash"));
        click(d, IDCANCEL);
    });
    CConfigManageDlg d(3);
    EXPECT_EQ(d.exec(), QDialog::Rejected);
    EXPECT_FALSE(stored("DefaultEncCert", "CertHash"));
}

class SelectCert : public ConfigDialog {};

TEST_F(SelectCert, ListsTheStoreAndOffersOnlyASelectedRow) {
    mine("甲", -1);
    IssuedCert second = mine("乙", kDigitalSignature);
    CMyCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    ASSERT_EQ(store.GetCertCount(), 2);
    std::string secondFriendly = "乙的证书";
    int secondIndex = -1;
    for (int i = 0; i < 2; ++i) {
        std::string name;
        store.getCert(i)->getDisplayName(name);
        if (name == "乙") secondIndex = i;
    }
    ASSERT_GE(secondIndex, 0);
    ASSERT_EQ(store.getCert(secondIndex)->setFriendlyName(secondFriendly), 0);

    CDlgSelectCert d(store, QStringLiteral("选一个"));
    d.resize(500, 400);
    d.show();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("选一个"));
    auto* list = control<QTreeWidget>(&d, CDlgSelectCert::IDC_LIST);
    auto* ok = control<QPushButton>(&d, IDOK);
    auto* view = control<QPushButton>(&d, CDlgSelectCert::IDC_VIEW);
    QStringList headers;
    for (int c = 0; c < list->columnCount(); ++c) headers << list->headerItem()->text(c);
    EXPECT_EQ(headers, QStringList({"颁发给", "颁发者", "预期目的", "好记的名字", "截止日期"}));
    ASSERT_EQ(list->topLevelItemCount(), 2);
    QTreeWidgetItem* row = list->topLevelItem(secondIndex);
    EXPECT_EQ(row->text(0), QStringLiteral("乙")) << "rows in store order";
    EXPECT_EQ(row->text(1), QStringLiteral("Orvik Test CA"));
    EXPECT_TRUE(row->text(2).isEmpty());
    EXPECT_EQ(row->text(3), QStringLiteral("乙的证书"));
    std::string to;
    store.getCert(secondIndex)->getValidToDate(to);
    EXPECT_EQ(row->text(4), QString::fromStdString(to));
    EXPECT_EQ(d.selectedIndex(), -1);
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_FALSE(view->isEnabled());

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
    EXPECT_EQ(d.selectedIndex(), secondIndex);
    EXPECT_TRUE(ok->isEnabled());
    EXPECT_TRUE(view->isEnabled());
    view->click();
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
    ASSERT_EQ(CCertificateViewer::shown().size(), 2u) << "the button and a double click";
    EXPECT_EQ(CCertificateViewer::shown()[0], hex(second));
    EXPECT_EQ(CCertificateViewer::shown()[1], hex(second));

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(10, list->viewport()->height() - 5));
    EXPECT_EQ(d.selectedIndex(), -1) << "a click below the rows";
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_FALSE(view->isEnabled());

    list->setCurrentItem(row);
    ok->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.selectedIndex(), secondIndex);
}

TEST_F(SelectCert, CancelChoosesNothingAndAnEmptyStoreOffersNothing) {
    mine("甲", kKeyEncipherment);
    CMyCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    CDlgSelectCert d(store, QStringLiteral("选一个"));
    d.show();
    auto* list = control<QTreeWidget>(&d, CDlgSelectCert::IDC_LIST);
    list->setCurrentItem(list->topLevelItem(0));
    ASSERT_EQ(d.selectedIndex(), 0);
    click(&d, IDCANCEL);
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(d.selectedIndex(), -1);

    store.SetFilter("KeyUsage", "Sign");
    ASSERT_EQ(store.GetCertCount(), 0);
    CDlgSelectCert empty(store, QStringLiteral("选一个"));
    empty.show();
    EXPECT_EQ(control<QTreeWidget>(&empty, CDlgSelectCert::IDC_LIST)->topLevelItemCount(), 0);
    EXPECT_FALSE(control<QPushButton>(&empty, IDOK)->isEnabled());
}

}  // namespace
