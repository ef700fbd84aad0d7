#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <BuiltinAuthorities.h>
#include <CaCertStore.h>
#include <Encodings.h>
#include <MyCertStore.h>
#include <OtherCertStore.h>
#include <windows.h>

#include "support/ChildProcess.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::IssuedCert;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

// Three people in ADDRESSBOOK: two share an address, with different key usages.
struct Book {
    IssuedCert signing = TestPki::instance().issue({.cn = "李四", .email = "ls@example.com", .keyUsage = 0x80});
    IssuedCert crypting = TestPki::instance().issue({.cn = "李四", .email = "ls@example.com", .keyUsage = 0x20});
    IssuedCert other = TestPki::instance().issue({.cn = "王五", .email = "ww@example.com"});
    Book() {
        for (auto* c : {&signing, &crypting, &other}) {
            CDigitalCertificate cert(c->der.data(), static_cast<int>(c->der.size()), CDigitalCertificate::ENC_DER);
            EXPECT_EQ(COtherCertStore().ImportCert(&cert), 0);
        }
    }
};

std::string thumbOf(CDigitalCertificate* c) {
    std::string t;
    if (c) c->GetCertInfo("ThumbPrint", t);
    return t;
}

}  // namespace

TEST(CertStore, IndexBounds) {
    TempHome home;
    Book book;
    COtherCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    ASSERT_EQ(store.GetCertCount(), 3);
    EXPECT_EQ(store.getCert(-1), nullptr);
    EXPECT_EQ(store.getCert(3), nullptr);
    EXPECT_FALSE(store.Remove(3));
    EXPECT_FALSE(store.Remove(-1));
    EXPECT_EQ(store.GetCertCount(), 3);
}

TEST(CertStore, FiltersNarrowTheListUntilTheNextOpen) {
    TempHome home;
    Book book;
    COtherCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    store.SetFilter("KeyUsage", "");
    store.SetFilter("KeyUsage", "Anything");
    store.SetFilter(nullptr, "x");
    EXPECT_EQ(store.GetCertCount(), 3) << "empty or unknown filters change nothing";

    store.SetFilter("subjectemail", "ls@example.com");
    EXPECT_EQ(store.GetCertCount(), 2) << "keys match in any case";
    store.SetFilter("KeyUsage", "Crypt");
    ASSERT_EQ(store.GetCertCount(), 1);
    EXPECT_EQ(thumbOf(store.getCert(0)), BinToThumb(book.crypting.sha1));

    ASSERT_EQ(store.OpenCertStore(), 0);
    EXPECT_EQ(store.GetCertCount(), 3);
    store.SetFilter("SubjectEmail", "LS@example.com");
    EXPECT_EQ(store.GetCertCount(), 0) << "values compare exactly";
    ASSERT_EQ(store.OpenCertStore(), 0);
    store.SetFilter("KeyUsage", "Sign");
    EXPECT_EQ(store.GetCertCount(), 2) << "the signing one and the unrestricted one";
}

TEST(CertStore, FindByThumbAcceptsEitherSpellingButNotAShortOne) {
    TempHome home;
    Book book;
    COtherCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    std::string spaced = BinToThumb(book.other.sha1);
    std::string upper;
    for (char c : spaced)
        if (c != ' ') upper.push_back(static_cast<char>(toupper(c)));
    CDigitalCertificate* bySpaced = store.FindByThumb(spaced);
    ASSERT_NE(bySpaced, nullptr);
    EXPECT_EQ(store.FindByThumb(upper), bySpaced);
    EXPECT_EQ(spaced.find(' '), std::string::npos) << "the query loses its spaces";
    std::string shorter = upper.substr(0, 39);
    EXPECT_EQ(store.FindByThumb(shorter), nullptr);
    std::string empty;
    EXPECT_EQ(store.FindByThumb(empty), nullptr);
    CBBuffer raw;
    raw.AttachBuffer(book.other.sha1.data(), 20);
    EXPECT_EQ(store.FindByThumb(&raw), bySpaced);
    CBBuffer tooShort;
    tooShort.AttachBuffer(book.other.sha1.data(), 19);
    EXPECT_EQ(store.FindByThumb(&tooShort), nullptr);
}

TEST(CertStore, RemoveDeletesFromTheSystemStoreAndKeepsOthersValid) {
    TempHome home;
    Book book;
    COtherCertStore store;
    ASSERT_EQ(store.OpenCertStore(), 0);
    CDigitalCertificate* last = store.getCert(2);
    std::string lastThumb = thumbOf(last);
    ASSERT_TRUE(store.Remove(0));
    EXPECT_EQ(store.GetCertCount(), 2);
    EXPECT_EQ(store.getCert(1), last) << "later entries move up";
    EXPECT_EQ(thumbOf(store.getCert(1)), lastThumb);
    COtherCertStore fresh;
    ASSERT_EQ(fresh.OpenCertStore(), 0);
    EXPECT_EQ(fresh.GetCertCount(), 2);
}

