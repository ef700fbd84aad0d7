// Detached PKCS #7 signatures: CryptSignMessage and CryptVerifyDetachedMessageSignature.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <winbase.h>
#include <wincrypt.h>

#include "CertContext.h"
#include "SizeRule.h"
#include "Der.h"
#include "Provider.h"

using orvik::crypt::copyOut;

namespace {

const EVP_MD* digestOf(const char* oid) {
    if (!oid) return nullptr;
    if (!std::strcmp(oid, szOID_RSA_MD5)) return EVP_md5();
    if (!std::strcmp(oid, szOID_OIWSEC_sha1)) return EVP_sha1();
    if (!std::strcmp(oid, "2.16.840.1.101.3.4.2.1")) return EVP_sha256();
    return nullptr;
}

std::string joined(DWORD count, const BYTE* parts[], DWORD sizes[]) {
    std::string all;
    for (DWORD i = 0; i < count; ++i)
        if (parts && parts[i] && sizes) all.append(reinterpret_cast<const char*>(parts[i]), sizes[i]);
    return all;
}

// Rebuilds a PKCS #7 SignedData message with each certificate of its certificates field passed
// through `map`. OpenSSL re-encodes what it reads, so a certificate that Windows accepts and
// OpenSSL does not (a non-minimal serial) is carried in its own bytes this way. Empty when the
// message is not SignedData.
template <class Map>
std::string rewriteCertificates(const std::string& message, Map map) {
    using namespace orvik;
    der::Reader top(reinterpret_cast<const BYTE*>(message.data()), message.size());
    der::Tlv info, type, wrapper, signedData;
    if (!top.nextIf(der::Sequence, info)) return {};
    der::Reader infoBody(info);
    if (!infoBody.nextIf(der::Oid, type) || !infoBody.nextIf(0xA0, wrapper)) return {};
    der::Reader wrapped(wrapper);
    if (!wrapped.nextIf(der::Sequence, signedData)) return {};
    std::vector<BYTE> body;
    der::Reader fields(signedData);
    der::Tlv field;
    while (fields.next(field)) {
        if (field.tag != 0xA0) {
            body.insert(body.end(), field.start, field.start + field.size());
            continue;
        }
        std::vector<BYTE> certs;
        der::Reader items(field);
        der::Tlv cert;
        while (items.next(cert)) {
            std::vector<BYTE> mapped = map(std::vector<BYTE>(cert.start, cert.start + cert.size()));
            certs.insert(certs.end(), mapped.begin(), mapped.end());
        }
        der::appendTlv(body, 0xA0, certs.data(), certs.size());
    }
    std::vector<BYTE> sd, wrap, out;
    der::appendTlv(sd, der::Sequence, body.data(), body.size());
    der::appendTlv(wrap, 0xA0, sd.data(), sd.size());
    std::vector<BYTE> infoContent(type.start, type.start + type.size());
    infoContent.insert(infoContent.end(), wrap.begin(), wrap.end());
    der::appendTlv(out, der::Sequence, infoContent.data(), infoContent.size());
    return std::string(out.begin(), out.end());
}

}  // namespace

