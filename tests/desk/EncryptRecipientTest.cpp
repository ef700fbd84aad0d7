// The encrypt dialog refuses a recipient a secure file cannot hold when it is chosen, by name,
// instead of failing after the dialog has closed.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontMetrics>
#include <QTreeWidget>
#include <filesystem>

#include <winuser.h>

#include "CertFixtures.h"
#include "ModalDriver.h"
#include "MyCertStore.h"
#include "OtherCertStore.h"
#include "app/Profile.h"
#include "dialogs/EncryptDialog.h"
#include "dialogs/SelectCertDialog.h"
#include "services/DefaultEncCert.h"
#include "ui/MessageBoxFacade.h"

using namespace orvikdesk;
using namespace orvikdesk::test;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

const QString kTooLong = QStringLiteral("证书“%1”的密钥长度超过4000位，不能用于加密文件！");

class EncryptRecipient : public CertUiTest {
protected:
    IssuedCert me = TestPki::instance().issue({.cn = "本人", .email = "me@example.test", .keyUsage = 0x20});
    IssuedCert myWide =
        TestPki::instance().issue({.cn = "本人宽", .email = "me@example.test", .keyUsage = 0x20, .bits = 4096});

    EncryptRecipient() {
        mine(me);
        EXPECT_TRUE(profile::write(defaultcert::kSection, defaultcert::kEntry, thumb(me)));
        orvik::test::writeFile(dir.file("a.txt"), "a");
    }
    static std::string thumb(const IssuedCert& c) {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (unsigned char b : c.sha1) out += {digits[b >> 4], digits[b & 15]};
        return out;
    }
    static void mine(const IssuedCert& c) {
        CDigitalCertificate object(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER);
        EXPECT_EQ(CMyCertStore().ImportCertAndKey(object, c.keyPem), 0);
    }
    void other(const std::string& cn, int bits) {
        IssuedCert c = TestPki::instance().issue({.cn = cn, .keyUsage = 0x20, .bits = bits});
        const std::string path = dir.file("other.cer");
        TestPki::save(path, c.der);
        EXPECT_EQ(COtherCertStore().ImportCert(path.c_str()), 0);
        std::filesystem::remove(path);
    }
    static QTreeWidgetItem* row(CEncryptDialog& d, const QString& name) {
        auto* list = control<QTreeWidget>(&d, CEncryptDialog::IDC_LIST);
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
        ADD_FAILURE() << "no row " << name.toStdString();
        return nullptr;
    }
};

TEST_F(EncryptRecipient, AWideKeyIsRefusedWhenCheckedAndTheRowStaysUnchecked) {
    other("宽", 4096);
    other("常", 2048);
    CEncryptDialog d;
    d.setSource(dir.file("a.txt"));
    d.show();
    QTreeWidgetItem* wide = row(d, "宽");
    QTreeWidgetItem* usual = row(d, "常");
    ASSERT_TRUE(wide && usual);

    wide->setCheckState(0, Qt::Checked);
    ASSERT_EQ(MessageBoxFacade::shown().size(), 1u);
    EXPECT_EQ(MessageBoxFacade::lastText(), kTooLong.arg("宽"));
    EXPECT_EQ(MessageBoxFacade::lastType(), unsigned(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(wide->checkState(0), Qt::Unchecked);

    usual->setCheckState(0, Qt::Checked);
    EXPECT_EQ(MessageBoxFacade::shown().size(), 1u) << "a usual key says nothing";
    EXPECT_EQ(usual->checkState(0), Qt::Checked);

    click(&d, IDOK);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    const auto recipients = d.takeRecipients();
    ASSERT_EQ(recipients.size(), 2u) << "the default certificate and the one that fits";
    std::string name;
    recipients[1]->getDisplayName(name);
    EXPECT_EQ(name, "常");
}

TEST_F(EncryptRecipient, AWideDefaultIsRefusedWhenChosenAndWhenFoundStored) {
    mine(myWide);
    CEncryptDialog d;
    d.setSource(dir.file("a.txt"));
    d.show();
    onNextModal<CDlgSelectCert>([](CDlgSelectCert* picker) {
        auto* list = control<QTreeWidget>(picker, CDlgSelectCert::IDC_LIST);
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == QStringLiteral("本人宽")) list->setCurrentItem(list->topLevelItem(i));
        click(picker, IDOK);
    });
    click(&d, CEncryptDialog::IDC_CHANGE_DEFAULT);
    EXPECT_EQ(MessageBoxFacade::lastText(), kTooLong.arg("本人宽"));
    EXPECT_EQ(control<QLineEdit>(&d, CEncryptDialog::IDC_DEFAULT)->text(), QStringLiteral("本人"));
    EXPECT_EQ(profile::read(defaultcert::kSection, defaultcert::kEntry), thumb(me)) << "the setting is kept";

    // Stored by the settings page: said at OK, and the dialog stays with what was typed.
    ASSERT_TRUE(profile::write(defaultcert::kSection, defaultcert::kEntry, thumb(myWide)));
    MessageBoxFacade::clear();
    click(&d, IDOK);
    EXPECT_EQ(MessageBoxFacade::lastText(), kTooLong.arg("本人宽"));
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(orvik::test::fileExists(dir.file("a.txt.ovk")));
}

TEST_F(EncryptRecipient, TheColumnsShowWhatTheyHoldUncut) {
    other("常", 2048);
    CEncryptDialog d;
    d.show();
    auto* list = control<QTreeWidget>(&d, CEncryptDialog::IDC_LIST);
    QTreeWidgetItem* usual = row(d, "常");
    ASSERT_TRUE(usual);
    const QFontMetrics metrics(list->font());
    for (int c = 1; c <= 2; ++c)
        EXPECT_GE(list->columnWidth(c), metrics.horizontalAdvance(usual->text(c))) << "column " << c;
}

}  // namespace
