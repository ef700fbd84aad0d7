// The directory batch over a whole address book, against a real slapd.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include <LdapBatch.h>
#include <OEAddrBook.h>
#include <OtherCertStore.h>
#include <wabtags.h>

#include "WabFixture.h"
#include "support/DeploymentValues.h"
#include "support/Slapd.h"
#include "support/TestPki.h"

using orvik::test::DirectoryEntry;
using orvik::test::Slapd;
using orvik::test::TestPki;

namespace {

// What the directory holds for a contact, by the contact's number.
enum class Kind { Exact, Substring, Expired, SignOnly, Two };
Kind kindOf(int i) { return static_cast<Kind>(i % 5); }

std::string addressOf(int i) { return "p" + std::to_string(i) + "@example.cn"; }

std::vector<DirectoryEntry> directoryFor(int count) {
    std::vector<DirectoryEntry> entries;
    auto& pki = TestPki::instance();
    for (int i = 0; i < count; ++i) {
        const std::string mail = addressOf(i);
        DirectoryEntry e{.cn = "联系人" + std::to_string(i), .mail = mail};
        switch (kindOf(i)) {
        case Kind::Exact: e.certificates = {pki.issue({.cn = e.cn, .email = mail, .keyUsage = 0x30}).der}; break;
        case Kind::Substring:  // found by "contains", but another person's address
            e.mail = "x" + mail;
            e.certificates = {pki.issue({.cn = e.cn, .email = e.mail, .keyUsage = 0x30}).der};
            break;
        case Kind::Expired:
            e.certificates = {pki.issue({.cn = e.cn,
                                         .email = mail,
                                         .keyUsage = 0x30,
                                         .notBeforeOffset = -20 * 86400,
                                         .notAfterOffset = -86400})
                                  .der};
            break;
        case Kind::SignOnly: e.certificates = {pki.issue({.cn = e.cn, .email = mail, .keyUsage = 0x80}).der}; break;
        case Kind::Two:
            e.certificates = {pki.issue({.cn = e.cn, .email = mail, .keyUsage = 0x30}).der,
                              pki.issue({.cn = e.cn, .email = mail, .keyUsage = 0x30}).der};
            break;
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        orvik::test::setWabPath(ORVIKWAB_PATH);
        // The directory's certificates come from the test authorities, which this user trusts.
        for (auto [store, der] :
             {std::pair{"Root", TestPki::instance().root().der}, {"CA", TestPki::instance().ca().der}}) {
            HCERTSTORE s = CertOpenSystemStoreA(0, store);
            ASSERT_NE(s, nullptr);
            ASSERT_TRUE(CertAddEncodedCertificateToStore(
                s, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
            CertCloseStore(s, 0);
        }
    }

    void addContacts(int count) {
        COEAddrBook book;
        for (int i = 0; i < count; ++i) {
            CContact c;
            c.setNewEntry(1);
            c.findField(PR_DISPLAY_NAME)->setValue(("联系人" + std::to_string(i)).c_str());
            c.findField(PR_EMAIL_ADDRESS)->setValue(addressOf(i).c_str());
            ASSERT_EQ(book.SaveContact(&c), 0);
        }
    }

    void pointAt(const Slapd& slapd) {
        orvik::test::setDeploymentValue("DirectoryHost1", slapd.host());
        orvik::test::setDeploymentValue("DirectoryHost2", "127.0.0.1:" + std::to_string(orvik::test::closedPort()));
    }

    // One batch run as the mail page makes it: candidates, search, automatic choice, apply.
    struct Run {
        size_t candidates = 0;
        size_t searched = 0;
        int applied = 0;
        std::vector<std::string> assigned;
    };
    Run run(bool automatic, size_t stopAfter = SIZE_MAX) {
        COEAddrBook book;
        COtherCertStore store;
        store.OpenCertStore();
        auto candidates = CLdapBatch::OutlookCandidates(book, store);
        std::vector<std::string> emails;
        for (const auto& c : candidates) emails.push_back(c.email);
        std::atomic<bool> stop{false};
        size_t searched = 0;
        CLdapBatch batch;
        EXPECT_EQ(batch.Search(emails, stop,
                               [&](size_t i, CLdapBatch::Found found) {
                                   candidates[i].found = std::move(found);
                                   searched = i + 1;
                                   if (searched >= stopAfter) stop = true;
                               }),
                  0);
        candidates.resize(searched);
        if (automatic) CLdapBatch::AutoAssign(candidates);
        Run r;
        r.candidates = emails.size();
        r.searched = searched;
        r.applied = CLdapBatch::Apply(CLdapBatch::OutlookExpress, candidates, &book, nullptr,
                                      [&](size_t i, CLdapBatch::Outcome o) {
                                          if (o == CLdapBatch::Applied) r.assigned.push_back(candidates[i].email);
                                      });
        return r;
    }

    orvik::test::TempHome home;
};

TEST_F(Batch, AutomaticChoiceTakesOnlyTheAddresssOwnValidEncryptionCertificate) {
    const int count = 500;
    Slapd slapd({.defaultSearchBase = true, .entries = directoryFor(count), .sizeLimit = 50});
    pointAt(slapd);
    addContacts(count);

    Run first = run(true);
    EXPECT_EQ(first.candidates, static_cast<size_t>(count));
    ASSERT_EQ(first.applied, count / 5);
    for (const std::string& email : first.assigned) {
        int i = std::stoi(email.substr(1));
        EXPECT_EQ(kindOf(i), Kind::Exact) << email;
    }

    // The configured contacts now have a valid default: the next run offers only the rest.
    Run second = run(true);
    EXPECT_EQ(second.candidates, static_cast<size_t>(count - count / 5));
    EXPECT_EQ(second.applied, 0);
    COEAddrBook book;
    COtherCertStore store;
    store.OpenCertStore();
    ASSERT_EQ(book.GetContacts(), 0);
    int withDefault = 0;
    for (CContact* c : book.getContacts())
        if (c->getDefaultCert(&store)) ++withDefault;
    EXPECT_EQ(withDefault, count / 5);
}

TEST_F(Batch, StoppingMidRunKeepsWhatWasDone) {
    Slapd slapd({.defaultSearchBase = true, .entries = directoryFor(20)});
    pointAt(slapd);
    addContacts(20);
    Run stopped = run(true, 6);
    EXPECT_EQ(stopped.searched, 6u);
    EXPECT_LE(stopped.applied, 2);
    Run rest = run(true);
    EXPECT_EQ(rest.candidates, 20u - static_cast<size_t>(stopped.applied));
    EXPECT_EQ(stopped.applied + rest.applied, 4);
}

TEST_F(Batch, TheWholeBatchUsesOneBoundConnection) {
    Slapd slapd({.defaultSearchBase = true, .entries = directoryFor(10)});
    pointAt(slapd);
    std::vector<std::string> emails;
    for (int i = 0; i < 10; ++i) emails.push_back(addressOf(i));
    CLdapBatch batch;
    std::atomic<bool> stop{false};
    size_t calls = 0;
    ASSERT_EQ(batch.Search(emails, stop, [&](size_t, CLdapBatch::Found) { ++calls; }), 0);
    EXPECT_EQ(calls, 10u);
    auto count = [&](const std::string& what) {
        size_t n = 0;
        const std::string log = slapd.log();
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(" BIND "), 1u) << slapd.log();
    EXPECT_EQ(count(" SRCH "), 10u) << slapd.log();
}

// Certificates whose times carry offsets, lack seconds or never end, east of UTC where the end of
// 9999 reads as the year 10000: chosen automatically, and counted valid by the next run.
TEST_F(Batch, RealWorldTimeFormsCountAsValidInUtcPlus8) {
    struct Zone {
        std::string saved;
        bool had = false;
        Zone() {
            const char* old = std::getenv("TZ");
            had = old != nullptr;
            saved = old ? old : "";
            setenv("TZ", "Asia/Shanghai", 1);
            tzset();
        }
        ~Zone() {
            if (had)
                setenv("TZ", saved.c_str(), 1);
            else
                unsetenv("TZ");
            tzset();
        }
    } zone;
    using Text = orvik::test::CertSpec::TimeText;
    auto& pki = TestPki::instance();
    std::vector<DirectoryEntry> entries;
    for (int i = 0; i < 2; ++i) {
        DirectoryEntry e{.cn = "联系人" + std::to_string(i), .mail = addressOf(i)};
        orvik::test::CertSpec wanted{.cn = e.cn, .email = e.mail, .keyUsage = 0x30};
        wanted.notBeforeText = Text{false, "2501010000-0800"};
        wanted.notAfterText = i == 0 ? Text{true, "99991231235959Z"} : Text{false, "4912312359+0800"};
        e.certificates = {pki.issue(wanted).der};
        entries.push_back(std::move(e));
    }
    Slapd slapd({.defaultSearchBase = true, .entries = entries});
    pointAt(slapd);
    addContacts(2);
    Run first = run(true);
    EXPECT_EQ(first.candidates, 2u);
    EXPECT_EQ(first.applied, 2);
    EXPECT_EQ(run(true).candidates, 0u);
}

TEST_F(Batch, WithoutAutomaticChoiceNothingIsAssigned) {
    Slapd slapd({.defaultSearchBase = true, .entries = directoryFor(5)});
    pointAt(slapd);
    addContacts(5);
    Run r = run(false);
    EXPECT_EQ(r.candidates, 5u);
    EXPECT_EQ(r.applied, 0);
}

TEST_F(Batch, OneContactIsLookedUpOnBothHostsAndAFailedHostIsNoFailure) {
    Slapd slapd({.defaultSearchBase = true, .entries = directoryFor(1)});
    pointAt(slapd);  // host 2 refuses connections
    CLdapBatch batch;
    CLdapBatch::Found found;
    EXPECT_EQ(batch.FindForAddress(addressOf(0), found), 0);
    EXPECT_EQ(found.size(), 1u);
    EXPECT_EQ(batch.FindForAddress("nobody@example.cn", found), 0);
    EXPECT_TRUE(found.empty());
    orvik::test::setDeploymentValue("DirectoryHost1", "127.0.0.1:" + std::to_string(orvik::test::closedPort()));
    CLdapBatch fresh;
    EXPECT_NE(fresh.FindForAddress(addressOf(0), found), 0);
}

TEST_F(Batch, AFailedSearchEndsTheBatch) {
    orvik::test::setDeploymentValue("DirectoryHost1", "127.0.0.1:" + std::to_string(orvik::test::closedPort()));
    CLdapBatch batch;
    std::atomic<bool> stop{false};
    int calls = 0;
    EXPECT_NE(batch.Search({"a@example.cn", "b@example.cn"}, stop, [&](size_t, CLdapBatch::Found) { ++calls; }), 0);
    EXPECT_EQ(calls, 0);
}

}  // namespace
