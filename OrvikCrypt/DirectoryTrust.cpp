#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "DirectoryTrust.h"

#include <arpa/inet.h>

#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include <orvik/AsnTime.h>
#include <orvik/RegisteredCertificates.h>
#include <wincrypt.h>

#include "OpenSslPtr.h"

namespace {

using orvik::crypt::X509Ptr;
using StorePtr = orvik::Owned<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = orvik::Owned<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509Stack = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>;

void freeStack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }

X509Ptr parse(const unsigned char* der, size_t size) {
    const unsigned char* p = der;
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(size)));
}

std::string thumbprintOf(X509* x) {
    unsigned char hash[20];
    unsigned int size = sizeof hash;
    if (X509_digest(x, EVP_sha1(), hash, &size) != 1) return {};
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex.push_back(digits[hash[i] >> 4]);
        hex.push_back(digits[hash[i] & 15]);
    }
    return hex;
}

// The store's certificates but those the user distrusts: they anchor and link nothing.
std::vector<X509Ptr> storeCertificates(const char* name, const std::set<std::string>& distrusted) {
    std::vector<X509Ptr> out;
    HCERTSTORE store = CertOpenSystemStoreA(0, name);
    if (!store) return out;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
        if (X509Ptr x = parse(c->pbCertEncoded, c->cbCertEncoded); x && !distrusted.count(thumbprintOf(x.get())))
            out.push_back(std::move(x));
    CertCloseStore(store, 0);
    return out;
}

// Inside its dates now; `expired` is set when it is past its end. An unreadable end counts as past.
bool insideDates(X509* x, bool& expired) {
    long long toEnd = 0, toStart = 0;
    if (!orvik::secondsFromNow(X509_get0_notAfter(x), toEnd) || toEnd <= 0) {
        expired = true;
        return false;
    }
    return orvik::secondsFromNow(X509_get0_notBefore(x), toStart) && toStart < 0;
}

std::string systemBundlePath() {
    const char* env = std::getenv(X509_get_default_cert_file_env());
    return env && *env ? env : X509_get_default_cert_file();
}

}  // namespace

struct CDirectoryTrust::Store {
    StorePtr anchors{X509_STORE_new()};
    X509Stack intermediates{sk_X509_new_null(), freeStack};
    std::set<std::string> distrusted = orvik::distrustedThumbprints();
};

CDirectoryTrust::CDirectoryTrust() : store_(std::make_unique<Store>()) {
    for (X509Ptr& root : storeCertificates("Root", store_->distrusted))
        X509_STORE_add_cert(store_->anchors.get(), root.get());
    for (X509Ptr& ca : storeCertificates("CA", store_->distrusted))
        if (sk_X509_push(store_->intermediates.get(), ca.get()) > 0) ca.release();
}

CDirectoryTrust::~CDirectoryTrust() = default;

CDirectoryTrust::Verdict CDirectoryTrust::Check(const CDigitalCertificate& certificate) const {
    Verdict v;
    const CERT_CONTEXT* context = certificate.getPCCERT();
    if (!context) return v;
    X509Ptr leaf = parse(context->pbCertEncoded, context->cbCertEncoded);
    if (!leaf) return v;

    const uint32_t usage = X509_get_key_usage(leaf.get());
    v.mayEncrypt = usage == UINT32_MAX || (usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) != 0;

    // Dates are judged apart, so an expired certificate of a trusted authority says both.
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    bool chained = false;
    if (!store_->distrusted.count(thumbprintOf(leaf.get())) && ctx &&
        X509_STORE_CTX_init(ctx.get(), store_->anchors.get(), leaf.get(), store_->intermediates.get()) == 1) {
        X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_NO_CHECK_TIME);
        chained = X509_verify_cert(ctx.get()) == 1;
    }
    v.trusted = chained;
    v.validNow = insideDates(leaf.get(), v.expired);
    if (chained) {
        STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 1; i < sk_X509_num(chain); ++i)
            if (!insideDates(sk_X509_value(chain, i), v.expired)) v.validNow = false;
    }
    return v;
}

