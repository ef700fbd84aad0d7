// Certificates and stores: import-cert, list, show, remove, friendly-name, sign, verify,
// check-revocation, trust, distrust, install-authorities.
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include <CaCertStore.h>
#include <CertStore.h>
#include <CertTrust.h>
#include <DigitalCertificate.h>
#include <Encodings.h>
#include <MyCertStore.h>
#include <OtherCertStore.h>
#include <orvik/Secret.h>
#include <windows.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

const char* const kKeys[] = {"Version",     "IssuerName",   "SubjectName", "SerialNumber", "CSP",      "ValidFromDate",
                             "ValidToDate", "SubjectEmail", "SubjectCN",   "IssuerEmail",  "IssuerCN", "ThumbPrint"};

// The store a --store option names, in the spelling of the system ("MY", "CA", ...).
bool storeName(const std::string& given, std::string& name) {
    for (const char* s : {"MY", "CA", "ADDRESSBOOK", "Root", "Disallowed"})
        if (!strcasecmp(given.c_str(), s)) {
            name = s;
            return true;
        }
    return false;
}

// A store of the library's classes, or of Root or Disallowed through a small class of our own:
// the library has no class for them, and the command line still lists them.
class SystemStore : public CCertStore {
public:
    explicit SystemStore(std::string name) : name_(std::move(name)) {}
    int OpenCertStore() override { return OpenSystemStore(name_.c_str(), "orvikctl"); }

private:
    std::string name_;
};

std::unique_ptr<CCertStore> makeStore(const std::string& name) {
    if (name == "MY") return std::make_unique<CMyCertStore>();
    if (name == "CA") return std::make_unique<CCaCertStore>();
    if (name == "ADDRESSBOOK") return std::make_unique<COtherCertStore>();
    return std::make_unique<SystemStore>(name);
}

// DER, PEM or a bare Base64 text; null with a message when the file holds none of them.
std::unique_ptr<CDigitalCertificate> loadCertificate(const std::string& path, std::string& error) {
    std::string bytes;
    if (!readAll(path, bytes, kCertificateFile, error)) return nullptr;
    if (auto cert = CDigitalCertificate::FromFileBytes(bytes)) return cert;
    error = path + " holds no certificate (DER, PEM or Base64)";
    return nullptr;
}

int openStore(const Parsed& p, const std::string& fallback, std::unique_ptr<CCertStore>& store, std::string& name) {
    if (!storeName(p.value("store", fallback), name))
        return fail("no store " + p.value("store") + " (MY, CA, ADDRESSBOOK, Root, Disallowed)");
    store = makeStore(name);
    if (store->OpenCertStore() != 0) return fail("the store " + name + " cannot be opened");
    return Ok;
}

CDigitalCertificate* findOrFail(CCertStore& store, const std::string& storeName, std::string thumb) {
    CDigitalCertificate* cert = store.FindByThumb(thumb);
    if (!cert) fail("no certificate " + thumb + " in " + storeName);
    return cert;
}

