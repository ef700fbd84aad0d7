// 500 directory lookups through CLdapCert (a connection, a bind and a search each) against a
// slapd holding 5,000 entries, reported against the same 500 searches made raw with
// ldap_search_ext_s on one bound connection in the same run.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <LdapCert.h>

#include "RawLdap.h"
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
        if (directory.getUserCertificates(host.c_str(), "", mailOf(i * (kEntries / kLookups)).c_str(), out) ==
            CLdapCert::Ok)
            found += out.size();
        for (auto* c : out) delete c;
    }
    return found;
}

size_t raw(const std::string& host) {
    std::vector<std::string> emails;
    for (int i = 0; i < kLookups; ++i) emails.push_back(mailOf(i * (kEntries / kLookups)));
    return bench::rawSearches(host, "dc=orvikon,dc=test", emails);
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
