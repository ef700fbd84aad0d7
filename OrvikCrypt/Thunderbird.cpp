#include "Thunderbird.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>

#include <orvik/PersonalModule.h>
#include <orvik/RegisteredCertificates.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "CaCertStore.h"
#include "Encodings.h"
#include "MozillaProfiles.h"
#include "MyCertStore.h"
#include "NssDatabase.h"
#include "OpenSslPtr.h"
#include "ThunderbirdPrefs.h"

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

void bigEndian32(std::string& out, size_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

orvik::crypt::X509Ptr x509Of(CDigitalCertificate& certificate) {
    const std::string der = certificate.Encoded(CDigitalCertificate::ENC_DER);
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return orvik::crypt::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::string nicknameOf(CDigitalCertificate& certificate) {
    std::string name;
    return certificate.getDisplayName(name) == CDigitalCertificate::Ok && !name.empty() ? name : std::string("Orvik");
}

// The personal store's entry of the certificate, whose key and names the store keeps.
int personalCopy(CMyCertStore& mine, CDigitalCertificate& certificate, CDigitalCertificate*& own) {
    if (mine.OpenCertStore() != 0) return CThunderbird::Failed;
    std::string thumb;
    if (certificate.getThumbPrint(thumb) != CDigitalCertificate::Ok) return CThunderbird::Failed;
    own = mine.FindByThumb(thumb);
    return own ? CThunderbird::Ok : CThunderbird::NotExportable;
}

// The certificate's key as PKCS #8 DER, taken from the personal store through a PKCS #12 archive
// that never leaves memory.
int privateKeyOf(CDigitalCertificate& certificate, std::string& pkcs8) {
    CMyCertStore mine;
    CDigitalCertificate* own = nullptr;
    if (int rc = personalCopy(mine, certificate, own); rc != CThunderbird::Ok) return rc;
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1) return CThunderbird::Failed;
    std::string password;
    for (unsigned char c : random) password += "0123456789abcdef"[c & 15];
    std::string archive;
    const CMyCertStore::Result rc = mine.ExportP12Bytes(*own, password.c_str(), archive);
    int result = rc == CMyCertStore::KeyNotExportable ? CThunderbird::NotExportable : CThunderbird::Failed;
    if (rc == CMyCertStore::Ok) {
        const auto* p = reinterpret_cast<const unsigned char*>(archive.data());
        std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(archive.size())),
                                                            &PKCS12_free);
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        if (p12 && PKCS12_parse(p12.get(), password.c_str(), &key, &cert, nullptr) == 1 && key) {
            orvik::crypt::PKeyPtr ownedKey(key);
            orvik::crypt::X509Ptr ownedCert(cert);
            std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(EVP_PKEY2PKCS8(key),
                                                                                           &PKCS8_PRIV_KEY_INFO_free);
            unsigned char* der = nullptr;
            int n = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : -1;
            if (n > 0) {
                pkcs8.assign(reinterpret_cast<char*>(der), static_cast<size_t>(n));
                OPENSSL_clear_free(der, static_cast<size_t>(n));
                result = CThunderbird::Ok;
            }
        } else {
            if (key) EVP_PKEY_free(key);
            if (cert) X509_free(cert);
        }
    }
    OPENSSL_cleanse(archive.data(), archive.size());
    OPENSSL_cleanse(password.data(), password.size());
    return result;
}

struct Authority {
    std::string der;
    bool fromRoot = false;  // the user trusts it: it is in the Root store
};

