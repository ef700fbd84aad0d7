#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "CertTrust.h"

#include <set>

#include <orvik/RegisteredCertificates.h>
#include <windows.h>

#include "OpenSslPtr.h"

namespace {

using orvik::crypt::X509Ptr;
using StorePtr = orvik::Owned<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = orvik::Owned<X509_STORE_CTX, X509_STORE_CTX_free>;

void freeStack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
using X509Stack = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>;

X509Ptr parse(const unsigned char* der, size_t size) {
    const unsigned char* p = der;
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(size)));
}

X509Ptr parse(const CDigitalCertificate& certificate) {
    const CERT_CONTEXT* c = certificate.getPCCERT();
    return c ? parse(c->pbCertEncoded, c->cbCertEncoded) : nullptr;
}

std::string upperHex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex.push_back(digits[data[i] >> 4]);
        hex.push_back(digits[data[i] & 15]);
    }
    return hex;
}

std::string thumbprintOf(const CDigitalCertificate& certificate) {
    CBBuffer hash;
    if (const_cast<CDigitalCertificate&>(certificate).getThumbPrint(&hash) != 0) return {};
    return upperHex(hash.GetBuffer(), static_cast<size_t>(hash.size()));
}

std::string thumbprintOf(X509* x) {
    unsigned char hash[20];
    unsigned int size = sizeof hash;
    if (X509_digest(x, EVP_sha1(), hash, &size) != 1) return {};
    return upperHex(hash, size);
}

std::string derOf(X509* x) {
    unsigned char* out = nullptr;
    int size = i2d_X509(x, &out);
    std::string der(reinterpret_cast<const char*>(out), static_cast<size_t>(size > 0 ? size : 0));
    OPENSSL_free(out);
    return der;
}

std::string entryKey(const char* store, const std::string& thumbprint) {
    return std::string("Software\\Microsoft\\SystemCertificates\\") + store + "\\Certificates\\" + thumbprint;
}

bool machineHolds(const char* store, const std::string& thumbprint) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, entryKey(store, thumbprint).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

CCertStore::Code addTo(const char* store, const CDigitalCertificate& certificate, CSecLog& log) {
    HCERTSTORE target = CertOpenSystemStoreA(0, store);
    if (!target) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertOpenSystemStore Error: 0x%x", GetLastError());
        return CCertStore::PlatformFailed;
    }
    CCertStore::Code rc = CCertStore::Ok;
    if (!CertAddCertificateContextToStore(target, certificate.getPCCERT(), CERT_STORE_ADD_USE_EXISTING, nullptr)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertAddCertificateContextToStore Error: 0x%x",
                GetLastError());
        rc = CCertStore::PlatformFailed;
    }
    CertCloseStore(target, 0);
    return rc;
}

// Deletes every entry of the certificate from the store, the user's and the machine's (an opened
// store shows one entry of a certificate both hold, so it is opened again until none is left). Ok
// also when there was none.
CCertStore::Code removeFrom(const char* store, const CDigitalCertificate& certificate, CSecLog& log) {
    for (int round = 0; round < 3; ++round) {
        HCERTSTORE source = CertOpenSystemStoreA(0, store);
        if (!source) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertOpenSystemStore Error: 0x%x", GetLastError());
            return CCertStore::PlatformFailed;
        }
        PCCERT_CONTEXT found = CertFindCertificateInStore(source, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                          certificate.getPCCERT(), nullptr);
        const bool deleted = found && CertDeleteCertificateFromStore(found);
        const DWORD error = GetLastError();
        CertCloseStore(source, 0);
        if (!found) return CCertStore::Ok;
        if (!deleted) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertDeleteCertificateFromStore Error: 0x%x", error);
            return CCertStore::PlatformFailed;
        }
    }
    return CCertStore::PlatformFailed;
}

std::vector<X509Ptr> storeCertificates(const char* name) {
    std::vector<X509Ptr> out;
    HCERTSTORE store = CertOpenSystemStoreA(0, name);
    if (!store) return out;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
        if (X509Ptr x = parse(c->pbCertEncoded, c->cbCertEncoded)) out.push_back(std::move(x));
    CertCloseStore(store, 0);
    return out;
}

}  // namespace

struct CCertTrust::Stores {
    StorePtr anchors{X509_STORE_new()};
    X509Stack intermediates{sk_X509_new_null(), freeStack};
    std::set<std::string> distrusted, roots;
    std::vector<X509Ptr> disallowed;
};