std::string CDirectoryTrust::Text(const Verdict& v) {
    if (v.ok()) return "可信";
    std::string text;
    auto add = [&text](const char* what) {
        if (!text.empty()) text += "，";
        text += what;
    };
    if (!v.trusted) add("颁发者不受信任");
    if (!v.validNow) add(v.expired ? "已过期" : "尚未生效");
    if (!v.mayEncrypt) add("不可用于加密");
    return text;
}

std::string CDirectoryTrust::Words(const Verdict& v) {
    if (v.ok()) return "trusted";
    std::string text;
    auto add = [&text](const char* what) {
        if (!text.empty()) text += ", ";
        text += what;
    };
    if (!v.trusted) add("untrusted issuer");
    if (!v.validNow) add(v.expired ? "expired" : "not yet valid");
    if (!v.mayEncrypt) add("not for encryption");
    return text;
}

std::string CDirectoryTrust::ServerAnchorsPem() {
    std::string pem;
    std::ifstream bundle(systemBundlePath(), std::ios::binary);
    if (bundle) {
        std::ostringstream text;
        text << bundle.rdbuf();
        pem = text.str();
        if (!pem.empty() && pem.back() != '\n') pem += '\n';
    }
    const std::set<std::string> distrusted = orvik::distrustedThumbprints();
    for (const char* name : {"Root", "CA"}) {
        for (X509Ptr& x : storeCertificates(name, distrusted)) {
            orvik::crypt::BioPtr out(BIO_new(BIO_s_mem()));
            if (!out || PEM_write_bio_X509(out.get(), x.get()) != 1) continue;
            char* data = nullptr;
            long size = BIO_get_mem_data(out.get(), &data);
            if (size > 0) pem.append(data, static_cast<size_t>(size));
        }
    }
    return pem;
}

CDirectoryTrust::ServerProblem CDirectoryTrust::CheckServer(const std::string& der, const std::string& hostName) {
    X509Ptr server = parse(reinterpret_cast<const unsigned char*>(der.data()), der.size());
    if (!server) return ServerUntrusted;
    StorePtr anchors(X509_STORE_new());
    if (!anchors) return ServerUntrusted;
    X509_STORE_load_file(anchors.get(), systemBundlePath().c_str());
    const std::set<std::string> distrusted = orvik::distrustedThumbprints();
    for (const char* name : {"Root", "CA"})
        for (X509Ptr& x : storeCertificates(name, distrusted)) X509_STORE_add_cert(anchors.get(), x.get());
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), anchors.get(), server.get(), nullptr) != 1) return ServerUntrusted;
    if (X509_verify_cert(ctx.get()) != 1) {
        switch (X509_STORE_CTX_get_error(ctx.get())) {
        case X509_V_ERR_CERT_HAS_EXPIRED: return ServerExpired;
        case X509_V_ERR_CERT_NOT_YET_VALID: return ServerNotYetValid;
        default: return ServerUntrusted;
        }
    }
    // The system's bundle may hold an authority the user distrusts.
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    for (int i = 0; i < sk_X509_num(chain); ++i)
        if (distrusted.count(thumbprintOf(sk_X509_value(chain, i)))) return ServerUntrusted;
    in6_addr ip{};
    const bool isIp = inet_pton(AF_INET, hostName.c_str(), &ip) == 1 || inet_pton(AF_INET6, hostName.c_str(), &ip) == 1;
    // Like the TLS library, an address may also stand as the common name of a certificate without
    // alternative names.
    const bool match = (isIp && X509_check_ip_asc(server.get(), hostName.c_str(), 0) == 1) ||
                       X509_check_host(server.get(), hostName.data(), hostName.size(), 0, nullptr) == 1;
    return match ? ServerOk : ServerNameMismatch;
}
