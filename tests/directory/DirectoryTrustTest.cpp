// Directory results checked before the batch may choose one, and directories reached over TLS
// whose certificates are checked, against real slapd instances on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <DirectoryTrust.h>
#include <LdapBatch.h>
#include <LdapCert.h>
#include <wincrypt.h>

#include "support/CertHandles.h"
#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::CertSpec;
using orvik::test::IssuedCert;
using orvik::test::Slapd;
using orvik::test::SlapdOptions;
using orvik::test::TestPki;

namespace {

std::unique_ptr<CDigitalCertificate> certOf(const IssuedCert& issued) {
    return std::make_unique<CDigitalCertificate>(issued.der.data(), static_cast<int>(issued.der.size()),
                                                 CDigitalCertificate::ENC_DER);
}

// An authority the user never trusted, and what it issues.
const IssuedCert& strangerCa() {
    static IssuedCert ca = TestPki::instance().selfSigned({.cn = "Orvik Stranger CA", .ca = true});
    return ca;
}

// The directory server's certificate: its address as the common name, as directories have it.
IssuedCert serverCert(CertSpec s, const IssuedCert* issuer = nullptr) {
    if (s.cn.empty()) s.cn = "127.0.0.1";
    s.keyUsage = 0xA0;
    return issuer ? TestPki::instance().issue(s, *issuer) : TestPki::instance().issue(s);
}

SlapdOptions tlsDirectory(const IssuedCert& server, std::vector<orvik::test::DirectoryEntry> entries = {}) {
    return {.defaultSearchBase = true,
            .entries = std::move(entries),
            .tlsCertificate = server.pem + TestPki::instance().ca().pem,
            .tlsKey = server.keyPem};
}

class DirectoryTrust : public ::testing::Test {
protected:
    void SetUp() override {
        orvik::test::setDeploymentValue("DirectoryHost1", "127.0.0.1:1");
        orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");
    }
    void trustTestAuthorities() {
        EXPECT_TRUE(orvik::test::addToSystemStore("Root", TestPki::instance().root().der));
        EXPECT_TRUE(orvik::test::addToSystemStore("CA", TestPki::instance().ca().der));
    }

    // One lookup with a fresh client, as each caller makes one: its result, what it found, why TLS failed.
    struct Lookup {
        int rc = -1;
        size_t found = 0;
        CLdapCert::TlsProblem problem = CLdapCert::TlsProblem::None;
    };
    static Lookup lookup(const std::string& host, const std::string& email) {
        CLdapCert directory;
        std::vector<CDigitalCertificate*> out;
        Lookup l;
        l.rc = directory.getUserCertificates(host.c_str(), "", email.c_str(), out);
        l.found = out.size();
        l.problem = directory.tlsProblem();
        for (auto* c : out) delete c;
        return l;
    }

    orvik::test::TempHome home;
};

}  // namespace

TEST_F(DirectoryTrust, VerdictsSayWhatIsWrongWithAResult) {
    auto& pki = TestPki::instance();
    trustTestAuthorities();
    struct Row {
        const char* what;
        IssuedCert cert;
        const char* text;
    } rows[] = {
        {"issued by the trusted authority", pki.issue({.cn = "甲", .keyUsage = 0x30}), "可信"},
        {"no key usage at all", pki.issue({.cn = "乙"}), "可信"},
        {"data encipherment only", pki.issue({.cn = "丙", .keyUsage = 0x10}), "可信"},
        {"an unknown authority", pki.issue({.cn = "丁", .keyUsage = 0x30}, strangerCa()), "颁发者不受信任"},
        {"self-signed", pki.selfSigned({.cn = "戊", .keyUsage = 0x30}), "颁发者不受信任"},
        {"expired", pki.issue({.cn = "己", .keyUsage = 0x30, .notBeforeOffset = -20 * 86400, .notAfterOffset = -60}),
         "已过期"},
        {"not yet begun", pki.issue({.cn = "庚", .keyUsage = 0x30, .notBeforeOffset = 3600}), "尚未生效"},
        {"signing only", pki.issue({.cn = "辛", .keyUsage = 0x80}), "不可用于加密"},
        {"everything wrong at once",
         pki.issue({.cn = "壬", .keyUsage = 0x80, .notBeforeOffset = -20 * 86400, .notAfterOffset = -60}, strangerCa()),
         "颁发者不受信任，已过期，不可用于加密"},
    };
    CDirectoryTrust trust;
    for (const Row& r : rows) {
        CDirectoryTrust::Verdict v = trust.Check(*certOf(r.cert));
        EXPECT_EQ(CDirectoryTrust::Text(v), r.text) << r.what;
        EXPECT_EQ(v.ok(), std::string(r.text) == "可信") << r.what;
    }
    EXPECT_EQ(CDirectoryTrust::Words(trust.Check(*certOf(rows[5].cert))), "expired");

    // The root alone is not enough when the authority between is in no store.
    orvik::test::TempHome bare;
    EXPECT_TRUE(orvik::test::addToSystemStore("Root", pki.root().der));
    EXPECT_FALSE(CDirectoryTrust().Check(*certOf(rows[0].cert)).trusted);
    EXPECT_TRUE(orvik::test::addToSystemStore("CA", pki.ca().der));
    EXPECT_TRUE(CDirectoryTrust().Check(*certOf(rows[0].cert)).trusted) << "the stores are read by a new object";
    // An authority in "CA" alone, whose root the user does not trust, vouches for nothing.
    orvik::test::TempHome caOnly;
    EXPECT_TRUE(orvik::test::addToSystemStore("CA", pki.ca().der));
    EXPECT_TRUE(orvik::test::addToSystemStore("CA", pki.root().der));
    EXPECT_FALSE(CDirectoryTrust().Check(*certOf(rows[0].cert)).trusted);
}

