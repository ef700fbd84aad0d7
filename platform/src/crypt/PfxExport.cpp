// PFXExportCertStoreEx with the algorithms every reader takes: Windows, OpenSSL 1.x, and OpenSSL
// 3 without its legacy provider.
#include <openssl/pkcs12.h>

#include <cstring>
#include <string>
#include <vector>

#include <orvik/CodePage.h>
#include <orvik/OpenSslProviders.h>
#include <orvik/Pkcs12Writer.h>
#include <orvik/Secret.h>
#include <winbase.h>
#include <wincrypt.h>

#include "CertContext.h"
#include "Provider.h"

namespace {

using namespace orvik;

void freeCertStack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using CertStackPtr = Owned<STACK_OF(X509), freeCertStack>;

std::string friendlyName(PCCERT_CONTEXT cert) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size) && size >= 2) {
        std::u16string wide(size / 2 + 1, u'\0');
        if (CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, wide.data(), &size))
            return utf16ToUtf8(std::u16string_view(wide.c_str()));
    }
    DWORD n = CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    std::string name(n, '\0');
    CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), n);
    name.resize(std::strlen(name.c_str()));
    return name;
}

// The issuer of `cert` among the stores, or null.
X509* issuerIn(X509* cert, const std::vector<HCERTSTORE>& stores) {
    for (HCERTSTORE store : stores) {
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx))) {
            X509* candidate = crypt::contextOf(ctx)->data->x509();
            if (candidate && X509_NAME_cmp(X509_get_subject_name(candidate), X509_get_issuer_name(cert)) == 0 &&
                X509_verify(cert, X509_get0_pubkey(candidate)) == 1) {
                X509_up_ref(candidate);
                CertFreeCertificateContext(ctx);
                return candidate;
            }
        }
    }
    return nullptr;
}

// The certificate's issuers up to a self-signed root, from the store given and the system's.
CertStackPtr chainOf(X509* cert, HCERTSTORE own) {
    CertStackPtr chain(sk_X509_new_null());
    std::vector<HCERTSTORE> stores{CertDuplicateStore(own)};
    for (const char* name : {"CA", "Root", "MY"})
        if (HCERTSTORE s = CertOpenSystemStoreA(0, name)) stores.push_back(s);
    X509* current = cert;
    for (int depth = 0; depth < 8 && X509_check_issued(current, current) != X509_V_OK; ++depth) {
        X509* issuer = issuerIn(current, stores);
        if (!issuer) break;
        sk_X509_push(chain.get(), issuer);
        current = issuer;
    }
    for (HCERTSTORE s : stores) CertCloseStore(s, 0);
    return chain;
}

}  // namespace

extern "C" BOOL WINAPI PFXExportCertStoreEx(HCERTSTORE store, CRYPT_DATA_BLOB* pfx, LPCWSTR password, void*,
                                            DWORD flags) {
    if (!store || !pfx) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    loadOpenSslProviders();
    // The certificate that carries the key; the other certificates of the store travel with it.
    PCCERT_CONTEXT main = nullptr;
    std::shared_ptr<EVP_PKEY> key;
    CertStackPtr extra(sk_X509_new_null());
    PCCERT_CONTEXT ctx = nullptr;
    DWORD failure = 0;
    while ((ctx = CertEnumCertificatesInStore(store, ctx))) {
        std::shared_ptr<EVP_PKEY> found;
        if ((flags & EXPORT_PRIVATE_KEYS) && !key) {
            DWORD permissions = 0;
            found = crypt::certificatePrivateKey(ctx, nullptr, &permissions);
            if (!found && (flags & REPORT_NO_PRIVATE_KEY)) failure = static_cast<DWORD>(NTE_NO_KEY);
            if (found && !(permissions & CRYPT_EXPORT)) {
                if (flags & REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY) failure = static_cast<DWORD>(NTE_BAD_KEY_STATE);
                found.reset();
            }
        }
        if (failure) {
            CertFreeCertificateContext(ctx);
            if (main) CertFreeCertificateContext(main);
            SetLastError(failure);
            return FALSE;
        }
        if (found) {
            key = found;
            main = CertDuplicateCertificateContext(ctx);
        } else {
            if (X509* x = crypt::contextOf(ctx)->data->x509()) {
                X509_up_ref(x);
                sk_X509_push(extra.get(), x);
            }
        }
    }
    X509* cert = main ? crypt::contextOf(main)->data->x509() : nullptr;
    std::string name = main ? friendlyName(main) : std::string();
    if (cert) {
        CertStackPtr chain = chainOf(cert, store);
        while (sk_X509_num(chain.get()) > 0) sk_X509_push(extra.get(), sk_X509_shift(chain.get()));
    }
    if (main) CertFreeCertificateContext(main);

    std::string pass = password ? utf16ToUtf8(password) : std::string();
    std::vector<X509*> others;
    for (int i = 0; i < sk_X509_num(extra.get()); ++i) others.push_back(sk_X509_value(extra.get(), i));
    std::string der = encodePkcs12(key.get(), cert, others, pass, name);
    wipe(pass);
    if (der.empty()) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
    const size_t n = der.size();
    BOOL result = TRUE;
    if (!pfx->pbData) {
        pfx->cbData = static_cast<DWORD>(n);
    } else if (pfx->cbData < static_cast<DWORD>(n)) {
        pfx->cbData = static_cast<DWORD>(n);
        SetLastError(ERROR_MORE_DATA);
        result = FALSE;
    } else {
        std::memcpy(pfx->pbData, der.data(), n);
        pfx->cbData = static_cast<DWORD>(n);
    }
    wipe(der);
    return result;
}
