// orvikctl as scripts use it: a separate process over the same ORVIK_HOME.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <Encodings.h>
#include <orvik/CodePage.h>

#include "addressbook/WabFixture.h"
#include "crypt/FoxmailFixture.h"
#include "support/DeploymentValues.h"
#include "support/HttpServer.h"
#include "support/Slapd.h"
#include "support/SoftToken.h"
#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

using CtlResult = orvik::test::ShellRun;

std::string quote(const std::string& s) { return orvik::test::shellQuoted(s); }

CtlResult orvikctl(const std::string& args) {
    // A command that names its own redirection keeps standard error.
    bool ownRedirect = args.find("2>&1") != std::string::npos;
    return orvik::test::runShell(std::string(ORVIKCTL_PATH) + " " + args + (ownRedirect ? "" : " 2>/dev/null"));
}

// orvikctl with the token's PIN in its environment, as a script gives it.
CtlResult runWithPin(const std::string& args) {
    return orvik::test::runShell("env ORVIK_PIN=" + std::string(orvik::test::SoftToken::kUserPin) + " " +
                                 ORVIKCTL_PATH + " " + args + " </dev/null 2>/dev/null");
}

std::string upperNoSpaces(const std::string& thumb) {
    std::string out;
    for (char c : thumb)
        if (c != ' ') out.push_back(static_cast<char>(toupper(c)));
    return out;
}

}  // namespace

TEST(Orvikctl, ShowPrintsTheWindowsNameFormat) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    IssuedCert user =
        TestPki::instance().issue({.subject = {{{"C", "CN"}},
                                               {{"O", "Orvik \"Test\", Inc."}},
                                               {{"OU", "研发部"}, {"CN", "张三", orvik::test::Asn1Text::Bmp}}},
                                   .email = "zs@example.com",
                                   .keyUsage = 0x80});
    TestPki::save(dir.file("user.pem"), user.pem);
    CtlResult run = orvikctl("show " + quote(dir.file("user.pem")));
    ASSERT_EQ(run.code, 0);
    // The attributes of a multi-valued RDN stand in their DER order (a SET OF is sorted).
    EXPECT_NE(
        run.out.find("SubjectName: C=CN, O=\"Orvik \"\"Test\"\", Inc.\", CN=张三 + OU=研发部, E=zs@example.com\n"),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("IssuerName: CN=Orvik Test CA\n"), std::string::npos);
    EXPECT_NE(run.out.find("SubjectCN: 张三\n"), std::string::npos);
    EXPECT_NE(run.out.find("SerialNumber: " + user.serialHex + "\n"), std::string::npos);
    EXPECT_NE(run.out.find("ThumbPrint: " + BinToThumb(user.sha1) + "\n"), std::string::npos);
    EXPECT_NE(run.out.find("Version: V3\n"), std::string::npos);
}

TEST(Orvikctl, ImportListRemoveInAFreshHome) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    auto& pki = TestPki::instance();
    IssuedCert a = pki.issue({.cn = "甲", .email = "a@example.com"});
    IssuedCert b = pki.issue({.cn = "乙"});
    IssuedCert c = pki.issue({.cn = "丙"});
    TestPki::save(dir.file("a.cer"), a.der);
    TestPki::save(dir.file("b.pem"), b.pem);
    TestPki::save(dir.file("c.b64"), base64Encode(c.der) + "\n");
    TestPki::save(dir.file("junk"), "no certificate here");
    for (const char* f : {"a.cer", "b.pem", "c.b64"})
        EXPECT_EQ(orvikctl("import-cert " + quote(dir.file(f)) + " --store ADDRESSBOOK").code, 0) << f;
    EXPECT_EQ(orvikctl("import-cert " + quote(dir.file("junk"))).code, 1);
    EXPECT_EQ(orvikctl("import-cert " + quote(dir.file("a.cer")) + " --store NOPE").code, 1);

    CtlResult list = orvikctl("list --store addressbook");
    ASSERT_EQ(list.code, 0);
    EXPECT_NE(list.out.find(BinToThumb(a.sha1) + "\t甲\ta@example.com\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find(BinToThumb(b.sha1) + "\t乙\t\n"), std::string::npos);
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 3);

    EXPECT_EQ(orvikctl("remove " + upperNoSpaces(BinToThumb(b.sha1)) + " --store ADDRESSBOOK").code, 0);
    EXPECT_EQ(orvikctl("remove " + upperNoSpaces(BinToThumb(b.sha1)) + " --store ADDRESSBOOK").code, 1);
    list = orvikctl("list --store ADDRESSBOOK");
    EXPECT_EQ(list.out.find("乙"), std::string::npos);
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2);
}