CCertTrust::CCertTrust() : stores_(std::make_unique<Stores>()) {
    stores_->distrusted = orvik::distrustedThumbprints();
    stores_->disallowed = storeCertificates("Disallowed");
    auto usable = [this](X509* x) { return !stores_->distrusted.count(thumbprintOf(x)); };
    for (X509Ptr& root : storeCertificates("Root")) {
        stores_->roots.insert(thumbprintOf(root.get()));
        if (!usable(root.get())) continue;
        X509_STORE_add_cert(stores_->anchors.get(), root.get());
        // A root may also have signed a cross certificate of another: usable as a link too.
        if (sk_X509_push(stores_->intermediates.get(), root.get()) > 0) root.release();
    }
    for (X509Ptr& ca : storeCertificates("CA"))
        if (usable(ca.get()) && sk_X509_push(stores_->intermediates.get(), ca.get()) > 0) ca.release();
}

CCertTrust::~CCertTrust() = default;

CCertTrust::State CCertTrust::Check(const CDigitalCertificate& certificate, std::vector<std::string>* chain) const {
    if (chain) chain->clear();
    X509Ptr leaf = parse(certificate);
    if (!leaf) return Untrusted;
    if (chain) chain->push_back(derOf(leaf.get()));
    if (stores_->distrusted.count(thumbprintOf(leaf.get()))) return Distrusted;

    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), stores_->anchors.get(), leaf.get(), stores_->intermediates.get()) != 1)
        return Untrusted;
    // Dates are the caller's to judge: an expired certificate of a trusted authority is both.
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_NO_CHECK_TIME);
    const bool verified = X509_verify_cert(ctx.get()) == 1;
    STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
    if (chain && built) {
        chain->clear();
        for (int i = 0; i < sk_X509_num(built); ++i) chain->push_back(derOf(sk_X509_value(built, i)));
    }
    if (verified) return Trusted;
    // The chain may have stopped below an authority the user distrusts: say so, rather than
    // "untrusted" as for an unknown issuer.
    X509* top = built && sk_X509_num(built) > 0 ? sk_X509_value(built, sk_X509_num(built) - 1) : leaf.get();
    for (const X509Ptr& refused : stores_->disallowed) {
        if (X509_check_issued(refused.get(), top) != X509_V_OK) continue;
        EVP_PKEY* key = X509_get0_pubkey(refused.get());
        if (!key || X509_verify(top, key) != 1) continue;
        if (chain) chain->push_back(derOf(refused.get()));
        return Distrusted;
    }
    return Untrusted;
}

bool CCertTrust::IsDistrusted(const CDigitalCertificate& certificate) const {
    return stores_->distrusted.count(thumbprintOf(certificate)) != 0;
}

bool CCertTrust::InRoot(const CDigitalCertificate& certificate) const {
    return stores_->roots.count(thumbprintOf(certificate)) != 0;
}

bool CCertTrust::IsRoot(const CDigitalCertificate& certificate) {
    X509Ptr x = parse(certificate);
    if (!x || X509_check_issued(x.get(), x.get()) != X509_V_OK) return false;
    EVP_PKEY* key = X509_get0_pubkey(x.get());
    return key && X509_verify(x.get(), key) == 1;
}

bool CCertTrust::IsBuiltIn(const CDigitalCertificate& certificate) {
    const std::string thumbprint = thumbprintOf(certificate);
    return !thumbprint.empty() && (machineHolds("Root", thumbprint) || machineHolds("CA", thumbprint));
}

CCertStore::Code CCertTrust::Trust(const CDigitalCertificate& certificate) {
    if (!certificate.getPCCERT()) return CCertStore::NothingDone;
    CSecLog log;
    const bool root = IsRoot(certificate);
    const bool distrusted = CCertTrust().IsDistrusted(certificate);
    if (!root && !distrusted) return CCertStore::NothingDone;
    // Into "Root" first: a failure then leaves the certificate distrusted, never half trusted.
    if (root)
        if (CCertStore::Code rc = addTo("Root", certificate, log); rc != CCertStore::Ok) return rc;
    return distrusted ? removeFrom("Disallowed", certificate, log) : CCertStore::Ok;
}

CCertStore::Code CCertTrust::Distrust(const CDigitalCertificate& certificate) {
    if (!certificate.getPCCERT()) return CCertStore::NothingDone;
    CSecLog log;
    return addTo("Disallowed", certificate, log);
}

const char* CCertTrust::Words(State state) {
    switch (state) {
    case Trusted: return "trusted";
    case Distrusted: return "distrusted";
    default: return "untrusted";
    }
}
