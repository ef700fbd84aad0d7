// The batch configuration of a 500-contact address book: its directory search reported against
// the same 500 searches made raw on one bound connection in the same run, and the time to apply
// the 500 chosen certificates (target: 10 s).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <LdapBatch.h>
#include <OEAddrBook.h>
#include <OtherCertStore.h>
#include <wabtags.h>

#include "RawLdap.h"
#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

namespace {

constexpr int kContacts = 500;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::string mailOf(int i) { return "person" + std::to_string(i) + "@example.test"; }

}  // namespace

int main() {
    orvik::test::TempHome home;
    std::string dir = ORVIKWAB_PATH;
    dir.erase(dir.rfind('/'));
    COEAddrBook::RegisterLibrary(dir);

    orvik::test::SlapdOptions options;
    options.defaultSearchBase = true;
    for (int i = 0; i < kContacts; ++i)
        options.entries.push_back(
            {.cn = "Person " + std::to_string(i),
             .mail = mailOf(i),
             .certificates = {orvik::test::TestPki::instance()
                                  .issue({.cn = "Person " + std::to_string(i), .email = mailOf(i), .keyUsage = 0x30})
                                  .der}});
    orvik::test::Slapd slapd(options);
    orvik::test::setDeploymentValue("DirectoryHost1", slapd.host());
    // The batch chooses only certificates of authorities the user trusts.
    for (auto [name, der] : {std::pair{"Root", orvik::test::TestPki::instance().root().der},
                             {"CA", orvik::test::TestPki::instance().ca().der}}) {
        HCERTSTORE store = CertOpenSystemStoreA(0, name);
        if (!store ||
            !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            return 1;
        CertCloseStore(store, 0);
    }

    COEAddrBook book;
    for (int i = 0; i < kContacts; ++i) {
        CContact c;
        c.setNewEntry(1);
        c.findField(PR_DISPLAY_NAME)->setValue(("Person " + std::to_string(i)).c_str());
        c.findField(PR_EMAIL_ADDRESS)->setValue(mailOf(i).c_str());
        if (book.SaveContact(&c) != 0) return 1;
    }
    COtherCertStore store;
    store.OpenCertStore();
    auto candidates = CLdapBatch::OutlookCandidates(book, store);
    std::vector<std::string> emails;
    for (const auto& c : candidates) emails.push_back(c.email);

    bench::rawSearches(slapd.host(), "", emails);  // warm the server's caches for both
    auto t0 = Clock::now();
    size_t reference = bench::rawSearches(slapd.host(), "", emails);
    auto t1 = Clock::now();
    CLdapBatch batch;
    std::atomic<bool> stop{false};
    size_t mine = 0;
    int rc = batch.Search(emails, stop, [&](size_t i, CLdapBatch::Found found) {
        mine += found.size();
        candidates[i].found = std::move(found);
    });
    auto t2 = Clock::now();
    CLdapBatch::AutoAssign(candidates);
    int applied = CLdapBatch::Apply(CLdapBatch::OutlookExpress, candidates, &book, nullptr);
    auto t3 = Clock::now();

    double ratio = seconds(t1, t2) / seconds(t0, t1);
    std::printf("ldap batch: %zu contacts, %zu certificates found (reference %zu), %d applied\n", emails.size(), mine,
                reference, applied);
    std::printf("  raw searches on one connection %.3f s, batch search %.3f s, ratio %.2f (target <= 1.50)\n",
                seconds(t0, t1), seconds(t1, t2), ratio);
    std::printf("  applying %d certificates %.3f s (target <= 10 s)\n", applied, seconds(t2, t3));
    return rc == 0 && mine == reference && applied == kContacts && ratio <= 1.5 && seconds(t2, t3) <= 10 ? 0 : 1;
}
