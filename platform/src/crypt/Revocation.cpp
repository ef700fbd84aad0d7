// CertVerifyRevocation from the certificate's CRL distribution points.
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include <winbase.h>
#include <wincrypt.h>

#include <orvik/AsnTime.h>
#include <orvik/Home.h>
#include <orvik/RegisteredCertificates.h>

#include "CertContext.h"
#include "CrlSource.h"
#include "Der.h"

namespace {

using orvik::crypt::CachedCrl;
using orvik::crypt::CertCtx;
using orvik::crypt::CertData;
using orvik::crypt::CrlSource;
namespace ossl = orvik::ossl;
namespace der = orvik::der;

// What a check needs of the certificate, read from the platform's own decoding: OpenSSL's form
// decodes the public key too, which costs more than all the rest of a check.
struct Checked {
    const CertData& data;
    ossl::X509NamePtr issuerName;
    ossl::Owned<ASN1_INTEGER, ASN1_INTEGER_free> serial;
    der::Tlv tbs, innerAlg, outerAlg, signature;
    bool split = false;  // the four parts above were found

    explicit Checked(const CertData& d) : data(d) {
        const unsigned char* p = d.info.Issuer.pbData;
        issuerName.reset(d2i_X509_NAME(nullptr, &p, static_cast<long>(d.info.Issuer.cbData)));
        serial.reset(serialOf(d.info.SerialNumber));
        der::Reader top(d.der.data(), d.der.size());
        der::Tlv cert, version, number;
        if (!top.nextIf(der::Sequence, cert)) return;
        der::Reader parts(cert);
        if (!parts.nextIf(der::Sequence, tbs) || !parts.nextIf(der::Sequence, outerAlg) ||
            !parts.nextIf(der::BitString, signature))
            return;
        der::Reader fields(tbs);
        uint8_t tag = 0;
        if (fields.peekTag(tag) && tag == 0xA0 && !fields.next(version)) return;
        split = fields.nextIf(der::Integer, number) && fields.nextIf(der::Sequence, innerAlg);
    }

    // The serial INTEGER from its little-endian bytes, with redundant leading octets dropped as
    // the list's entries have them.
    static ASN1_INTEGER* serialOf(const CRYPT_INTEGER_BLOB& le) {
        std::vector<unsigned char> be(le.pbData, le.pbData + le.cbData);
        std::reverse(be.begin(), be.end());
        size_t skip = 0;
        while (be.size() - skip > 1 &&
               ((be[skip] == 0 && !(be[skip + 1] & 0x80)) || (be[skip] == 0xFF && (be[skip + 1] & 0x80))))
            ++skip;
        if (be.size() == skip) return nullptr;
        std::vector<uint8_t> encoded;
        der::appendTlv(encoded, der::Integer, be.data() + skip, be.size() - skip);
        const unsigned char* p = encoded.data();
        return d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(encoded.size()));
    }

