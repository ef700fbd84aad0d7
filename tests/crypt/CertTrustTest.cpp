// The user's trust in authorities: roots trusted and distrusted through the platform's stores,
// and every chain and revocation check that follows the decision.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <CaCertStore.h>
#include <CertTrust.h>
#include <DirectoryTrust.h>
#include <DigitalCertificate.h>
#include <windows.h>

#include "support/CertHandles.h"
#include "support/HttpServer.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::addToMachineStore;
using orvik::test::addToSystemStore;
using orvik::test::HttpServer;
using orvik::test::IssuedCert;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

CDigitalCertificate certOf(const IssuedCert& c) {
    return CDigitalCertificate(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER);
}

// How many certificates equal to `c` a store holds.
int countIn(const char* store, const IssuedCert& c) {
    HCERTSTORE s = CertOpenSystemStoreA(0, store);
    if (!s) return -1;
    int n = 0;
    for (PCCERT_CONTEXT ctx = nullptr; (ctx = CertEnumCertificatesInStore(s, ctx));)
        if (std::string(reinterpret_cast<const char*>(ctx->pbCertEncoded), ctx->cbCertEncoded) == c.der) ++n;
    CertCloseStore(s, 0);
    return n;
}

CCertTrust::State stateOf(const IssuedCert& c) { return CCertTrust().Check(certOf(c)); }

}  // namespace

TEST(CertTrust, ARootImportedAsAnAuthorityIsTrustedAndDistrustedByTheUser) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    IssuedCert user = pki.issue({.cn = "张三", .email = "zs@example.test"});
    ASSERT_TRUE(addToSystemStore("CA", pki.root().der));  // what the authorities page's import does
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));
    EXPECT_EQ(stateOf(user), CCertTrust::Untrusted) << "a root in CA anchors nothing";
    EXPECT_FALSE(CDirectoryTrust().Check(certOf(user)).trusted);

    EXPECT_EQ(CCertTrust::Trust(certOf(pki.root())), CCertStore::Ok);
    EXPECT_EQ(countIn("Root", pki.root()), 1);
    std::vector<std::string> chain;
    EXPECT_EQ(CCertTrust().Check(certOf(user), &chain), CCertTrust::Trusted);
    EXPECT_EQ(chain, (std::vector<std::string>{user.der, pki.ca().der, pki.root().der}));
    EXPECT_TRUE(CDirectoryTrust().Check(certOf(user)).trusted);

    EXPECT_EQ(CCertTrust::Distrust(certOf(pki.root())), CCertStore::Ok);
    EXPECT_EQ(countIn("Disallowed", pki.root()), 1);
    EXPECT_EQ(countIn("Root", pki.root()), 1) << "the distrust overrides; Root is left as it was";
    EXPECT_EQ(CCertTrust().Check(certOf(user), &chain), CCertTrust::Distrusted);
    EXPECT_EQ(chain.back(), pki.root().der) << "the path names the authority that breaks it";
    EXPECT_EQ(stateOf(pki.root()), CCertTrust::Distrusted);
    EXPECT_EQ(stateOf(pki.ca()), CCertTrust::Distrusted);
    EXPECT_FALSE(CDirectoryTrust().Check(certOf(user)).trusted);
    EXPECT_EQ(CDirectoryTrust::CheckServer(user.der, "127.0.0.1"), CDirectoryTrust::ServerUntrusted);

    // Trusting again takes the distrust back and needs nothing else.
    EXPECT_EQ(CCertTrust::Trust(certOf(pki.root())), CCertStore::Ok);
    EXPECT_EQ(countIn("Disallowed", pki.root()), 0);
    EXPECT_EQ(stateOf(user), CCertTrust::Trusted);
}

