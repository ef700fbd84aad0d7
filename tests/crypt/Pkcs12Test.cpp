// PKCS #12 files as users have them, made at test time by OpenSSL.
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <CaCertStore.h>
#include <Encodings.h>
#include <MyCertStore.h>
#include <PFXFile.h>
#include <orvik/CodePage.h>
#include <orvik/KeyBlob.h>
#include <orvik/OpenSslProviders.h>
#include <orvik/PendingKeyContainer.h>
#include <windows.h>

#include "support/ChildProcess.h"
#include "support/MessageBoxRecorder.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::IssuedCert;
using orvik::test::TempDir;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

enum class Kind { Windows, OpenSsl3, NoMac };

struct PfxOptions {
    Kind kind = Kind::Windows;
    std::vector<const IssuedCert*> chain{};
};

// A file as the given kind of writer makes it.
std::string makePfx(X509* cert, EVP_PKEY* key, const std::string& password, PfxOptions options = {}) {
    orvik::loadOpenSslProviders();
    STACK_OF(X509)* ca = sk_X509_new_null();
    for (const IssuedCert* c : options.chain) {
        X509_up_ref(c->x509());
        sk_X509_push(ca, c->x509());
    }
    const char* pass = password.c_str();
    PKCS12* p12 = nullptr;
    switch (options.kind) {
    case Kind::Windows:
        p12 = PKCS12_create(pass, "my key", key, cert, ca, NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                            NID_pbe_WithSHA1And40BitRC2_CBC, 2000, -1, 0);
        if (p12) PKCS12_set_mac(p12, pass, -1, nullptr, 0, 2000, EVP_sha1());
        break;
    case Kind::OpenSsl3:
        p12 = PKCS12_create(pass, "my key", key, cert, ca, 0, 0, 2048, -1, 0);
        if (p12) PKCS12_set_mac(p12, pass, -1, nullptr, 0, 2048, EVP_sha256());
        break;
    case Kind::NoMac:
        p12 = PKCS12_create(pass, "my key", key, cert, ca, NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                            NID_pbe_WithSHA1And3_Key_TripleDES_CBC, 2000, -1, 0);
        break;
    }
    sk_X509_pop_free(ca, X509_free);
    EXPECT_NE(p12, nullptr);
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12, &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    PKCS12_free(p12);
    return out;
}

std::string makePfx(const IssuedCert& c, const std::string& password, PfxOptions options = {}) {
    return makePfx(c.x509(), c.key(), password, options);
}

// Each byte of the code-page form as one character: how code-page programs wrote passwords.
std::string bytePerCharacter(const std::string& utf8) {
    std::u16string wide;
    for (unsigned char c : orvik::toCp936(utf8)) wide.push_back(c);
    return orvik::utf16ToUtf8(wide);
}

int myCount() {
    CMyCertStore my;
    my.OpenCertStore();
    return my.GetCertCount();
}

size_t containerCount(const TempHome& home) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(home.file("keys/user"), ec);
         !ec && it != std::filesystem::directory_iterator(); ++it)
        ++n;
    return n;
}

// The personal certificate with this thumbprint signs, so its key arrived whole.
bool signsWith(const IssuedCert& c) {
    CMyCertStore my;
    my.OpenCertStore();
    std::string thumb = BinToThumb(c.sha1);
    CDigitalCertificate* cert = my.FindByThumb(thumb);
    if (!cert) return false;
    CBBuffer content, signature;
    content.AttachBuffer("data", 4);
    if (cert->SignMessage(content, signature) != 0) return false;
    std::unique_ptr<CDigitalCertificate> signer(CDigitalCertificate::VerifyMessage(content, signature));
    return signer != nullptr;
}

}  // namespace