TEST(CertStore, ImportCertReadsWholeFilesInDerPemOrBase64) {
    TempHome home;
    orvik::test::TempDir dir;
    IssuedCert big = TestPki::instance().issue({.cn = "大证书", .padToBytes = 4000});
    IssuedCert ca = TestPki::instance().ca();
    TestPki::save(dir.file("big.cer"), big.der);
    TestPki::save(dir.file("ca.cer"), ca.der);
    TestPki::save(dir.file("ca.pem"), ca.pem);
    TestPki::save(dir.file("ca.b64"), base64Encode(ca.der));
    EXPECT_EQ(COtherCertStore().ImportCert(dir.file("big.cer").c_str()), 0) << "larger than 2048 bytes";
    EXPECT_EQ(COtherCertStore().ImportCert(dir.file("missing.cer").c_str()), 3);
    TestPki::save(dir.file("junk.cer"), "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    EXPECT_EQ(CCaCertStore().ImportCert(dir.file("junk.cer").c_str()), 8);
    // Neither a FIFO nor an endless device holds the import up; an endless file is refused.
    ASSERT_EQ(mkfifo(dir.file("fifo.cer").c_str(), 0600), 0);
    EXPECT_EQ(CCaCertStore().ImportCert(dir.file("fifo.cer").c_str()), 3);
    EXPECT_EQ(CCaCertStore().ImportCert("/dev/zero"), 3);
    TestPki::save(dir.file("huge.cer"), ca.der);
    ASSERT_EQ(truncate(dir.file("huge.cer").c_str(), 1L << 33), 0);
    EXPECT_EQ(CCaCertStore().ImportCert(dir.file("huge.cer").c_str()), 8);
    EXPECT_EQ(CCaCertStore().ImportCert(dir.file("ca.pem").c_str()), 0);
    EXPECT_EQ(CCaCertStore().ImportCert(dir.file("ca.b64").c_str()), 0);
    EXPECT_EQ(CCaCertStore().ImportCert(dir.file("ca.cer").c_str()), 0);
    CCaCertStore cas;
    ASSERT_EQ(cas.OpenCertStore(), 0);
    EXPECT_EQ(cas.GetCertCount(), 1) << "importing one certificate in three forms keeps one copy";
}

TEST(CertStore, CopiesOwnTheirCertificates) {
    TempHome home;
    Book book;
    auto* original = new COtherCertStore;
    ASSERT_EQ(original->OpenCertStore(), 0);
    COtherCertStore copy(*original);
    COtherCertStore assigned;
    assigned = *original;
    delete original;
    ASSERT_EQ(copy.GetCertCount(), 3);
    EXPECT_FALSE(thumbOf(copy.getCert(0)).empty());
    EXPECT_TRUE(copy.Remove(0)) << "the copy has its own handle on the store";
    EXPECT_EQ(assigned.GetCertCount(), 3);
}

TEST(CertStore, StoreFailuresAreReported) {
    TempHome home;
    // A damaged registry: opening a store and importing into it fail with 4.
    orvik::test::writeFile(home.file("registry.db"), std::string(4096, 'x'));
    CMyCertStore my;
    EXPECT_EQ(my.OpenCertStore(), 4);
    EXPECT_EQ(my.GetCertCount(), 0);
    CDigitalCertificate cert(TestPki::instance().ca().der.data(), static_cast<int>(TestPki::instance().ca().der.size()),
                             CDigitalCertificate::ENC_DER);
    EXPECT_EQ(COtherCertStore().ImportCert(&cert), 4);
    EXPECT_EQ(DoInstallCerts(), 4);
}

TEST(CertStore, InstallingTheAuthoritiesIsIdempotent) {
    TempHome home;
    ASSERT_EQ(DoInstallCerts(), 0);
    ASSERT_EQ(DoInstallCerts(), 0);
    CCaCertStore cas;
    ASSERT_EQ(cas.OpenCertStore(), 0);
    EXPECT_EQ(cas.GetCertCount(), 5);
    HCERTSTORE root = CertOpenSystemStoreA(0, "Root");
    ASSERT_NE(root, nullptr);
    int roots = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(root, c));) ++roots;
    CertCloseStore(root, 0);
    EXPECT_EQ(roots, 4);
    // The roots are machine entries named by their thumbprints.
    for (const char* thumb : orvik::builtin::kRootThumbprints) {
        std::string path = std::string("Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\") + thumb;
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << thumb;
        if (key) RegCloseKey(key);
    }
}

namespace {

int setName(const std::vector<std::string>& args) {
    CMyCertStore my;
    if (my.OpenCertStore() != 0 || my.GetCertCount() != 1) return 2;
    std::string name = args.at(0);
    return my.getCert(0)->setFriendlyName(name);
}

ORVIK_CHILD_ENTRY("set-friendly-name", setName);

int importOne(const std::vector<std::string>& args) {
    std::string der = orvik::test::readFile(args.at(0));
    CDigitalCertificate cert(der.data(), static_cast<int>(der.size()), CDigitalCertificate::ENC_DER);
    return COtherCertStore().ImportCert(&cert);
}

ORVIK_CHILD_ENTRY("import-one", importOne);

}  // namespace

TEST(CertStore, ChangesOfOneProcessAreSeenByAnother) {
    TempHome home;
    orvik::test::TempDir dir;
    IssuedCert user = TestPki::instance().issue({.cn = "跨进程"});
    CDigitalCertificate cert(user.der.data(), static_cast<int>(user.der.size()), CDigitalCertificate::ENC_DER);
    ASSERT_EQ(CMyCertStore().ImportCertAndKey(cert, user.keyPem), 0);
    orvik::test::ChildProcess child("set-friendly-name", {"别名"});
    ASSERT_EQ(child.wait(), 0);
    CMyCertStore my;
    ASSERT_EQ(my.OpenCertStore(), 0);
    std::string name;
    my.getCert(0)->getFriendlyName(name);
    EXPECT_EQ(name, "别名");

    TestPki::save(dir.file("other.cer"), TestPki::instance().issue({.cn = "other"}).der);
    orvik::test::ChildProcess importer("import-one", {dir.file("other.cer")});
    ASSERT_EQ(importer.wait(), 0);
    COtherCertStore book;
    ASSERT_EQ(book.OpenCertStore(), 0);
    EXPECT_EQ(book.GetCertCount(), 1);
}
