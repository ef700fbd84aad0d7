#include <gtest/gtest.h>

#include <string>

#include <MyCertStore.h>
#include <OEEmailAcc.h>
#include <windows.h>

#include "support/TempHome.h"
#include "support/UserRegistry.h"
#include "support/TestPki.h"

using namespace orvik::test;

namespace {

std::string z(const std::string& s) { return s + std::string(1, '\0'); }

const std::string kAccounts = OE_ACCOUNTS_KEY;

}  // namespace

TEST(OEEmailAcc, ListsMailAccountsOnlyWithTheirValues) {
    TempHome home;
    COEEmailAcc list;
    EXPECT_EQ(list.getEmailAcc(), 20);
    EXPECT_EQ(list.GetCount(), 0);

    orvik::test::setUserValue(kAccounts + "\\00000001", "SMTP Server", REG_SZ, z("smtp.example.com"));
    orvik::test::setUserValue(kAccounts + "\\00000001", "Account Name", REG_SZ, z("工作邮箱"));
    orvik::test::setUserValue(kAccounts + "\\00000001", "SMTP Email Address", REG_SZ, z("me@example.com"));
    orvik::test::setUserValue(kAccounts + "\\00000001", "SMTP Certificate", REG_BINARY, std::string(20, '\x11'));
    // A news account has no server for sending; a value too long for the buffer is not read.
    orvik::test::setUserValue(kAccounts + "\\00000002", "NNTP Server", REG_SZ, z("news.example.com"));
    orvik::test::setUserValue(kAccounts + "\\00000003", "SMTP Server", REG_SZ, z(std::string(300, 's')));
    orvik::test::setUserValue(kAccounts + "\\00000004", "SMTP Server", REG_SZ, z("mail.example.org"));
    orvik::test::setUserValue(kAccounts + "\\00000004", "Account Name", REG_SZ, z("b"));

    ASSERT_EQ(list.getEmailAcc(), 0);
    ASSERT_EQ(list.GetCount(), 2);
    CEmailAccount* a = list.getAccount(0);
    EXPECT_EQ(a->getAccountKey()->getText(), "00000001");
    EXPECT_EQ(a->getAccountName()->getText(), "工作邮箱");
    EXPECT_EQ(a->getEmailAddress()->getText(), "me@example.com");
    EXPECT_EQ(a->getSmtpServer()->getText(), "smtp.example.com");
    EXPECT_EQ(a->getSignBuffer()->getBuf()->size(), 20);
    // The certificate is not in the personal store: no certificate, and the bytes stay.
    EXPECT_EQ(a->getSignCert(), nullptr);
    EXPECT_EQ(a->getSignBuffer()->getBuf()->size(), 20);
    // A short value read after a long one is not padded with the long one's bytes.
    CEmailAccount* b = list.getAccount(1);
    EXPECT_EQ(b->getAccountName()->getText(), "b");
    EXPECT_EQ(b->getEmailAddress()->getText(), "");
    EXPECT_EQ(b->getCryptBuffer()->getBuf()->size(), 0);
}

TEST(OEEmailAcc, SetsAndClearsBothCertificates) {
    TempHome home;
    auto user = TestPki::instance().issue({.cn = "我", .email = "me@example.com"});
    CMyCertStore my;
    CDigitalCertificate dc(user.der.data(), static_cast<int>(user.der.size()), CDigitalCertificate::ENC_DER);
    ASSERT_EQ(my.ImportCertAndKey(dc, user.keyPem), 0);
    ASSERT_EQ(my.OpenCertStore(), 0);
    ASSERT_EQ(my.GetCertCount(), 1);
    orvik::test::setUserValue(kAccounts + "\\00000001", "SMTP Server", REG_SZ, z("smtp.example.com"));

    COEEmailAcc list;
    ASSERT_EQ(list.getEmailAcc(), 0);
    CEmailAccount* a = list.getAccount(0);
    a->setSignCert(my.getCert(0));
    a->setCrytpCert(my.getCert(0));
    ASSERT_EQ(list.SaveEmailAcc(a), 0);
    std::string sign, crypt;
    ASSERT_TRUE(orvik::test::readUserBinary(kAccounts + "\\00000001", "SMTP Certificate", sign));
    ASSERT_TRUE(orvik::test::readUserBinary(kAccounts + "\\00000001", "SMTP Encryption Certificate", crypt));
    EXPECT_EQ(sign, user.sha1);
    EXPECT_EQ(crypt, user.sha1);
    ASSERT_EQ(list.getEmailAcc(), 0);
    ASSERT_NE(list.getAccount(0)->getCryptCert(), nullptr);

    // "None" is an empty value, present, not a deleted one.
    a = list.getAccount(0);
    a->setSignCert(nullptr);
    ASSERT_EQ(list.SaveEmailAcc(a), 0);
    ASSERT_TRUE(orvik::test::readUserBinary(kAccounts + "\\00000001", "SMTP Certificate", sign));
    EXPECT_TRUE(sign.empty());
    ASSERT_TRUE(orvik::test::readUserBinary(kAccounts + "\\00000001", "SMTP Encryption Certificate", crypt));
    EXPECT_EQ(crypt, user.sha1);
}

TEST(OEEmailAcc, ADeletedAccountIsNotMadeAgain) {
    TempHome home;
    orvik::test::setUserValue(kAccounts + "\\00000009", "SMTP Server", REG_SZ, z("smtp.example.com"));
    COEEmailAcc list;
    ASSERT_EQ(list.getEmailAcc(), 0);
    ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, (kAccounts + "\\00000009").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(list.SaveEmailAcc(list.getAccount(0)), 20);
    HKEY k = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, (kAccounts + "\\00000009").c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    // A copy shares the accounts and does not free them.
    {
        COEEmailAcc copy(list);
        EXPECT_EQ(copy.getAccount(0), list.getAccount(0));
    }
    EXPECT_EQ(list.getAccount(0)->getSmtpServer()->getText(), "smtp.example.com");
}
