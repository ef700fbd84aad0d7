// foxmail, batch: Foxmail's accounts and contacts, and the directory batch for a whole book.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include <Foxmail.h>
#include <DirectoryTrust.h>
#include <LdapBatch.h>
#include <MyCertStore.h>
#include <OEAddrBook.h>
#include <OtherCertStore.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

std::string orDash(const std::string& s) { return s.empty() ? "-" : s; }

int foxmailAccounts(CFoxmail& fox, const std::string& dir) {
    if (fox.LoadAccounts(dir) != 0) return fail("no Foxmail account list (accounts.cfg) in " + orDash(dir));
    // file, name, address, signing certificate
    for (const auto& a : fox.accounts())
        std::printf("%s\t%s\t%s\t%s\n", a->getAccountKey()->getText().c_str(), a->getAccountName()->getText().c_str(),
                    a->getEmailAddress()->getText().c_str(),
                    orDash(CFoxContact::GroupedThumbprint(a->getSignCert())).c_str());
    return Ok;
}

int foxmailContacts(CFoxmail& fox, const std::string& dir) {
    if (fox.LoadAddressBooks(dir) != 0) return fail("an address book of " + orDash(dir) + " cannot be read");
    // name, address, certificates, the default's key
    for (const auto& c : fox.contacts()) {
        auto certs = c->getCerts();
        std::printf("%s\t%s\t%zu\t%s\n", c->name.c_str(), c->email.c_str(), certs.size(),
                    certs.empty() ? "-" : CFoxContact::GroupedThumbprint(certs.front().get()).c_str());
    }
    return Ok;
}

int foxmailSetSign(CFoxmail& fox, const std::string& dir, const std::string& which, const std::string& thumb) {
    if (fox.LoadAccounts(dir) != 0) return fail("no Foxmail account list");
    CEmailAccount* account = nullptr;
    for (const auto& a : fox.accounts())
        if (a->getAccountName()->getText() == which || a->getAccountKey()->getText() == which ||
            a->getEmailAddress()->getText() == which)
            account = a.get();
    if (!account) return fail("no Foxmail account " + which);
    CMyCertStore store;
    if (store.OpenCertStore() != 0) return fail("cannot open the personal store");
    CDigitalCertificate* cert = nullptr;
    if (thumb != "none") {
        std::string text = thumb;
        cert = store.FindByThumb(text);
        if (!cert) return fail("no certificate " + thumb + " in the personal store");
        if (!cert->isSignUse()) return fail(thumb + " may not sign");
    }
    account->setSignCert(cert);
    if (fox.SaveAccountSignCert(account) != 0) return fail("cannot write " + account->getAccountKey()->getText());
    std::printf("%s\t%s\n", account->getAccountName()->getText().c_str(),
                orDash(CFoxContact::GroupedThumbprint(cert)).c_str());
    return Ok;
}

int foxmailSetCerts(CFoxmail& fox, const std::string& dir, const std::string& which, const Args& thumbs) {
    if (fox.LoadAddressBooks(dir) != 0) return fail("an address book cannot be read");
    CFoxContact* contact = nullptr;
    for (const auto& c : fox.contacts())
        if (!contact && (c->email == which || c->name == which)) contact = c.get();
    if (!contact) return fail("no Foxmail contact " + which);
    COtherCertStore others;
    CMyCertStore mine;
    others.OpenCertStore();
    mine.OpenCertStore();
    std::vector<CDigitalCertificate*> list;
    for (const std::string& thumb : thumbs) {
        if (thumb == "none") continue;
        std::string a = thumb, b = thumb;
        CDigitalCertificate* cert = others.FindByThumb(a);
        if (!cert) cert = mine.FindByThumb(b);
        if (!cert) return fail("no certificate " + thumb + " in ADDRESSBOOK or MY");
        list.push_back(cert);
    }
    contact->setCerts(list);
    if (fox.SaveContact(contact) != 0) return fail("cannot write the address book of " + which);
    std::printf("%s\t%zu\n", contact->email.c_str(), list.size());
    return Ok;
}

int foxmail(const Args& args) {
    Parsed p = parseOptions(args, {"path"});
    if (!p.ok) return fail(p.error);
    std::string dir = p.value("path");
    if (p.has("path") && CFoxmail::SetFoxmailDir(dir) != 0) return fail("cannot write FoxmailPath");
    if (p.positional.empty()) {
        if (p.has("path")) return Ok;
        if (CFoxmail::FindFoxmailDir(dir) != 0) return fail("no Foxmail key in the registry");
        std::printf("%s\n", orDash(dir).c_str());
        return Ok;
    }
    if (dir.empty() && CFoxmail::FindFoxmailDir(dir) != 0) return fail("no Foxmail folder: use --path DIR");
    CFoxmail fox;
    const std::string& what = p.positional[0];
    if (what == "accounts" && p.positional.size() == 1) return foxmailAccounts(fox, dir);
    if (what == "contacts" && p.positional.size() == 1) return foxmailContacts(fox, dir);
    if (what == "set-sign" && p.positional.size() == 3)
        return foxmailSetSign(fox, dir, p.positional[1], p.positional[2]);
    if (what == "set-certs" && p.positional.size() >= 3)
        return foxmailSetCerts(fox, dir, p.positional[1], Args(p.positional.begin() + 2, p.positional.end()));
    return usage("foxmail");
}

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested = true; }