TEST(Pkcs12, ImportsWhatUsersHave) {
    auto& pki = TestPki::instance();
    struct Row {
        const char* what;
        std::string filePassword, givenPassword;
        PfxOptions options;
        int bits;
    } rows[] = {
        {"Windows export (3DES key, RC2-40 certificates)", "secret", "secret", {Kind::Windows}, 2048},
        {"OpenSSL 3 default (AES-256, PBKDF2, SHA-256 MAC)", "secret", "secret", {Kind::OpenSsl3}, 2048},
        {"no MAC", "secret", "secret", {Kind::NoMac}, 2048},
        {"Chinese password, standard form", "数字证书", "数字证书", {Kind::Windows}, 2048},
        {"Chinese password, byte-per-character form", bytePerCharacter("数字证书"), "数字证书", {Kind::Windows}, 2048},
        {"empty password", "", "", {Kind::Windows}, 2048},
        {"4096-bit key", "secret", "secret", {Kind::OpenSsl3}, 4096},
    };
    for (const auto& row : rows) {
        TempHome home;
        TempDir dir;
        IssuedCert user = pki.issue({.cn = "导入", .keyUsage = 0xA0, .bits = row.bits});
        TestPki::save(dir.file("in.pfx"), makePfx(user, row.filePassword, row.options));
        EXPECT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("in.pfx").c_str(), row.givenPassword.c_str()), 0)
            << row.what;
        EXPECT_TRUE(signsWith(user)) << row.what;
    }
}

TEST(Pkcs12, ChainAuthoritiesGoToTheCaStore) {
    TempHome home;
    TempDir dir;
    auto& pki = TestPki::instance();
    IssuedCert user = pki.issue({.cn = "链"});
    TestPki::save(dir.file("in.pfx"), makePfx(user, "pw", {Kind::Windows, {&pki.ca(), &pki.root()}}));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("in.pfx").c_str(), "pw"), 0);
    CCaCertStore ca;
    ASSERT_EQ(ca.OpenCertStore(), 0);
    ASSERT_EQ(ca.GetCertCount(), 1) << "the intermediate, not the root";
    std::string cn;
    ca.getCert(0)->GetCertInfo("SubjectCN", cn);
    EXPECT_EQ(cn, "Orvik Test CA");
}

TEST(Pkcs12, FailuresLeaveStoresAndContainersAsTheyWere) {
    TempHome home;
    TempDir dir;
    auto& pki = TestPki::instance();
    IssuedCert user = pki.issue({.cn = "失败"});
    TestPki::save(dir.file("in.pfx"), makePfx(user, "right"));
    TestPki::save(dir.file("cert.der"), user.der);
    // A key that is not RSA.
    EVP_PKEY* ec = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* self = X509_new();
    X509_set_version(self, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(self), 1);
    X509_gmtime_adj(X509_getm_notBefore(self), 0);
    X509_gmtime_adj(X509_getm_notAfter(self), 86400);
    X509_set_pubkey(self, ec);
    X509_sign(self, ec, EVP_sha256());
    TestPki::save(dir.file("ec.pfx"), makePfx(self, ec, "pw", {Kind::OpenSsl3}));
    X509_free(self);
    EVP_PKEY_free(ec);

    struct Row {
        const char* what;
        std::string path, password;
        const char* provider;
        int result;
    } rows[] = {
        {"wrong password", dir.file("in.pfx"), "wrong", nullptr, 7},
        {"a DER certificate", dir.file("cert.der"), "right", nullptr, 6},
        {"a missing file", dir.file("none.pfx"), "right", nullptr, 5},
        {"a key that is not RSA", dir.file("ec.pfx"), "pw", nullptr, 5},
        {"a provider that does not exist", dir.file("in.pfx"), "right", "No Such Provider", 4},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CMyCertStore().ImportP12(row.provider, row.path.c_str(), row.password.c_str()), row.result)
            << row.what;
        EXPECT_EQ(myCount(), 0) << row.what;
        EXPECT_EQ(containerCount(home), 0u) << row.what;
    }
    std::string algorithm;
    EXPECT_EQ(InspectPkcs12(dir.file("in.pfx").c_str(), "wrong", algorithm), -3);
}

TEST(Pkcs12, TwoImportsInOneSecondGetTwoContainers) {
    TempHome home;
    TempDir dir;
    auto& pki = TestPki::instance();
    IssuedCert a = pki.issue({.cn = "甲"}), b = pki.issue({.cn = "乙"});
    TestPki::save(dir.file("a.pfx"), makePfx(a, "pw"));
    TestPki::save(dir.file("b.pfx"), makePfx(b, "pw"));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("a.pfx").c_str(), "pw"), 0);
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("b.pfx").c_str(), "pw"), 0);
    EXPECT_EQ(containerCount(home), 2u);
    EXPECT_TRUE(signsWith(a));
    EXPECT_TRUE(signsWith(b));
}

