#include "LdapBatch.h"

#include <strings.h>

#include "Foxmail.h"
#include "OEAddrBook.h"
#include "OtherCertStore.h"

std::vector<CLdapBatch::Candidate> CLdapBatch::OutlookCandidates(COEAddrBook& book, COtherCertStore& store) {
    std::vector<Candidate> out;
    if (book.GetContacts() != 0) return out;
    for (CContact* contact : book.getContacts()) {
        CDigitalCertificate* current = contact->getDefaultCert(&store);
        if (current && current->isLocalTimeValid()) continue;
        Candidate c;
        c.name = contact->getDisplayName();
        c.email = contact->getEmail();
        c.contact = contact;
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<CLdapBatch::Candidate> CLdapBatch::FoxmailCandidates(CFoxmail& foxmail) {
    std::vector<Candidate> out;
    for (const auto& contact : foxmail.contacts()) {
        if (contact->certMarker != 0) continue;
        Candidate c;
        c.name = contact->name;
        c.email = contact->email;
        c.foxContact = contact.get();
        out.push_back(std::move(c));
    }
    return out;
}

void CLdapBatch::noteTls(const std::string& host) {
    if (tlsProblem_ != CLdapCert::TlsProblem::None || ldap_.tlsProblem() == CLdapCert::TlsProblem::None) return;
    tlsProblem_ = ldap_.tlsProblem();
    tlsHost_ = host;
}

int CLdapBatch::FindForAddress(const std::string& email, Found& out) {
    out.clear();
    tlsProblem_ = CLdapCert::TlsProblem::None;
    tlsHost_.clear();
    int last = 0;
    bool answered = false;
    for (const std::string& host : CLdapCert::directoryHosts()) {
        std::vector<CDigitalCertificate*> raw;
        last = ldap_.getUserCertificates(host.c_str(), "", email.c_str(), raw);
        noteTls(host);
        for (CDigitalCertificate* c : raw) out.emplace_back(c);
        answered = answered || last == 0;
    }
    return answered ? 0 : last;
}

int CLdapBatch::Search(const std::vector<std::string>& emails, const std::atomic<bool>& stop,
                       const std::function<void(size_t, Found)>& found) {
    const std::vector<std::string> hosts = CLdapCert::directoryHosts();
    // Host 1 only, the last of the search order; its pooled connection serves the whole batch.
    const std::string host = hosts.empty() ? std::string() : hosts.back();
    tlsProblem_ = CLdapCert::TlsProblem::None;
    tlsHost_.clear();
    for (size_t i = 0; i < emails.size(); ++i) {
        std::vector<CDigitalCertificate*> raw;
        int rc = emails[i].empty() ? 0 : ldap_.getUserCertificates(host.c_str(), "", emails[i].c_str(), raw);
        noteTls(host);
        Found owned;
        for (CDigitalCertificate* c : raw) owned.emplace_back(c);
        if (rc != 0) return rc;
        if (found) found(i, std::move(owned));
        if (stop) break;
    }
    return 0;
}

bool CLdapBatch::AutoAssignable(CDigitalCertificate* certificate, const std::string& email,
                                const CDirectoryTrust& trust) {
    if (!certificate || !certificate->getPCCERT() || email.empty()) return false;
    std::string own;
    return certificate->getEmail(own) == 0 && strcasecmp(own.c_str(), email.c_str()) == 0 &&
           trust.Check(*certificate).ok();
}

CLdapBatch::AutoResult CLdapBatch::AutoAssign(std::vector<Candidate>& candidates) {
    const CDirectoryTrust trust;
    AutoResult result;
    for (size_t i = 0; i < candidates.size(); ++i) {
        Candidate& c = candidates[i];
        CDigitalCertificate* only = nullptr;
        int count = 0;
        bool ownRefused = false;
        for (const auto& f : c.found) {
            if (AutoAssignable(f.get(), c.email, trust)) {
                only = f.get();
                ++count;
            } else {
                std::string own;
                ownRefused = ownRefused || (f->getEmail(own) == 0 && strcasecmp(own.c_str(), c.email.c_str()) == 0);
            }
        }
        if (count == 1) {
            c.chosen = only;
            ++result.assigned;
        } else if (count == 0 && ownRefused && !c.chosen) {
            result.refused.push_back(i);
        }
    }
    return result;
}

int CLdapBatch::Apply(Kind kind, std::vector<Candidate>& candidates, COEAddrBook* book, CFoxmail* foxmail,
                      const std::function<void(size_t, Outcome)>& done) {
    int applied = 0;
    COtherCertStore store;
    for (size_t i = 0; i < candidates.size(); ++i) {
        Candidate& c = candidates[i];
        if (!c.chosen) {
            if (done) done(i, NotChosen);
            continue;
        }
        bool ok = false;
        if (kind == OutlookExpress && book && c.contact) {
            if (store.ImportCert(c.chosen) != 0) {
                if (done) done(i, Failed);
                return applied;
            }
            c.contact->SetDefaultCert(c.chosen);
            ok = book->SaveContact(c.contact) == 0;
        } else if (kind == Foxmail && foxmail && c.foxContact) {
            // The found certificate becomes the default; the contact's others stay after it.
            std::vector<std::unique_ptr<CDigitalCertificate>> existing = c.foxContact->getCerts();
            std::vector<CDigitalCertificate*> list{c.chosen};
            const std::string chosenKey = CFoxContact::GroupedThumbprint(c.chosen);
            for (const auto& e : existing)
                if (CFoxContact::GroupedThumbprint(e.get()) != chosenKey) list.push_back(e.get());
            CFoxContact before = *c.foxContact;
            c.foxContact->setCerts(list);
            ok = foxmail->SaveContact(c.foxContact) == 0;
            if (!ok) *c.foxContact = before;
        }
        if (ok) ++applied;
        if (done) done(i, ok ? Applied : Failed);
    }
    return applied;
}