TEST_F(DirectoryTrust, OverLdapsAndStartTlsOnlyTheTrustedResultIsAssigned) {
    auto& pki = TestPki::instance();
    trustTestAuthorities();
    IssuedCert good = pki.issue({.cn = "好", .email = "good@example.cn", .keyUsage = 0x30});
    IssuedCert stranger = pki.issue({.cn = "生", .email = "stranger@example.cn", .keyUsage = 0x30}, strangerCa());
    IssuedCert old = pki.issue({.cn = "旧",
                                .email = "old@example.cn",
                                .keyUsage = 0x30,
                                .notBeforeOffset = -20 * 86400,
                                .notAfterOffset = -60});
    IssuedCert signer = pki.issue({.cn = "签", .email = "signer@example.cn", .keyUsage = 0x80});
    Slapd slapd(
        tlsDirectory(serverCert({}), {{.cn = "好", .mail = "good@example.cn", .certificates = {good.der}},
                                      {.cn = "生", .mail = "stranger@example.cn", .certificates = {stranger.der}},
                                      {.cn = "旧", .mail = "old@example.cn", .certificates = {old.der}},
                                      {.cn = "签", .mail = "signer@example.cn", .certificates = {signer.der}}}));
    const std::vector<std::string> emails = {"good@example.cn", "stranger@example.cn", "old@example.cn",
                                             "signer@example.cn"};

    for (const char* mode : {"ldaps", "starttls"}) {
        SCOPED_TRACE(mode);
        const bool ldaps = std::string(mode) == "ldaps";
        orvik::test::setDeploymentValue("DirectoryTls", mode);
        orvik::test::setDeploymentValue("DirectoryHost1", ldaps ? slapd.tlsHost() : slapd.host());
        std::vector<CLdapBatch::Candidate> candidates(emails.size());
        for (size_t i = 0; i < emails.size(); ++i) candidates[i].email = emails[i];
        CLdapBatch batch;
        std::atomic<bool> stop{false};
        ASSERT_EQ(batch.Search(emails, stop,
                               [&](size_t i, CLdapBatch::Found found) { candidates[i].found = std::move(found); }),
                  0);
        EXPECT_EQ(batch.tlsProblem(), CLdapCert::TlsProblem::None);
        for (const auto& c : candidates) ASSERT_EQ(c.found.size(), 1u) << c.email;

        CLdapBatch::AutoResult result = CLdapBatch::AutoAssign(candidates);
        EXPECT_EQ(result.assigned, 1);
        EXPECT_NE(candidates[0].chosen, nullptr);
        for (size_t i = 1; i < candidates.size(); ++i) EXPECT_EQ(candidates[i].chosen, nullptr) << emails[i];
        EXPECT_EQ(result.refused, (std::vector<size_t>{1, 2, 3})) << "each is reported, none chosen";
    }
    size_t secured = 0;
    const std::string log = slapd.log();
    for (size_t at = log.find("TLS established"); at != std::string::npos; at = log.find("TLS established", at + 1))
        ++secured;
    EXPECT_EQ(secured, 2u) << "one connection for each mode, kept for the batch: " << log;

    // Without trust in the test authorities the same result is no longer chosen, and nor is the server.
    orvik::test::TempHome bare;
    orvik::test::setDeploymentValue("DirectoryTls", "none");
    orvik::test::setDeploymentValue("DirectoryHost1", slapd.host());
    std::vector<CLdapBatch::Candidate> plain(1);
    plain[0].email = "good@example.cn";
    ASSERT_EQ(CLdapBatch().FindForAddress(plain[0].email, plain[0].found), 0);
    ASSERT_EQ(plain[0].found.size(), 1u);
    CLdapBatch::AutoResult result = CLdapBatch::AutoAssign(plain);
    EXPECT_EQ(plain[0].chosen, nullptr);
    EXPECT_EQ(result.refused, (std::vector<size_t>{0}));
}

