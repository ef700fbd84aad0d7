// Batch configuration: the contacts without a usable certificate, a directory search for each on
// one connection, the rule for choosing automatically, and applying the chosen certificates.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Contact.h"
#include "DigitalCertificate.h"
#include "DirectoryTrust.h"
#include "FoxContact.h"
#include "LdapCert.h"
#include "OrvikCryptApi.h"

class COEAddrBook;
class COtherCertStore;
class CFoxmail;

class ORVIKCRYPT_API CLdapBatch {
public:
    // The list kinds of the mail page that have contacts.
    enum Kind { Foxmail = 0, OutlookExpress = 1 };

    struct Candidate {
        std::string name;
        std::string email;
        CContact* contact = nullptr;        // borrowed from the address book
        CFoxContact* foxContact = nullptr;  // borrowed from the Foxmail book
        std::vector<std::unique_ptr<CDigitalCertificate>> found;
        CDigitalCertificate* chosen = nullptr;  // one of `found`, or null
    };
    using Found = std::vector<std::unique_ptr<CDigitalCertificate>>;

    // Contacts whose default certificate is missing or not valid now.
    static std::vector<Candidate> OutlookCandidates(COEAddrBook& book, COtherCertStore& store);
    // Foxmail contacts whose certificate field is empty.
    static std::vector<Candidate> FoxmailCandidates(CFoxmail& foxmail);

    // One contact's certificates: directory host 2, then host 1, both appended to `out`. 0 when
    // either answered (nothing found is 0 with `out` empty), else host 1's error.
    int FindForAddress(const std::string& email, Found& out);

    // Searches directory host 1 for each address in order, handing each contact's certificates
    // to `found` (on the calling thread) as soon as they are there; `stop` is read after each
    // contact. 0 when every contact was searched or the stop came, else the directory's error
    // (the batch ends there).
    int Search(const std::vector<std::string>& emails, const std::atomic<bool>& stop,
               const std::function<void(size_t index, Found certificates)>& found);
    // The first host of the last FindForAddress or Search that refused a TLS connection, and
    // why (None when every host was reached as the deployment asks); the user's message for it.
    CLdapCert::TlsProblem tlsProblem() const { return tlsProblem_; }
    const std::string& tlsHost() const { return tlsHost_; }
    std::string tlsFailureText() const { return CLdapCert::TlsProblemText(tlsProblem_, tlsHost_); }

    // A certificate chosen without asking must be the address's own (equal, ignoring case),
    // chain to a trusted authority, be valid now and allowed to encrypt.
    static bool AutoAssignable(CDigitalCertificate* certificate, const std::string& email,
                               const CDirectoryTrust& trust);
    struct AutoResult {
        int assigned = 0;
        // Contacts left without a choice because their own certificate failed the checks.
        std::vector<size_t> refused;
    };
    // Chooses for every candidate with exactly one automatically assignable certificate.
    static AutoResult AutoAssign(std::vector<Candidate>& candidates);

    enum Outcome { NotChosen, Applied, Failed };
    // Applies each chosen certificate: into "ADDRESSBOOK" as the contact's default, or first in
    // the Foxmail contact's list (its other certificates kept). `done` is told each outcome.
    // Returns the number applied; an address-book failure stops there, as the user is told.
    static int Apply(Kind kind, std::vector<Candidate>& candidates, COEAddrBook* book, CFoxmail* foxmail,
                     const std::function<void(size_t index, Outcome outcome)>& done = {});

private:
    void noteTls(const std::string& host);

    CLdapCert ldap_;
    CLdapCert::TlsProblem tlsProblem_ = CLdapCert::TlsProblem::None;
    std::string tlsHost_;
};
