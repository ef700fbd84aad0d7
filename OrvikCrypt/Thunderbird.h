// Thunderbird, the mail client Linux users have: its profiles, the identities of a profile's
// prefs.js with their signing and encryption certificates, the contacts of its address book, and
// the certificates of its NSS database, which it finds recipients' certificates in.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CThunderbird {
public:
    enum Result {
        Ok = 0,
        Locked = 1,       // Thunderbird has the profile open
        OldDatabase = 2,  // only cert8.db: Thunderbird must convert it first
        WrongPassword = 3,
        Failed = 4,         // the database or prefs.js could not be written
        NotExportable = 5,  // the personal certificate's key may not be exported
        NoSuchIdentity = 6,
        Cancelled = 7,  // the user gave no primary password
    };
    struct Profile {
        std::string name;
        std::string dir;
        bool isDefault = false;
    };
    struct Identity {
        std::string key;  // "id1"
        std::string email, fullName;
        std::string signName, signDbKey, cryptName, cryptDbKey;
    };
    struct Contact {
        std::string name, email;
    };
    // Asks the user for the database's primary password; empty when they cancel.
    using AskPassword = std::function<std::string()>;
    // Asks whether the authority (by name) may be trusted to issue e-mail certificates.
    using ConfirmTrust = std::function<bool(const std::string& authority)>;

    // The profiles of every profiles.ini under the home folder: ~/.thunderbird, the snap's and
    // the flatpak's. The install's default (or the one marked Default=1) is marked.
    static std::vector<Profile> FindProfiles(const std::string& home);
    // A profile by name or folder; the default one for an empty text. False when none matches.
    static bool ChooseProfile(const std::string& home, const std::string& which, Profile& out);

    // Whether Thunderbird has the profile open: its "lock" link names a live process, or another
    // process holds ".parentlock".
    static bool IsLocked(const std::string& dir);
    // The identities of prefs.js that have an address, in the order of their numbers.
    static int LoadIdentities(const std::string& dir, std::vector<Identity>& out);
    // The address book's contacts with an address (abook.sqlite, read-only).
    static int LoadContacts(const std::string& dir, std::vector<Contact>& out);

    // Base64 of eight zero bytes, the serial's and the issuer's lengths (big-endian, 32 bits), the
    // serial's content bytes and the issuer's DER: how prefs.js names a certificate of cert9.db.
    static std::string DbKey(CDigitalCertificate& certificate);

    // The identity's signing and encryption certificates into the profile's database, each with
    // its key taken from the personal store ("MY"), and their names into prefs.js. Their issuing
    // authorities from the CA and Root stores go in too, a Root one trusted for e-mail. When the
    // profile has the personal store's module, NSS finds certificate and key on its token, and
    // only the authorities are imported. Either may be null: that one is left as it is.
    static int SetIdentityCerts(const std::string& dir, const std::string& identity, CDigitalCertificate* sign,
                                CDigitalCertificate* crypt, const AskPassword& askPassword);
    // A correspondent's certificate into the profile's database. Its issuer, when the
    // authorities' store has it, is trusted for e-mail when `confirmTrust` says so.
    static int ImportContactCert(const std::string& dir, CDigitalCertificate& certificate,
                                 const AskPassword& askPassword, const ConfirmTrust& confirmTrust);
    // The database's certificates whose address is `email` (ignoring case); the caller owns them.
    static std::vector<std::unique_ptr<CDigitalCertificate>> CertsFor(const std::string& dir, const std::string& email);
    // The addresses (lower case) that the database has a certificate for.
    static std::set<std::string> CertAddresses(const std::string& dir);

private:
    static int prepare(const std::string& dir);
    static int loginResult(int rc);
};
