// What a screen reader and a keyboard user find: every control that takes the focus has a name
// through Qt's accessibility interface, and the mnemonics of a dialog are each its own.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMap>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTabWidget>
#include <functional>
#include <memory>

#include "AccessibilityCheck.h"
#include "CertFixtures.h"
#include "MyCertStore.h"
#include "OtherCertStore.h"
#include "config/ConfigManageDlg.h"
#include "config/SiteEditDlg.h"
#include "dialogs/ChangeBackupPasswordDialog.h"
#include "dialogs/CertImportDialog.h"
#include "dialogs/ClientCertDialog.h"
#include "dialogs/DecryptDialog.h"
#include "dialogs/DerExportDialog.h"
#include "dialogs/EncProgressDialog.h"
#include "dialogs/EncryptDialog.h"
#include "dialogs/InputPasswordDialog.h"
#include "dialogs/PendingDialog.h"
#include "dialogs/PfxExportDialog.h"
#include "dialogs/PfxImportDialog.h"
#include "dialogs/PinDialog.h"
#include "dialogs/SecureFilePropertiesDialog.h"
#include "dialogs/SelectCertDialog.h"
#include "dialogs/SetPasswordDialog.h"
#include "dialogs/StorePickerDialog.h"
#include "frame/MainFrame.h"
#include "frame/NavigatorBar.h"

using namespace orvikdesk;
using orvik::test::TestPki;
using orvikdesk::test::doubledMnemonics;
using orvikdesk::test::unnamedControls;

namespace {

void expectAccessible(QWidget* dialog, const char* which) {
    dialog->show();
    QApplication::processEvents();
    EXPECT_EQ(unnamedControls(dialog), QStringList()) << which;
    EXPECT_EQ(doubledMnemonics(dialog), QStringList()) << which;
    // A label that offers a mnemonic takes the user somewhere.
    for (QLabel* l : dialog->findChildren<QLabel*>()) {
        if (l->text().contains(QRegularExpression(QStringLiteral("&[^&]")))) {
            EXPECT_NE(l->buddy(), nullptr) << which << ": " << l->text().toStdString();
        }
    }
    dialog->hide();
}

class Accessibility : public test::CertUiTest {};

TEST_F(Accessibility, EveryFocusableControlOfTheDialogsIsNamed) {
    const orvik::test::IssuedCert mine = TestPki::instance().issue({.cn = "张三", .keyUsage = 0xB0});
    const orvik::test::IssuedCert other = TestPki::instance().issue({.cn = "李四"});
    TestPki::save(dir.file("mine.pfx"), test::makePfx(mine, "pw"));
    TestPki::save(dir.file("other.cer"), other.der);
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("mine.pfx").c_str(), "pw"), 0);
    ASSERT_EQ(COtherCertStore().ImportCert(dir.file("other.cer").c_str()), 0);
    CMyCertStore personal;
    ASSERT_EQ(personal.OpenCertStore(), 0);

    const std::vector<std::pair<const char*, std::function<std::unique_ptr<QWidget>()>>> dialogs = {
        {"pfx import", [] { return std::make_unique<CPfxImportDialog>(); }},
        {"cert import", [] { return std::make_unique<CCertImportDialog>(); }},
        {"pfx export", [] { return std::make_unique<CPfxExportDialog>(); }},
        {"der export", [] { return std::make_unique<CDerExportDialog>(); }},
        {"encrypt", [] { return std::make_unique<CEncryptDialog>(); }},
        {"decrypt", [] { return std::make_unique<CDecryptDialog>(); }},
        {"set password", [] { return std::make_unique<CSetPasswordDialog>(); }},
        {"input password", [] { return std::make_unique<CInputPasswordDialog>(); }},
        {"backup password", [] { return std::make_unique<CChangeBackupPasswordDialog>(); }},
        {"pin",
         [] { return std::make_unique<CPinDialog>(nullptr, CPinDialog::promptFor("令牌", false, false, false)); }},
        {"select cert",
         [&] { return std::make_unique<CDlgSelectCert>(personal, QStringLiteral("设置默认的加密证书")); }},
        {"store picker", [&] { return std::make_unique<CStorePickerDialog>(personal); }},
        {"properties", [&] { return std::make_unique<CSecureFilePropertiesDialog>(dir.file("mine.pfx")); }},
        {"pending", [] { return std::make_unique<CPendingDialog>(176, QStringLiteral("配置管理"), QString()); }},
        {"client cert",
         [&] {
             return std::make_unique<CClientCertDialog>(QUrl("https://127.0.0.1/"),
                                                        QSslCertificate::fromData(QByteArray::fromStdString(mine.pem)));
         }},
        {"site edit", [] { return std::make_unique<CSiteEditDlg>(QStringLiteral("添加定制的RA网站"), "", ""); }},
        {"progress",
         [] {
             return std::make_unique<CDlgEncProgress>(
                 CDlgEncProgress::Mode::Encrypt,
                 [](ProgressSink*, const std::atomic<bool>*) { return CSecureFile::Result{}; });
         }},
    };
    for (const auto& [which, make] : dialogs) {
        std::unique_ptr<QWidget> dialog = make();
        expectAccessible(dialog.get(), which);
    }
    // Each page of the settings as it is shown.
    CConfigManageDlg settings(0);
    auto* tabs = settings.findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        expectAccessible(&settings, qPrintable(tabs->tabText(page)));
    }
}

TEST_F(Accessibility, EveryPageOfTheMainWindowIsNamedToo) {
    CMainFrame frame;
    ASSERT_TRUE(frame.create());
    frame.show();
    for (int page = 0; page < frame.bar()->count(); ++page) {
        frame.bar()->select(page);
        QApplication::processEvents();
        EXPECT_EQ(unnamedControls(&frame), QStringList()) << "page " << page;
    }
}

TEST_F(Accessibility, TheSoftwareKeyStoreIsNamedForTheUserAndTheProviderForTheFiles) {
    CPfxImportDialog dialog;
    auto* device = dialog.findChild<QComboBox*>(QString::number(CPfxImportDialog::IDC_DEVICE));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->currentText(), QStringLiteral("本机软件密钥库"));
    EXPECT_EQ(dialog.device(), QStringLiteral("Microsoft Enhanced Cryptographic Provider v1.0"));
    device->setCurrentIndex(device->count() - 1);
    EXPECT_EQ(dialog.device(), QString()) << "the empty entry";
}

}  // namespace
