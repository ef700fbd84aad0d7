// Foxmail's folder, account files and address books, made at test time as Windows leaves them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <Foxmail.h>
#include <MyCertStore.h>
#include <OtherCertStore.h>
#include <orvik/CodePage.h>
#include <windows.h>

#include "crypt/FoxmailFixture.h"
#include "support/MessageBoxRecorder.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

namespace fs = std::filesystem;
using orvik::test::CfbNode;
using orvik::test::FoxAccount;
using orvik::test::foxAccountList;
using orvik::test::FoxRecord;
using orvik::test::foxStoredCert;
using orvik::test::readFile;
using orvik::test::TestPki;
using orvik::test::ver30Stream;
using orvik::test::writeFile;
using orvik::test::writeVer30;

namespace {

const std::string kAccInfo =
    "POP3Host=pop.example.cn\r\nXMailAddress=wrong@example.cn\r\nMailAddress=zhang@example.cn\r\n"
    "SignCertHash=\r\nSMTPHost=smtp.example.cn\r\nUserName=zhang\r\n";

class FoxmailFolder : public ::testing::Test {
protected:
    void SetUp() override {
        dir = temp.path() + "/Foxmail";
        fs::create_directories(dir + "/mail/zhang");
        fs::create_directories(dir + "/mail/LiSi");
        fs::create_directories(dir + "/Address");
        writeVer30(dir + "/accounts.cfg", "accounts.cfg",
                   foxAccountList({{"张三的邮箱", "C:\\Program Files\\Foxmail\\mail\\zhang\\"},
                                   {"李四", "C:\\Program Files\\Foxmail\\MAIL\\lisi\\"},
                                   {"丢失", "D:\\Foxmail\\mail\\gone\\"}}));
        writeVer30(dir + "/mail/zhang/Account.stg", "AccInfo.cfg", kAccInfo);
        writeVer30(dir + "/mail/LiSi/account.STG", "AccInfo.cfg",
                   "MailAddress=lisi@example.cn\r\nSignCertHash=0000 1111\r\nSMTPHost=smtp\r\n");
    }

    void writeBook(const std::string& stem, std::vector<FoxRecord> records, const std::vector<std::string>& blocks) {
        orvik::test::writeFoxBook(dir, stem, std::move(records), blocks);
    }

    orvik::test::TempHome home;
    orvik::test::TempDir temp;
    orvik::test::MessageBoxRecorder boxes;
    std::string dir;
};

TEST(FoxmailDir, ComesFromTheVersionKeyAndIsCutAtTheLastSeparator) {
    orvik::test::TempHome home;
    std::string dir = "x";
    EXPECT_EQ(CFoxmail::FindFoxmailDir(dir), -1);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Aerofox\\Foxmail\\V2.0", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(CFoxmail::FindFoxmailDir(dir), 0);
    EXPECT_EQ(dir, "");

    const struct {
        std::string value, dir;
    } rows[] = {
        {"C:\\Foxmail\\Foxmail.exe", "C:\\Foxmail"},
        {"C:\\Foxmail\\", "C:\\Foxmail"},
        {"Fox.exe", ""},   // shorter than the old fixed cut
        {"/tmp", "/tmp"},  // a folder names itself
    };
    for (const auto& row : rows) {
        ASSERT_EQ(CFoxmail::SetFoxmailDir(row.value), 0);
        EXPECT_EQ(CFoxmail::FindFoxmailDir(dir), 0);
        EXPECT_EQ(dir, row.dir) << row.value;
    }
}

TEST_F(FoxmailFolder, WindowsPathsResolveInsideTheFolderWithoutRegardToCase) {
    EXPECT_EQ(CFoxmail::ResolvePath(dir, "C:\\Program Files\\Foxmail\\mail\\zhang\\"), dir + "/mail/zhang");
    EXPECT_EQ(CFoxmail::ResolvePath(dir, "C:\\Foxmail\\MAIL\\lisi"), dir + "/mail/LiSi");
    EXPECT_EQ(CFoxmail::ResolvePath(dir, "D:\\elsewhere\\nothing"), "");
    EXPECT_EQ(CFoxmail::ResolvePath(dir, "..\\..\\etc"), "");
}

TEST_F(FoxmailFolder, AccountsAreListedAndABadOneIsSkipped) {
    CFoxmail fox;
    std::vector<CFoxmail::AccountEntry> list;
    ASSERT_EQ(fox.ReadAccountList(dir, list), 0);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "张三的邮箱");