TEST(Orvikctl, SignAndVerify) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    IssuedCert user = TestPki::instance().issue({.cn = "签名者", .keyUsage = 0x80});
    TestPki::save(dir.file("me.pem"), user.pem);
    TestPki::save(dir.file("me.key"), user.keyPem);
    TestPki::save(dir.file("doc.txt"), "合同 text\n");
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("me.pem")) + " --key " + quote(dir.file("me.key"))).code, 0);
    std::string thumb = quote(BinToThumb(user.sha1));
    ASSERT_EQ(
        orvikctl("sign " + quote(dir.file("doc.txt")) + " " + quote(dir.file("doc.p7s")) + " --cert " + thumb).code, 0);
    CtlResult ok = orvikctl("verify " + quote(dir.file("doc.txt")) + " " + quote(dir.file("doc.p7s")));
    EXPECT_EQ(ok.code, 0);
    EXPECT_EQ(ok.out, BinToThumb(user.sha1) + "\t签名者\n");
    TestPki::save(dir.file("doc.txt"), "changed\n");
    EXPECT_EQ(orvikctl("verify " + quote(dir.file("doc.txt")) + " " + quote(dir.file("doc.p7s"))).code, 1);
    // A certificate without a key in MY cannot sign.
    IssuedCert other = TestPki::instance().issue({.cn = "nokey"});
    TestPki::save(dir.file("other.cer"), other.der);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("other.cer")) + " --store MY").code, 0);
    EXPECT_EQ(orvikctl("sign " + quote(dir.file("doc.txt")) + " " + quote(dir.file("x.p7s")) + " --cert " +
                       quote(BinToThumb(other.sha1)))
                  .code,
              1);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("x.p7s")));
    // A key that is not the certificate's is refused.
    EXPECT_EQ(orvikctl("import-cert " + quote(dir.file("other.cer")) + " --key " + quote(dir.file("me.key"))).code, 1);
}

TEST(Orvikctl, CheckRevocationPrintsOneStateWordPerCertificate) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    orvik::test::HttpServer server;
    auto& pki = TestPki::instance();
    IssuedCert revoked = pki.issue({.cn = "revoked", .crlUrl = server.url("/ca.crl")});
    IssuedCert plain = pki.issue({.cn = "plain"});
    server.set("/ca.crl", pki.crl(pki.ca(), {revoked}));
    TestPki::save(dir.file("ca.cer"), pki.ca().der);
    TestPki::save(dir.file("root.cer"), pki.root().der);
    TestPki::save(dir.file("r.cer"), revoked.der);
    TestPki::save(dir.file("p.cer"), plain.der);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("ca.cer")) + " --store CA").code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("root.cer")) + " --store Root").code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("r.cer"))).code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("p.cer"))).code, 0);
    CtlResult run = orvikctl("check-revocation --store ADDRESSBOOK --cache-only");
    EXPECT_NE(run.out.find("\trevoked\t未知\n"), std::string::npos) << run.out;
    EXPECT_EQ(server.hits("/ca.crl"), 0);
    run = orvikctl("check-revocation --store ADDRESSBOOK");
    EXPECT_NE(run.out.find(BinToThumb(revoked.sha1) + "\trevoked\t已吊销\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(BinToThumb(plain.sha1) + "\tplain\t无CRL\n"), std::string::npos) << run.out;
}

TEST(Orvikctl, UsageErrorsAndHelp) {
    EXPECT_EQ(orvikctl("").code, 2);
    EXPECT_EQ(orvikctl("help").code, 0);
    EXPECT_EQ(orvikctl("no-such-command").code, 2);
    EXPECT_EQ(orvikctl("show").code, 2);
    EXPECT_EQ(orvikctl("list --bogus").code, 1);
}

TEST(Orvikctl, Pkcs12RoundTripAndClearFailures) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    IssuedCert user = TestPki::instance().issue({.cn = "备份", .keyUsage = 0x80});
    TestPki::save(dir.file("me.pem"), user.pem);
    TestPki::save(dir.file("me.key"), user.keyPem);
    TestPki::save(dir.file("me.cer"), user.der);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("me.pem")) + " --key " + quote(dir.file("me.key"))).code, 0);
    const std::string thumb = quote(BinToThumb(user.sha1)), pfx = quote(dir.file("me.pfx"));
    ASSERT_EQ(orvikctl("export-pfx " + thumb + " " + pfx + " --password 口令").code, 0);
    // OpenSSL 3 reads it with and without its legacy provider.
    for (const char* legacy : {"", " -legacy"}) {
        std::string command =
            std::string("openssl pkcs12 -noout -passin pass:口令 -in ") + pfx + legacy + " 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << legacy;
    }
    EXPECT_EQ(orvikctl("passwd-pfx " + pfx + " " + pfx + " --old 口令 --new 新口令").code, 0);

    orvik::test::TempHome fresh;
    CtlResult wrong = orvikctl("import-pfx " + pfx + " --password 口令 2>&1");
    EXPECT_EQ(wrong.code, 1);
    EXPECT_NE(wrong.out.find("wrong password"), std::string::npos) << wrong.out;
    CtlResult notPfx = orvikctl("import-pfx " + quote(dir.file("me.cer")) + " --password x 2>&1");
    EXPECT_NE(notPfx.out.find("is not a PKCS#12 file"), std::string::npos) << notPfx.out;
    ASSERT_EQ(orvikctl("import-pfx " + pfx + " --password 新口令").code, 0);
    TestPki::save(dir.file("doc.txt"), "text");
    EXPECT_EQ(
        orvikctl("sign " + quote(dir.file("doc.txt")) + " " + quote(dir.file("doc.p7s")) + " --cert " + thumb).code, 0)
        << "the imported key signs";
}

