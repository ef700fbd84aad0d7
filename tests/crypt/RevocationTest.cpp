#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <CaCertStore.h>
#include <DigitalCertificate.h>
#include <SecLog.h>
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

// The file the cache keeps a URL's list in.
std::string cachedFile(const orvik::test::TempHome& home, const std::string& url) {
    BYTE digest[20];
    DWORD size = sizeof digest;
    EXPECT_TRUE(CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE*>(url.data()),
                                     static_cast<DWORD>(url.size()), digest, &size));
    static const char hex[] = "0123456789abcdef";
    std::string name;
    for (BYTE b : digest) {
        name.push_back(hex[b >> 4]);
        name.push_back(hex[b & 15]);
    }
    return home.file("crl-cache/" + name + ".crl");
}

// A list put into the cache as if it had been downloaded `age` seconds ago.
void putInCache(const orvik::test::TempHome& home, const std::string& url, const std::string& crl, long age) {
    mkdir(home.file("crl-cache").c_str(), 0700);
    const std::string path = cachedFile(home, url);
    orvik::test::writeFile(path, crl);
    struct timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string logPath() {
    auto dirs = CSecLog::LogDirectories();
    return dirs.empty() ? std::string() : dirs.front() + "OrvikCrypt.log";
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

TEST(Revocation, ACachedListThatChangesIsReadAgain) {
    RevocationSetup s;
    IssuedCert user = s.user("/ca.crl");
    s.server.set("/ca.crl", s.pki.crl(s.pki.ca(), {}));
    std::string state;
    EXPECT_EQ(check(user, true, state), 0);
    const std::string path = cachedFile(s.home, s.server.url("/ca.crl"));
    ASSERT_TRUE(orvik::test::fileExists(path));

    // Rewritten in place, as another process might: the parsed copy must not outlive it.
    orvik::test::writeFile(path, s.pki.crl(s.pki.ca(), {user}));
    EXPECT_EQ(check(user, false, state), 9);
    EXPECT_EQ(check(user, true, state), 9);
    orvik::test::writeFile(path, "damaged");
    EXPECT_EQ(check(user, false, state), 10);
    unlink(path.c_str());
    EXPECT_EQ(check(user, false, state), 10);
    EXPECT_EQ(s.server.hits("/ca.crl"), 1) << "the later online check found a current list in the cache";
}

TEST(Revocation, AnUndatedListIsFetchedAgainOnceItsCopyIsOld) {
    RevocationSetup s;
    IssuedCert user = s.user("/undated.crl");
    const std::string url = s.server.url("/undated.crl");
    putInCache(s.home, url, s.pki.crlWith(s.pki.ca(), {.nextUpdateOffset = std::nullopt}), 2 * 86400);
    s.server.set("/undated.crl", s.pki.crlWith(s.pki.ca(), {.revoked = {user}, .nextUpdateOffset = std::nullopt}));
    std::string state;
    EXPECT_EQ(check(user, false, state), 0) << "cache-only: the old copy still answers";
    EXPECT_EQ(s.server.hits("/undated.crl"), 0);
    EXPECT_EQ(check(user, true, state), 9) << "online: fetched again";
    EXPECT_EQ(s.server.hits("/undated.crl"), 1);
    EXPECT_EQ(check(user, true, state), 9);
    EXPECT_EQ(s.server.hits("/undated.crl"), 1) << "the new copy is fresh";

    // Young undated copies are not fetched again; an old one whose renewal fails still answers.
    IssuedCert young = s.user("/young.crl");
    putInCache(s.home, s.server.url("/young.crl"), s.pki.crlWith(s.pki.ca(), {.nextUpdateOffset = std::nullopt}), 3600);
    s.server.set("/young.crl", s.pki.crl(s.pki.ca(), {young}));
    EXPECT_EQ(check(young, true, state), 0);
    EXPECT_EQ(s.server.hits("/young.crl"), 0);
    IssuedCert stranded = s.user("/gone.crl");
    putInCache(s.home, s.server.url("/gone.crl"), s.pki.crlWith(s.pki.ca(), {.nextUpdateOffset = std::nullopt}),
               2 * 86400);
    EXPECT_EQ(check(stranded, true, state), 0);
    EXPECT_EQ(s.server.hits("/gone.crl"), 1);
}

TEST(Revocation, AnIssuerRemovedFromTheStoresNoLongerVouchesForAList) {
    RevocationSetup s;
    IssuedCert user = s.user("/ca.crl");
    s.server.set("/ca.crl", s.pki.crl(s.pki.ca(), {user}));
    std::string state;
    EXPECT_EQ(check(user, true, state), 9);
    {
        orvik::test::StorePtr store(CertOpenSystemStoreA(0, "CA"));
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store.get(), ctx)))
            if (std::string(reinterpret_cast<const char*>(ctx->pbCertEncoded), ctx->cbCertEncoded) == s.pki.ca().der) {
                ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(ctx)));
            }
    }
    EXPECT_EQ(check(user, false, state), 10) << "no issuer in the stores any more";
    ASSERT_TRUE(orvik::test::addToSystemStore("CA", s.pki.ca().der));
    EXPECT_EQ(check(user, false, state), 9);
}

TEST(Revocation, ChecksOnSeveralThreadsShareOneList) {
    RevocationSetup s;
    std::vector<IssuedCert> users, revoked;
    for (int i = 0; i < 12; ++i) {
        users.push_back(s.user("/shared.crl"));
        if (i % 3 == 0) revoked.push_back(users.back());
    }
    s.server.set("/shared.crl", s.pki.crlWith(s.pki.ca(), {.revoked = revoked, .fillerEntries = 2000}));
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> results(4);
    for (size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&, t] {
            for (const IssuedCert& u : users) {
                std::string state;
                results[t].push_back(check(u, true, state));
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results)
        for (size_t i = 0; i < users.size(); ++i) EXPECT_EQ(r[i], i % 3 == 0 ? 9 : 0) << i;
    EXPECT_LE(s.server.hits("/shared.crl"), 1);
}

TEST(Revocation, RoutineAnswersStayOutOfTheErrorLog) {
    RevocationSetup s;
    const std::string log = logPath();
    const size_t before = orvik::test::fileExists(log) ? orvik::test::readFile(log).size() : 0;
    IssuedCert plain = s.pki.issue({.cn = "no cdp"});
    IssuedCert revoked = s.user("/ca.crl");
    IssuedCert uncached = s.user("/later.crl");
    s.server.set("/ca.crl", s.pki.crl(s.pki.ca(), {revoked}));
    std::string state;
    EXPECT_EQ(check(plain, true, state), 12);
    EXPECT_EQ(check(uncached, false, state), 10);
    EXPECT_EQ(check(revoked, true, state), 9);
    std::string text = orvik::test::fileExists(log) ? orvik::test::readFile(log) : std::string();
    text = text.size() >= before ? text.substr(before) : text;
    EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
    EXPECT_NE(text.find("INFO"), std::string::npos) << "a revoked certificate is noted: " << text;
    s.server.stop();
    IssuedCert unreachable = s.user("/down.crl");
    EXPECT_EQ(check(unreachable, true, state), 10);
    text = orvik::test::readFile(log).substr(before);
    EXPECT_NE(text.find("WARNING"), std::string::npos) << "an unreachable list is worth a warning: " << text;
    EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
}
