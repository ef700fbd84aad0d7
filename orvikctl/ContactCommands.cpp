// contacts, contact-cert, vcard-import, vcard-export: the address book's contacts.
#include <cstdio>
#include <string>

#include <strings.h>

#include <ContactCards.h>
#include <OEAddrBook.h>
#include <OtherCertStore.h>
#include <windows.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

std::string bookError(int rc) {
    switch (rc) {
    case 14: return "the address book module cannot be loaded (HKLM\\" WAB_DLL_PATH_KEY ")";
    case 15:
    case 16: return "the address book cannot be opened";
    case 17: return "the personal address book cannot be found";
    case 18: return "the address book's contents cannot be read";
    case 19: return "the address book entry cannot be saved";
    default: return "address book error " + std::to_string(rc);
    }
}

// The module beside this program, registered when the book has none yet.
void registerModule() {
    char self[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return;
    std::string dir(self, n);
    dir.erase(dir.rfind('/'));
    COEAddrBook::RegisterLibrary(dir);
}

std::string thumbText(CBBuffer* raw) {
    std::string out;
    static const char* digits = "0123456789abcdef";
    for (int i = 0; raw && i < raw->size(); ++i) {
        if (i) out += ' ';
        out += digits[raw->GetBuffer()[i] >> 4];
        out += digits[raw->GetBuffer()[i] & 15];
    }
    return out;
}

int contacts(const Args& args) {
    if (!args.empty()) return usage("contacts");
    registerModule();
    COEAddrBook book;
    if (int rc = book.GetContacts(); rc != 0) return fail(bookError(rc));
    COtherCertStore store;
    store.OpenCertStore();
    for (CContact* c : book.getContacts()) {
        CDigitalCertificate* cert = c->getDefaultCert(&store);
        std::string thumb;
        if (cert) {
            cert->getThumbPrint(thumb);
        } else if (c->getDefaultCertList()->getVSize() > 0) {
            // Named by the book but not usable: not in ADDRESSBOOK or for another address.
            thumb = thumbText(c->getDefaultCertList()->getVValue(0)) + " (not usable)";
        } else {
            thumb = "-";
        }
        std::printf("%s\t%s\t%s\n", c->getDisplayName().c_str(), c->getEmail().c_str(), thumb.c_str());
    }
    return Ok;
}

int contactCert(const Args& args) {
    Parsed p = parseOptions(args, {}, {"none"});
    if (!p.ok) return fail(p.error);
    bool none = p.has("none");
    if (p.positional.size() != (none ? 1u : 2u)) return usage("contact-cert");
    registerModule();
    COEAddrBook book;
    if (int rc = book.GetContacts(); rc != 0) return fail(bookError(rc));
    CContact* contact = nullptr;
    for (CContact* c : book.getContacts())
        if (strcasecmp(c->getEmail().c_str(), p.positional[0].c_str()) == 0) {
            if (contact) return fail("more than one contact has the address " + p.positional[0]);
            contact = c;
        }
    if (!contact) return fail("no contact has the address " + p.positional[0]);
    COtherCertStore store;
    if (store.OpenCertStore() != 0) return fail("cannot open ADDRESSBOOK");
    CDigitalCertificate* cert = nullptr;
    if (!none) {
        std::string thumb = p.positional[1];
        cert = store.FindByThumb(thumb);
        if (!cert) return fail("no certificate " + p.positional[1] + " in ADDRESSBOOK");
        std::string email;
        cert->getEmail(email);
        // The mail client would not use it: the certificate must be for the contact's address.
        if (email != contact->getEmail())
            return fail("the certificate is for " + (email.empty() ? std::string("no address") : email) + ", not " +
                        contact->getEmail());
    }
    contact->SetDefaultCert(cert);
    if (int rc = book.SaveContact(contact); rc != 0) return fail(bookError(rc));
    std::printf("%s: %s\n", contact->getEmail().c_str(), none ? "no default certificate" : "default certificate set");
    return Ok;
}

int vcardImport(const Args& args) {
    if (args.size() != 1) return usage("vcard-import");
    registerModule();
    COEAddrBook book;
    COtherCertStore store;
    CContactCards::Result result;
    int rc = CContactCards::Import(args[0], book, store, result);
    // Each card left out on a line of its own, numbered as the file's BEGIN:VCARD lines count.
    for (const CVCard::Problem& d : result.damaged) {
        std::string which = d.card == 0 ? std::string() : "card " + std::to_string(d.card);
        if (d.card != 0 && !d.name.empty()) which += " (" + d.name + ")";
        std::fprintf(stderr, "orvikctl: %s%s%s\n", which.c_str(), which.empty() ? "" : ": ", d.error.c_str());
    }
    if (rc == 8 && !result.damaged.empty()) return fail(args[0] + ": no card can be read; nothing imported");
    if (rc == 8) return fail(args[0] + ": " + result.error + "; nothing imported");
    if (rc >= 14 && rc <= 19) return fail(bookError(rc) + "; nothing imported");
    if (rc != 0) return fail(result.error);
    std::printf("imported: %d contacts, %d certificates", result.imported, result.certificates);
    if (result.duplicates) std::printf(", %d already in the address book", result.duplicates);
    if (!result.damaged.empty()) std::printf(", %zu damaged cards left out", result.damaged.size());
    std::printf("\n");
    // A script must notice cards that were left out, even when the others went in.
    return result.damaged.empty() ? Ok : Failed;
}

int vcardExport(const Args& args) {
    Parsed p = parseOptions(args, {"version"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1) return usage("vcard-export");
    std::string v = p.value("version", "4.0");
    CVCard::Version version;
    if (v == "4.0" || v == "4") {
        version = CVCard::V40;
    } else if (v == "3.0" || v == "3") {
        version = CVCard::V30;
    } else if (v == "2.1") {
        version = CVCard::V21;
    } else {
        return fail("a vCard version is 2.1, 3.0 or 4.0");
    }
    std::string error;
    if (!regularOrAbsent(p.positional[0], error)) return fail(error);
    registerModule();
    COEAddrBook book;
    if (int rc = book.GetContacts(); rc != 0) return fail(bookError(rc));
    COtherCertStore store;
    store.OpenCertStore();
    if (CContactCards::Export(p.positional[0], book, store, version) != 0)
        return fail("cannot write " + p.positional[0]);
    std::printf("exported: %d contacts\n", book.GetContactCount());
    return Ok;
}

const bool added = registered({
    {"contacts", "", "the address book's contacts: name, e-mail, default certificate", contacts},
    {"contact-cert", "EMAIL THUMBPRINT | EMAIL --none",
     "set or clear a contact's default certificate (from ADDRESSBOOK)", contactCert},
    {"vcard-import", "FILE.vcf",
     "contacts and their certificates from a vCard file (2.1, 3.0, 4.0); damaged cards are listed and left out, "
     "the others imported (exit 1 when any was left out)",
     vcardImport},
    {"vcard-export", "[--version 2.1|3.0|4.0] FILE.vcf", "the address book as a vCard file (mode 0600)", vcardExport},
});

}  // namespace
}  // namespace orvikctl