TEST(Orvikctl, SecureFilesForSeveralRecipients) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    auto& pki = TestPki::instance();
    IssuedCert me = pki.issue({.cn = "我", .keyUsage = 0x20}), other = pki.issue({.cn = "他", .keyUsage = 0x20});
    TestPki::save(dir.file("me.pem"), me.pem);
    TestPki::save(dir.file("me.key"), me.keyPem);
    TestPki::save(dir.file("other.cer"), other.der);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("me.pem")) + " --key " + quote(dir.file("me.key"))).code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("other.cer")) + " --store ADDRESSBOOK").code, 0);
    TestPki::save(dir.file("doc.txt"), "机密内容 secret\n");
    const std::string in = quote(dir.file("doc.txt")), ovk = quote(dir.file("doc.ovk"));
    ASSERT_EQ(orvikctl("encrypt " + in + " " + ovk + " --self " + quote(BinToThumb(me.sha1)) + " --to " +
                       upperNoSpaces(BinToThumb(other.sha1)) + " --password 口令")
                  .code,
              0);
    CtlResult info = orvikctl("info " + ovk);
    EXPECT_NE(info.out.find("Version: 2\nExtension: .txt\nSize: 20\nPassword: yes\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Recipient: " + BinToThumb(other.sha1) + "\t他\n"), std::string::npos) << info.out;
    EXPECT_EQ(orvikctl("decrypt " + ovk + " " + quote(dir.file("bad.txt")) + " --password 错").code, 1);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("bad.txt")));
    ASSERT_EQ(orvikctl("decrypt " + ovk + " " + quote(dir.file("out.txt")) + " --password 口令").code, 0);
    EXPECT_EQ(orvik::test::readFile(dir.file("out.txt")), "机密内容 secret\n");
    // Without the personal key, nothing opens it.
    orvik::test::TempHome stranger;
    EXPECT_EQ(orvikctl("decrypt " + ovk + " " + quote(dir.file("x.txt"))).code, 1);
}

TEST(Orvikctl, TokensListsTheTokenAndAKeyImportedOntoIt) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    orvik::test::SoftToken token;  // the child processes inherit SOFTHSM2_CONF
    IssuedCert me = TestPki::instance().issue({.cn = "持卡人", .keyUsage = 0xA0});
    TestPki::save(dir.file("me.pfx"), TestPki::pkcs12(me, "pw"));
    CtlResult empty = orvikctl("tokens");
    ASSERT_EQ(empty.code, 0);
    EXPECT_EQ(empty.out.substr(0, empty.out.find('\t')), token.label()) << empty.out;
    EXPECT_EQ(empty.out.find("\n\t"), std::string::npos) << "no certificates yet: " << empty.out;

    const std::string import = "import-pfx " + quote(dir.file("me.pfx")) + " --password pw --provider " +
                               quote(token.label()) + " 2>&1 </dev/null";
    CtlResult wrong = orvik::test::runShell("env ORVIK_PIN=000000 " + std::string(ORVIKCTL_PATH) + " " + import);
    EXPECT_EQ(wrong.code, 1);
    EXPECT_NE(wrong.out.find("wrong PIN: nothing was stored"), std::string::npos) << wrong.out;
    ASSERT_EQ(runWithPin(import).code, 0);

    CtlResult listed = orvikctl("tokens");
    EXPECT_NE(listed.out.find("\t" + BinToThumb(me.sha1) + "\t持卡人\t"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\tkey\n"), std::string::npos) << listed.out;
    CtlResult mine = orvikctl("list");
    EXPECT_NE(mine.out.find(BinToThumb(me.sha1)), std::string::npos) << "listed in MY: " << mine.out;

    TestPki::save(dir.file("doc.txt"), "签名的内容");
    const std::string thumb = quote(BinToThumb(me.sha1));
    CtlResult noPin = orvikctl("sign " + quote(dir.file("doc.txt")) + " " + quote(dir.file("doc.p7s")) + " --cert " +
                               thumb + " 2>&1 </dev/null");
    EXPECT_NE(noPin.out.find("no PIN given"), std::string::npos) << noPin.out;
    ASSERT_EQ(
        runWithPin("sign " + quote(dir.file("doc.txt")) + " " + quote(dir.file("doc.p7s")) + " --cert " + thumb).code,
        0);
    EXPECT_EQ(orvikctl("verify " + quote(dir.file("doc.txt")) + " " + quote(dir.file("doc.p7s"))).code, 0);
}

TEST(Orvikctl, LdapSearchFindsAndImportsFromBothDeploymentHosts) {
    orvik::test::TempHome home;
    IssuedCert a1 = TestPki::instance().issue({.cn = "Alice", .email = "alice@example.test"});
    IssuedCert a2 = TestPki::instance().issue({.cn = "Alice", .email = "alice@example.test"});
    IssuedCert bob = TestPki::instance().issue({.cn = "Bob", .email = "bob@example.test"});
    orvik::test::Slapd first({.suffix = "dc=first,dc=test",
                              .defaultSearchBase = true,
                              .entries = {{.cn = "Alice", .mail = "alice@example.test", .certificates = {a1.der}}}});
    orvik::test::Slapd second(
        {.suffix = "dc=orvikon,dc=test",
         .entries = {{.cn = "Alice", .mail = "alice@example.test", .certificates = {a2.der, a1.der}},
                     {.cn = "Bob", .mail = "bob@example.test", .certificates = {bob.der}}}});
    orvik::test::setDeploymentValue("DirectoryHost1", first.host());
    orvik::test::setDeploymentValue("DirectoryHost2", second.host());
    orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");

    // Host 2 first; a certificate both directories hold is printed once.
    CtlResult found = orvikctl("ldap-search alice@example.test --import");
    ASSERT_EQ(found.code, 0) << found.out;
    EXPECT_EQ(found.out, BinToThumb(a2.sha1) + "\tAlice\talice@example.test\tuntrusted issuer\n" + BinToThumb(a1.sha1) +
                             "\tAlice\talice@example.test\tuntrusted issuer\n");
    CtlResult book = orvikctl("list --store ADDRESSBOOK");
    EXPECT_NE(book.out.find(BinToThumb(a1.sha1)), std::string::npos);
    EXPECT_NE(book.out.find(BinToThumb(a2.sha1)), std::string::npos);
    EXPECT_EQ(book.out.find(BinToThumb(bob.sha1)), std::string::npos);

    CtlResult byName = orvikctl("ldap-search --host " + second.host() + " --name Bo");
    EXPECT_EQ(byName.out, BinToThumb(bob.sha1) + "\tBob\tbob@example.test\tuntrusted issuer\n");
    // Once the user trusts the authorities, the same results check out.
    orvik::test::TempDir authorities;
    TestPki::save(authorities.file("root.cer"), TestPki::instance().root().der);
    TestPki::save(authorities.file("ca.cer"), TestPki::instance().ca().der);
    ASSERT_EQ(orvikctl("import-cert " + quote(authorities.file("root.cer")) + " --store Root").code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(authorities.file("ca.cer")) + " --store CA").code, 0);
    EXPECT_EQ(orvikctl("ldap-search --host " + second.host() + " --name Bo").out,
              BinToThumb(bob.sha1) + "\tBob\tbob@example.test\ttrusted\n");

    // One directory down: what the other found, and a word about the dead one.
    CtlResult dead = orvikctl("ldap-search --host 127.0.0.1:" + std::to_string(orvik::test::closedPort()) +
                              " alice@example.test 2>&1");
    EXPECT_EQ(dead.code, 1);
    EXPECT_NE(dead.out.find("no connection to 127.0.0.1:"), std::string::npos) << dead.out;
    EXPECT_EQ(orvikctl("ldap-search").code, 2);
}

