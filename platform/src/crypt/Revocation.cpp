// CertVerifyRevocation from the certificate's CRL distribution points.
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>

#include <winbase.h>
#include <wincrypt.h>

#include <orvik/AsnTime.h>

#include "CertContext.h"
#include "CrlSource.h"

namespace {

using orvik::crypt::CertCtx;
using orvik::crypt::CrlSource;
namespace ossl = orvik::ossl;

std::vector<std::string> distributionPoints(X509* cert) {
    std::vector<std::string> urls;
    ossl::DistPointsPtr points(
        static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr)));
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

// The issuer: a certificate of the given stores, else of CA, Root and MY, whose subject is the
// certificate's issuer and whose key verifies its signature.
ossl::X509Ptr findIssuer(X509* cert, PCERT_REVOCATION_PARA para, HCERTSTORE own) {
    auto signs = [cert](X509* candidate) {
        if (!candidate) return false;
        if (X509_NAME_cmp(X509_get_subject_name(candidate), X509_get_issuer_name(cert)) != 0) return false;
        EVP_PKEY* key = X509_get0_pubkey(candidate);
        return key && X509_verify(cert, key) == 1;
    };
    if (para && para->cbSize >= sizeof(DWORD) * 2 + sizeof(void*) && para->pIssuerCert) {
        auto* c = orvik::crypt::contextOf(para->pIssuerCert);
        if (c && signs(c->data->x509())) return ossl::X509Ptr(X509_dup(c->data->x509()));
    }
    std::vector<HCERTSTORE> stores;
    if (own) stores.push_back(CertDuplicateStore(own));
    for (const char* name : {"CA", "Root", "MY"})
        if (HCERTSTORE s = CertOpenSystemStoreA(0, name)) stores.push_back(s);
    ossl::X509Ptr found;
    for (HCERTSTORE store : stores) {
        PCCERT_CONTEXT ctx = nullptr;
        while (!found && (ctx = CertEnumCertificatesInStore(store, ctx))) {
            X509* candidate = orvik::crypt::contextOf(ctx)->data->x509();
            if (signs(candidate)) {
                found.reset(X509_dup(candidate));
                CertFreeCertificateContext(ctx);
                break;
            }
        }
    }
    for (HCERTSTORE store : stores) CertCloseStore(store, 0);
    return found;
}

// A CRL is used only while it is current and signed by the certificate's issuer.
bool usable(X509_CRL* crl, X509* issuer) {
    if (!crl || !issuer) return false;
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) != 0) return false;
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (!key || X509_CRL_verify(crl, key) != 1) return false;
    // Times with an offset from UTC or without seconds are read too.
    long long sinceThis = 0, toNext = 0;
    if (!orvik::secondsFromNow(X509_CRL_get0_lastUpdate(crl), sinceThis) || sinceThis > 0) return false;
    const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(crl);
    return !nextUpdate || (orvik::secondsFromNow(nextUpdate, toNext) && toNext > 0);
}

DWORD checkOne(CertCtx& ctx, DWORD flags, PCERT_REVOCATION_PARA para, DWORD& reason) {
    X509* cert = ctx.data->x509();
    if (!cert) return static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK);
    std::vector<std::string> urls = distributionPoints(cert);
    if (urls.empty()) return static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK);
    ossl::X509Ptr issuer = findIssuer(cert, para, ctx.pub.hCertStore);
    if (!issuer) return static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE);
    const bool cacheOnly = flags & CERT_VERIFY_CACHE_ONLY_BASED_REVOCATION;
    for (const std::string& url : urls) {
        ossl::X509CrlPtr crl = CrlSource::cached(url);
        if (!usable(crl.get(), issuer.get())) {
            crl.reset();
            if (cacheOnly || CrlSource::recentlyFetched(url)) continue;
            crl = CrlSource::fetch(url);
            if (!usable(crl.get(), issuer.get())) continue;
            CrlSource::store(url, crl.get());
        }
        X509_REVOKED* entry = nullptr;
        if (X509_CRL_get0_by_cert(crl.get(), &entry, cert) == 1) {
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
