// PKCS #12 integrity forms of newer tools. The PBMAC1 archives are put together here from RFC 9579
// with OpenSSL's command-line tools (PBKDF2 by `openssl kdf`, HMAC by `openssl mac`, the DER by
// `asn1parse -genconf`), so the library's own MAC code is checked against an independent one.
#include <openssl/pkcs12.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include <MyCertStore.h>
#include <PFXFile.h>
#include <orvik/OpenSslProviders.h>

#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::IssuedCert;
using orvik::test::runShell;
using orvik::test::shellQuoted;
using orvik::test::TempDir;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

constexpr const char* kSalt = "0102030405060708";

struct MacForm {
    std::string password = "1234";  // the password the MAC is made with
    std::string prf = "SHA256";     // PBKDF2's HMAC digest
    std::string hmac = "SHA256";    // the MAC's HMAC digest
    int iterations = 2048;
    int keyLength = 32;                            // 0: left out of the parameters
    const char* kdfOid = "1.2.840.113549.1.5.12";  // PBKDF2
    bool damaged = false;                          // one bit of the MAC flipped
    bool computed = true;                          // false: forms refused before the MAC is reached get zeros
};

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Upper-case hex, as the ASN.1 generator takes it.
std::string hexOf(const std::string& file) {
    auto run = runShell("od -An -v -tx1 " + shellQuoted(file) + " | tr -d ' \\n' | tr a-f A-F");
    EXPECT_EQ(run.code, 0);
    return run.out;
}

std::string hmacOid(const std::string& digest) {
    return digest == "SHA1"     ? "1.2.840.113549.2.7"
           : digest == "SHA256" ? "1.2.840.113549.2.9"
           : digest == "SHA512" ? "1.2.840.113549.2.11"
                                : "";
}

// The archive without a MAC, as OpenSSL writes it with PBES2 (AES-256, PBKDF2) bags.
std::string unprotected(const IssuedCert& c, const std::string& password) {
    orvik::loadOpenSslProviders();
    return TestPki::pkcs12(c, password,
                           {.keyCipher = NID_aes_256_cbc, .certCipher = NID_aes_256_cbc, .macIterations = -1});
}

// The content octets of the authenticated safe, found by asn1parse: the first OCTET STRING.
std::string authSafe(const std::string& file) {
    auto listing = runShell("openssl asn1parse -inform DER -in " + shellQuoted(file));
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("OCTET STRING") == std::string::npos) continue;
        size_t offset = std::stoul(line), hl = std::stoul(line.substr(line.find("hl=") + 3)),
               length = std::stoul(line.substr(line.find(" l=") + 3));
        return read(file).substr(offset + hl, length);
    }
    ADD_FAILURE() << listing.out;
    return {};
}

std::string hexOutput(const std::string& command) {
    auto run = runShell(command);
    EXPECT_EQ(run.code, 0) << command;
    std::string hex;
    for (char c : run.out)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::toupper(c));
    return hex;
}

// The archive with the section `[macalg]` of `macAlgorithm` as its DigestInfo algorithm and the
// digest `macHex` in its MacData.
std::string withMacData(TempDir& dir, const std::string& content, const std::string& macAlgorithm,
                        const std::string& macHex) {
    TestPki::save(dir.file("content.bin"), content);
    const std::string contentHex = hexOf(dir.file("content.bin"));
    std::ofstream(dir.file("pfx.conf")) << "asn1=SEQUENCE:pfx\n"
                                        << "[pfx]\nversion=INTEGER:3\nauthSafe=SEQUENCE:ci\nmac=SEQUENCE:macdata\n"
                                        << "[ci]\ntype=OID:pkcs7-data\ncontent=EXPLICIT:0,FORMAT:HEX,OCTETSTRING:"
                                        << contentHex << "\n"
                                        << "[macdata]\nmac=SEQUENCE:digestinfo\nsalt=FORMAT:HEX,OCTETSTRING:" << kSalt
                                        << "\niterations=INTEGER:2048\n"
                                        << "[digestinfo]\nalgorithm=SEQUENCE:macalg\ndigest=FORMAT:HEX,OCTETSTRING:"
                                        << macHex << "\n"
                                        << macAlgorithm;
    auto run = runShell("openssl asn1parse -genconf " + shellQuoted(dir.file("pfx.conf")) + " -out " +
                        shellQuoted(dir.file("out.p12")) + " -noout 2>&1");
    EXPECT_EQ(run.code, 0) << run.out;
    return read(dir.file("out.p12"));
}

std::string pbmac1Pfx(const IssuedCert& c, const std::string& bagPassword, const MacForm& form) {
    TempDir dir;
    TestPki::save(dir.file("nomac.p12"), unprotected(c, bagPassword));
    const std::string content = authSafe(dir.file("nomac.p12"));
    TestPki::save(dir.file("content.bin"), content);
    std::string mac(64, '0');
    if (form.computed) {
        const std::string key =
            hexOutput("openssl kdf -keylen " + std::to_string(form.keyLength ? form.keyLength : 32) +
                      " -kdfopt digest:" + form.prf + " -kdfopt " + shellQuoted("pass:" + form.password) +
                      " -kdfopt hexsalt:" + kSalt + " -kdfopt iter:" + std::to_string(form.iterations) + " PBKDF2");
        mac = hexOutput("openssl mac -digest " + form.hmac + " -macopt hexkey:" + key + " -in " +
                        shellQuoted(dir.file("content.bin")) + " HMAC");
    }
    if (form.damaged) mac[0] = mac[0] == '0' ? '1' : '0';
    std::ostringstream alg;
    alg << "[macalg]\noid=OID:1.2.840.113549.1.5.14\nparams=SEQUENCE:pbmac1\n"
        << "[pbmac1]\nkdf=SEQUENCE:kdf\nscheme=SEQUENCE:scheme\n"
        << "[kdf]\noid=OID:" << form.kdfOid << "\nparams=SEQUENCE:pbkdf2\n"
        << "[pbkdf2]\nsalt=FORMAT:HEX,OCTETSTRING:" << kSalt << "\niterations=INTEGER:" << form.iterations << "\n"
        << (form.keyLength ? "keyLength=INTEGER:" + std::to_string(form.keyLength) + "\n" : "") << "prf=SEQUENCE:prf\n"
        << "[prf]\noid=OID:" << hmacOid(form.prf) << "\nnull=NULL\n"
        << "[scheme]\noid=OID:" << hmacOid(form.hmac) << "\nnull=NULL\n";
    return withMacData(dir, content, alg.str(), mac);
}