namespace {

// A file as the Windows registry editor saves it: UTF-16LE with a BOM and CRLF.
std::string regeditFile(const std::string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t unit : orvik::utf8ToUtf16(text)) {
        if (unit == u'\n') out += std::string("\r\0", 2);
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
    return out;
}

}  // namespace

TEST(Orvikctl, RegImportedAccountsShowInRegQuery) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    orvik::test::writeFile(dir.file("accounts.reg"), regeditFile(R"reg(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Microsoft\Internet Account Manager\Accounts\00000001]
"Account Name"="张三的邮箱"
"SMTP Server"="smtp.example.com"
"SMTP Port"=dword:00000019
"SMTP Certificate"=hex:3a,7f,09,c4,\
  5e,11
"Account Folder"=hex(2):25,00,41,00,00,00
)reg"));
    CtlResult run = orvikctl("reg-import " + quote(dir.file("accounts.reg")));
    ASSERT_EQ(run.code, 0);
    EXPECT_EQ(run.out,
              "imported: 1 key, 4 values\n"
              "skipped: HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001\\"
              "Account Folder (REG_EXPAND_SZ)\n");
    const std::string key = quote("HKCU\\Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001");
    CtlResult query = orvikctl("reg-query " + key);
    ASSERT_EQ(query.code, 0);
    EXPECT_EQ(query.out,
              "Account Name\tREG_SZ\t张三的邮箱\n"
              "SMTP Server\tREG_SZ\tsmtp.example.com\n"
              "SMTP Port\tREG_DWORD\t0x00000019 (25)\n"
              "SMTP Certificate\tREG_BINARY\t3a7f09c45e11\n");

    orvik::test::writeFile(dir.file("remove.reg"),
                           regeditFile("Windows Registry Editor Version 5.00\n\n"
                                       "[-HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account Manager]\n"));
    run = orvikctl("reg-import " + quote(dir.file("remove.reg")));
    ASSERT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "imported: 0 keys, 0 values; deleted: 3 keys, 0 values\n");
    EXPECT_EQ(orvikctl("reg-query " + key).code, 1);
}

TEST(Orvikctl, RegImportRefusesAMalformedFileWhole) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    const std::string file = dir.file("broken.reg");
    orvik::test::writeFile(file, regeditFile(R"reg(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Microsoft\Internet Account Manager\Accounts\00000001]
"SMTP Server"="smtp.example.com"
"SMTP Port"=dword:0000001g
)reg"));
    CtlResult run = orvikctl("reg-import " + quote(file) + " 2>&1");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out.rfind("orvikctl: " + file + ": line 5: ", 0), 0u) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
    EXPECT_EQ(orvikctl("reg-query " + quote("HKCU\\Software\\Microsoft\\Internet Account Manager")).code, 1);
    EXPECT_EQ(orvikctl("reg-import " + quote(dir.file("missing.reg"))).code, 1);
    EXPECT_EQ(orvikctl("reg-import").code, 2);
}