    std::vector<std::string> distributionPoints() const {
        std::vector<std::string> urls;
        const CERT_EXTENSION* found = nullptr;
        for (const CERT_EXTENSION& ext : data.extensions) {
            if (std::strcmp(ext.pszObjId, szOID_CRL_DIST_POINTS) != 0) continue;
            if (found) return urls;  // twice: OpenSSL takes neither, nor do we
            found = &ext;
        }
        if (!found) return urls;
        const unsigned char* p = found->Value.pbData;
        ossl::DistPointsPtr points(d2i_CRL_DIST_POINTS(nullptr, &p, static_cast<long>(found->Value.cbData)));
        if (!points) return urls;
        for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
            DIST_POINT* dp = sk_DIST_POINT_value(points.get(), i);
            if (!dp->distpoint || dp->distpoint->type != 0) continue;
            GENERAL_NAMES* names = dp->distpoint->name.fullname;
            for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
                GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
                if (name->type != GEN_URI) continue;
                const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
                std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                static_cast<size_t>(ASN1_STRING_length(uri)));
                if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) urls.push_back(url);
            }
        }
        return urls;
    }

    // Whether `key` made the certificate's signature. The signed part is verified as it stands;
    // what that cannot settle (differing algorithm encodings, say) OpenSSL's full form decides.
    bool signedWith(EVP_PKEY* key) const {
        if (split && innerAlg.size() == outerAlg.size() &&
            std::memcmp(innerAlg.start, outerAlg.start, innerAlg.size()) == 0) {
            const unsigned char* p = outerAlg.start;
            ossl::Owned<X509_ALGOR, X509_ALGOR_free> alg(
                d2i_X509_ALGOR(nullptr, &p, static_cast<long>(outerAlg.size())));
            p = signature.start;
            ossl::Asn1BitStringPtr bits(d2i_ASN1_BIT_STRING(nullptr, &p, static_cast<long>(signature.size())));
            p = tbs.start;
            // ANY keeps a SEQUENCE as its exact bytes, so what is verified is what was signed.
            ossl::Owned<ASN1_TYPE, ASN1_TYPE_free> body(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(tbs.size())));
            if (alg && bits && body &&
                ASN1_item_verify(ASN1_ITEM_rptr(ASN1_ANY), alg.get(), bits.get(), body.get(), key) == 1)
                return true;
            ERR_clear_error();
        }
        X509* full = data.x509();
        return full && X509_verify(full, key) == 1;
    }
};

// Issuer certificates in OpenSSL's form, by SHA-1: every opening of a store makes new contexts,
// and the issuers of a refresh are the same few certificates.
ossl::X509Ptr parsedIssuer(const CertData& data) {
    static std::mutex lock;
    static std::map<std::array<BYTE, 20>, ossl::X509Ptr> parsed;
    constexpr size_t kKept = 64;
    std::lock_guard guard(lock);
    auto it = parsed.find(data.sha1);
    if (it == parsed.end()) {
        X509* x = data.x509();
        if (!x) return nullptr;
        if (parsed.size() >= kKept) parsed.clear();
        X509_up_ref(x);
        it = parsed.emplace(data.sha1, ossl::X509Ptr(x)).first;
    }
    X509_up_ref(it->second.get());
    return ossl::X509Ptr(it->second.get());
}

// The CA and Root stores as last read: reading a store costs more than the rest of a check, so a
// refresh of many certificates reads them once. Any write to the registry database, by any
// process, or a minute's age makes them read again.
class TrustStores {
public:
    static TrustStores& instance() {
        static auto* stores = new TrustStores;  // never destroyed: checks may run while the process ends
        return *stores;
    }

    // Handles the caller closes.
    std::vector<HCERTSTORE> open() {
        std::lock_guard guard(lock_);
        const std::string now = stamp();
        const auto age = std::chrono::steady_clock::now() - readAt_;
        if (now.empty() || now != stamp_ || age > std::chrono::minutes(1)) {
            for (HCERTSTORE s : stores_) CertCloseStore(s, 0);
            stores_.clear();
            for (const char* name : {"CA", "Root"})
                if (HCERTSTORE s = readOnly(name)) stores_.push_back(s);
            distrusted_ = orvik::distrustedThumbprints();
            // Taken before reading: a write while the stores were read makes the next call read them again.
            stamp_ = now;
            readAt_ = std::chrono::steady_clock::now();
        }
        std::vector<HCERTSTORE> copies;
        for (HCERTSTORE s : stores_) copies.push_back(CertDuplicateStore(s));
        return copies;
    }

    // Whether the user distrusts the certificate: a list it signed proves nothing then.
    bool distrusted(const std::array<BYTE, 20>& sha1) {
        static const char digits[] = "0123456789ABCDEF";
        std::string hex;
        for (BYTE b : sha1) {
            hex.push_back(digits[b >> 4]);
            hex.push_back(digits[b & 15]);
        }
        std::lock_guard guard(lock_);
        return distrusted_.count(hex) != 0;
    }

    static HCERTSTORE readOnly(const char* name) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, name);
        // The user's key may be missing while the machine's is not: opened as before, which makes it.
        return store ? store : CertOpenSystemStoreA(0, name);
    }

