// "浏览器和邮件程序" in the settings dialog, offscreen: the box turns the module's registration on
// and off when OK saves, and the list says where it is registered.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QTreeWidget>
#include <filesystem>
#include <string>

#include <windows.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "config/ConfigManageDlg.h"
#include "config/P11Page.h"
#include "crypt/MozillaHomeFixture.h"
#include "support/SecretService.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::MozillaHome;

namespace {

class P11Page : public CertUiTest {
protected:
    P11Page() { CP11Page::setModulePath(ORVIK_P11_MODULE); }
    ~P11Page() override { CP11Page::setModulePath({}); }

    // Each row as "program|profile|state".
    static QStringList rows(QWidget* d) {
        QStringList out;
        auto* list = control<QTreeWidget>(d, CP11Page::IDC_TARGETS);
        for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = list->topLevelItem(i);
            out << row->text(CP11Page::ProgramColumn) + "|" + row->text(CP11Page::ProfileColumn) + "|" +
                       row->text(CP11Page::StateColumn);
        }
        return out;
    }
    static QCheckBox* box(QWidget* d) { return control<QCheckBox>(d, CP11Page::IDC_ENABLE); }

    MozillaHome mozilla;
};

TEST_F(P11Page, TheBoxRegistersOnOkTheListShowsEachProgramAndWhatWasLeftIsTold) {
    const std::string running = mozilla.profile(".mozilla/firefox", "default-release");
    mozilla.profile("snap/thunderbird/common/.thunderbird", "work");
    MozillaHome::lock(running);
    CConfigManageDlg d(CConfigManageDlg::P11Tab);
    d.show();
    EXPECT_TRUE(d.p11Page()->isVisible());
    EXPECT_EQ(box(&d)->text(), QStringLiteral("在浏览器和邮件程序中使用我的证书"));
    EXPECT_FALSE(box(&d)->isChecked());
    EXPECT_EQ(rows(&d),
              QStringList({"其他程序 (p11-kit)||未注册", "Chromium 等 (~/.pki/nssdb)||没有证书数据库",
                           "Firefox|default-release|程序正在运行，未更改", "Thunderbird (Snap)|work|未注册"}));
    box(&d)->setChecked(true);
    click(&d, IDOK);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(MessageBoxFacade::lastText(),
              QStringLiteral("以下程序的设置未能更改:\nFirefox default-release：程序正在运行，"
                             "未更改\n请关闭正在运行的程序后再试。"));
    EXPECT_EQ(MessageBoxFacade::lastType(), static_cast<unsigned>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(rows(&d),
              QStringList({"其他程序 (p11-kit)||已注册", "Chromium 等 (~/.pki/nssdb)||已注册",
                           "Firefox|default-release|程序正在运行，未更改", "Thunderbird (Snap)|work|已注册"}));

    // Closed, the program gets the module at the next OK; clearing the box takes it out again.
    MozillaHome::unlock(running);
    MessageBoxFacade::clear();
    CConfigManageDlg again(CConfigManageDlg::P11Tab);
    EXPECT_TRUE(box(&again)->isChecked());
    click(&again, IDOK);
    EXPECT_EQ(rows(&again)[2], "Firefox|default-release|已注册");
    CConfigManageDlg off(CConfigManageDlg::P11Tab);
    box(&off)->setChecked(false);
    click(&off, IDOK);
    EXPECT_TRUE(MessageBoxFacade::shown().empty()) << MessageBoxFacade::lastText().toStdString();
    EXPECT_FALSE(CConfigManageDlg(CConfigManageDlg::P11Tab).p11Page()->enabled());
    EXPECT_FALSE(std::filesystem::exists(mozilla.path() + "/.config/pkcs11/modules/orvik-personal.module"));
}

TEST_F(P11Page, SaysHowPrivateKeysAreKept) {
    auto storage = [] {
        CConfigManageDlg d(CConfigManageDlg::P11Tab);
        auto* label = control<QLabel>(&d, CP11Page::IDC_KEY_STORAGE);
        return label ? label->text() : QString();
    };
    // The tests' own session names a bus that no one answers on.
    EXPECT_EQ(storage(), QStringLiteral("私钥保存方式：未加密的文件，仅本用户可读（当前会话没有系统密钥环）。"));
    orvik::test::SecretService service;
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(storage(), QStringLiteral("私钥保存方式：由系统密钥环加密保护。"));
    ASSERT_TRUE(service.lockKeyring());
    EXPECT_EQ(storage(), QStringLiteral("私钥保存方式：由系统密钥环加密保护。密钥环已锁定，请解锁后再使用私钥。"));
}

}  // namespace