TEST(CertTrust, AnIntermediateCanBeDistrustedButOnlyARootAnchorsTrust) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    IssuedCert user = pki.issue({.cn = "李四"});
    ASSERT_TRUE(addToSystemStore("Root", pki.root().der));
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));
    EXPECT_EQ(stateOf(user), CCertTrust::Trusted);

    EXPECT_EQ(CCertTrust::Trust(certOf(pki.ca())), CCertStore::NothingDone) << "not a root, not distrusted";
    EXPECT_EQ(countIn("Root", pki.ca()), 0);
    EXPECT_EQ(CCertTrust::Distrust(certOf(pki.ca())), CCertStore::Ok);
    EXPECT_EQ(stateOf(user), CCertTrust::Distrusted);
    EXPECT_EQ(stateOf(pki.root()), CCertTrust::Trusted) << "the root above it is untouched";
    EXPECT_EQ(CCertTrust::Trust(certOf(pki.ca())), CCertStore::Ok);
    EXPECT_EQ(stateOf(user), CCertTrust::Trusted);
    EXPECT_EQ(countIn("Root", pki.ca()), 0) << "an intermediate never becomes a root";
}

TEST(CertTrust, TheAuthoritiesListShowsRootsOnceAndKnowsTheBuiltInOnes) {
    TempHome home;
    TestPki& pki = TestPki::instance();
    IssuedCert mine = pki.selfSigned({.cn = "我的根", .ca = true});
    IssuedCert refused = pki.selfSigned({.cn = "不要的根", .ca = true});
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));
    ASSERT_TRUE(addToSystemStore("CA", mine.der));
    ASSERT_TRUE(addToSystemStore("Root", mine.der));
    ASSERT_TRUE(addToSystemStore("Disallowed", refused.der));
    // The deployment's root, installed for the machine.
    ASSERT_TRUE(addToMachineStore("Root", pki.root().der));

    CCaCertStore intermediates;
    ASSERT_EQ(intermediates.OpenCertStore(), 0);
    EXPECT_EQ(intermediates.GetCertCount(), 2) << "CA alone, as before";

    CCaCertStore all(CCaCertStore::WithRoots);
    ASSERT_EQ(all.OpenCertStore(), 0);
    std::vector<std::string> names;
    for (int i = 0; i < all.GetCertCount(); ++i) {
        std::string cn;
        all.getCert(i)->GetCertInfo("SubjectCN", cn);
        names.push_back(cn);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Orvik Test CA", "Orvik Test Root", "不要的根", "我的根"}));

    EXPECT_TRUE(CCertTrust::IsBuiltIn(certOf(pki.root())));
    EXPECT_FALSE(CCertTrust::IsBuiltIn(certOf(mine)));
    EXPECT_TRUE(CCertTrust::IsRoot(certOf(mine)));
    EXPECT_FALSE(CCertTrust::IsRoot(certOf(pki.ca())));
    EXPECT_EQ(stateOf(refused), CCertTrust::Distrusted);
    // A built-in root is distrusted like any other; its machine entry stays.
    EXPECT_EQ(CCertTrust::Distrust(certOf(pki.root())), CCertStore::Ok);
    EXPECT_EQ(stateOf(pki.ca()), CCertTrust::Distrusted);
    EXPECT_TRUE(CCertTrust::IsBuiltIn(certOf(pki.root())));
}

TEST(CertTrust, AListSignedByADistrustedAuthorityProvesNothing) {
    TempHome home;
    HttpServer server;
    TestPki& pki = TestPki::instance();
    ASSERT_TRUE(addToSystemStore("Root", pki.root().der));
    ASSERT_TRUE(addToSystemStore("CA", pki.ca().der));
    IssuedCert revoked = pki.issue({.cn = "王五", .crlUrl = server.url("/ca.crl")});
    server.set("/ca.crl", pki.crl(pki.ca(), {revoked}));
    std::string state;
    CDigitalCertificate cert = certOf(revoked);
    EXPECT_EQ(cert.CRLCheck(state, true), CDigitalCertificate::Revoked);
    EXPECT_EQ(state, "已吊销");

    ASSERT_EQ(CCertTrust::Distrust(certOf(pki.ca())), CCertStore::Ok);
    EXPECT_EQ(cert.CRLCheck(state, false), CDigitalCertificate::RevocationUnknown)
        << "the cached list was signed by an authority the user no longer trusts";
    EXPECT_EQ(state, "未知");
    ASSERT_EQ(CCertTrust::Trust(certOf(pki.ca())), CCertStore::Ok);
    EXPECT_EQ(cert.CRLCheck(state, false), CDigitalCertificate::Revoked);
}
