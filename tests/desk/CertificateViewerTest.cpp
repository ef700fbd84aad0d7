// The certificate window: its fields, its purposes and time notes, the path it finds in the
// stores, and the library's Display() reaching it.
// OpenSSL first: the SDK headers define X509_* names too.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <string>

#include <DigitalCertificate.h>
#include <orvik/Owned.h>
#include <windows.h>

#include "dialogs/CertificateViewer.h"
#include "support/CertHandles.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::contextOf;
using orvik::test::IssuedCert;
using orvik::test::TempHome;
using orvik::test::TestPki;
using orvikdesk::CCertificateViewer;

namespace {

QTreeWidgetItem* row(const CCertificateViewer& viewer, const QString& field) {
    auto* fields = viewer.findChild<QTreeWidget*>("fields");
    if (!fields) return nullptr;
    for (int i = 0; i < fields->topLevelItemCount(); ++i)
        if (fields->topLevelItem(i)->text(0) == field) return fields->topLevelItem(i);
    return nullptr;
}

QString fieldValue(const CCertificateViewer& viewer, const QString& field) {
    QTreeWidgetItem* item = row(viewer, field);
    return item ? item->text(1) : QString("<no row %1>").arg(field);
}

QString label(const CCertificateViewer& viewer, const char* name) {
    auto* found = viewer.findChild<QLabel*>(name);
    return found ? found->text() : QString();
}

// The issued-to names from the top of the path down.
QStringList chainOf(const CCertificateViewer& viewer) {
    QStringList names;
    auto* chain = viewer.findChild<QTreeWidget*>("chain");
    if (!chain || chain->topLevelItemCount() != 1) return {"<not one root>"};
    for (QTreeWidgetItem* item = chain->topLevelItem(0); item; item = item->childCount() ? item->child(0) : nullptr)
        names << item->text(0);
    return names;
}

// The certificate again, with an extended key usage added and signed anew by the test CA.
std::string withExtendedKeyUsage(const IssuedCert& base, const char* usages) {
    using X509Ptr = orvik::Owned<X509, X509_free>;
    using ExtensionPtr = orvik::Owned<X509_EXTENSION, X509_EXTENSION_free>;
    X509Ptr copy(X509_dup(base.x509()));
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, TestPki::instance().ca().x509(), copy.get(), nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &ctx, NID_ext_key_usage, usages));
    if (!extension || !X509_add_ext(copy.get(), extension.get(), -1) ||
        !X509_sign(copy.get(), TestPki::instance().ca().key(), EVP_sha256()))
        return {};
    unsigned char* der = nullptr;
    int size = i2d_X509(copy.get(), &der);
    std::string out(reinterpret_cast<const char*>(der), static_cast<size_t>(size > 0 ? size : 0));
    OPENSSL_free(der);
    return out;
}

// Display() reaches whichever viewer the assistant installed. The test environment runs it
// headless; a test that shows it for real turns that off and back on.
struct HeadlessViewer {
    HeadlessViewer() {
        CCertificateViewer::setHeadless(true);
        CCertificateViewer::clearShown();
    }
    ~HeadlessViewer() { CCertificateViewer::clearShown(); }
};

}  // namespace

