// A token as the assistant's user meets it: a device in the import dialog, a PIN box when its key
// is used, and its certificate on the personal page.
#include <gtest/gtest.h>

#include <QComboBox>

#include <orvik/Tokens.h>
#include <winuser.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "MyCertStore.h"
#include "SecureFile.h"
#include "app/Profile.h"
#include "app/Workflows.h"
#include "dialogs/DecryptDialog.h"
#include "dialogs/EncryptDialog.h"
#include "dialogs/PfxImportDialog.h"
#include "pages/CertListModel.h"
#include "pages/MyCertPage.h"
#include "services/DefaultEncCert.h"
#include "support/SoftToken.h"
#include "ui/CommandIds.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::IssuedCert;
using orvik::test::SoftToken;
using orvik::test::TestPki;

namespace {

class TokenDesk : public CertUiTest {
protected:
    void importThrough(CMyCertPage& page, const std::string& pfx, const QString& device) {
        onNextModal<CPfxImportDialog>([=](CPfxImportDialog* d) {
            setText(d, CPfxImportDialog::IDC_PATH, QString::fromStdString(pfx));
            setText(d, CPfxImportDialog::IDC_PASSWORD, "pw");
            auto* devices = control<QComboBox>(d, CPfxImportDialog::IDC_DEVICE);
            devices->setCurrentIndex(devices->findText(device));
            click(d, IDOK);
        });
        page.onCommand(cmd::Import);
    }

    SoftToken token;
};

TEST_F(TokenDesk, APkcs12FileGoesOntoTheTokenChosenAsItsDevice) {
    IssuedCert me = TestPki::instance().issue({.cn = "张三", .email = "zs@example.test"});
    TestPki::save(dir.file("me.pfx"), makePfx(me, "pw"));
    const QStringList devices = CPfxImportDialog::tokenDevices();
    EXPECT_EQ(devices, QStringList{QString::fromStdString(token.label())});

    CMyCertPage page;
    page.refresh();
    MessageBoxFacade::clear();
    importThrough(page, dir.file("me.pfx"), QString::fromStdString(token.label()));
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("导入失败！没有输入设备的PIN码，操作已取消。"))
        << "no PIN given";
    EXPECT_EQ(page.model()->rowCount(), 0);
    ASSERT_EQ(MessageBoxFacade::pinPrompts().size(), 1u);
    EXPECT_EQ(MessageBoxFacade::pinPrompts()[0], QStringLiteral("请输入设备“Orvik Test Token”的PIN码："));

    MessageBoxFacade::clear();
    MessageBoxFacade::setNextPin("000000");
    MessageBoxFacade::setNextPin(SoftToken::kUserPin);
    importThrough(page, dir.file("me.pfx"), QString::fromStdString(token.label()));
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("导入成功！"));
    ASSERT_EQ(MessageBoxFacade::pinPrompts().size(), 2u);
    // SoftHSM2 warns that the tries run low after a wrong PIN; the box says so below the question.
    EXPECT_TRUE(MessageBoxFacade::pinPrompts()[1].startsWith(
        QStringLiteral("PIN码错误，请重新输入设备“Orvik Test Token”的PIN码：")))
        << MessageBoxFacade::pinPrompts()[1].toStdString();
    ASSERT_EQ(page.model()->rowCount(), 1);
    EXPECT_EQ(page.model()->row(0).issuedTo, QStringLiteral("张三"));

    token.remove();
    page.refresh();
    EXPECT_EQ(page.model()->rowCount(), 0) << "the token's certificate leaves with it";
    token.insert();
    page.refresh();
    EXPECT_EQ(page.model()->rowCount(), 1);
}

TEST_F(TokenDesk, DecryptingWithATokenKeyAsksThePinFromTheWorker) {
    IssuedCert me = TestPki::instance().issue({.cn = "本人", .email = "me@example.test", .keyUsage = 0x20});
    TestPki::save(dir.file("me.pfx"), makePfx(me, "pw"));
    MessageBoxFacade::setNextPin(SoftToken::kUserPin);
    ASSERT_EQ(CMyCertStore().ImportP12(token.label().c_str(), dir.file("me.pfx").c_str(), "pw"), 0);
    const std::string thumb = QByteArray::fromStdString(me.sha1).toHex().toUpper().toStdString();
    ASSERT_TRUE(profile::write(defaultcert::kSection, defaultcert::kEntry, thumb));
    orvik::test::writeFile(dir.file("plan.txt"), "the plan");

    onNextModal<CEncryptDialog>([](CEncryptDialog* d) { click(d, IDOK); });
    ASSERT_EQ(workflows::run({LaunchAction::Encrypt, dir.file("plan.txt")}), 0);

    orvik::resetTokens();
    MessageBoxFacade::clear();
    MessageBoxFacade::setNextPin(SoftToken::kUserPin);
    MessageBoxFacade::setNextAnswer(IDCANCEL);  // do not open the result
    onNextModal<CDecryptDialog>([&](CDecryptDialog* d) {
        setText(d, CDecryptDialog::IDC_OUTPUT, QString::fromStdString(dir.file("back")));
        click(d, IDOK);
    });
    EXPECT_EQ(workflows::run({LaunchAction::Decrypt, dir.file("plan.txt.ovk")}), 0);
    EXPECT_EQ(MessageBoxFacade::lastText(), QStringLiteral("解密成功，是否打开解密文件？"));
    EXPECT_EQ(orvik::test::readFile(dir.file("back.txt")), "the plan");
    EXPECT_EQ(MessageBoxFacade::pinPrompts().size(), 1u);
}

}  // namespace
