// 500 directory lookups through CLdapCert (a connection, a bind and a search each) against a
// slapd holding 5,000 entries, reported against the same 500 searches made raw with
// ldap_search_ext_s on one bound connection in the same run.
#include <ldap.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <LdapCert.h>

#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

namespace {

constexpr int kEntries = 5000;
constexpr int kLookups = 500;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::string mailOf(int i) { return "person" + std::to_string(i) + "@example.test"; }

size_t ours(const std::string& host) {
    size_t found = 0;
    CLdapCert directory;
    for (int i = 0; i < kLookups; ++i) {
        std::vector<CDigitalCertificate*> out;
        directory.getUserCertificates(host.c_str(), "", mailOf(i * (kEntries / kLookups)).c_str(), out);
        found += out.size();
        for (auto* c : out) delete c;
    }
    return found;
}

size_t raw(const std::string& host) {
    size_t found = 0;
    LDAP* ld = nullptr;
    ldap_initialize(&ld, ("ldap://" + host).c_str());
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    berval none{0, nullptr};
    ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &none, nullptr, nullptr, nullptr);
    for (int i = 0; i < kLookups; ++i) {
        std::string filter = "(mail=*" + mailOf(i * (kEntries / kLookups)) + "*)";
        LDAPMessage* result = nullptr;
        ldap_search_ext_s(ld, "dc=orvikon,dc=test", LDAP_SCOPE_SUBTREE, filter.c_str(), nullptr, 0, nullptr, nullptr,
                          nullptr, 200, &result);
        for (LDAPMessage* e = ldap_first_entry(ld, result); e; e = ldap_next_entry(ld, e)) {
            berval** values = ldap_get_values_len(ld, e, "userCertificate;binary");
            found += static_cast<size_t>(ldap_count_values_len(values));
            ldap_value_free_len(values);
        }
        ldap_msgfree(result);
    }
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return found;
}

}  // namespace

int main() {
    orvik::test::TempHome home;
    orvik::test::SlapdOptions options;
    std::vector<orvik::test::IssuedCert> certificates;
    for (int i = 0; i < 50; ++i)
        certificates.push_back(orvik::test::TestPki::instance().issue({.cn = "Person " + std::to_string(i)}));
    for (int i = 0; i < kEntries; ++i)
        options.entries.push_back({.cn = "Person " + std::to_string(i),
                                   .mail = mailOf(i),
                                   .certificates = {certificates[static_cast<size_t>(i % 50)].der}});
    orvik::test::Slapd slapd(options);
    orvik::test::setDeploymentValue("DirectoryHost1", "127.0.0.1:1");
    orvik::test::setDeploymentValue("DirectoryBase", "dc=orvikon,dc=test");

    raw(slapd.host());  // warm the server's caches for both
    auto t0 = Clock::now();
    size_t reference = raw(slapd.host());
    auto t1 = Clock::now();
    size_t mine = ours(slapd.host());
    auto t2 = Clock::now();
    double ratio = seconds(t1, t2) / seconds(t0, t1);
    std::printf("ldap lookups: %d against %d entries, %zu certificates (reference %zu)\n", kLookups, kEntries, mine,
                reference);
    std::printf("  raw searches on one connection %.3f s, CLdapCert %.3f s, ratio %.2f (target <= 1.50)\n",
                seconds(t0, t1), seconds(t1, t2), ratio);
    return mine == reference && ratio <= 1.5 ? 0 : 1;
}