    ASSERT_EQ(fox.LoadAccounts(dir), 0);
    ASSERT_EQ(fox.accounts().size(), 2u) << "the account without files is left out, the rest kept";
    CEmailAccount* zhang = fox.accounts()[0].get();
    EXPECT_EQ(zhang->getAccountName()->getText(), "张三的邮箱");
    EXPECT_EQ(zhang->getEmailAddress()->getText(), "zhang@example.cn") << "the key at a line start counts";
    EXPECT_EQ(zhang->getAccountKey()->getText(), dir + "/mail/zhang/Account.stg");
    EXPECT_EQ(zhang->getSignCert(), nullptr);
    EXPECT_EQ(fox.accounts()[1]->getEmailAddress()->getText(), "lisi@example.cn") << "a key on the first line";
}

TEST_F(FoxmailFolder, DamagedAccountListsKeepTheRecordsBeforeTheDamage) {
    CFoxmail fox;
    std::vector<CFoxmail::AccountEntry> list;
    writeVer30(dir + "/accounts.cfg", "accounts.cfg",
               foxAccountList({{"好的", "C:\\Foxmail\\mail\\zhang"}, {"坏的", "x", 0xFFFFFFFFLL}, {"后面", "y"}}));
    ASSERT_EQ(fox.ReadAccountList(dir, list), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "好的");

    writeVer30(dir + "/accounts.cfg", "accounts.cfg", foxAccountList({{"x", "y", 255}}));
    EXPECT_EQ(fox.ReadAccountList(dir, list), 0);
    EXPECT_TRUE(list.empty());

    writeFile(dir + "/accounts.cfg", "not a compound file");
    EXPECT_EQ(fox.ReadAccountList(dir, list), -1);
    EXPECT_EQ(fox.LoadAccounts(dir), -1);
}

TEST(FoxmailConfig, KeysStartALineAndEndAtTheirEqualsSign) {
    const std::string text = "MailAddressX=no\r\nA=1\r\nMailAddress=yes\r\nSignCertHash=AB\r\n";
    EXPECT_EQ(CFoxmail::ConfigValue(text, "MailAddress"), "yes");
    EXPECT_EQ(CFoxmail::ConfigValue(text, "A"), "1");
    EXPECT_EQ(CFoxmail::ConfigValue(text, "Missing"), "");
    EXPECT_EQ(CFoxmail::ConfigValue("K=" + std::string(2000, 'v'), "K").size(), 1023u);

    EXPECT_EQ(CFoxmail::WithConfigValue(text, "SignCertHash", "CD"),
              "MailAddressX=no\r\nA=1\r\nMailAddress=yes\r\nSignCertHash=CD\r\n");
    EXPECT_EQ(CFoxmail::WithConfigValue("A=1\r\nSMTPHost=s\r\nB=2\r\n", "SignCertHash", "CD"),
              "A=1\r\nSignCertHash=CD\r\nSMTPHost=s\r\nB=2\r\n");
    EXPECT_EQ(CFoxmail::WithConfigValue("A=1", "SignCertHash", ""), "A=1\r\nSignCertHash=\r\n");
}

TEST_F(FoxmailFolder, SettingTheSigningCertificateChangesOnlyItsLine) {
    auto cert = TestPki::instance().issue({.cn = "张三", .email = "zhang@example.cn", .keyUsage = 0xC0});
    CMyCertStore mine;
    ASSERT_EQ(mine.OpenCertStore(), 0);
    CDigitalCertificate signer(cert.der.data(), static_cast<int>(cert.der.size()), CDigitalCertificate::ENC_DER);
    ASSERT_EQ(mine.ImportCertAndKey(signer, cert.keyDer), 0);

    const std::string file = dir + "/mail/zhang/Account.stg";
    const CfbNode before = orvik::test::readCompoundFile(file);
    CFoxmail fox;
    ASSERT_EQ(fox.LoadAccounts(dir), 0);
    CEmailAccount* zhang = fox.accounts()[0].get();
    zhang->setSignCert(&signer);
    ASSERT_EQ(fox.SaveAccountSignCert(zhang), 0);

    const std::string grouped = CFoxContact::GroupedThumbprint(&signer);
    ASSERT_EQ(grouped.size(), 49u);
    std::string expected = kAccInfo;
    expected.replace(expected.find("SignCertHash=") + 13, 0, grouped);
    EXPECT_EQ(ver30Stream(file, "AccInfo.cfg"), expected);
    CfbNode after = orvik::test::readCompoundFile(file);
    EXPECT_EQ(orvik::test::childNamed(*orvik::test::childNamed(after, "Ver30"), "Other")->bytes, "keep me");
    EXPECT_EQ(orvik::test::childNamed(after, "Top")->bytes, orvik::test::childNamed(before, "Top")->bytes);
    EXPECT_EQ(after.clsid, before.clsid);

    CFoxmail again;
    ASSERT_EQ(again.LoadAccounts(dir), 0);
    ASSERT_NE(again.accounts()[0]->getSignCert(), nullptr);
    EXPECT_EQ(CFoxContact::GroupedThumbprint(again.accounts()[0]->getSignCert()), grouped);
}