// The certificates of one of the user's system stores, but those the user distrusts: no mail
// client is given them.
std::vector<Authority> storeCerts(const char* name, bool fromRoot) {
    std::vector<Authority> out;
    HCERTSTORE store = CertOpenSystemStoreA(0, name);
    if (!store) return out;
    const std::set<std::string> distrusted = orvik::distrustedThumbprints();
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) {
        std::string thumb;
        CDigitalCertificate(c).GetCertInfo("ThumbPrint", thumb);
        thumb.erase(std::remove(thumb.begin(), thumb.end(), ' '), thumb.end());
        std::transform(thumb.begin(), thumb.end(), thumb.begin(), [](unsigned char ch) { return std::toupper(ch); });
        if (distrusted.count(thumb)) continue;
        out.push_back({std::string(reinterpret_cast<const char*>(c->pbCertEncoded), c->cbCertEncoded), fromRoot});
    }
    CertCloseStore(store, 0);
    return out;
}

orvik::crypt::X509Ptr x509Of(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return orvik::crypt::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// The authorities above the certificate, nearest first, from the Root and CA stores; the walk
// ends at a Root certificate, at a self-signed one, or where no store has the issuer.
std::vector<Authority> issuersOf(const std::string& der) {
    std::vector<Authority> candidates = storeCerts("Root", true);
    for (Authority& a : storeCerts("CA", false)) candidates.push_back(std::move(a));
    std::vector<Authority> chain;
    orvik::crypt::X509Ptr current = x509Of(der);
    // A chain deeper than this is no chain a mail client would build either.
    while (current && chain.size() < 8 && X509_check_issued(current.get(), current.get()) != X509_V_OK) {
        const Authority* issuer = nullptr;
        orvik::crypt::X509Ptr issuerCert;
        for (const Authority& a : candidates) {
            orvik::crypt::X509Ptr x = x509Of(a.der);
            // The name alone is not enough: an authority renewed with a new key has the same one.
            if (!x || X509_check_issued(x.get(), current.get()) != X509_V_OK ||
                X509_verify(current.get(), X509_get0_pubkey(x.get())) != 1)
                continue;
            if (std::any_of(chain.begin(), chain.end(), [&a](const Authority& c) { return c.der == a.der; })) continue;
            issuer = &a;
            issuerCert = std::move(x);
            break;
        }
        if (!issuer) break;
        chain.push_back(*issuer);
        if (issuer->fromRoot) break;
        current = std::move(issuerCert);
    }
    return chain;
}

// The certificate's authorities into the database, so NSS can build its chain: the ones the
// user trusts (Root) trusted to issue e-mail certificates, the others as they are.
int importIssuers(CNssDatabase& db, CDigitalCertificate& certificate) {
    for (const Authority& a : issuersOf(certificate.Encoded(CDigitalCertificate::ENC_DER))) {
        if (a.fromRoot ? db.TrustedForEmail(a.der) : !db.NicknameOf(a.der).empty()) continue;
        CDigitalCertificate ca(a.der.data(), static_cast<int>(a.der.size()), CDigitalCertificate::ENC_DER);
        if (db.ImportCert(a.der, db.FreeNickname(nicknameOf(ca), a.der), a.fromRoot) != CNssDatabase::Ok)
            return CThunderbird::Failed;
    }
    return CThunderbird::Ok;
}

// The certificate with its key copied from the personal store into the database.
int copyWithKey(CNssDatabase& db, CDigitalCertificate& certificate, std::string& nickname) {
    std::string pkcs8;
    if (int rc = privateKeyOf(certificate, pkcs8); rc != CThunderbird::Ok) return rc;
    const std::string der = certificate.Encoded(CDigitalCertificate::ENC_DER);
    const std::string wanted = db.FreeNickname(nicknameOf(certificate), der);
    const int rc = db.ImportWithKey(der, pkcs8, wanted);
    OPENSSL_cleanse(pkcs8.data(), pkcs8.size());
    if (rc != CNssDatabase::Ok) return CThunderbird::Failed;
    // A certificate the database had already keeps the nickname it had.
    const std::string stored = db.NicknameOf(der);
    nickname = stored.empty() ? wanted : stored;
    return CThunderbird::Ok;
}

// The name NSS knows the certificate by on the personal store's token: the token's label and the
// object's, which is the friendly name or else the display name.
int nameOnModule(CDigitalCertificate& certificate, std::string& nickname) {
    CMyCertStore mine;
    CDigitalCertificate* own = nullptr;
    if (int rc = personalCopy(mine, certificate, own); rc != CThunderbird::Ok) return rc;
    std::string label;
    if ((own->getFriendlyName(label) != CDigitalCertificate::Ok || label.empty()) &&
        own->getDisplayName(label) != CDigitalCertificate::Ok)
        return CThunderbird::Failed;
    nickname = std::string(orvik::p11::kTokenLabel) + ":" + label;
    return CThunderbird::Ok;
}

}  // namespace