private:
    // The database file and its write-ahead log as they stand; empty when there is no database.
    static std::string stamp() {
        const std::string path = orvik::platformDatabasePath();
        if (path.empty()) return {};
        std::string out = path;
        for (const std::string& file : {path, path + "-wal"}) {
            struct stat st {};
            if (stat(file.c_str(), &st) != 0) {
                out += "|-";
                continue;
            }
            for (long long part :
                 {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
                  static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                  static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
                  static_cast<long long>(st.st_ctim.tv_nsec)}) {
                out.push_back('|');
                out.append(std::to_string(part));
            }
        }
        return out;
    }

    std::mutex lock_;
    std::vector<HCERTSTORE> stores_;
    std::set<std::string> distrusted_;
    std::string stamp_;
    std::chrono::steady_clock::time_point readAt_{};
};

// The issuer: a certificate of the given stores, else of CA, Root and MY, whose subject is the
// certificate's issuer and whose key verifies its signature. MY is read only when the others
// hold no issuer.
ossl::X509Ptr findIssuer(const Checked& cert, PCERT_REVOCATION_PARA para, HCERTSTORE own) {
    // Read first: it refreshes the stores and the distrusted set together.
    struct Opened {
        std::vector<HCERTSTORE> handles = TrustStores::instance().open();
        ~Opened() {
            for (HCERTSTORE s : handles) CertCloseStore(s, 0);
        }
    } trustStores;
    auto signs = [&cert](const CertData& candidate) -> ossl::X509Ptr {
        if (TrustStores::instance().distrusted(candidate.sha1)) return nullptr;
        const CERT_NAME_BLOB& subject = candidate.info.Subject;
        const CERT_NAME_BLOB& issuer = cert.data.info.Issuer;
        if (subject.cbData != issuer.cbData || std::memcmp(subject.pbData, issuer.pbData, subject.cbData) != 0) {
            // Equal names may be encoded differently: compared as OpenSSL compares them.
            const unsigned char* p = subject.pbData;
            ossl::X509NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(subject.cbData)));
            if (!name || !cert.issuerName || X509_NAME_cmp(name.get(), cert.issuerName.get()) != 0) return nullptr;
        }
        ossl::X509Ptr x = parsedIssuer(candidate);
        EVP_PKEY* key = x ? X509_get0_pubkey(x.get()) : nullptr;
        return key && cert.signedWith(key) ? std::move(x) : nullptr;
    };
    if (para && para->cbSize >= sizeof(DWORD) * 2 + sizeof(void*) && para->pIssuerCert) {
        auto* c = orvik::crypt::contextOf(para->pIssuerCert);
        if (c)
            if (ossl::X509Ptr found = signs(*c->data)) return found;
    }
    auto search = [&](HCERTSTORE store) {
        ossl::X509Ptr found;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx))) {
            if ((found = signs(*orvik::crypt::contextOf(ctx)->data))) {
                CertFreeCertificateContext(ctx);
                break;
            }
        }
        return found;
    };
    ossl::X509Ptr found;
    if (own) found = search(own);
    for (HCERTSTORE store : trustStores.handles)
        if (!found) found = search(store);
    if (found) return found;
    if (HCERTSTORE my = TrustStores::readOnly("MY")) {
        found = search(my);
        CertCloseStore(my, 0);
    }
    return found;
}

// Whether a list signed by the issuer may answer now. A list without a next update never runs
// out, but once its copy is older than kUndatedListAge a check that may go online fetches it again.
enum class Freshness { Unusable, Current, Aging };

constexpr long long kUndatedListAge = 24 * 3600;

Freshness freshness(const CachedCrl& list, X509* issuer) {
    if (!list.signedBy(issuer)) return Freshness::Unusable;
    // Times with an offset from UTC or without seconds are read too.
    long long sinceThis = 0, toNext = 0;
    if (!orvik::secondsFromNow(X509_CRL_get0_lastUpdate(list.get()), sinceThis) || sinceThis > 0)
        return Freshness::Unusable;
    if (const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(list.get()))
        return orvik::secondsFromNow(nextUpdate, toNext) && toNext > 0 ? Freshness::Current : Freshness::Unusable;
    return std::time(nullptr) - list.storedAt() < kUndatedListAge ? Freshness::Current : Freshness::Aging;
}

