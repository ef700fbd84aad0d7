#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <DigitalCertificate.h>
#include <Encodings.h>
#include <MyCertStore.h>
#include <orvik/CertificateViewer.h>

#include "support/ChildProcess.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::CertSpec;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

CDigitalCertificate fromDer(const std::string& der) {
    return CDigitalCertificate(der.data(), static_cast<int>(der.size()), CDigitalCertificate::ENC_DER);
}

std::string info(CDigitalCertificate& cert, const char* key) {
    std::string out = "<unchanged>";
    int rc = cert.GetCertInfo(key, out);
    return rc == 0 ? out : "<rc " + std::to_string(rc) + ">";
}

// 2026-12-07 04:20:52 UTC
constexpr time_t kInstant = 1796617252;

}  // namespace

TEST(DigitalCertificate, FieldsAsTheWindowsTexts) {
    auto& pki = TestPki::instance();
    IssuedCert user = pki.issue({.subject = {{{"C", "CN"}},
                                             {{"O", "Orvik, Inc."}},
                                             {{"OU", "Sales"}, {"CN", "张三"}},
                                             {{"emailAddress", "zs@example.com", orvik::test::Asn1Text::Ia5}}},
                                 .keyUsage = 0xA0,
                                 .notBefore = kInstant,
                                 .notAfter = kInstant + 86400,
                                 .serialHex = "009a"});
    CDigitalCertificate cert = fromDer(user.der);
    ASSERT_NE(cert.getPCCERT(), nullptr);
    EXPECT_EQ(info(cert, "Version"), "V3");
    EXPECT_EQ(info(cert, "SubjectName"), "C=CN, O=\"Orvik, Inc.\", OU=Sales + CN=张三, E=zs@example.com");
    EXPECT_EQ(info(cert, "IssuerName"), "CN=Orvik Test CA");
    EXPECT_EQ(info(cert, "SerialNumber"), "009a") << "leading zero bytes stay";
    // TZ is Asia/Shanghai for every test: eight hours ahead of UTC.
    EXPECT_EQ(info(cert, "ValidFromDate"), "2026-12-07 12:20:52");
    EXPECT_EQ(info(cert, "ValidToDate"), "2026-12-08 12:20:52");
    EXPECT_EQ(info(cert, "SubjectEmail"), "zs@example.com");
    EXPECT_EQ(info(cert, "SubjectCN"), "张三");
    EXPECT_EQ(info(cert, "IssuerCN"), "Orvik Test CA");
    EXPECT_EQ(info(cert, "IssuerEmail"), "");
    EXPECT_EQ(info(cert, "thumbprint"), BinToThumb(user.sha1)) << "keys match in any case";
    EXPECT_EQ(info(cert, "CSP"), "<unchanged>") << "no private key: result 0, output untouched";
    EXPECT_EQ(info(cert, "Subject"), "<rc 2>");
    std::string kept = "kept";
    EXPECT_EQ(cert.GetCertInfo("Subject", kept), 2);
    EXPECT_EQ(kept, "kept");
}

TEST(DigitalCertificate, SerialTextDropsOnlyRedundantSignBytes) {
    auto& pki = TestPki::instance();
    const std::string der = pki.issue({.cn = "serial"}).der;
    struct Row {
        std::string octets, text;
    } rows[] = {
        {"\xFF\xFF\x80\x12", "8012"},
        {"\xFF\x7F", "ff7f"},
        {std::string("\x00\x9A", 2), "009a"},
        {std::string("\x00\x00\x01", 3), "000001"},
        {"\x01\x02", "0102"},
    };
    for (const auto& row : rows) {
        CDigitalCertificate cert = fromDer(orvik::test::withSerialOctets(der, row.octets));
        ASSERT_NE(cert.getPCCERT(), nullptr) << row.text;
        EXPECT_EQ(info(cert, "SerialNumber"), row.text);
    }
}

TEST(DigitalCertificate, NamesAreNeverCut) {
    std::string longName(3000, 'x');
    IssuedCert user = TestPki::instance().issue({.subject = {{{"CN", longName}}, {{"O", longName}}}});
    CDigitalCertificate cert = fromDer(user.der);
    EXPECT_EQ(info(cert, "SubjectCN"), longName);
    EXPECT_EQ(info(cert, "SubjectName"), "CN=" + longName + ", O=" + longName);
}

