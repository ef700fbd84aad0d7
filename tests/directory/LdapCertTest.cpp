// Directory lookups against real slapd instances on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <LdapCert.h>
#include <orvik/Deployment.h>

#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::DirectoryEntry;
using orvik::test::IssuedCert;
using orvik::test::Slapd;
using orvik::test::SlapdOptions;
using orvik::test::TestPki;

namespace {

const IssuedCert& certFor(int i) {
    static std::vector<IssuedCert> made;
    while (static_cast<int>(made.size()) <= i) {
        std::string n = std::to_string(made.size());
        made.push_back(TestPki::instance().issue({.cn = "User " + n, .email = "user" + n + "@example.test"}));
    }
    return made[static_cast<size_t>(i)];
}

// What one search gave: its result and the DER of every certificate, in order.
struct Lookup {
    int rc = -1;
    std::vector<std::string> ders;
};

Lookup lookup(const std::string& host, const std::string& name, const std::string& email) {
    std::vector<CDigitalCertificate*> out;
    Lookup l;
    l.rc = CLdapCert().getUserCertificates(host.c_str(), name.c_str(), email.c_str(), out);
    for (auto* c : out) {
        l.ders.emplace_back(reinterpret_cast<const char*>(c->getPCCERT()->pbCertEncoded),
                            c->getPCCERT()->cbCertEncoded);
        delete c;
    }
    return l;
}

class Directory : public ::testing::Test {
protected:
    void SetUp() override {
        // Both deployment hosts elsewhere, so a test host is "any other host" with this base.
        orvik::test::setDeploymentValue("DirectoryHost1", "127.0.0.1:1");
        orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");
    }
    orvik::test::TempHome home;
};

}  // namespace

TEST_F(Directory, EveryCertificateOfEveryMatchingEntryInAttributeOrder) {
    Slapd slapd(
        {.entries = {
             {.cn = "Alice", .mail = "alice@example.test", .certificates = {certFor(0).der, certFor(1).der}},
             {.cn = "Alice Two", .mail = "alice@example.test"},  // no certificate attribute
             {.cn = "Bob", .mail = "bob@example.test", .certificates = {certFor(2).der}},
             // A value that is no certificate is passed over, the next one is kept.
             {.cn = "Carol", .mail = "carol@example.test", .certificates = {"not a certificate", certFor(3).der}},
         }});
    Lookup alice = lookup(slapd.host(), "", "alice@example.test");
    EXPECT_EQ(alice.rc, 0);
    ASSERT_EQ(alice.ders.size(), 2u);
    EXPECT_EQ(alice.ders[0], certFor(0).der);
    EXPECT_EQ(alice.ders[1], certFor(1).der);

    Lookup carol = lookup(slapd.host(), "", "carol@example.test");
    EXPECT_EQ(carol.rc, 0);
    ASSERT_EQ(carol.ders.size(), 1u);
    EXPECT_EQ(carol.ders[0], certFor(3).der);

    Lookup nobody = lookup(slapd.host(), "", "nobody@example.test");
    EXPECT_EQ(nobody.rc, 0);
    EXPECT_TRUE(nobody.ders.empty());
}

TEST_F(Directory, NamesAndAddressesMatchAsSubstrings) {
    Slapd slapd({.entries = {
                     {.cn = "张三", .mail = "zhangsan@example.test", .certificates = {certFor(0).der}},
                     {.cn = "李四", .mail = "lisi@example.test", .certificates = {certFor(1).der}},
                     {.cn = "张三丰", .mail = "sanfeng@example.test", .certificates = {certFor(2).der}},
                 }});
    Lookup byName = lookup(slapd.host(), "张三", "");
    EXPECT_EQ(byName.rc, 0);
    EXPECT_EQ(byName.ders.size(), 2u);
    // Name and address together must both match.
    Lookup both = lookup(slapd.host(), "张三", "sanfeng@");
    ASSERT_EQ(both.ders.size(), 1u);
    EXPECT_EQ(both.ders[0], certFor(2).der);
    // An address inside a longer one matches too.
    Lookup suffix = lookup(slapd.host(), "", "san@example.test");
    EXPECT_EQ(suffix.ders.size(), 1u);
    EXPECT_NE(slapd.log().find("filter=\"(cn=*"), std::string::npos) << "a name alone is parenthesised";
}

TEST_F(Directory, FilterSpecialsAreEscapedNotObeyed) {
    Slapd slapd({.entries = {
                     {.cn = "Alice", .mail = "alice@example.test", .certificates = {certFor(0).der}},
                     {.cn = "Malice", .mail = "malice@example.test", .certificates = {certFor(1).der}},
                     {.cn = "Bob", .mail = "bob@example.test", .certificates = {certFor(2).der}},
                     {.cn = "Li (Lab)", .mail = "li@example.test", .certificates = {certFor(3).der}},
                 }});
    Lookup star = lookup(slapd.host(), "", "a*e@example.test");
    EXPECT_EQ(star.rc, 0);
    EXPECT_TRUE(star.ders.empty()) << "a * in the address must not widen the match";
    EXPECT_NE(slapd.log().find("(mail=*a\\2Ae@example.test*)"), std::string::npos) << slapd.log();

    Lookup paren = lookup(slapd.host(), "(Lab)", "");
    EXPECT_EQ(paren.rc, 0);
    ASSERT_EQ(paren.ders.size(), 1u);
    EXPECT_EQ(paren.ders[0], certFor(3).der);
    Lookup broken = lookup(slapd.host(), "x)(mail=*", "");
    EXPECT_EQ(broken.rc, 0);
    EXPECT_TRUE(broken.ders.empty());
}