TEST(CertificateViewer, DetailsListTheSerialTheThumbprintAndTheMailName) {
    TempHome home;
    IssuedCert user = TestPki::instance().issue({.cn = "张三", .email = "zs@example.com"});
    auto context = contextOf(user.der);
    std::string friendly = "张三的邮件证书";
    ASSERT_EQ(CDigitalCertificate(context.get()).setFriendlyName(friendly), CDigitalCertificate::Ok);
    CCertificateViewer viewer(context.get(), {}, nullptr);

    EXPECT_EQ(viewer.windowTitle(), "证书");
    EXPECT_EQ(fieldValue(viewer, "版本"), "V3");
    EXPECT_EQ(fieldValue(viewer, "序列号"), QString::fromStdString(user.serialHex));
    EXPECT_EQ(fieldValue(viewer, "签名算法"), "sha256RSA");
    EXPECT_EQ(fieldValue(viewer, "公钥"), "RSA (2048 Bits)");
    EXPECT_TRUE(fieldValue(viewer, "使用者可选名称").contains("zs@example.com"))
        << fieldValue(viewer, "使用者可选名称").toStdString();
    EXPECT_TRUE(fieldValue(viewer, "CRL 分发点").startsWith("<no row")) << "the certificate has no such extension";
    EXPECT_EQ(fieldValue(viewer, "指纹算法"), "sha1");
    EXPECT_EQ(fieldValue(viewer, "指纹"), QByteArray::fromStdString(user.sha1).toHex(' '));
    EXPECT_EQ(fieldValue(viewer, "好记的名称"), QString::fromStdString(friendly));

    // The box under the list holds the whole value of the chosen row, one name part to a line.
    auto* fields = viewer.findChild<QTreeWidget*>("fields");
    auto* value = viewer.findChild<QPlainTextEdit*>("value");
    ASSERT_TRUE(fields && value && row(viewer, "使用者"));
    fields->setCurrentItem(row(viewer, "使用者"));
    EXPECT_TRUE(value->toPlainText().split('\n').contains("CN=张三")) << value->toPlainText().toStdString();

    EXPECT_EQ(CCertificateViewer(context.get(), "签名证书", nullptr).windowTitle(), "签名证书");
}

TEST(CertificateViewer, PurposesFollowTheKeyUsages) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    const QString server = "• 确保远程计算机的身份", client = "• 向远程计算机证明您的身份",
                  mail = "• 保证电子邮件的安全", all = "• 所有应用程序策略";
    struct Case {
        const char* what;
        std::string der;
        QStringList purposes;
    } cases[] = {
        {"no usage at all", pki.issue({.cn = "甲"}).der, {all}},
        {"key encipherment", pki.issue({.cn = "乙", .keyUsage = 0x20}).der, {server, mail}},
        {"digital signature", pki.issue({.cn = "丙", .keyUsage = 0x80}).der, {server, client, mail}},
        {"signing certificates only", pki.issue({.cn = "丁", .keyUsage = 0x06}).der, {all}},
        {"extended usages restrict the key usage",
         withExtendedKeyUsage(pki.issue({.cn = "戊", .keyUsage = 0x80}), "clientAuth,emailProtection"),
         {client, mail}},
        {"any extended usage", withExtendedKeyUsage(pki.issue({.cn = "己"}), "anyExtendedKeyUsage"), {all}},
    };
    for (const Case& c : cases) {
        auto context = contextOf(c.der);
        ASSERT_TRUE(context) << c.what;
        CCertificateViewer viewer(context.get(), {}, nullptr);
        EXPECT_EQ(label(viewer, "purposes").split('\n'), c.purposes) << c.what;
    }
}

TEST(CertificateViewer, GeneralPageNamesThePartiesTheKeyAndTheTime) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    auto current = contextOf(pki.issue({.cn = "张三"}).der);
    CRYPT_KEY_PROV_INFO key{};
    std::u16string container = u"zs";
    key.pwszContainerName = container.data();
    key.dwProvType = PROV_RSA_FULL;
    key.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(current.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &key));
    {
        CCertificateViewer viewer(current.get(), {}, nullptr);
        EXPECT_EQ(label(viewer, "issuedTo"), "张三");
        EXPECT_EQ(label(viewer, "issuedBy"), "Orvik Test CA");
        EXPECT_TRUE(label(viewer, "validity").startsWith("有效期从 ")) << label(viewer, "validity").toStdString();
        EXPECT_EQ(label(viewer, "privateKey"), "您有一个与该证书对应的私钥。");
        EXPECT_EQ(viewer.findChild<QLabel*>("timeWarning"), nullptr);
    }

    EXPECT_TRUE(orvik::test::addToSystemStore("Root", pki.root().der));
    EXPECT_TRUE(orvik::test::addToSystemStore("CA", pki.ca().der));
    auto expired = contextOf(pki.issue({.cn = "李四", .notBeforeOffset = -730L * 86400, .notAfterOffset = -86400}).der);
    CCertificateViewer old(expired.get(), {}, nullptr);
    EXPECT_EQ(label(old, "timeWarning"), "此证书已过期。");
    EXPECT_EQ(label(old, "status"), "该证书已过期。") << "a complete path does not make it valid";
    EXPECT_EQ(old.findChild<QLabel*>("privateKey"), nullptr);

    auto early = contextOf(pki.issue({.cn = "王五", .notBeforeOffset = 86400, .notAfterOffset = 2 * 86400}).der);
    EXPECT_EQ(label(CCertificateViewer(early.get(), {}, nullptr), "timeWarning"), "此证书尚未生效。");
}