TEST(Pkcs12, ExportReadsEverywhere) {
    TempHome home;
    TempDir dir;
    auto& pki = TestPki::instance();
    IssuedCert user = pki.issue({.cn = "Alice Export"});
    TestPki::save(dir.file("in.pfx"), makePfx(user, "pw", {Kind::Windows, {&pki.ca()}}));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("in.pfx").c_str(), "pw"), 0);
    CMyCertStore my;
    ASSERT_EQ(my.OpenCertStore(), 0);
    EXPECT_EQ(my.ExportP12(my.GetCertCount(), dir.file("none.pfx").c_str(), "x"), 1);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("none.pfx")));
    ASSERT_EQ(my.ExportP12(0, dir.file("out.pfx").c_str(), "新密码"), 0);

    // OpenSSL 3 without its legacy provider reads it: 3DES bags, a SHA-1 MAC, the name, the chain.
    std::string command = "openssl pkcs12 -info -nodes -passin pass:新密码 -in '" + dir.file("out.pfx") + "' > '" +
                          dir.file("info.txt") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << orvik::test::readFile(dir.file("info.txt"));
    std::string info = orvik::test::readFile(dir.file("info.txt"));
    EXPECT_NE(info.find("MAC: sha1"), std::string::npos) << info;
    EXPECT_NE(info.find("pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2000"), std::string::npos) << info;
    EXPECT_EQ(info.find("RC2-CBC"), std::string::npos) << info;
    EXPECT_NE(info.find("friendlyName: Alice Export"), std::string::npos) << info;
    EXPECT_NE(info.find("CN = Orvik Test CA"), std::string::npos) << "the chain travels with it";

    TempHome other;
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("out.pfx").c_str(), "新密码"), 0);
    EXPECT_TRUE(signsWith(user)) << "a re-imported export keeps a usable key";
}

TEST(Pkcs12, KeysThatMayNotLeaveAreNotExported) {
    TempHome home;
    TempDir dir;
    orvik::test::MessageBoxRecorder boxes;
    IssuedCert user = TestPki::instance().issue({.cn = "不可导出"});
    // Stored without CRYPT_EXPORTABLE, as a key generated on the machine would be.
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "fixed", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    orvik::SecretBytes blob = orvik::privateKeyBlobOf(user.key(), CALG_RSA_KEYX);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(user.der.data()),
                                                      static_cast<DWORD>(user.der.size()));
    std::u16string container = u"fixed", provider = orvik::utf8ToUtf16(MS_ENHANCED_PROV_A);
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    ASSERT_TRUE(CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_ALWAYS, nullptr));
    CertCloseStore(store, 0);
    CertFreeCertificateContext(ctx);

    CMyCertStore my;
    ASSERT_EQ(my.OpenCertStore(), 0);
    EXPECT_EQ(my.ExportP12(0, dir.file("out.pfx").c_str(), "pw"), 4);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("out.pfx")));
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, "证书不能导出!");
    EXPECT_EQ(boxes.last().caption, "证书助手");
    EXPECT_EQ(boxes.last().type, static_cast<UINT>(MB_ICONWARNING));
}

TEST(Pkcs12, PasswordChangeKeepsTheChainAndOnlyTheNewPasswordOpensIt) {
    TempHome home;
    TempDir dir;
    auto& pki = TestPki::instance();
    IssuedCert user = pki.issue({.cn = "改密码"});
    TestPki::save(dir.file("backup.pfx"), makePfx(user, "old", {Kind::Windows, {&pki.ca()}}));
    CPFXFile file;
    EXPECT_EQ(file.UpdateP12FilePasswd(dir.file("backup.pfx").c_str(), "bad", dir.file("backup.pfx").c_str(), "new"),
              7);
    ASSERT_EQ(file.UpdateP12FilePasswd(dir.file("backup.pfx").c_str(), "old", dir.file("backup.pfx").c_str(), "新"), 0);
    std::string algorithm;
    EXPECT_EQ(InspectPkcs12(dir.file("backup.pfx").c_str(), "old", algorithm), -3);
    EXPECT_EQ(InspectPkcs12(dir.file("backup.pfx").c_str(), "新", algorithm), 0);
    ASSERT_EQ(file.UpdateP12FilePasswd(dir.file("backup.pfx").c_str(), "新", dir.file("copy.pfx").c_str(), "x"), 0);
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("copy.pfx").c_str(), "x"), 0);
    CCaCertStore ca;
    ca.OpenCertStore();
    EXPECT_EQ(ca.GetCertCount(), 1) << "the chain survived two changes";
    EXPECT_TRUE(signsWith(user));
    EXPECT_EQ(file.UpdateP12FilePasswd(dir.file("backup.pfx").c_str(), "新", dir.file("no/dir/x.pfx").c_str(), "x"),
              13);
}