TEST_F(FoxmailFolder, AnAccountStreamGrowsPastTheMiniStreamOnEdit) {
    const std::string file = dir + "/mail/zhang/Account.stg";
    std::string text = "MailAddress=zhang@example.cn\r\nSMTPHost=smtp\r\nPad=" + std::string(4096 - 52, 'p') + "\r\n";
    ASSERT_LT(text.size(), 4096u);
    writeVer30(file, "AccInfo.cfg", text);
    auto cert = TestPki::instance().issue({.cn = "张三", .email = "zhang@example.cn", .keyUsage = 0xC0});
    CDigitalCertificate signer(cert.der.data(), static_cast<int>(cert.der.size()), CDigitalCertificate::ENC_DER);
    CMyCertStore mine;
    ASSERT_EQ(mine.OpenCertStore(), 0);
    ASSERT_EQ(mine.ImportCertAndKey(signer, cert.keyDer), 0);
    CFoxmail fox;
    ASSERT_EQ(fox.LoadAccounts(dir), 0);
    fox.accounts()[0]->setSignCert(&signer);
    ASSERT_EQ(fox.SaveAccountSignCert(fox.accounts()[0].get()), 0);
    std::string written = ver30Stream(file, "AccInfo.cfg");
    EXPECT_GT(written.size(), 4096u);
    EXPECT_EQ(written, CFoxmail::WithConfigValue(text, "SignCertHash", CFoxContact::GroupedThumbprint(&signer)));
}

TEST_F(FoxmailFolder, AddressBooksListTheirShownContactsWithTheirCertificates) {
    auto a = TestPki::instance().issue({.cn = "王五", .email = "wang@example.cn"});
    auto b = TestPki::instance().issue({.cn = "王五", .email = "wang@example.cn"});
    writeBook("Default",
              {{.name = "王五", .email = "wang@example.cn", .marker = '1'},
               {.name = "隐藏", .email = "hidden@example.cn", .hidden = true},
               {.name = "赵六", .email = "zhao@example.cn"}},
              {"Emails: wang@example.cn\r\n wang2@example.cn\r\nCertificates: " + foxStoredCert(a) + "\r\n " +
                   foxStoredCert(b) + "\r\nNotes: 第一行\r\n 第二行\r\n",
               "Emails: hidden@example.cn\r\n", "Emails: zhao@example.cn\r\nPhone: 123\r\n"});
    CFoxmail fox;
    ASSERT_EQ(fox.LoadAddressBooks(dir), 0);
    ASSERT_EQ(fox.contacts().size(), 2u);
    const CFoxContact& wang = *fox.contacts()[0];
    EXPECT_EQ(wang.name, "王五");
    EXPECT_EQ(wang.emails, (std::vector<std::string>{"wang@example.cn", "wang2@example.cn"}));
    auto certs = wang.getCerts();
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(certs[0]->Encoded(CDigitalCertificate::ENC_DER), a.der);
    EXPECT_EQ(certs[1]->Encoded(CDigitalCertificate::ENC_DER), b.der);
    EXPECT_EQ(fox.contacts()[1]->certMarker, 0);
}

TEST_F(FoxmailFolder, DamagedBooksListTheirValidRecords) {
    writeBook("Damaged",
              {{.name = "好的", .email = "ok@example.cn"},
               {.name = "越界", .email = "out@example.cn", .offset = 1u << 30, .length = 10},
               {.name = std::string(40, 'N'), .email = "long@example.cn", .nameLength = 255}},
              {"Emails: ok@example.cn\r\n", "x", "Emails: long@example.cn\r\n"});
    // A truncated last record is not read.
    std::string index = readFile(dir + "/Address/Damaged.IND");
    writeFile(dir + "/Address/Damaged.IND", index + std::string(100, 'Z'));
    CFoxmail fox;
    ASSERT_EQ(fox.LoadAddressBooks(dir), 0);
    ASSERT_EQ(fox.contacts().size(), 2u);
    EXPECT_EQ(fox.contacts()[0]->name, "好的");
    EXPECT_EQ(fox.contacts()[1]->name, std::string(32, 'N')) << "the name field holds 32 bytes";
}