TEST_F(DirectoryTrust, AServerWhoseCertificateFailsIsRefusedBeforeAnythingIsAsked) {
    trustTestAuthorities();
    struct Row {
        const char* what;
        IssuedCert server;
        CLdapCert::TlsProblem problem;
        const char* text;
    } rows[] = {
        {"unknown authority", serverCert({}, &strangerCa()), CLdapCert::TlsProblem::Untrusted,
         "服务器证书的颁发者不受信任。"},
        {"another server's", serverCert({.cn = "127.0.0.2"}), CLdapCert::TlsProblem::NameMismatch,
         "服务器证书与服务器名称不符。"},
        {"expired", serverCert({.notBeforeOffset = -20 * 86400, .notAfterOffset = -60}), CLdapCert::TlsProblem::Expired,
         "服务器证书已过期。"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Slapd slapd(tlsDirectory(r.server, {{.cn = "甲", .mail = "jia@example.cn"}}));
        for (const char* mode : {"ldaps", "starttls"}) {
            SCOPED_TRACE(mode);
            const bool ldaps = std::string(mode) == "ldaps";
            orvik::test::setDeploymentValue("DirectoryTls", mode);
            const std::string host = ldaps ? slapd.tlsHost() : slapd.host();
            Lookup l = lookup(host, "jia@example.cn");
            EXPECT_EQ(l.rc, CLdapCert::kSecureConnectionFailed);
            EXPECT_EQ(l.problem, r.problem);
            EXPECT_EQ(CLdapCert::TlsProblemText(l.problem, host), "与目录服务器" + host + "的安全连接失败：" + r.text);
        }
        EXPECT_EQ(slapd.log().find(" BIND "), std::string::npos) << "nothing was asked";
        EXPECT_EQ(slapd.log().find(" SRCH "), std::string::npos);
    }
}

TEST_F(DirectoryTrust, NoTlsWhereTlsWasAskedForIsAFailureNotPlainText) {
    Slapd plain({.defaultSearchBase = true, .entries = {{.cn = "甲", .mail = "jia@example.cn"}}});
    Slapd secure(tlsDirectory(serverCert({}), {{.cn = "甲", .mail = "jia@example.cn"}}));
    trustTestAuthorities();

    orvik::test::setDeploymentValue("DirectoryTls", "starttls");
    Lookup noStartTls = lookup(plain.host(), "jia@");
    EXPECT_EQ(noStartTls.rc, CLdapCert::kSecureConnectionFailed);
    EXPECT_EQ(noStartTls.problem, CLdapCert::TlsProblem::Handshake);
    EXPECT_EQ(plain.log().find(" SRCH "), std::string::npos);

    orvik::test::setDeploymentValue("DirectoryTls", "LDAPS");
    Lookup plainPort = lookup(secure.host(), "jia@");
    EXPECT_EQ(plainPort.rc, CLdapCert::kSecureConnectionFailed) << "an LDAP port speaks no TLS first";
    EXPECT_EQ(plainPort.problem, CLdapCert::TlsProblem::Handshake);
    Lookup refused = lookup("127.0.0.1:" + std::to_string(orvik::test::closedPort()), "jia@");
    EXPECT_EQ(refused.rc, CLdapCert::kNoConnection) << "no server is no TLS problem";
    EXPECT_EQ(refused.problem, CLdapCert::TlsProblem::None);
    EXPECT_EQ(lookup(secure.tlsHost(), "jia@").rc, 0);

    // A server that never answers the handshake fails within the time-outs, as a plain one does.
    orvik::test::setDeploymentValue("DirectoryConnectTimeout", "1");
    orvik::test::setDeploymentValue("DirectoryTimeout", "1");
    orvik::test::SilentListener silent;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup(silent.host(), "jia@").rc, CLdapCert::kNoConnection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));

    orvik::test::setDeploymentValue("DirectoryTls", "tls");
    Lookup unknown = lookup(secure.host(), "jia@");
    EXPECT_EQ(unknown.rc, CLdapCert::kSecureConnectionFailed);
    EXPECT_EQ(unknown.problem, CLdapCert::TlsProblem::Setting);
    EXPECT_EQ(secure.log().find(" SRCH "), secure.log().rfind(" SRCH ")) << "only the ldaps search was made";

    orvik::test::setDeploymentValue("DirectoryTls", "none");
    EXPECT_EQ(lookup(secure.host(), "jia@").rc, 0);
}