extern "C" {

BOOL WINAPI CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA para, BOOL detached, DWORD count, const BYTE* parts[],
                             DWORD partSizes[], BYTE* signedBlob, DWORD* signedSize) {
    using namespace orvik;
    if (!para || !signedSize || para->cbSize < sizeof(CRYPT_SIGN_MESSAGE_PARA) || !para->pSigningCert) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    // Attributes, inner content types and attached messages are not asked for by the system.
    if (!detached || para->cAuthAttr || para->cUnauthAttr || para->dwInnerContentType || para->cMsgCrl) {
        SetLastError(static_cast<DWORD>(E_NOTIMPL));
        return FALSE;
    }
    const EVP_MD* md = digestOf(para->HashAlgorithm.pszObjId);
    if (!md) {
        SetLastError(static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
        return FALSE;
    }
    auto* signer = crypt::contextOf(para->pSigningCert);
    if (!signer) return FALSE;
    std::shared_ptr<EVP_PKEY> key = crypt::certificatePrivateKey(para->pSigningCert);
    if (!key) return FALSE;

    std::string content = joined(count, parts, partSizes);
    ossl::BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    const int flags = PKCS7_DETACHED | PKCS7_BINARY | PKCS7_NOATTR | PKCS7_NOSMIMECAP | PKCS7_PARTIAL | PKCS7_NOCERTS;
    ossl::Pkcs7Ptr p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!p7 || !signer->data->x509() || !PKCS7_sign_add_signer(p7.get(), signer->data->x509(), key.get(), md, flags)) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
    // The certificates carried are the ones the caller lists (the signer's, for the system).
    for (DWORD i = 0; i < para->cMsgCert; ++i) {
        auto* c = para->rgpMsgCert ? crypt::contextOf(para->rgpMsgCert[i]) : nullptr;
        if (!c || !c->data->x509() || !PKCS7_add_certificate(p7.get(), c->data->x509())) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return FALSE;
        }
    }
    SetLastError(ERROR_SUCCESS);
    if (!PKCS7_final(p7.get(), data.get(), flags)) {
        // A token's reason (gone, PIN) is the user's; anything else is a failure of ours.
        if (!crypt::isTokenError(GetLastError())) SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
    unsigned char* der = nullptr;
    int n = i2d_PKCS7(p7.get(), &der);
    if (n <= 0) {
        SetLastError(static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
        return FALSE;
    }
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    // Certificates OpenSSL only took in a normalised form go out in their own bytes.
    std::vector<std::pair<std::vector<BYTE>, std::vector<BYTE>>> originals;
    for (DWORD i = 0; i < para->cMsgCert; ++i) {
        auto* c = crypt::contextOf(para->rgpMsgCert[i]);
        if (!c->data->openSslDer.empty()) originals.emplace_back(c->data->openSslDer, c->data->der);
    }
    if (!originals.empty()) {
        bytes = rewriteCertificates(bytes, [&](const std::vector<BYTE>& cert) {
            for (const auto& [normalised, original] : originals)
                if (cert == normalised) return original;
            return cert;
        });
    }
    return copyOut(bytes, signedBlob, signedSize);
}

BOOL WINAPI CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA para, DWORD signerIndex,
                                                const BYTE* signature, DWORD signatureSize, DWORD count,
                                                const BYTE* parts[], DWORD partSizes[], PCCERT_CONTEXT* signer) {
    using namespace orvik;
    if (signer) *signer = nullptr;
    if (!para || para->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) || !signature) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (para->pfnGetSignerCertificate) {
        SetLastError(static_cast<DWORD>(E_NOTIMPL));
        return FALSE;
    }
    // Certificates are read by our own parser first: OpenSSL gets normalised copies of those it
    // would refuse, and the signer is handed back in the bytes the message carries.
    std::string message(reinterpret_cast<const char*>(signature), signatureSize);
    std::vector<std::shared_ptr<const crypt::CertData>> carried;
    std::string readable = rewriteCertificates(message, [&](const std::vector<BYTE>& cert) {
        auto data = crypt::parseCertificate(cert.data(), cert.size());
        if (!data) return cert;
        carried.push_back(data);
        return data->openSslDer.empty() ? cert : data->openSslDer;
    });
    if (readable.empty()) readable = message;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(readable.data());
    ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(readable.size())));
    if (!p7 || !PKCS7_type_is_signed(p7.get())) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return FALSE;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    if (!infos || signerIndex >= static_cast<DWORD>(sk_PKCS7_SIGNER_INFO_num(infos))) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_SIGNER));
        return FALSE;
    }
    STACK_OF(X509)* certs = p7->d.sign->cert;
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(infos, static_cast<int>(signerIndex));
    X509* cert =
        certs ? X509_find_by_issuer_and_serial(certs, info->issuer_and_serial->issuer, info->issuer_and_serial->serial)
              : nullptr;
    if (!cert) {
        SetLastError(static_cast<DWORD>(CRYPT_E_SIGNER_NOT_FOUND));
        return FALSE;
    }
    std::string content = joined(count, parts, partSizes);
    ossl::BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::BioPtr chain(PKCS7_dataInit(p7.get(), data.get()));
    if (!chain) {
        SetLastError(static_cast<DWORD>(CRYPT_E_BAD_MSG));
        return FALSE;
    }
    // The data BIO now belongs to the chain.
    (void)data.release();
    char buf[4096];
    while (BIO_read(chain.get(), buf, sizeof buf) > 0) {
    }
    // Only the signature is checked here; trust in the signer is the caller's question.
    if (PKCS7_signatureVerify(chain.get(), p7.get(), info, cert) <= 0) {
        ERR_clear_error();
        SetLastError(static_cast<DWORD>(NTE_BAD_SIGNATURE));
        return FALSE;
    }
    if (signer) {
        for (const auto& data : carried)
            if (X509_cmp(data->x509(), cert) == 0) {
                *signer = &crypt::newContext(data)->pub;
                break;
            }
        if (!*signer) {
            SetLastError(static_cast<DWORD>(CRYPT_E_SIGNER_NOT_FOUND));
            return FALSE;
        }
    }
    return TRUE;
}

}  // extern "C"