TEST_F(FoxmailFolder, AMissingDataFileIsReported) {
    writeBook("Lost", {{.name = "a", .email = "a@example.cn"}}, {"Emails: a@example.cn\r\n"});
    fs::remove(dir + "/Address/Lost.BOX");
    CFoxmail fox;
    EXPECT_EQ(fox.LoadAddressBooks(dir), -1);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, "打开地址簿错误！");
    EXPECT_EQ(boxes.last().caption, "证书助手");
}

TEST_F(FoxmailFolder, SavingAContactAppendsABlockAndKeepsItsOtherFields) {
    auto a = TestPki::instance().issue({.cn = "赵六", .email = "zhao@example.cn"});
    auto b = TestPki::instance().issue({.cn = "赵六", .email = "zhao@example.cn"});
    const std::string broken =
        "1234 5678: -----BEGIN CERTIFICATE-----\r\n bm90IGEgY2VydA==\r\n -----END CERTIFICATE-----";
    writeBook("Default", {{.name = "赵六", .email = "zhao@example.cn"}, {.name = "其他", .email = "x@example.cn"}},
              {"Emails: zhao@example.cn\r\nCertificates: " + broken + "\r\nPhone: 123\r\nNotes: 备注\r\n more\r\n",
               "Emails: x@example.cn\r\n"});
    const std::string index = dir + "/Address/Default.IND", data = dir + "/Address/Default.BOX";
    const std::string indexBefore = readFile(index), dataBefore = readFile(data);

    CFoxmail fox;
    ASSERT_EQ(fox.LoadAddressBooks(dir), 0);
    CFoxContact* zhao = fox.contacts()[0].get();
    EXPECT_TRUE(zhao->getCerts().empty());
    CDigitalCertificate ca(a.der.data(), static_cast<int>(a.der.size()), CDigitalCertificate::ENC_DER);
    CDigitalCertificate cb(b.der.data(), static_cast<int>(b.der.size()), CDigitalCertificate::ENC_DER);
    zhao->setCerts({&ca});
    ASSERT_EQ(fox.SaveContact(zhao), 0);
    zhao->setCerts({&cb, &ca});
    ASSERT_EQ(fox.SaveContact(zhao), 0);

    const std::string dataAfter = readFile(data), indexAfter = readFile(index);
    EXPECT_EQ(dataAfter.compare(0, dataBefore.size(), dataBefore), 0) << "the old blocks stay";
    EXPECT_EQ(indexAfter.size(), indexBefore.size());
    EXPECT_EQ(indexAfter.substr(64 + 176), indexBefore.substr(64 + 176)) << "the other record is untouched";
    // The record points at the last block, just after its marker.
    const auto* rec = reinterpret_cast<const unsigned char*>(indexAfter.data() + 64);
    uint32_t offset = rec[5] | rec[6] << 8 | rec[7] << 16 | uint32_t(rec[8]) << 24;
    uint32_t length = rec[9] | rec[10] << 8 | rec[11] << 16 | uint32_t(rec[12]) << 24;
    EXPECT_EQ(offset + length, dataAfter.size());
    EXPECT_EQ(dataAfter.substr(offset - orvik::test::kFoxBlockMarker.size(), orvik::test::kFoxBlockMarker.size()),
              orvik::test::kFoxBlockMarker);
    EXPECT_EQ(dataAfter.rfind(orvik::test::kFoxBlockMarker), offset - orvik::test::kFoxBlockMarker.size());
    EXPECT_NE(rec[132], 0);
    const std::string block = dataAfter.substr(offset, length);
    EXPECT_NE(block.find("Phone: 123\r\nNotes: 备注\r\n more\r\n"), std::string::npos) << block;
    EXPECT_NE(block.find(broken), std::string::npos) << "an entry that does not decode is kept as it was";
    EXPECT_EQ(block.compare(0, 24, "Emails: zhao@example.cn\r"), 0) << block;

    CFoxmail again;
    ASSERT_EQ(again.LoadAddressBooks(dir), 0);
    auto certs = again.contacts()[0]->getCerts();
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(certs[0]->Encoded(CDigitalCertificate::ENC_DER), b.der) << "the first is the default";
    EXPECT_EQ(certs[1]->Encoded(CDigitalCertificate::ENC_DER), a.der);
    EXPECT_EQ(again.contacts()[1]->emails, (std::vector<std::string>{"x@example.cn"}));
}

}  // namespace