namespace {

int changeWithLittleSpace(const std::vector<std::string>& args) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{512, 512};
    setrlimit(RLIMIT_FSIZE, &limit);
    return CPFXFile().UpdateP12FilePasswd(args.at(0).c_str(), "old", args.at(0).c_str(), "new");
}

ORVIK_CHILD_ENTRY("passwd-little-space", changeWithLittleSpace);

}  // namespace

TEST(Pkcs12, AFailedInPlaceChangeLeavesTheOriginalByteIdentical) {
    TempDir dir;
    IssuedCert user = TestPki::instance().issue({.cn = "满盘"});
    // Written before the limit: the child may not grow any file past 512 bytes.
    const std::string original = makePfx(user, "old");
    TestPki::save(dir.file("backup.pfx"), original);
    orvik::test::ChildProcess child("passwd-little-space", {dir.file("backup.pfx")});
    EXPECT_EQ(child.wait(), 13);
    EXPECT_EQ(orvik::test::readFile(dir.file("backup.pfx")), original);
    size_t files = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file();
    EXPECT_EQ(files, 1u) << "no temporary file left behind";
}

namespace {

// The names of the user's key containers, from their file names.
std::vector<std::string> containerNames(const TempHome& home) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(home.file("keys/user"), ec);
         !ec && it != std::filesystem::directory_iterator(); ++it) {
        const std::string file = it->path().filename().string();
        if (it->path().extension() != ".key") continue;
        std::string name;
        for (size_t i = 0; i + 1 < file.size() - 4; i += 2)
            name.push_back(static_cast<char>(std::stoi(file.substr(i, 2), nullptr, 16)));
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool makeContainer(const std::string& name) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, name.c_str(), MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    CryptReleaseContext(prov, 0);
    return true;
}

// A process that marks a container and dies without a word, as a killed import does.
void dieHolding(const std::string& name, bool replaced) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* mark = new orvik::PendingKeyContainer;  // never destroyed: the process just ends
        bool ok = replaced ? mark->markReplaced(name) : mark->mark(name) && makeContainer(name);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

TEST(Pkcs12, WhatAnImportThatDiedLeftGoesWhenMyIsOpenedAndNothingElse) {
    TempHome home;
    TempDir dir;
    IssuedCert a = TestPki::instance().issue({.cn = "甲"});
    TestPki::save(dir.file("a.pfx"), makePfx(a, "pw"));
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("a.pfx").c_str(), "pw"), CMyCertStore::Ok);
    const std::vector<std::string> stored = containerNames(home);
    ASSERT_EQ(stored.size(), 1u);

    // Killed before its certificate was stored; killed after (its key is in use); still running.
    dieHolding("dead", false);
    dieHolding(stored[0], true);
    {
        orvik::PendingKeyContainer live;
        ASSERT_TRUE(live.mark("live"));
        ASSERT_TRUE(makeContainer("live"));
        EXPECT_FALSE(orvik::PendingKeyContainer().mark("live")) << "a container that is there is never marked new";
        EXPECT_EQ(containerNames(home), (std::vector<std::string>{stored[0], "dead", "live"}));

        CMyCertStore my;
        ASSERT_EQ(my.OpenCertStore(), 0);
        EXPECT_EQ(containerNames(home), (std::vector<std::string>{stored[0], "live"}));
        EXPECT_TRUE(signsWith(a));
        EXPECT_EQ(containerCount(home), 3u) << "only the running import's mark is left";
    }
    // An import that fails takes its container and mark with it.
    EXPECT_EQ(containerNames(home), stored);
    EXPECT_EQ(containerCount(home), 1u);

    // The same file again: the certificate gets the new key, and the old container goes.
    ASSERT_EQ(CMyCertStore().ImportP12(nullptr, dir.file("a.pfx").c_str(), "pw"), CMyCertStore::Ok);
    EXPECT_EQ(containerCount(home), 1u);
    EXPECT_NE(containerNames(home), stored);
    EXPECT_TRUE(signsWith(a));
}