TEST(Orvikctl, ContactsFromAVCardAndTheirCertificates) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    IssuedCert cert = TestPki::instance().issue({.cn = "张三", .email = "zs@example.com"});
    std::string b64(4 * ((cert.der.size() + 2) / 3) + 1, '\0');
    int n = 0;
    base64encoding(cert.der.data(), static_cast<unsigned>(cert.der.size()), b64.data(), &n);
    b64.resize(static_cast<size_t>(n));
    orvik::test::writeFile(dir.file("in.vcf"),
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:张三\r\nN:张;三;;;\r\nEMAIL:zs@example.com\r\n"
                           "ADR;TYPE=HOME:;;长安街1号;北京;;;\r\nEND:VCARD\r\n"
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:李四\r\nEMAIL:ls@example.com\r\n"
                           "KEY;TYPE=X509;ENCODING=b:" +
                               b64 + "\r\nEND:VCARD\r\n");
    CtlResult run = orvikctl("vcard-import " + quote(dir.file("in.vcf")));
    ASSERT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "imported: 2 contacts, 1 certificates\n");

    // 李四's card carried a certificate for another address: it is kept but not usable.
    run = orvikctl("contacts");
    ASSERT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("张三\tzs@example.com\t-\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("李四\tls@example.com\t"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("(not usable)"), std::string::npos) << run.out;

    std::string spaced;
    for (unsigned char c : cert.sha1) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02x", spaced.empty() ? "" : " ", c);
        spaced += hex;
    }
    EXPECT_EQ(orvikctl("contact-cert ls@example.com " + quote(spaced)).code, 1);
    run = orvikctl("contact-cert zs@example.com " + quote(spaced));
    ASSERT_EQ(run.code, 0);
    // What another process finds in the book: exactly one default entry with the thumbprint.
    {
        orvik::test::WabSession s;
        ASSERT_TRUE(s.ok());
        std::string id = s.entryIds().at(0);
        EXPECT_EQ(
            s.binaries(id, PR_USER_X509_CERTIFICATE),
            std::vector<std::string>{std::string("\x20\x00\x08\x00\x01\x00\x00\x00\x22\x00\x18\x00", 12) + cert.sha1});
        EXPECT_EQ(s.string(id, PR_SURNAME), "张");
        EXPECT_EQ(s.string(id, PR_HOME_ADDRESS_STREET), "长安街1号");
    }
    EXPECT_NE(orvikctl("contacts").out.find("张三\tzs@example.com\t" + spaced + "\n"), std::string::npos);
    ASSERT_EQ(orvikctl("contact-cert zs@example.com --none").code, 0);
    {
        orvik::test::WabSession s;
        std::string id = s.entryIds().at(0);
        EXPECT_TRUE(s.binaries(id, PR_USER_X509_CERTIFICATE).empty());
        EXPECT_EQ(s.string(id, PR_SURNAME), "张");
    }
    EXPECT_EQ(orvikctl("contact-cert nobody@example.com --none").code, 1);

    ASSERT_EQ(orvikctl("vcard-export --version 2.1 " + quote(dir.file("out.vcf"))).code, 0);
    EXPECT_NE(orvik::test::readFile(dir.file("out.vcf")).find("CHARSET=GB2312"), std::string::npos);
    orvik::test::writeFile(dir.file("bad.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:王五\r\n");
    run = orvikctl("vcard-import " + quote(dir.file("bad.vcf")) + " 2>&1");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("nothing imported"), std::string::npos) << run.out;
    std::string listed = orvikctl("contacts").out;
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 2);

    // One damaged card among good ones: the good one goes in, each other is named on its own line.
    orvik::test::writeFile(dir.file("mixed.vcf"),
                           "BEGIN:VCARD\nVERSION:3.0\nFN:赵六\nEMAIL;ENCODING=b:*\nEND:VCARD\n"
                           "BEGIN:VCARD\nVERSION:3.0\nFN:钱七\nEMAIL:qq@example.com\nEND:VCARD\n"
                           "BEGIN:VCARD\nVERSION:3.0\nTEL:1\nEND:VCARD\n");
    run = orvikctl("vcard-import " + quote(dir.file("mixed.vcf")) + " 2>&1");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out,
              "orvikctl: card 1 (赵六): line 4: invalid base64 in EMAIL\n"
              "orvikctl: card 3: line 11: a vCard without FN, N or EMAIL\n"
              "imported: 1 contacts, 0 certificates, 2 damaged cards left out\n");
    listed = orvikctl("contacts").out;
    EXPECT_NE(listed.find("钱七\tqq@example.com"), std::string::npos) << listed;
}