TEST(DigitalCertificate, KeyUsageTests) {
    auto& pki = TestPki::instance();
    struct Row {
        int keyUsage;
        int sign, crypt;
    } rows[] = {{-1, 1, 1}, {0x80, 1, 0}, {0x20, 0, 1}, {0xA0, 1, 1}, {0x40, 0, 0}};
    for (const auto& row : rows) {
        CDigitalCertificate cert = fromDer(pki.issue({.cn = "ku", .keyUsage = row.keyUsage}).der);
        EXPECT_EQ(cert.isSignUse(), row.sign) << "key usage " << row.keyUsage;
        EXPECT_EQ(cert.isCryptUse(), row.crypt) << "key usage " << row.keyUsage;
    }
}

TEST(DigitalCertificate, AlgorithmNames) {
    struct Row {
        const char *oid, *text;
    } rows[] = {{"1.2.840.113549.1.1.5", "sha1RSA"},
                {"1.2.840.113549.1.1.4", "md5RSA"},
                {"1.2.840.113549", "RSA"},
                {"1.2.840.10045.4.3.2", "1.2.840.10045.4.3.2"}};
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(CDigitalCertificate::ConvAlgorithmToStr(row.oid, out), 0);
        EXPECT_EQ(out, row.text);
    }
    CDigitalCertificate cert = fromDer(TestPki::instance().issue({.cn = "alg"}).der);
    std::string alg;
    cert.getSignatureAlgorithm(alg);
    EXPECT_EQ(alg, "1.2.840.113549.1.1.11");
}

TEST(DigitalCertificate, EncodedFormsAndTheirCapacities) {
    IssuedCert user = TestPki::instance().issue({.cn = "enc"});
    CDigitalCertificate cert = fromDer(user.der);
    const std::string pem = "-----BEGIN CERTIFICATE-----\n" + base64Encode(user.der) + "\n-----END CERTIFICATE-----";
    std::string area(pem.size() + 8, '#');
    int length = static_cast<int>(pem.size());  // one below what the NUL needs
    EXPECT_EQ(cert.GetEncodedCert(CDigitalCertificate::ENC_PEM, area.data(), length), 1);
    EXPECT_EQ(length, static_cast<int>(pem.size())) << "unchanged";
    EXPECT_EQ(area[0], '#') << "nothing written";
    length = static_cast<int>(pem.size() + 1);
    cert.GetEncodedCert(CDigitalCertificate::ENC_PEM, area.data(), length);
    EXPECT_EQ(length, static_cast<int>(pem.size()));
    EXPECT_EQ(std::string(area.c_str()), pem);

    length = static_cast<int>(area.size());
    cert.GetEncodedCert(CDigitalCertificate::ENC_BASE64, area.data(), length);
    EXPECT_EQ(std::string(area.c_str()), base64Encode(user.der));
    std::string der(user.der.size(), '\0');
    length = static_cast<int>(der.size());
    cert.GetEncodedCert(CDigitalCertificate::ENC_DER, der.data(), length);
    EXPECT_EQ(der, user.der);
}

TEST(DigitalCertificate, LargeCertificatesWorkAsText) {
    IssuedCert big = TestPki::instance().issue({.cn = "big", .padToBytes = 5000});
    ASSERT_GT(big.der.size(), 3072u);
    std::string text = base64Encode(big.der);
    CDigitalCertificate fromText(text.c_str(), 0, CDigitalCertificate::ENC_BASE64);
    ASSERT_NE(fromText.getPCCERT(), nullptr);
    EXPECT_EQ(fromText.Encoded(CDigitalCertificate::ENC_DER), big.der);
    std::string area(text.size() + 1, '\0');
    int length = static_cast<int>(area.size());
    fromText.GetEncodedCert(CDigitalCertificate::ENC_BASE64, area.data(), length);
    EXPECT_EQ(length, static_cast<int>(text.size()));
}