std::vector<CThunderbird::Profile> CThunderbird::FindProfiles(const std::string& home) {
    std::vector<Profile> out;
    for (auto& found : CMozillaProfiles::Find(home, CMozillaProfiles::ThunderbirdRoots()))
        out.push_back({std::move(found.name), std::move(found.dir), found.isDefault});
    return out;
}

bool CThunderbird::ChooseProfile(const std::string& home, const std::string& which, Profile& out) {
    std::vector<Profile> all = FindProfiles(home);
    for (const Profile& p : all) {
        if (which.empty() ? p.isDefault : (p.name == which || p.dir == which)) {
            out = p;
            return true;
        }
    }
    if (which.empty() && all.size() == 1) {
        out = all.front();
        return true;
    }
    // A folder named directly, profiles.ini or not.
    if (!which.empty() && exists(which + "/prefs.js")) {
        out = {which, which, false};
        return true;
    }
    return false;
}

bool CThunderbird::IsLocked(const std::string& dir) {
    char target[256] = {};
    ssize_t n = ::readlink((dir + "/lock").c_str(), target, sizeof target - 1);
    if (n > 0) {
        // "address:+pid"
        std::string text(target, static_cast<size_t>(n));
        size_t plus = text.rfind('+');
        if (plus != std::string::npos) {
            long pid = std::strtol(text.c_str() + plus + 1, nullptr, 10);
            if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) return true;
        }
    }
    int fd = ::open((dir + "/.parentlock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

int CThunderbird::LoadIdentities(const std::string& dir, std::vector<Identity>& out) {
    out.clear();
    CThunderbirdPrefs prefs;
    if (prefs.Load(dir + "/prefs.js") != 0) return Failed;
    std::map<long, Identity> byNumber;
    static const std::string kPrefix = "mail.identity.id";
    for (const std::string& key : prefs.KeysWithPrefix(kPrefix)) {
        size_t dot = key.find('.', kPrefix.size());
        if (dot == std::string::npos) continue;
        const std::string id = key.substr(kPrefix.size() - 2, dot - (kPrefix.size() - 2));  // "idN"
        long number = std::strtol(id.c_str() + 2, nullptr, 10);
        Identity& identity = byNumber[number];
        identity.key = id;
    }
    for (auto& [number, identity] : byNumber) {
        const std::string base = "mail.identity." + identity.key + ".";
        identity.email = prefs.Get(base + "useremail").value_or("");
        if (identity.email.empty()) continue;
        identity.fullName = prefs.Get(base + "fullName").value_or("");
        identity.signName = prefs.Get(base + "signing_cert_name").value_or("");
        identity.signDbKey = prefs.Get(base + "signing_cert_dbkey").value_or("");
        identity.cryptName = prefs.Get(base + "encryption_cert_name").value_or("");
        identity.cryptDbKey = prefs.Get(base + "encryption_cert_dbkey").value_or("");
        out.push_back(identity);
    }
    return Ok;
}

int CThunderbird::LoadContacts(const std::string& dir, std::vector<Contact>& out) {
    out.clear();
    const std::string path = dir + "/abook.sqlite";
    if (!exists(path)) return Ok;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return Failed;
    }
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> owned(db, &sqlite3_close);
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* raw = nullptr;
    const char* sql =
        "SELECT card, name, value FROM properties WHERE name IN ('DisplayName', 'PrimaryEmail', 'FirstName', "
        "'LastName') ORDER BY rowid";
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) return Failed;
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, &sqlite3_finalize);
    std::vector<std::string> order;
    std::map<std::string, std::map<std::string, std::string>> cards;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        auto text = [raw](int c) {
            const unsigned char* t = sqlite3_column_text(raw, c);
            return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
        };
        const std::string card = text(0);
        if (!cards.count(card)) order.push_back(card);
        cards[card][text(1)] = text(2);
    }
    if (rc != SQLITE_DONE) return Failed;
    for (const std::string& card : order) {
        auto& fields = cards[card];
        Contact c;
        c.email = fields["PrimaryEmail"];
        if (c.email.empty()) continue;
        c.name = fields["DisplayName"];
        if (c.name.empty()) c.name = trim(fields["FirstName"] + " " + fields["LastName"]);
        if (c.name.empty()) c.name = c.email;
        out.push_back(std::move(c));
    }
    return Ok;
}