TEST(Orvikctl, AccountsAndTheirCertificates) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    EXPECT_EQ(orvikctl("accounts").code, 1);
    IssuedCert me = TestPki::instance().issue({.cn = "我", .email = "me@example.com"});
    orvik::test::writeFile(dir.file("me.pem"), me.pem);
    orvik::test::writeFile(dir.file("me.key"), me.keyPem);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("me.pem")) + " --key " + quote(dir.file("me.key"))).code, 0);
    const std::string key = quote("HKCU\\software\\Microsoft\\Internet Account Manager\\Accounts\\00000001");
    ASSERT_EQ(orvikctl("reg-set " + key + " " + quote("SMTP Server") + " sz smtp.example.com").code, 0);
    ASSERT_EQ(orvikctl("reg-set " + key + " " + quote("Account Name") + " sz 工作").code, 0);
    EXPECT_EQ(orvikctl("accounts").out, "00000001\t工作\t\t-\t-\n");

    std::string hex;
    for (unsigned char c : me.sha1) {
        char h[4];
        std::snprintf(h, sizeof h, "%s%02x", hex.empty() ? "" : " ", c);
        hex += h;
    }
    CtlResult run = orvikctl("account-cert 工作 --sign " + quote(hex) + " --encrypt " + quote(hex));
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(orvikctl("accounts").out, "00000001\t工作\t\t" + hex + "\t" + hex + "\n");
    ASSERT_EQ(orvikctl("account-cert 00000001 --sign none").code, 0);
    EXPECT_EQ(orvikctl("accounts").out, "00000001\t工作\t\t-\t" + hex + "\n");
    EXPECT_EQ(orvikctl("account-cert 00000001 --sign " + quote(std::string(59, 'a'))).code, 1);
    EXPECT_EQ(orvikctl("account-cert nobody --sign none").code, 1);
}