TEST(DigitalCertificate, InputThatIsNotACertificate) {
    IssuedCert user = TestPki::instance().issue({.cn = "pem"});
    CDigitalCertificate pem(user.pem.c_str(), static_cast<int>(user.pem.size()), CDigitalCertificate::ENC_PEM);
    EXPECT_EQ(pem.getPCCERT(), nullptr);
    CDigitalCertificate junk("junk", 4, CDigitalCertificate::ENC_DER);
    EXPECT_EQ(junk.getPCCERT(), nullptr);
    // Without a certificate every call answers, none crashes.
    std::string out = "same";
    EXPECT_EQ(junk.GetCertInfo("SubjectCN", out), 1);
    EXPECT_EQ(out, "same");
    EXPECT_EQ(junk.isCryptUse(), 1);
    EXPECT_EQ(junk.isLocalTimeValid(), 0);
    CBBuffer content, signature;
    EXPECT_EQ(junk.SignMessage(content, signature), -1);
    EXPECT_EQ(junk.getThumbPrint(&content), 1);
    EXPECT_EQ(junk.Display(), -1);
    EXPECT_EQ(junk.setFriendlyName(out), 1);
}

TEST(DigitalCertificate, CopiesHoldTheirOwnReference) {
    IssuedCert user = TestPki::instance().issue({.cn = "copy"});
    auto* first = new CDigitalCertificate(fromDer(user.der));
    CDigitalCertificate second(*first);
    CDigitalCertificate third = fromDer(TestPki::instance().issue({.cn = "other"}).der);
    third = second;
    delete first;
    EXPECT_EQ(info(second, "SubjectCN"), "copy");
    EXPECT_EQ(info(third, "SubjectCN"), "copy");
}

TEST(DigitalCertificate, LocalTimeValidityIsStrict) {
    auto& pki = TestPki::instance();
    EXPECT_EQ(fromDer(pki.issue({.cn = "now"}).der).isLocalTimeValid(), 1);
    EXPECT_EQ(fromDer(pki.issue({.cn = "old", .notBeforeOffset = -20, .notAfterOffset = -10}).der).isLocalTimeValid(),
              0);
    EXPECT_EQ(fromDer(pki.issue({.cn = "new", .notBeforeOffset = 100, .notAfterOffset = 200}).der).isLocalTimeValid(),
              0);
    // The exact second of the end is no longer valid.
    time_t now = time(nullptr);
    EXPECT_EQ(fromDer(pki.issue({.cn = "end", .notBefore = now - 100, .notAfter = now}).der).isLocalTimeValid(), 0);
}

// Validity is decided on instants: east of UTC "never expires" reads "10000-..." locally, and an
// offset time shows as the local time of its instant.
TEST(DigitalCertificate, ValidityComparesTimesNotLocalTexts) {
    auto& pki = TestPki::instance();
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    CertSpec never{.cn = "never expires"};
    never.notBeforeText = CertSpec::TimeText{false, "2601151230-0800"};
    never.notAfterText = CertSpec::TimeText{true, "99991231235959Z"};
    CDigitalCertificate forever = fromDer(pki.issue(never).der);
    EXPECT_EQ(forever.isLocalTimeValid(), time(nullptr) > 1768509000 ? 1 : 0);  // from 2026-01-15 20:30:00Z
    EXPECT_EQ(info(forever, "ValidFromDate"), "2026-01-16 04:30:00");
    EXPECT_EQ(info(forever, "ValidToDate"), "10000-01-01 07:59:59");
    CertSpec gone{.cn = "expired"};
    gone.notBeforeText = CertSpec::TimeText{false, "0001010000+0800"};
    gone.notAfterText = CertSpec::TimeText{false, "100101000000+1400"};
    CDigitalCertificate expired = fromDer(pki.issue(gone).der);
    EXPECT_EQ(expired.isLocalTimeValid(), 0);
    EXPECT_EQ(info(expired, "ValidFromDate"), "2000-01-01 00:00:00");
    EXPECT_EQ(info(expired, "ValidToDate"), "2009-12-31 18:00:00");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(DigitalCertificate, ExportDerFileWritesWholeOrNothing) {
    orvik::test::TempDir dir;
    IssuedCert user = TestPki::instance().issue({.cn = "export"});
    CDigitalCertificate cert = fromDer(user.der);
    EXPECT_EQ(cert.ExportDerFile(dir.file("a.cer").c_str()), 0);
    EXPECT_EQ(orvik::test::readFile(dir.file("a.cer")), user.der);
    EXPECT_EQ(cert.ExportDerFile(dir.file("no/such/a.cer").c_str()), 3);
    // A disk that fills up halfway: the child may write 100 bytes only.
    TestPki::save(dir.file("cert.der"), user.der);
    orvik::test::ChildProcess child("export-with-little-space", {dir.file("cert.der"), dir.file("b.cer")});
    EXPECT_EQ(child.wait(), 3);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("b.cer"))) << "no partial file left behind";
}