std::string CThunderbird::DbKey(CDigitalCertificate& certificate) {
    orvik::crypt::X509Ptr x = x509Of(certificate);
    if (!x) return {};
    unsigned char* der = nullptr;
    int n = i2d_ASN1_INTEGER(X509_get_serialNumber(x.get()), &der);
    if (n <= 0) return {};
    std::string integer(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    // The content bytes of the INTEGER, after its tag and length.
    size_t header = 2;
    if (static_cast<unsigned char>(integer[1]) & 0x80) header += static_cast<unsigned char>(integer[1]) & 0x7F;
    const std::string serial = integer.substr(header);
    der = nullptr;
    n = i2d_X509_NAME(X509_get_issuer_name(x.get()), &der);
    if (n <= 0) return {};
    const std::string issuer(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    std::string key(8, '\0');
    bigEndian32(key, serial.size());
    bigEndian32(key, issuer.size());
    return base64Encode(key + serial + issuer);
}

int CThunderbird::loginResult(int rc) {
    switch (rc) {
    case CNssDatabase::WrongPassword: return WrongPassword;
    case CNssDatabase::Cancelled: return Cancelled;
    default: return Failed;
    }
}

int CThunderbird::prepare(const std::string& dir) {
    if (IsLocked(dir)) return Locked;
    if (!exists(dir + "/cert9.db") && exists(dir + "/cert8.db")) return OldDatabase;
    return Ok;
}

int CThunderbird::SetIdentityCerts(const std::string& dir, const std::string& identity, CDigitalCertificate* sign,
                                   CDigitalCertificate* crypt, const AskPassword& askPassword) {
    if (int rc = prepare(dir); rc != Ok) return rc;
    CThunderbirdPrefs prefs;
    if (prefs.Load(dir + "/prefs.js") != 0) return Failed;
    const std::string base = "mail.identity." + identity + ".";
    if (!prefs.Get(base + "useremail")) return NoSuchIdentity;
    // The certificates first: prefs.js names only certificates that NSS can find.
    std::vector<std::pair<CDigitalCertificate*, std::string>> wanted;
    if (sign) wanted.push_back({sign, "signing_cert_"});
    if (crypt) wanted.push_back({crypt, "encryption_cert_"});
    if (wanted.empty()) return Ok;
    // With the personal store's module in the profile, NSS finds the certificate and its key on
    // the module's token: no copy of the key goes into the profile.
    const bool onModule = CNssDatabase::ListsModule(dir, orvik::p11::kNssModuleName);
    CNssDatabase db;
    if (db.Open(dir) != 0) return Failed;
    if (int rc = db.Login(askPassword); rc != 0) return loginResult(rc);
    std::map<std::string, std::string> nicknames;  // by thumbprint: one import for one certificate
    for (auto& [cert, prefix] : wanted) {
        std::string thumb;
        if (cert->getThumbPrint(thumb) != CDigitalCertificate::Ok) return Failed;
        if (!nicknames.count(thumb)) {
            int rc = onModule ? nameOnModule(*cert, nicknames[thumb]) : copyWithKey(db, *cert, nicknames[thumb]);
            if (rc == Ok) rc = importIssuers(db, *cert);
            if (rc != Ok) return rc;
        }
        prefs.Set(base + prefix + "name", nicknames[thumb]);
        prefs.Set(base + prefix + "dbkey", DbKey(*cert));
    }
    db.Close();
    // Thunderbird may have been started meanwhile: it would write its own prefs.js over ours.
    if (IsLocked(dir)) return Locked;
    return prefs.Save() == 0 ? Ok : Failed;
}

int CThunderbird::ImportContactCert(const std::string& dir, CDigitalCertificate& certificate,
                                    const AskPassword& askPassword, const ConfirmTrust& confirmTrust) {
    if (int rc = prepare(dir); rc != Ok) return rc;
    CNssDatabase db;
    if (db.Open(dir) != 0) return Failed;
    if (int rc = db.Login(askPassword); rc != 0) return loginResult(rc);
    const std::string der = certificate.Encoded(CDigitalCertificate::ENC_DER);
    if (db.ImportCert(der, db.FreeNickname(nicknameOf(certificate), der), false) != 0) return Failed;
    // The issuer from the authorities' store, so Thunderbird can verify the certificate.
    orvik::crypt::X509Ptr x = x509Of(certificate);
    CCaCertStore authorities;
    if (!x || authorities.OpenCertStore() != 0) return Ok;
    for (int i = 0; i < authorities.GetCertCount(); ++i) {
        CDigitalCertificate* ca = authorities.getCert(i);
        orvik::crypt::X509Ptr cx = x509Of(*ca);
        if (!cx || X509_check_issued(cx.get(), x.get()) != X509_V_OK) continue;
        std::string name;
        if (ca->getDisplayName(name) != CDigitalCertificate::Ok) return Failed;
        const std::string caDer = ca->Encoded(CDigitalCertificate::ENC_DER);
        if (db.TrustedForEmail(caDer)) return Ok;  // asked before
        const bool trust = confirmTrust && confirmTrust(name);
        return db.ImportCert(caDer, db.FreeNickname(name, caDer), trust) == 0 ? Ok : Failed;
    }
    return Ok;
}

std::set<std::string> CThunderbird::CertAddresses(const std::string& dir) {
    std::set<std::string> out;
    if (!exists(dir + "/cert9.db")) return out;
    CNssDatabase db;
    if (db.Open(dir) != 0) return out;
    for (const CNssDatabase::Entry& e : db.List()) {
        CDigitalCertificate cert(e.der.data(), static_cast<int>(e.der.size()), CDigitalCertificate::ENC_DER);
        std::string address;
        if (cert.getPCCERT() && cert.getEmail(address) == 0 && !address.empty()) out.insert(lower(address));
    }
    return out;
}

std::vector<std::unique_ptr<CDigitalCertificate>> CThunderbird::CertsFor(const std::string& dir,
                                                                         const std::string& email) {
    std::vector<std::unique_ptr<CDigitalCertificate>> out;
    if (!exists(dir + "/cert9.db")) return out;
    CNssDatabase db;
    if (db.Open(dir) != 0) return out;
    for (const CNssDatabase::Entry& e : db.List()) {
        auto cert = std::make_unique<CDigitalCertificate>(e.der.data(), static_cast<int>(e.der.size()),
                                                          CDigitalCertificate::ENC_DER);
        std::string address;
        if (cert->getPCCERT() && cert->getEmail(address) == 0 && lower(address) == lower(email))
            out.push_back(std::move(cert));
    }
    return out;
}