TEST(Orvikctl, UpdateCommandsReadListsAndFetchWholeFiles) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    orvik::test::HttpServer server;
    const std::string list = orvik::toCp936(
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<Orvikon><UpdateDate>2026-12-01</UpdateDate>"
        "<OrvikDesk><Name>证书助手</Name><Description>说明</Description><Version>2.0</Version><UpdateFileList>"
        "<File id=\"1\"><FileName>工具.so</FileName><FileVersion>2.0</FileVersion><FilePath>sys</FilePath>"
        "<FileSize>4</FileSize></File></UpdateFileList></OrvikDesk></Orvikon>\n");
    orvik::test::writeFile(dir.file("FileList.xml"), list);
    CtlResult shown = orvikctl("filelist " + quote(dir.file("FileList.xml")));
    EXPECT_EQ(shown.code, 0);
    EXPECT_EQ(shown.out, "OrvikDesk\t证书助手\t2.0\t说明\n\t工具.so\t2.0\tsys\t-\t4\t-\n");

    const std::string host = server.url("");
    server.set("/u//FileList.xml", list);
    server.set("/cut", orvik::test::HttpResponse{.body = "abc", .headers = {{"Content-Length", "10"}}});
    EXPECT_EQ(orvikctl("update-get /u//FileList.xml " + quote(dir.file("got")) + " --host " + host).code, 0);
    EXPECT_EQ(orvik::test::readFile(dir.file("got")), list);
    EXPECT_EQ(orvikctl("update-get /cut " + quote(dir.file("cut")) + " --host " + host).code, 1);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("cut")));
    EXPECT_FALSE(orvik::test::fileExists(dir.file("cut.part")));

    // Published as the publisher does it: every file with size and hash, signed under the
    // deployment's authority. Its date is the installed one's: nothing newer, the run ended.
    const std::string sha = std::string(64, 'a');
    const std::string published = orvik::toCp936(
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<Orvikon><UpdateDate>2026-12-01</UpdateDate><OrvikPatch>"
        "<UpdateFileList><File id=\"1\"><FileName>OrvikFetch</FileName><FileSize>6</FileSize><FileSHA256>" +
        sha + "</FileSHA256></File><File id=\"2\"><FileName>Handover</FileName><FileSize>6</FileSize><FileSHA256>" +
        sha + "</FileSHA256></File></UpdateFileList></OrvikPatch></Orvikon>\n");
    orvik::test::writeFile(dir.file("published.xml"), published);
    IssuedCert publisher = TestPki::instance().issue({.cn = "更新发布", .keyUsage = 0x80});
    TestPki::save(dir.file("pub.pem"), publisher.pem);
    TestPki::save(dir.file("pub.key"), publisher.keyPem);
    TestPki::save(dir.file("ca.pem"), TestPki::instance().ca().pem);
    const std::string keys = " " + quote(dir.file("pub.pem")) + " " + quote(dir.file("pub.key"));
    EXPECT_EQ(orvikctl("update-sign " + quote(dir.file("FileList.xml")) + keys).code, 1) << "工具.so has no hash";
    ASSERT_EQ(
        orvikctl("update-sign " + quote(dir.file("published.xml")) + keys + " --chain " + quote(dir.file("ca.pem")))
            .code,
        0);
    orvik::test::setDeploymentValue("UpdateAuthority", TestPki::instance().root().pem);
    CtlResult verified = orvikctl("update-verify " + quote(dir.file("published.xml")));
    EXPECT_EQ(verified.code, 0);
    EXPECT_EQ(verified.out.rfind("good\t2026-12-01\t", 0), 0u) << verified.out;
    orvik::test::writeFile(dir.file("OrvikFetch"), "不是这个");
    EXPECT_EQ(orvikctl("update-verify " + quote(dir.file("published.xml")) + " --files " + quote(dir.path())).code, 1);
    orvik::test::setDeploymentValue("UpdateAuthority", TestPki::instance().selfSigned({.cn = "别人", .ca = true}).pem);
    EXPECT_EQ(orvikctl("update-verify " + quote(dir.file("published.xml"))).code, 1);
    orvik::test::setDeploymentValue("UpdateAuthority", TestPki::instance().root().pem);
    server.set("/u//FileList.xml", published);
    server.set("/u//FileList.xml.p7s", orvik::test::readFile(dir.file("published.xml.p7s")));
    CtlResult check = orvikctl("update-check --dir " + quote(dir.path()) + " --host " + host + " --path /u/");
    EXPECT_EQ(check.code, 0);
    EXPECT_EQ(check.out, "101\tno update available\n");
    CtlResult status = orvikctl("update-status --dir " + quote(dir.path()));
    EXPECT_NE(status.out.find("CurrentOperation\t0\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("ServerPath\t/u/\n"), std::string::npos) << status.out;
    server.stop();
    EXPECT_EQ(orvikctl("update-check --dir " + quote(dir.path()) + " --host " + host + " --path /u/").code, 1);
}

TEST(Orvikctl, FoxmailAccountsContactsAndTheirBatch) {
    orvik::test::TempHome home;
    orvik::test::TempDir temp;
    const std::string dir = temp.path() + "/Foxmail";
    std::filesystem::create_directories(dir + "/mail/zhang");
    std::filesystem::create_directories(dir + "/Address");
    orvik::test::writeVer30(dir + "/accounts.cfg", "accounts.cfg",
                            orvik::test::foxAccountList({{"张三", "C:\\Foxmail\\mail\\zhang\\"}}));
    const std::string info = "MailAddress=zhang@example.cn\r\nSignCertHash=\r\nSMTPHost=smtp.example.cn\r\n";
    orvik::test::writeVer30(dir + "/mail/zhang/Account.stg", "AccInfo.cfg", info);
    orvik::test::writeFoxBook(
        dir, "Default", {{.name = "王五", .email = "wang@example.cn"}, {.name = "赵六", .email = "zhao@example.cn"}},
        {"Emails: wang@example.cn\r\nNotes: n\r\n", "Emails: zhao@example.cn\r\n"});

    EXPECT_EQ(orvikctl("foxmail --path " + quote(dir)).code, 0);
    CtlResult accounts = orvikctl("foxmail accounts");
    EXPECT_EQ(accounts.code, 0);
    EXPECT_EQ(accounts.out, dir + "/mail/zhang/Account.stg\t张三\tzhang@example.cn\t-\n");

    auto signer = TestPki::instance().issue({.cn = "张三", .email = "zhang@example.cn", .keyUsage = 0xC0});
    TestPki::save(temp.file("me.pem"), signer.pem);
    TestPki::save(temp.file("me.key"), signer.keyPem);
    CtlResult imported = orvikctl("import-cert " + quote(temp.file("me.pem")) + " --key " + quote(temp.file("me.key")));
    ASSERT_EQ(imported.code, 0);
    std::string thumb = imported.out.substr(0, imported.out.find_first_of("\t\n"));
    EXPECT_EQ(orvikctl("foxmail set-sign 张三 " + quote(thumb)).code, 0);
    std::string stream = orvik::test::ver30Stream(dir + "/mail/zhang/Account.stg", "AccInfo.cfg");
    ASSERT_EQ(stream.find("SignCertHash="), 30u);
    EXPECT_EQ(stream.substr(43 + 49, 2), "\r\n") << "a grouped thumbprint of 49 characters";
    EXPECT_EQ(stream.substr(0, 43) + stream.substr(43 + 49), info);

    // The directory has wang's own certificate and one of another address that contains zhao's.
    auto wang = TestPki::instance().issue({.cn = "王五", .email = "wang@example.cn", .keyUsage = 0x30});
    auto other = TestPki::instance().issue({.cn = "其他", .email = "xzhao@example.cn", .keyUsage = 0x30});
    orvik::test::Slapd slapd({.defaultSearchBase = true,
                              .entries = {{.cn = "王五", .mail = "wang@example.cn", .certificates = {wang.der}},
                                          {.cn = "其他", .mail = "xzhao@example.cn", .certificates = {other.der}}}});
    orvik::test::setDeploymentValue("DirectoryHost1", slapd.host());
    // Only results of authorities the user trusts are chosen.
    CtlResult untrusted = orvikctl("batch --foxmail --auto");
    EXPECT_NE(untrusted.out.find("wang@example.cn\t1\tnot assigned: no single certificate of this address from a "
                                 "trusted issuer, valid and for encryption\tuntrusted issuer\n"),
              std::string::npos)
        << untrusted.out;
    TestPki::save(temp.file("root.cer"), TestPki::instance().root().der);
    TestPki::save(temp.file("ca.cer"), TestPki::instance().ca().der);
    ASSERT_EQ(orvikctl("import-cert " + quote(temp.file("root.cer")) + " --store Root").code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(temp.file("ca.cer")) + " --store CA").code, 0);
    CtlResult batch = orvikctl("batch --foxmail --auto");
    EXPECT_EQ(batch.code, 0);
    EXPECT_NE(batch.out.find("wang@example.cn\t1\tassigned "), std::string::npos) << batch.out;
    EXPECT_NE(batch.out.find("zhao@example.cn\t1\tnot assigned"), std::string::npos) << batch.out;
    EXPECT_NE(batch.out.find("1 of 2 contacts configured"), std::string::npos) << batch.out;
    CtlResult contacts = orvikctl("foxmail contacts");
    EXPECT_NE(contacts.out.find("王五\twang@example.cn\t1\t"), std::string::npos) << contacts.out;
    EXPECT_NE(contacts.out.find("赵六\tzhao@example.cn\t0\t-"), std::string::npos) << contacts.out;

    // A second run offers only the contact still without one.
    CtlResult again = orvikctl("batch --foxmail --auto");
    EXPECT_NE(again.out.find("0 of 1 contacts configured"), std::string::npos) << again.out;
}

