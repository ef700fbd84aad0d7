#include <gtest/gtest.h>

#include <string>

#include <CaCertStore.h>
#include <DigitalCertificate.h>
#include <windows.h>

#include "support/CertHandles.h"
#include "support/HttpServer.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::HttpServer;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

// A home whose stores know the test hierarchy, and a CRL server for it.
struct RevocationSetup {
    orvik::test::TempHome home;
    HttpServer server;
    TestPki& pki = TestPki::instance();

    RevocationSetup(bool trustIssuer = true) {
        if (!trustIssuer) return;
        EXPECT_TRUE(orvik::test::addToSystemStore("CA", pki.ca().der));
        EXPECT_TRUE(orvik::test::addToSystemStore("Root", pki.root().der));
    }
    IssuedCert user(const std::string& path) { return pki.issue({.cn = "用户", .crlUrl = server.url(path)}); }
};

int check(const IssuedCert& c, bool online, std::string& state) {
    CDigitalCertificate cert(c.der.data(), static_cast<int>(c.der.size()), CDigitalCertificate::ENC_DER);
    state.clear();
    return cert.CRLCheck(state, online);
}

}  // namespace

TEST(Revocation, RevokedOnlineStaysRevokedFromTheCache) {
    RevocationSetup s;
    IssuedCert revoked = s.user("/ca.crl");
    IssuedCert valid = s.user("/ca.crl");
    s.server.set("/ca.crl", s.pki.crl(s.pki.ca(), {revoked}));
    std::string state;
    EXPECT_EQ(check(revoked, true, state), 9);
    EXPECT_EQ(state, "已吊销");
    EXPECT_EQ(check(valid, true, state), 0);
    EXPECT_EQ(state, "有效");
    EXPECT_EQ(s.server.hits("/ca.crl"), 1) << "one list, fetched once for both";
    s.server.stop();
    EXPECT_EQ(check(revoked, false, state), 9);
    EXPECT_EQ(check(valid, false, state), 0);
    EXPECT_EQ(check(revoked, true, state), 9) << "a current cached list needs no server";
}

TEST(Revocation, AListWhoseTimesCarryAnOffsetIsCurrentUntilItsNextUpdate) {
    RevocationSetup s;
    IssuedCert revoked = s.user("/offset.crl");
    s.server.set("/offset.crl", s.pki.crl(s.pki.ca(), {revoked}, 7 * 86400, nullptr, true));
    std::string state;
    EXPECT_EQ(check(revoked, true, state), 9);
    IssuedCert late = s.user("/offset-late.crl");
    s.server.set("/offset-late.crl", s.pki.crl(s.pki.ca(), {late}, -120, nullptr, true));
    EXPECT_EQ(check(late, true, state), 10) << "past its next update";
}

TEST(Revocation, CacheOnlyNeverTouchesTheNetwork) {
    RevocationSetup s;
    IssuedCert user = s.user("/ca.crl");
    s.server.set("/ca.crl", s.pki.crl(s.pki.ca(), {}));
    std::string state;
    EXPECT_EQ(check(user, false, state), 10);
    EXPECT_EQ(state, "未知");
    EXPECT_EQ(s.server.hits("/ca.crl"), 0);
}

TEST(Revocation, NoDistributionPointMeansNoList) {
    RevocationSetup s;
    IssuedCert user = s.pki.issue({.cn = "no cdp"});
    std::string state;
    EXPECT_EQ(check(user, true, state), 12);
    EXPECT_EQ(state, "无CRL");
    EXPECT_EQ(check(user, false, state), 12);
}

TEST(Revocation, UntrustworthyListsGiveUnknown) {
    RevocationSetup s;
    IssuedCert user = s.user("/foreign.crl");
    IssuedCert other = s.pki.issue({.cn = "foreign signer"});
    s.server.set("/foreign.crl", s.pki.crl(s.pki.ca(), {user}, 7 * 86400, &other));
    std::string state;
    EXPECT_EQ(check(user, true, state), 10) << "signed by a foreign key";

    IssuedCert late = s.user("/expired.crl");
    s.server.set("/expired.crl", s.pki.crl(s.pki.ca(), {late}, -60));
    EXPECT_EQ(check(late, true, state), 10) << "past its next update";

    IssuedCert junk = s.user("/junk.crl");
    s.server.set("/junk.crl", std::string("not a list"));
    EXPECT_EQ(check(junk, true, state), 10);

    IssuedCert missing = s.user("/missing.crl");
    EXPECT_EQ(check(missing, true, state), 10) << "404";
    EXPECT_EQ(check(missing, true, state), 10);
    EXPECT_EQ(s.server.hits("/missing.crl"), 1) << "a failed list is not fetched again at once";
}

TEST(Revocation, ServerDownGivesUnknown) {
    RevocationSetup s;
    IssuedCert user = s.user("/ca.crl");
    s.server.stop();
    std::string state;
    EXPECT_EQ(check(user, true, state), 10);
    EXPECT_EQ(state, "未知");
}

TEST(Revocation, UnknownIssuerGivesUnknown) {
    RevocationSetup s(false);
    IssuedCert user = s.user("/ca.crl");
    s.server.set("/ca.crl", s.pki.crl(s.pki.ca(), {}));
    std::string state;
    EXPECT_EQ(check(user, true, state), 10);
    EXPECT_EQ(s.server.hits("/ca.crl"), 0) << "nothing to check the list against";
}