int importCert(const Args& args) {
    Parsed p = parseOptions(args, {"store", "key"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1) return usage("import-cert");
    std::string error;
    auto cert = loadCertificate(p.positional[0], error);
    if (!cert) return fail(error);
    std::string name;
    if (!storeName(p.value("store", p.has("key") ? "MY" : "ADDRESSBOOK"), name))
        return fail("no store " + p.value("store") + " (MY, CA, ADDRESSBOOK, Root, Disallowed)");
    int rc = 0;
    if (p.has("key")) {
        if (name != "MY") return fail("a private key goes with a certificate of the store MY");
        std::string key;
        if (!readAll(p.value("key"), key, kKeyFile, error)) return fail(error);
        rc = CMyCertStore().ImportCertAndKey(*cert, key);
        orvik::wipe(key);
        if (rc == CMyCertStore::KeyUnusable) return fail("the key cannot be read or is not the certificate's key");
    } else if (name == "ADDRESSBOOK") {
        rc = COtherCertStore().ImportCert(cert.get());
    } else {
        HCERTSTORE store = CertOpenSystemStoreA(0, name.c_str());
        rc = store && CertAddCertificateContextToStore(store, cert->getPCCERT(), CERT_STORE_ADD_REPLACE_EXISTING,
                                                       nullptr)
                 ? 0
                 : 4;
        if (store) CertCloseStore(store, 0);
    }
    if (rc != 0) return fail("the certificate could not be added to " + name + " (see OrvikCrypt.log)");
    std::string thumb;
    cert->getThumbPrint(thumb);
    std::printf("%s\n", thumb.c_str());
    return Ok;
}

int list(const Args& args) {
    Parsed p = parseOptions(args, {"store"});
    if (!p.ok) return fail(p.error);
    if (!p.positional.empty()) return usage("list");
    std::unique_ptr<CCertStore> store;
    std::string name;
    if (int rc = openStore(p, "MY", store, name)) return rc;
    // The authorities' stores say what the user's trust makes of each.
    std::unique_ptr<CCertTrust> trust;
    if (name == "CA" || name == "Root" || name == "Disallowed") trust = std::make_unique<CCertTrust>();
    for (int i = 0; i < store->GetCertCount(); ++i) {
        std::string thumb, cn, email;
        CDigitalCertificate* c = store->getCert(i);
        c->GetCertInfo("ThumbPrint", thumb);
        c->GetCertInfo("SubjectCN", cn);
        c->GetCertInfo("SubjectEmail", email);
        if (trust)
            std::printf("%s\t%s\t%s\t%s%s\n", thumb.c_str(), cn.c_str(), email.c_str(),
                        CCertTrust::Words(trust->Check(*c)), CCertTrust::IsBuiltIn(*c) ? " built-in" : "");
        else
            std::printf("%s\t%s\t%s\n", thumb.c_str(), cn.c_str(), email.c_str());
    }
    return Ok;
}

// The certificate a trust command names: in CA, Root or Disallowed (the authorities page's
// list), or a certificate file.
int authority(const std::string& given, std::unique_ptr<CCertStore>& store, std::unique_ptr<CDigitalCertificate>& owned,
              CDigitalCertificate*& cert) {
    struct stat st {};
    if (::stat(given.c_str(), &st) == 0) {
        std::string error;
        owned = loadCertificate(given, error);
        if (!owned) return fail(error);
        cert = owned.get();
        return Ok;
    }
    store = std::make_unique<CCaCertStore>(CCaCertStore::WithRoots);
    if (store->OpenCertStore() != 0) return fail("the store CA cannot be opened");
    cert = findOrFail(*store, "CA, Root or Disallowed", given);
    return cert ? Ok : Failed;
}

int trust(const Args& args) {
    if (args.size() != 1) return usage("trust");
    std::unique_ptr<CCertStore> store;
    std::unique_ptr<CDigitalCertificate> owned;
    CDigitalCertificate* cert = nullptr;
    if (int rc = authority(args[0], store, owned, cert)) return rc;
    switch (CCertTrust::Trust(*cert)) {
    case CCertStore::Ok: break;
    case CCertStore::NothingDone:
        return fail("only a root can be trusted, and this authority is not distrusted; trust its root instead");
    default: return fail("the trust could not be stored (see OrvikCrypt.log)");
    }
    CCertTrust now;
    std::printf("%s\n", CCertTrust::Words(now.Check(*cert)));
    return Ok;
}

int distrust(const Args& args) {
    if (args.size() != 1) return usage("distrust");
    std::unique_ptr<CCertStore> store;
    std::unique_ptr<CDigitalCertificate> owned;
    CDigitalCertificate* cert = nullptr;
    if (int rc = authority(args[0], store, owned, cert)) return rc;
    if (CCertTrust::Distrust(*cert) != CCertStore::Ok)
        return fail("the distrust could not be stored (see OrvikCrypt.log)");
    std::printf("%s\n", CCertTrust::Words(CCertTrust::Distrusted));
    return Ok;
}

int show(const Args& args) {
    Parsed p = parseOptions(args, {"store"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1) return usage("show");
    std::unique_ptr<CDigitalCertificate> owned;
    std::unique_ptr<CCertStore> store;
    CDigitalCertificate* cert = nullptr;
    std::string error;
    // A name that is there is a file (refused unread when it is no regular file), else a thumbprint.
    struct stat st {};
    if (::stat(p.positional[0].c_str(), &st) == 0) {
        owned = loadCertificate(p.positional[0], error);
        if (!owned) return fail(error);
        cert = owned.get();
    } else {
        std::string name;
        if (int rc = openStore(p, "MY", store, name)) return rc;
        cert = findOrFail(*store, name, p.positional[0]);
        if (!cert) return Failed;
    }
    for (const char* key : kKeys) {
        std::string value;
        int rc = cert->GetCertInfo(key, value);
        if (rc == 0) std::printf("%s: %s\n", key, value.c_str());
    }
    std::string friendly;
    if (cert->getFriendlyName(friendly) == 0 && !friendly.empty()) std::printf("FriendlyName: %s\n", friendly.c_str());
    std::string algorithm;
    cert->getSignatureAlgorithm(algorithm);
    std::printf("SignatureAlgorithm: %s\n", algorithm.c_str());
    std::printf("KeyUsage: %s%s\n", cert->isSignUse() ? "Sign" : "", cert->isCryptUse() ? " Crypt" : "");
    return Ok;
}

int remove(const Args& args) {
    Parsed p = parseOptions(args, {"store"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1) return usage("remove");
    std::unique_ptr<CCertStore> store;
    std::string name;
    if (int rc = openStore(p, "MY", store, name)) return rc;
    CDigitalCertificate* cert = findOrFail(*store, name, p.positional[0]);
    if (!cert) return Failed;
    if ((name == "Root" || name == "CA") && CCertTrust::IsBuiltIn(*cert))
        return fail("a built-in authority cannot be removed; distrust it instead");
    for (int i = 0; i < store->GetCertCount(); ++i)
        if (store->getCert(i) == cert) return store->Remove(i) ? Ok : fail("the store refused to remove it");
    return Failed;
}

int friendlyName(const Args& args) {
    Parsed p = parseOptions(args, {"store"}, {"clear"});
    if (!p.ok) return fail(p.error);
    if (p.positional.empty() || p.positional.size() > 2 || (p.has("clear") && p.positional.size() != 1))
        return usage("friendly-name");
    std::unique_ptr<CCertStore> store;
    std::string name;
    if (int rc = openStore(p, "MY", store, name)) return rc;
    CDigitalCertificate* cert = findOrFail(*store, name, p.positional[0]);
    if (!cert) return Failed;
    if (p.positional.size() == 1 && !p.has("clear")) {
        std::string text;
        if (cert->getFriendlyName(text) != 0) return fail("the friendly name cannot be read");
        std::printf("%s\n", text.c_str());
        return Ok;
    }
    std::string text = p.has("clear") ? std::string() : p.positional[1];
    return cert->setFriendlyName(text) == 0 ? Ok : fail("the friendly name cannot be written");
}

int sign(const Args& args) {
    Parsed p = parseOptions(args, {"cert"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 2 || !p.has("cert")) return usage("sign");
    std::string content, error;
    if (!readAll(p.positional[0], content, kOnePiece, error) || !regularOrAbsent(p.positional[1], error))
        return fail(error);
    CMyCertStore store;
    if (store.OpenCertStore() != 0) return fail("the store MY cannot be opened");
    CDigitalCertificate* cert = findOrFail(store, "MY", p.value("cert"));
    if (!cert) return Failed;
    CBBuffer data, signature;
    data.AttachBuffer(content.data(), static_cast<int>(content.size()));
    if (cert->SignMessage(data, signature) != 0) {
        std::string problem = tokenProblem(GetLastError());
        return fail("signing failed: " + (problem.empty() ? "the certificate's private key is not usable" : problem));
    }
    std::string bytes(reinterpret_cast<const char*>(signature.GetBuffer()), static_cast<size_t>(signature.size()));
    if (!writeAll(p.positional[1], bytes, Readers::Umask, error)) return fail(error);
    return Ok;
}

int verify(const Args& args) {
    if (args.size() != 2) return usage("verify");
    std::string content, sig, error;
    if (!readAll(args[0], content, kOnePiece, error) || !readAll(args[1], sig, kSignatureFile, error))
        return fail(error);
    CBBuffer data, signature;
    data.AttachBuffer(content.data(), static_cast<int>(content.size()));
    signature.AttachBuffer(sig.data(), static_cast<int>(sig.size()));
    std::unique_ptr<CDigitalCertificate> signer(CDigitalCertificate::VerifyMessage(data, signature));
    if (!signer) return fail("the signature does not match the file");
    std::string thumb, cn;
    signer->GetCertInfo("ThumbPrint", thumb);
    signer->GetCertInfo("SubjectCN", cn);
    std::printf("%s\t%s\n", thumb.c_str(), cn.c_str());
    return Ok;
}

int checkRevocation(const Args& args) {
    Parsed p = parseOptions(args, {"store"}, {"cache-only"});
    if (!p.ok) return fail(p.error);
    if (!p.positional.empty()) return usage("check-revocation");
    std::unique_ptr<CCertStore> store;
    std::string name;
    if (int rc = openStore(p, "MY", store, name)) return rc;
    for (int i = 0; i < store->GetCertCount(); ++i) {
        std::string thumb, cn, state;
        CDigitalCertificate* c = store->getCert(i);
        c->GetCertInfo("ThumbPrint", thumb);
        c->GetCertInfo("SubjectCN", cn);
        (void)c->CRLCheck(state, !p.has("cache-only"));  // the state word says it all
        std::printf("%s\t%s\t%s\n", thumb.c_str(), cn.c_str(), state.c_str());
    }
    return Ok;
}

int installAuthorities(const Args& args) {
    if (!args.empty()) return usage("install-authorities");
    return DoInstallCerts() == 0 ? Ok : fail("the authorities could not all be installed (see OrvikCrypt.log)");
}

const bool added = registered({
    {"import-cert", "FILE [--store MY|CA|ADDRESSBOOK|Root|Disallowed] [--key KEYFILE]",
     "add a DER, PEM or Base64 certificate to a store (with --key: its private key, into MY); prints its thumbprint",
     importCert},
    {"list", "[--store S]",
     "the certificates of a store: thumbprint TAB SubjectCN TAB SubjectEmail; for CA, Root and Disallowed also TAB "
     "trusted|untrusted|distrusted, with \" built-in\" for an authority the deployment installed",
     list},
    {"show", "FILE|THUMB [--store S]", "every field of a certificate file or of a store's certificate", show},
    {"remove", "THUMB [--store S]", "delete a certificate from a store", remove},
    {"friendly-name", "THUMB [NAME|--clear] [--store S]", "read, set or clear a certificate's friendly name",
     friendlyName},
    {"sign", "FILE OUT.p7s --cert THUMB", "a detached signature of FILE with a personal certificate", sign},
    {"verify", "FILE SIG.p7s", "check a detached signature; prints the signer", verify},
    {"check-revocation", "[--store S] [--cache-only]", "the revocation state of every certificate of a store",
     checkRevocation},
    {"trust", "THUMB|FILE",
     "trust an authority: a root into Root, and out of Disallowed what was distrusted; prints the trust it now has",
     trust},
    {"distrust", "THUMB|FILE", "distrust an authority (into Disallowed): nothing it issued is trusted any more",
     distrust},
    {"install-authorities", "", "install the built-in trusted authorities into Root and CA", installAuthorities},
});

}  // namespace
}  // namespace orvikctl