TEST(Orvikctl, ThunderbirdProfileGetsTheIdentitysCertificatesAndAContacts) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    const std::string profile = dir.path() + "/.thunderbird/t.default";
    std::filesystem::create_directories(profile);
    orvik::test::writeFile(dir.path() + "/.thunderbird/profiles.ini",
                           "[Profile0]\nName=t\nIsRelative=1\nPath=t.default\n");
    orvik::test::writeFile(profile + "/prefs.js", "user_pref(\"mail.identity.id1.useremail\", \"me@example.cn\");\n");
    ASSERT_EQ(orvik::test::runShell("certutil -N -d sql:" + quote(profile) + " --empty-password").code, 0);
    IssuedCert me = TestPki::instance().issue({.cn = "我", .email = "me@example.cn", .keyUsage = 0xA0});
    IssuedCert you = TestPki::instance().issue({.cn = "你", .email = "you@example.cn", .keyUsage = 0x20});
    TestPki::save(dir.file("me.pem"), me.pem);
    TestPki::save(dir.file("me.key"), me.keyPem);
    TestPki::save(dir.file("you.pem"), you.pem);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("me.pem")) + " --key " + quote(dir.file("me.key"))).code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("you.pem")) + " --store ADDRESSBOOK").code, 0);
    const std::string env = "HOME=" + quote(dir.path()) + " ";

    EXPECT_EQ(orvik::test::runShell(env + ORVIKCTL_PATH + " thunderbird profiles").out, "t\t" + profile + "\t-\n");
    ASSERT_EQ(
        orvik::test::runShell(env + ORVIKCTL_PATH + " thunderbird set-certs id1 " + upperNoSpaces(BinToThumb(me.sha1)))
            .code,
        0);
    ASSERT_EQ(
        orvik::test::runShell(env + ORVIKCTL_PATH + " thunderbird contact-cert " + upperNoSpaces(BinToThumb(you.sha1)))
            .code,
        0);
    CtlResult accounts = orvik::test::runShell(env + ORVIKCTL_PATH + " thunderbird accounts");
    EXPECT_EQ(accounts.out, "id1\tme@example.cn\t-\t我\t我\n");
    const std::string listing = orvik::test::runShell("certutil -L -d sql:" + quote(profile)).out;
    EXPECT_NE(listing.find("u,u,u"), std::string::npos) << listing;
    EXPECT_NE(listing.find("你"), std::string::npos) << listing;
}

TEST(Orvikctl, TrustAndDistrustAnAuthorityAsThePageDoes) {
    orvik::test::TempHome home;
    orvik::test::TempDir dir;
    auto& pki = TestPki::instance();
    TestPki::save(dir.file("root.cer"), pki.root().der);
    TestPki::save(dir.file("ca.cer"), pki.ca().der);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("root.cer")) + " --store CA").code, 0);
    ASSERT_EQ(orvikctl("import-cert " + quote(dir.file("ca.cer")) + " --store CA").code, 0);
    const std::string root = BinToThumb(pki.root().sha1), ca = BinToThumb(pki.ca().sha1);
    auto line = [](const std::string& out, const std::string& thumb) {
        size_t at = out.find(thumb);
        return at == std::string::npos ? std::string("<none>") : out.substr(at, out.find('\n', at) - at);
    };
    CtlResult list = orvikctl("list --store CA");
    EXPECT_EQ(line(list.out, ca), ca + "\tOrvik Test CA\t\tuntrusted") << list.out;

    CtlResult trusted = orvikctl("trust " + upperNoSpaces(root));
    EXPECT_EQ(trusted.code, 0);
    EXPECT_EQ(trusted.out, "trusted\n");
    EXPECT_EQ(line(orvikctl("list --store Root").out, root), root + "\tOrvik Test Root\t\ttrusted");
    EXPECT_EQ(line(orvikctl("list --store CA").out, ca), ca + "\tOrvik Test CA\t\ttrusted");

    // By file as well as by thumbprint; what it issued follows.
    EXPECT_EQ(orvikctl("distrust " + quote(dir.file("root.cer"))).out, "distrusted\n");
    EXPECT_EQ(line(orvikctl("list --store CA").out, ca), ca + "\tOrvik Test CA\t\tdistrusted");
    EXPECT_EQ(line(orvikctl("list --store Disallowed").out, root), root + "\tOrvik Test Root\t\tdistrusted");

    CtlResult refused = orvikctl("trust " + quote(ca) + " 2>&1");
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.out.find("orvikctl: only a root can be trusted"), std::string::npos) << refused.out;
    EXPECT_EQ(orvikctl("trust " + quote(root)).out, "trusted\n");
    EXPECT_EQ(line(orvikctl("list --store CA").out, ca), ca + "\tOrvik Test CA\t\ttrusted");
    EXPECT_EQ(orvikctl("trust 00112233").code, 1) << "no such certificate";
}