namespace {

int exportWithLittleSpace(const std::vector<std::string>& args) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string der = orvik::test::readFile(args.at(0));
    return fromDer(der).ExportDerFile(args.at(1).c_str());
}

ORVIK_CHILD_ENTRY("export-with-little-space", exportWithLittleSpace);

}  // namespace

TEST(DigitalCertificate, SignAndVerifyDetached) {
    orvik::test::TempHome home;
    IssuedCert user = TestPki::instance().issue({.cn = "签名", .keyUsage = 0x80});
    CDigitalCertificate imported = fromDer(user.der);
    CMyCertStore my;
    ASSERT_EQ(my.ImportCertAndKey(imported, user.keyPem), 0);
    ASSERT_EQ(my.OpenCertStore(), 0);
    ASSERT_EQ(my.GetCertCount(), 1);
    CDigitalCertificate* cert = my.getCert(0);
    EXPECT_EQ(info(*cert, "CSP"), "Microsoft Enhanced Cryptographic Provider v1.0");

    CBBuffer content, signature;
    content.AttachBuffer("the message", 11);
    ASSERT_EQ(cert->SignMessage(content, signature), 0);
    ASSERT_GT(signature.size(), 0);
    std::unique_ptr<CDigitalCertificate> signer(CDigitalCertificate::VerifyMessage(content, signature));
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(info(*signer, "ThumbPrint"), BinToThumb(user.sha1));
    content.GetBuffer()[0] = 'T';
    EXPECT_EQ(CDigitalCertificate::VerifyMessage(content, signature), nullptr);

    CDigitalCertificate noKey = fromDer(TestPki::instance().issue({.cn = "nokey"}).der);
    EXPECT_EQ(noKey.SignMessage(content, signature), -1);
}

TEST(DigitalCertificate, FriendlyNamePersistsInItsStore) {
    orvik::test::TempHome home;
    IssuedCert user = TestPki::instance().issue({.cn = "friend"});
    CDigitalCertificate imported = fromDer(user.der);
    ASSERT_EQ(CMyCertStore().ImportCertAndKey(imported, user.keyPem), 0);
    {
        CMyCertStore my;
        ASSERT_EQ(my.OpenCertStore(), 0);
        std::string name = "我的证书";
        EXPECT_EQ(my.getCert(0)->setFriendlyName(name), 0);
    }
    CMyCertStore again;
    ASSERT_EQ(again.OpenCertStore(), 0);
    std::string read = "x";
    EXPECT_EQ(again.getCert(0)->getFriendlyName(read), 0);
    EXPECT_EQ(read, "我的证书");
    std::string empty;
    EXPECT_EQ(again.getCert(0)->setFriendlyName(empty), 0) << "an empty name deletes it";
    read = "unchanged";
    EXPECT_EQ(again.getCert(0)->getFriendlyName(read), 0);
    EXPECT_EQ(read, "unchanged");
}

TEST(DigitalCertificate, DisplayGoesToTheInstalledViewer) {
    CDigitalCertificate cert = fromDer(TestPki::instance().issue({.cn = "view"}).der);
    EXPECT_EQ(cert.Display(), -1) << "no viewer installed";
    std::string seen;
    auto previous = orvik::setCertificateViewer([&](HWND, PCCERT_CONTEXT c, const std::string&) {
        CDigitalCertificate shown(c);
        shown.GetCertInfo("SubjectCN", seen);
        return true;
    });
    EXPECT_EQ(cert.Display(), 0);
    EXPECT_EQ(seen, "view");
    orvik::setCertificateViewer(previous);
}