struct Opened {
    int value;
    std::string form;
};

Opened inspect(const std::string& bytes, const std::string& password) {
    TempDir dir;
    TestPki::save(dir.file("in.p12"), bytes);
    Opened o;
    o.value = InspectPkcs12(dir.file("in.p12").c_str(), password.c_str(), o.form);
    return o;
}

}  // namespace

TEST(Pkcs12Forms, Pbmac1ArchivesOpenWithTheirPasswordOnly) {
    IssuedCert user = TestPki::instance().issue({.cn = "PBMAC1", .keyUsage = 0xA0});
    struct Row {
        const char* what;
        MacForm form;
    } rows[] = {
        {"SHA-256 PRF and HMAC", {}},
        {"SHA-512 PRF, SHA-256 HMAC", {.prf = "SHA512"}},
        {"SHA-512 PRF and HMAC, 64-byte key", {.prf = "SHA512", .hmac = "SHA512", .keyLength = 64}},
        {"SHA-1 PRF, one iteration", {.prf = "SHA1", .iterations = 1}},
    };
    for (const auto& row : rows) {
        const std::string pfx = pbmac1Pfx(user, row.form.password, row.form);
        Opened good = inspect(pfx, row.form.password);
        EXPECT_EQ(good.value, 0) << row.what << ": " << good.form;
        EXPECT_EQ(inspect(pfx, "4321").value, -3) << row.what;
    }
    MacForm chinese{.password = "数字证书"};
    EXPECT_EQ(inspect(pbmac1Pfx(user, chinese.password, chinese), "数字证书").value, 0);
    EXPECT_EQ(inspect(pbmac1Pfx(user, "1234", {.damaged = true}), "1234").value, -3)
        << "a changed MAC is an integrity failure";
}

TEST(Pkcs12Forms, APbmac1ArchiveImportsAndTakesANewPassword) {
    TempHome home;
    TempDir dir;
    IssuedCert user = TestPki::instance().issue({.cn = "PBMAC1 导入", .keyUsage = 0xA0});
    TestPki::save(dir.file("in.p12"), pbmac1Pfx(user, "1234", {}));
    EXPECT_EQ(static_cast<int>(CMyCertStore().ImportP12(nullptr, dir.file("in.p12").c_str(), "1234")), 0);
    EXPECT_EQ(static_cast<int>(CMyCertStore().ImportP12(nullptr, dir.file("in.p12").c_str(), "wrong")), 7);
    CMyCertStore my;
    my.OpenCertStore();
    EXPECT_EQ(my.GetCertCount(), 1);

    EXPECT_EQ(static_cast<int>(CPFXFile().UpdateP12FilePasswd(dir.file("in.p12").c_str(), "1234",
                                                              dir.file("out.p12").c_str(), "新密码")),
              0);
    std::string form;
    EXPECT_EQ(InspectPkcs12(dir.file("out.p12").c_str(), "新密码", form), 0);
}

// What cannot be read is named, and is never reported as a wrong password.
TEST(Pkcs12Forms, FormsThatCannotBeReadAreNamed) {
    IssuedCert user = TestPki::instance().issue({.cn = "unsupported", .keyUsage = 0xA0});
    struct Row {
        const char* what;
        MacForm form;
        const char* named;
    } rows[] = {
        {"PBMAC1 without keyLength", {.keyLength = 0}, "PBMAC1 without a key length"},
        {"PBMAC1 with scrypt", {.kdfOid = "1.3.6.1.4.1.11591.4.11"}, "PBMAC1 (scrypt)"},
        {"PBMAC1 with two billion iterations", {.iterations = 2147483647}, "PBMAC1 with 2147483647 iterations"},
    };
    for (auto& row : rows) {
        row.form.computed = false;
        const std::string text = pbmac1Pfx(user, "1234", row.form);
        Opened o = inspect(text, "1234");
        EXPECT_EQ(o.value, -1) << row.what;
        EXPECT_EQ(o.form, row.named) << row.what;
    }

    // The classic MAC with a digest this machine lacks.
    TempDir dir;
    TestPki::save(dir.file("nomac.p12"), unprotected(user, "1234"));
    const std::string gostMac = withMacData(dir, authSafe(dir.file("nomac.p12")),
                                            "[macalg]\noid=OID:1.2.643.7.1.1.2.2\nnull=NULL\n", std::string(64, '0'));
    Opened gost = inspect(gostMac, "1234");
    EXPECT_EQ(gost.value, -1);
    EXPECT_EQ(gost.form, "MAC with GOST R 34.11-2012 with 256 bit hash");
    TestPki::save(dir.file("gost.p12"), gostMac);
    EXPECT_EQ(static_cast<int>(CPFXFile().UpdateP12FilePasswd(dir.file("gost.p12").c_str(), "1234",
                                                              dir.file("new.p12").c_str(), "x")),
              5)
        << "5, not 7: the password was never tried";
}
