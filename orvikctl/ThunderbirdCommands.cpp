// thunderbird: a Thunderbird profile's identities, contacts and certificates.
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <set>
#include <string>

#include <MyCertStore.h>
#include <OtherCertStore.h>
#include <Thunderbird.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

std::string orDash(const std::string& s) { return s.empty() ? "-" : s; }

std::string home() {
    const char* h = std::getenv("HOME");
    return h ? h : "";
}

int outcome(int rc) {
    switch (rc) {
    case CThunderbird::Ok: return Ok;
    case CThunderbird::Locked: return fail("Thunderbird has the profile open: close it and try again");
    case CThunderbird::OldDatabase:
        return fail("the profile has only cert8.db: start Thunderbird once so that it converts its database");
    case CThunderbird::WrongPassword: return fail("the profile's primary password is wrong");
    case CThunderbird::Cancelled:
        return fail(
            "the profile has a primary password: give it with --password, --password-fd, --password-env, "
            "ORVIK_PASSWORD or on the terminal");
    case CThunderbird::NotExportable: return fail("the certificate's private key may not be exported");
    case CThunderbird::NoSuchIdentity: return fail("no such identity in prefs.js");
    default: return fail("the profile's certificate database or prefs.js cannot be written");
    }
}

CDigitalCertificate* findIn(CCertStore& store, const std::string& thumb) {
    std::string text = thumb;
    return store.FindByThumb(text);
}

int thunderbird(const Args& args) {
    Parsed p = parseOptions(args, withPasswords({"profile"}, {"password"}), {"trust-ca"});
    if (!p.ok) return fail(p.error);
    if (p.positional.empty()) return usage("thunderbird");
    const std::string& what = p.positional[0];
    if (what == "profiles" && p.positional.size() == 1) {
        // name, folder, default
        for (const auto& profile : CThunderbird::FindProfiles(home()))
            std::printf("%s\t%s\t%s\n", orDash(profile.name).c_str(), profile.dir.c_str(),
                        profile.isDefault ? "default" : "-");
        return Ok;
    }
    CThunderbird::Profile profile;
    if (!CThunderbird::ChooseProfile(home(), p.value("profile"), profile))
        return fail("no Thunderbird profile " + orDash(p.value("profile")) + " (see: orvikctl thunderbird profiles)");
    // Asked for only when the profile turns out to have a primary password.
    orvik::SecretString password;
    bool taken = false;
    auto ask = [&]() -> std::string {
        if (!taken) {
            taken = true;
            std::string error;
            if (!takePassword(p, {"password", "Primary password of the Thunderbird profile"}, password, error))
                password.wipe();
        }
        return std::string(password.begin(), password.end());
    };

    if (what == "accounts" && p.positional.size() == 1) {
        std::vector<CThunderbird::Identity> ids;
        if (CThunderbird::LoadIdentities(profile.dir, ids) != 0) return fail("cannot read prefs.js");
        // identity, address, name, signing and encryption certificates
        for (const auto& id : ids)
            std::printf("%s\t%s\t%s\t%s\t%s\n", id.key.c_str(), id.email.c_str(), orDash(id.fullName).c_str(),
                        orDash(id.signName).c_str(), orDash(id.cryptName).c_str());
        return Ok;
    }
    if (what == "contacts" && p.positional.size() == 1) {
        std::vector<CThunderbird::Contact> contacts;
        if (CThunderbird::LoadContacts(profile.dir, contacts) != 0) return fail("cannot read abook.sqlite");
        const std::set<std::string> withCerts = CThunderbird::CertAddresses(profile.dir);
        // name, address, whether the profile's database has a certificate for it
        for (const auto& c : contacts) {
            std::string address = c.email;
            for (char& ch : address) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            std::printf("%s\t%s\t%s\n", c.name.c_str(), c.email.c_str(),
                        withCerts.count(address) ? "certificate" : "-");
        }
        return Ok;
    }
    if (what == "set-certs" && (p.positional.size() == 3 || p.positional.size() == 4)) {
        CMyCertStore mine;
        if (mine.OpenCertStore() != 0) return fail("cannot open the personal store");
        CDigitalCertificate* sign = nullptr;
        CDigitalCertificate* crypt = nullptr;
        if (p.positional[2] != "-" && !(sign = findIn(mine, p.positional[2])))
            return fail("no certificate " + p.positional[2] + " in the personal store");
        if (p.positional.size() == 4 && !(crypt = findIn(mine, p.positional[3])))
            return fail("no certificate " + p.positional[3] + " in the personal store");
        if (!sign && !crypt) return usage("thunderbird");
        // As the mail page does: a signing certificate that may encrypt does both.
        if (!crypt && p.positional.size() == 3 && sign && sign->isCryptUse()) crypt = sign;
        if (int rc = CThunderbird::SetIdentityCerts(profile.dir, p.positional[1], sign, crypt, ask); rc != 0)
            return outcome(rc);
        std::printf("%s\t%s\t%s\n", p.positional[1].c_str(), sign ? CThunderbird::DbKey(*sign).c_str() : "-",
                    crypt ? CThunderbird::DbKey(*crypt).c_str() : "-");
        return Ok;
    }
    if (what == "contact-cert" && p.positional.size() == 2) {
        COtherCertStore others;
        if (others.OpenCertStore() != 0) return fail("cannot open other people's store");
        CDigitalCertificate* cert = findIn(others, p.positional[1]);
        if (!cert) return fail("no certificate " + p.positional[1] + " in ADDRESSBOOK");
        const bool trust = p.has("trust-ca");
        int rc =
            CThunderbird::ImportContactCert(profile.dir, *cert, ask, [trust](const std::string&) { return trust; });
        if (rc != 0) return outcome(rc);
        std::string email;
        cert->getEmail(email);
        std::printf("%s\timported\n", orDash(email).c_str());
        return Ok;
    }
    return usage("thunderbird");
}

const bool added = registered({
    {"thunderbird",
     "[--profile NAME|DIR] [--password PW|--password-fd N|--password-env VAR] [profiles | accounts | contacts | "
     "set-certs IDENTITY SIGN|- [CRYPT] | "
     "contact-cert THUMB [--trust-ca]]",
     "a Thunderbird profile's identities and contacts, and their certificates in its NSS database", thunderbird},
});

}  // namespace
}  // namespace orvikctl
