#include "Pkcs12Mac.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <vector>

#include "OpenSslPtr.h"

namespace orvik::crypt {

namespace {

// A hostile archive must not keep the program deriving keys for minutes; real writers use a few
// thousand iterations, the most careful a few hundred thousand.
constexpr long kMaxIterations = 10'000'000;
constexpr long kMaxKeyLength = 1024;

using AlgorPtr = Owned<X509_ALGOR, X509_ALGOR_free>;
using Pbkdf2Ptr = Owned<PBKDF2PARAM, PBKDF2PARAM_free>;
using MdPtr = Owned<EVP_MD, EVP_MD_free>;

std::string nameOf(const ASN1_OBJECT* oid) {
    char text[128];
    OBJ_obj2txt(text, sizeof text, oid, 0);
    return text;
}

MdPtr digestOf(int nid) {
    const char* name = nid == NID_undef ? nullptr : OBJ_nid2sn(nid);
    MdPtr md(name ? EVP_MD_fetch(nullptr, name, nullptr) : nullptr);
    ERR_clear_error();
    return md;
}

// The digest behind an HMAC algorithm identifier such as hmacWithSHA256.
MdPtr hmacDigestOf(const X509_ALGOR* alg) {
    int mdNid = NID_undef;
    if (!alg || !EVP_PBE_find(EVP_PBE_TYPE_PRF, OBJ_obj2nid(alg->algorithm), nullptr, &mdNid, nullptr)) return {};
    return digestOf(mdNid);
}

// The content octets the MAC covers: the data of the authenticated safe. Read from a DER encoding
// of the archive, in which a constructed (BER) octet string has become one.
bool authSafeContent(PKCS12* p12, std::vector<unsigned char>& out) {
    unsigned char* der = nullptr;
    int size = i2d_PKCS12(p12, &der);
    if (size <= 0) return false;
    const unsigned char* p = der;
    const unsigned char* end = der + size;
    long length = 0;
    int tag = 0, cls = 0;
    auto enter = [&](int want) {
        if (p >= end) return false;
        int rc = ASN1_get_object(&p, &length, &tag, &cls, end - p);
        return !(rc & 0x80) && tag == want && length <= end - p;
    };
    bool ok = enter(V_ASN1_SEQUENCE) && enter(V_ASN1_INTEGER);
    if (ok) p += length;
    ok = ok && enter(V_ASN1_SEQUENCE) && enter(V_ASN1_OBJECT);
    if (ok) p += length;
    ok = ok && enter(0) && cls == V_ASN1_CONTEXT_SPECIFIC && enter(V_ASN1_OCTET_STRING);
    if (ok) out.assign(p, p + length);
    OPENSSL_free(der);
    return ok;
}

MacCheck unsupported(std::string& form, std::string what) {
    form = std::move(what);
    return MacCheck::Unsupported;
}

// PBMAC1: a key from PBKDF2 (its keyLength required), then an HMAC over the authenticated safe.
// The password goes in as its bytes, as PBKDF2 takes it.
MacCheck checkPbmac1(PKCS12* p12, const X509_ALGOR* alg, const ASN1_OCTET_STRING* mac, const char* password,
                     std::string& form) {
    const ASN1_TYPE* param = alg->parameter;
    if (!param || param->type != V_ASN1_SEQUENCE) return unsupported(form, "PBMAC1 without parameters");
    const unsigned char* p = param->value.sequence->data;
    const unsigned char* end = p + param->value.sequence->length;
    long length = 0;
    int tag = 0, cls = 0;
    if (ASN1_get_object(&p, &length, &tag, &cls, end - p) & 0x80 || tag != V_ASN1_SEQUENCE)
        return unsupported(form, "PBMAC1 with damaged parameters");
    AlgorPtr kdf(d2i_X509_ALGOR(nullptr, &p, end - p));
    AlgorPtr scheme(kdf ? d2i_X509_ALGOR(nullptr, &p, end - p) : nullptr);
    ERR_clear_error();
    if (!kdf || !scheme) return unsupported(form, "PBMAC1 with damaged parameters");
    if (OBJ_obj2nid(kdf->algorithm) != NID_id_pbkdf2)
        return unsupported(form, "PBMAC1 (" + nameOf(kdf->algorithm) + ")");
    Pbkdf2Ptr kdfParams(
        static_cast<PBKDF2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), kdf->parameter)));
    ERR_clear_error();
    if (!kdfParams || !kdfParams->salt || kdfParams->salt->type != V_ASN1_OCTET_STRING || !kdfParams->iter)
        return unsupported(form, "PBMAC1 with damaged PBKDF2 parameters");
    MdPtr prf = kdfParams->prf ? hmacDigestOf(kdfParams->prf) : digestOf(NID_sha1);
    if (!prf) return unsupported(form, "PBMAC1 (PBKDF2 " + nameOf(kdfParams->prf->algorithm) + ")");
    MdPtr hmac = hmacDigestOf(scheme.get());
    if (!hmac) return unsupported(form, "PBMAC1 (" + nameOf(scheme->algorithm) + ")");
    if (!kdfParams->keylength) return unsupported(form, "PBMAC1 without a key length");
    const long iterations = ASN1_INTEGER_get(kdfParams->iter);
    const long keyLength = ASN1_INTEGER_get(kdfParams->keylength);
    if (iterations < 1 || iterations > kMaxIterations)
        return unsupported(form, "PBMAC1 with " + std::to_string(iterations) + " iterations");
    if (keyLength < 1 || keyLength > kMaxKeyLength)
        return unsupported(form, "PBMAC1 with a key of " + std::to_string(keyLength) + " bytes");

    std::vector<unsigned char> content;
    if (!authSafeContent(p12, content)) return MacCheck::Failed;
    const ASN1_OCTET_STRING* salt = kdfParams->salt->value.octet_string;
    std::vector<unsigned char> key(static_cast<size_t>(keyLength));
    const int passLength = password ? static_cast<int>(std::strlen(password)) : 0;
    if (!PKCS5_PBKDF2_HMAC(password ? password : "", passLength, salt->data, salt->length, static_cast<int>(iterations),
                           prf.get(), static_cast<int>(keyLength), key.data())) {
        ERR_clear_error();
        return MacCheck::Failed;
    }
    unsigned char computed[EVP_MAX_MD_SIZE];
    unsigned int computedLength = 0;
    bool made = HMAC(hmac.get(), key.data(), static_cast<int>(key.size()), content.data(), content.size(), computed,
                     &computedLength) != nullptr;
    OPENSSL_cleanse(key.data(), key.size());
    ERR_clear_error();
    const bool same = made && mac && static_cast<unsigned>(mac->length) == computedLength &&
                      CRYPTO_memcmp(mac->data, computed, computedLength) == 0;
    return same ? MacCheck::Verified : MacCheck::Failed;
}

}  // namespace

MacCheck checkPkcs12Mac(PKCS12* p12, const char* password, std::string& form) {
    const ASN1_OCTET_STRING* mac = nullptr;
    const X509_ALGOR* alg = nullptr;
    const ASN1_OCTET_STRING* salt = nullptr;
    const ASN1_INTEGER* iterations = nullptr;
    PKCS12_get0_mac(&mac, &alg, &salt, &iterations, p12);
    if (!alg) return MacCheck::Failed;
    const int nid = OBJ_obj2nid(alg->algorithm);
    if (nid == NID_pbmac1) return checkPbmac1(p12, alg, mac, password, form);
    if (!digestOf(nid)) return unsupported(form, "MAC with " + nameOf(alg->algorithm));
    const long count = iterations ? ASN1_INTEGER_get(iterations) : 1;
    if (count < 1 || count > kMaxIterations)
        return unsupported(form, "MAC with " + std::to_string(count) + " iterations");
    const bool verified = PKCS12_verify_mac(p12, password, password ? -1 : 0) == 1;
    ERR_clear_error();
    return verified ? MacCheck::Verified : MacCheck::Failed;
}

}  // namespace orvik::crypt