DWORD checkOne(CertCtx& ctx, DWORD flags, PCERT_REVOCATION_PARA para, DWORD& reason) {
    Checked cert(*ctx.data);
    if (!cert.serial || !cert.issuerName) return static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK);
    std::vector<std::string> urls = cert.distributionPoints();
    if (urls.empty()) return static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK);
    ossl::X509Ptr issuer = findIssuer(cert, para, ctx.pub.hCertStore);
    if (!issuer) return static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE);
    const bool cacheOnly = flags & CERT_VERIFY_CACHE_ONLY_BASED_REVOCATION;
    for (const std::string& url : urls) {
        std::shared_ptr<const CachedCrl> list = CrlSource::cached(url);
        Freshness state = list ? freshness(*list, issuer.get()) : Freshness::Unusable;
        if (state == Freshness::Aging && cacheOnly) state = Freshness::Current;
        if (state != Freshness::Current) {
            std::unique_lock<std::mutex> fetching;
            if (!cacheOnly) {
                fetching = CrlSource::fetchLock(url);
                // Another thread may have stored a list while this one waited.
                if (std::shared_ptr<const CachedCrl> again = CrlSource::cached(url); again && again != list) {
                    list = std::move(again);
                    state = freshness(*list, issuer.get());
                }
            }
            if (state != Freshness::Current && !cacheOnly && !CrlSource::recentlyFetched(url)) {
                ossl::X509CrlPtr fetched = CrlSource::fetch(url);
                if (fetched) {
                    // Checked before it replaces the cached copy: a bad download must not evict a good list.
                    auto candidate = std::make_shared<const CachedCrl>(std::move(fetched), std::time(nullptr));
                    if (freshness(*candidate, issuer.get()) == Freshness::Current) {
                        CrlSource::store(url, candidate);  // when it cannot be kept, it still answers now
                        list = std::move(candidate);
                        state = Freshness::Current;
                    }
                }
            }
            // An undated list that could not be renewed still answers.
            if (state == Freshness::Unusable) continue;
        }
        X509_REVOKED* entry = nullptr;
        if (X509_CRL_get0_by_serial(list->get(), &entry, cert.serial.get()) == 1) {
            int critical = 0;
            ossl::Owned<ASN1_ENUMERATED, ASN1_ENUMERATED_free> code(
                static_cast<ASN1_ENUMERATED*>(X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, &critical, nullptr)));
            reason = code ? static_cast<DWORD>(ASN1_ENUMERATED_get(code.get())) : 0;
            return static_cast<DWORD>(CRYPT_E_REVOKED);
        }
        return ERROR_SUCCESS;
    }
    return static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE);
}

}  // namespace

extern "C" BOOL WINAPI CertVerifyRevocation(DWORD, DWORD revType, DWORD count, void* contexts[], DWORD flags,
                                            PCERT_REVOCATION_PARA para, PCERT_REVOCATION_STATUS status) {
    if (!status || status->cbSize < offsetof(CERT_REVOCATION_STATUS, fHasFreshnessTime) || !contexts) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (revType != CERT_CONTEXT_REVOCATION_TYPE) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK));
        return FALSE;
    }
    status->dwIndex = 0;
    status->dwError = 0;
    status->dwReason = 0;
    for (DWORD i = 0; i < count; ++i) {
        CertCtx* ctx = orvik::crypt::contextOf(static_cast<PCCERT_CONTEXT>(contexts[i]));
        if (!ctx) return FALSE;
        DWORD reason = 0;
        DWORD error = checkOne(*ctx, flags, para, reason);
        if (error != ERROR_SUCCESS) {
            status->dwIndex = i;
            status->dwError = error;
            status->dwReason = reason;
            SetLastError(error);
            return FALSE;
        }
    }
    return TRUE;
}