int batch(const Args& args) {
    Parsed p = parseOptions(args, {"path"}, {"auto", "foxmail"});
    if (!p.ok) return fail(p.error);
    if (!p.positional.empty()) return usage("batch");
    const bool fox = p.has("foxmail");
    COEAddrBook book;
    COtherCertStore store;
    CFoxmail foxmail;
    std::vector<CLdapBatch::Candidate> candidates;
    if (fox) {
        std::string dir = p.value("path");
        if (dir.empty()) CFoxmail::FindFoxmailDir(dir);
        if (foxmail.LoadAddressBooks(dir) != 0) return fail("an address book cannot be read");
        candidates = CLdapBatch::FoxmailCandidates(foxmail);
    } else {
        store.OpenCertStore();
        candidates = CLdapBatch::OutlookCandidates(book, store);
    }
    if (candidates.empty()) {
        std::printf("no contact needs a certificate\n");
        return Ok;
    }
    std::vector<std::string> emails;
    for (const auto& c : candidates) emails.push_back(c.email);
    // Ctrl+C stops after the contact being searched; what was found is still applied.
    std::signal(SIGINT, requestStop);
    CLdapBatch batch;
    size_t searched = 0;
    int rc = batch.Search(emails, stopRequested, [&](size_t i, CLdapBatch::Found found) {
        candidates[i].found = std::move(found);
        searched = i + 1;
    });
    std::signal(SIGINT, SIG_DFL);
    if (rc != 0 && batch.tlsProblem() != CLdapCert::TlsProblem::None)
        return fail("no secure connection to " + batch.tlsHost() + ": " +
                    CLdapCert::TlsProblemWords(batch.tlsProblem()) + "; nothing was configured");
    if (rc != 0) return fail("the directory search failed (" + std::to_string(rc) + "); nothing was configured");
    candidates.resize(searched);
    if (p.has("auto")) CLdapBatch::AutoAssign(candidates);
    std::vector<std::string> outcome(candidates.size());
    int applied = CLdapBatch::Apply(fox ? CLdapBatch::Foxmail : CLdapBatch::OutlookExpress, candidates, &book, &foxmail,
                                    [&](size_t i, CLdapBatch::Outcome o) {
                                        if (o != CLdapBatch::NotChosen)
                                            outcome[i] = o == CLdapBatch::Applied ? "assigned" : "failed";
                                    });
    // address, certificates found, what became of the contact, and how each result checked out
    const CDirectoryTrust trust;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const auto& c = candidates[i];
        std::string what;
        if (outcome[i] == "assigned") {
            what = "assigned " + CFoxContact::GroupedThumbprint(c.chosen);
        } else if (outcome[i] == "failed") {
            what = "failed: the certificate could not be saved";
        } else if (c.found.empty()) {
            what = "not assigned: nothing found";
        } else if (!p.has("auto")) {
            what = "found: choose one in the assistant or use --auto";
        } else {
            what =
                "not assigned: no single certificate of this address from a trusted issuer, valid and for "
                "encryption";
        }
        std::string checks;
        for (const auto& f : c.found) checks += (checks.empty() ? "" : "; ") + CDirectoryTrust::Words(trust.Check(*f));
        std::printf("%s\t%zu\t%s\t%s\n", c.email.c_str(), c.found.size(), what.c_str(), checks.c_str());
    }
    std::printf("%d of %zu contacts configured%s\n", applied, candidates.size(),
                searched < emails.size() ? " (stopped)" : "");
    return Ok;
}

const bool added = registered({
    {"foxmail", "[--path DIR] [accounts | contacts | set-sign ACCOUNT THUMB|none | set-certs CONTACT THUMB...|none]",
     "Foxmail's folder, accounts and contacts, and their certificates", foxmail},
    {"batch", "[--auto] [--foxmail [--path DIR]]",
     "search the directory for every contact without a usable certificate: address TAB found TAB outcome TAB each "
     "result's check; --auto assigns the address's one certificate from a trusted issuer, valid and for encryption",
     batch},
});

}  // namespace
}  // namespace orvikctl