TEST(CertificateViewer, PathRunsFromTheTrustedRootDownToTheCertificate) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    EXPECT_TRUE(orvik::test::addToSystemStore("Root", pki.root().der));
    EXPECT_TRUE(orvik::test::addToSystemStore("CA", pki.ca().der));
    auto user = contextOf(pki.issue({.cn = "张三", .email = "zs@example.com"}).der);
    CCertificateViewer viewer(user.get(), {}, nullptr);
    EXPECT_EQ(chainOf(viewer), QStringList({"Orvik Test Root", "Orvik Test CA", "张三"}));
    EXPECT_EQ(label(viewer, "status"), "该证书没有问题。");

    auto root = contextOf(pki.root().der);
    CCertificateViewer rootViewer(root.get(), {}, nullptr);
    EXPECT_EQ(chainOf(rootViewer), QStringList({"Orvik Test Root"}));
    EXPECT_EQ(label(rootViewer, "status"), "该证书没有问题。");
}

TEST(CertificateViewer, AnIssuerNeedsTheKeyThatSignedNotJustTheName) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    auto user = contextOf(pki.issue({.cn = "张三"}).der);
    {
        CCertificateViewer viewer(user.get(), {}, nullptr);
        EXPECT_EQ(chainOf(viewer), QStringList({"张三"}));
        EXPECT_EQ(label(viewer, "status"), "找不到该证书的颁发者。");
    }
    // A root of its own that carries the CA's name.
    EXPECT_TRUE(orvik::test::addToSystemStore("Root", pki.selfSigned({.cn = "Orvik Test CA", .ca = true}).der));
    CCertificateViewer viewer(user.get(), {}, nullptr);
    EXPECT_EQ(chainOf(viewer), QStringList({"张三"}));
    EXPECT_EQ(label(viewer, "status"), "找不到该证书的颁发者。");

    // The real CA found, but its root is in no trusted store.
    EXPECT_TRUE(orvik::test::addToSystemStore("CA", pki.ca().der));
    EXPECT_TRUE(orvik::test::addToSystemStore("ADDRESSBOOK", pki.root().der));
    CCertificateViewer untrusted(user.get(), {}, nullptr);
    EXPECT_EQ(chainOf(untrusted), QStringList({"Orvik Test Root", "Orvik Test CA", "张三"}));
    EXPECT_EQ(label(untrusted, "status"), "此 CA 根证书不受信任。");
}

TEST(CertificateViewer, DisplayOpensTheInstalledViewer) {
    TempHome home;
    IssuedCert user = TestPki::instance().issue({.cn = "张三"});
    CDigitalCertificate cert(user.der.data(), static_cast<int>(user.der.size()), CDigitalCertificate::ENC_DER);
    {
        HeadlessViewer headless;
        EXPECT_EQ(cert.Display(), 0);
        ASSERT_EQ(CCertificateViewer::shown().size(), 1u);
        EXPECT_EQ(CCertificateViewer::shown()[0], QByteArray::fromStdString(user.sha1).toHex().toUpper());
    }
    // Shown for real it is modal and returns when "确定" closes it.
    CCertificateViewer::setHeadless(false);
    QString title;
    bool modal = false;
    QTimer::singleShot(0, [&title, &modal] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* viewer = qobject_cast<CCertificateViewer*>(window);
            if (!viewer || !viewer->isVisible()) continue;
            title = viewer->windowTitle();
            modal = viewer->isModal();
            viewer->findChild<QPushButton*>("1")->click();
        }
    });
    EXPECT_EQ(cert.Display(), 0);
    CCertificateViewer::setHeadless(true);
    EXPECT_EQ(title, "证书");
    EXPECT_TRUE(modal);
    EXPECT_TRUE(CCertificateViewer::shown().empty());
}