TEST_F(Directory, NothingToLookForAsksNothing) {
    Slapd slapd({.entries = {{.cn = "Alice", .mail = "alice@example.test", .certificates = {certFor(0).der}}}});
    Lookup empty = lookup(slapd.host(), "", "");
    EXPECT_EQ(empty.rc, 0);
    EXPECT_TRUE(empty.ders.empty());
    EXPECT_EQ(slapd.log().find("SRCH"), std::string::npos);
    // The fixture's own readiness probe connects, but never binds.
    EXPECT_EQ(slapd.log().find("BIND"), std::string::npos) << "not even a bind";
}

TEST_F(Directory, TheDeploymentsTwoHostsAccumulateInOneVector) {
    // Host 1 is searched from its root; every other host from the fixed base, which host 1 lacks.
    Slapd first({.suffix = "dc=first,dc=test",
                 .defaultSearchBase = true,
                 .entries = {{.cn = "Alice", .mail = "alice@example.test", .certificates = {certFor(0).der}}}});
    Slapd second({.suffix = "dc=orvikon,dc=test",
                  .entries = {{.cn = "Alice", .mail = "alice@example.test", .certificates = {certFor(1).der}}}});
    orvik::test::setDeploymentValue("DirectoryHost1", first.host());
    orvik::test::setDeploymentValue("DirectoryHost2", second.host());

    std::vector<CDigitalCertificate*> out;
    CLdapCert directory;
    auto hosts = CLdapCert::directoryHosts();
    ASSERT_EQ(hosts, (std::vector<std::string>{second.host(), first.host()}));
    for (const auto& host : hosts) EXPECT_EQ(directory.getUserCertificates(host.c_str(), "", "alice@", out), 0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out[0]->getPCCERT()->pbCertEncoded),
                          out[0]->getPCCERT()->cbCertEncoded),
              certFor(1).der);
    for (auto* c : out) delete c;
    EXPECT_NE(first.log().find("SRCH base=\"\""), std::string::npos) << first.log();
    EXPECT_NE(second.log().find("SRCH base=\"dc=orvikon,dc=test\""), std::string::npos);

    // The same host without its port is the same host: 389 is what it would be reached on.
    orvik::test::setDeploymentValue("DirectoryHost1", "LDAP.example.test");
    EXPECT_EQ(lookup(first.host(), "", "alice@").rc, 32) << "host 1 no longer: searched from a base it lacks";
}

TEST_F(Directory, FailedBindsAndSearchesAreReportedNotHiddenAsNoMatch) {
    Slapd refusing({.entries = {{.cn = "Alice", .mail = "alice@example.test"}}, .refuseAnonymous = true});
    EXPECT_EQ(lookup(refusing.host(), "", "alice@").rc, 48) << "inappropriateAuthentication from the bind";

    Slapd other({.suffix = "dc=elsewhere,dc=test", .entries = {{.cn = "Alice", .mail = "alice@example.test"}}});
    Lookup noBase = lookup(other.host(), "", "alice@");
    EXPECT_EQ(noBase.rc, 32) << "noSuchObject: the search failed";
    EXPECT_TRUE(noBase.ders.empty());
}

TEST_F(Directory, TheSizeLimitKeepsWhatArrived) {
    orvik::test::setDeploymentValue("DirectorySizeLimit", "20");
    SlapdOptions many;
    for (int i = 0; i < 30; ++i)
        many.entries.push_back({.cn = "Person " + std::to_string(i),
                                .mail = "person" + std::to_string(i) + "@example.test",
                                .certificates = {certFor(0).der}});
    Slapd slapd(many);
    Lookup l = lookup(slapd.host(), "", "@example.test");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.ders.size(), 20u);
}

TEST_F(Directory, AKeptConnectionTheDirectoryDroppedIsReplaced) {
    Slapd slapd({.entries = {{.cn = "Alice", .mail = "alice@example.test", .certificates = {certFor(0).der}}}});
    ASSERT_EQ(lookup(slapd.host(), "", "alice@").ders.size(), 1u);
    slapd.restart();
    Lookup again = lookup(slapd.host(), "", "alice@");
    EXPECT_EQ(again.rc, 0);
    EXPECT_EQ(again.ders.size(), 1u);
    slapd.stop();
    EXPECT_EQ(lookup(slapd.host(), "", "alice@").rc, CLdapCert::kNoConnection) << "and a dead one is reported";
}

TEST_F(Directory, DeadServersFailInBoundedTime) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    EXPECT_EQ(lookup("127.0.0.1:" + std::to_string(orvik::test::closedPort()), "", "alice@").rc,
              CLdapCert::kNoConnection);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "a refused connection fails at once";

    orvik::test::setDeploymentValue("DirectoryTimeout", "2");
    orvik::test::SilentListener silent;
    start = Clock::now();
    EXPECT_EQ(lookup(silent.host(), "", "alice@").rc, CLdapCert::kNoConnection);
    auto took = Clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(2 + 2));
    EXPECT_GE(took, std::chrono::milliseconds(1500)) << "it waited for the answer";

    start = Clock::now();
    EXPECT_EQ(lookup("", "", "alice@").rc, CLdapCert::kNoConnection);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST_F(Directory, DeploymentValuesFallBackToTheirDefaults) {
    EXPECT_EQ(orvik::deployment::number("DirectoryTimeout"), 30u);
    orvik::test::setDeploymentValue("DirectoryTimeout", "12x");
    EXPECT_EQ(orvik::deployment::number("DirectoryTimeout"), 30u) << "a value that is no number is passed over";
    orvik::test::setDeploymentValue("DirectoryTimeout", "7");
    EXPECT_EQ(orvik::deployment::number("DirectoryTimeout"), 7u);
    EXPECT_EQ(orvik::deployment::text("DirectoryBase"), "dc=orvikon,dc=test");
    EXPECT_EQ(orvik::deployment::text("NoSuchValue"), "");
}
