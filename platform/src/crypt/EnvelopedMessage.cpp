// PKCS #7 EnvelopedData: CryptEncryptMessage and CryptDecryptMessage with 3DES-EDE-CBC and RSA
// key transport by issuer and serial number.
#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include <cstring>

#include <winbase.h>
#include <wincrypt.h>

#include "CertContext.h"
#include "SizeRule.h"
#include "CertStore.h"
#include "Provider.h"

using orvik::crypt::copyOut;

namespace {

using namespace orvik;

void freeCertStack(STACK_OF(X509) * s) { sk_X509_free(s); }  // the certificates are borrowed
using CertStackPtr = Owned<STACK_OF(X509), freeCertStack>;

}  // namespace

extern "C" {

BOOL WINAPI CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA para, DWORD count, PCCERT_CONTEXT recipients[],
                                const BYTE* content, DWORD contentSize, BYTE* out, DWORD* outSize) {
    if (!para || para->cbSize < sizeof(CRYPT_ENCRYPT_MESSAGE_PARA) || !outSize || count == 0 || !recipients ||
        (!content && contentSize)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (!para->ContentEncryptionAlgorithm.pszObjId ||
        std::strcmp(para->ContentEncryptionAlgorithm.pszObjId, szOID_RSA_DES_EDE3_CBC) != 0 ||
        para->dwInnerContentType) {
        SetLastError(static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
        return FALSE;
    }
    CertStackPtr certs(sk_X509_new_null());
    for (DWORD i = 0; i < count; ++i) {
        auto* c = crypt::contextOf(recipients[i]);
        if (!c) return FALSE;
        if (!c->data->x509()) {
            SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
            return FALSE;
        }
        sk_X509_push(certs.get(), c->data->x509());
    }
    static const BYTE empty = 0;
    ossl::BioPtr in(BIO_new_mem_buf(content ? content : &empty, static_cast<int>(contentSize)));
    ossl::Pkcs7Ptr p7(PKCS7_encrypt(certs.get(), in.get(), EVP_des_ede3_cbc(), PKCS7_BINARY));
    unsigned char* der = nullptr;
    int n = p7 ? i2d_PKCS7(p7.get(), &der) : -1;
    if (n <= 0) {
        ERR_clear_error();
        SetLastError(static_cast<DWORD>(CRYPT_E_MSG_ERROR));
        return FALSE;
    }
    BOOL ok = copyOut(der, static_cast<size_t>(n), out, outSize);
    OPENSSL_free(der);
    return ok;
}

BOOL WINAPI CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA para, const BYTE* blob, DWORD blobSize, BYTE* out,
                                DWORD* outSize, PCCERT_CONTEXT* exchangeCert) {
    if (exchangeCert) *exchangeCert = nullptr;
    if (!para || para->cbSize < sizeof(CRYPT_DECRYPT_MESSAGE_PARA) || !blob || !outSize) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    const unsigned char* p = blob;
    ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(blobSize)));
    if (!p7 || !PKCS7_type_is_enveloped(p7.get())) {
        ERR_clear_error();
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return FALSE;
    }
    // A recipient whose certificate, with its private key, is in one of the stores.
    STACK_OF(PKCS7_RECIP_INFO)* infos = p7->d.enveloped->recipientinfo;
    for (DWORD s = 0; s < para->cCertStore; ++s) {
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(para->rghCertStore[s], ctx))) {
            X509* cert = crypt::contextOf(ctx)->data->x509();
            if (!cert) continue;
            bool named = false;
            for (int i = 0; i < sk_PKCS7_RECIP_INFO_num(infos) && !named; ++i) {
                PKCS7_RECIP_INFO* ri = sk_PKCS7_RECIP_INFO_value(infos, i);
                named = X509_NAME_cmp(ri->issuer_and_serial->issuer, X509_get_issuer_name(cert)) == 0 &&
                        ASN1_INTEGER_cmp(ri->issuer_and_serial->serial, X509_get0_serialNumber(cert)) == 0;
            }
            if (!named) continue;
            std::shared_ptr<EVP_PKEY> key = crypt::certificatePrivateKey(ctx);
            if (!key) continue;
            ossl::BioPtr plain(BIO_new(BIO_s_mem()));
            SetLastError(ERROR_SUCCESS);
            const bool decrypted = PKCS7_decrypt(p7.get(), key.get(), cert, plain.get(), PKCS7_BINARY) == 1;
            // A token that failed on the key transport leaves OpenSSL going on with a random key,
            // which may even "succeed": its reason decides, whatever OpenSSL made of it.
            const DWORD tokenError = crypt::isTokenError(GetLastError()) ? GetLastError() : 0;
            if (!decrypted || tokenError) {
                ERR_clear_error();
                CertFreeCertificateContext(ctx);
                SetLastError(tokenError ? tokenError : static_cast<DWORD>(NTE_BAD_DATA));
                return FALSE;
            }
            char* bytes = nullptr;
            long n = BIO_get_mem_data(plain.get(), &bytes);
            BOOL ok = copyOut(reinterpret_cast<BYTE*>(bytes), static_cast<size_t>(n), out, outSize);
            if (ok && exchangeCert) *exchangeCert = CertDuplicateCertificateContext(ctx);
            CertFreeCertificateContext(ctx);
            return ok;
        }
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
    return FALSE;
}

}  // extern "C"
