// CryptHashCertificate, CertFindExtension and the structure types of CryptDecodeObject.
#include <openssl/evp.h>

#include <cstring>

#include <winbase.h>
#include <wincrypt.h>

#include "Der.h"

namespace {

bool isPredefined(LPCSTR structType) { return (reinterpret_cast<uintptr_t>(structType) >> 16) == 0; }

// The rule of every variable-size output: a null area asks for the size.
BOOL reserve(void* out, DWORD* outSize, DWORD need) {
    if (!outSize) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (!out) {
        *outSize = need;
        return TRUE;
    }
    if (*outSize < need) {
        *outSize = need;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    *outSize = need;
    return TRUE;
}

BOOL decodeKeyUsage(const BYTE* encoded, DWORD size, void* out, DWORD* outSize) {
    orvik::der::Reader r(encoded, size);
    orvik::der::Tlv bits;
    if (!r.nextIf(orvik::der::BitString, bits) || !r.atEnd() || bits.length < 1 || bits.value[0] > 7 ||
        (bits.length == 1 && bits.value[0] != 0)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
        return FALSE;
    }
    DWORD count = static_cast<DWORD>(bits.length - 1);
    if (!reserve(out, outSize, static_cast<DWORD>(sizeof(CRYPT_BIT_BLOB) + count))) return FALSE;
    if (!out) return TRUE;
    auto* blob = static_cast<CRYPT_BIT_BLOB*>(out);
    BYTE* bytes = static_cast<BYTE*>(out) + sizeof(CRYPT_BIT_BLOB);
    if (count) std::memcpy(bytes, bits.value + 1, count);
    blob->cbData = count;
    blob->pbData = count ? bytes : nullptr;
    blob->cUnusedBits = count ? bits.value[0] : 0;
    return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI CryptHashCertificate(HCRYPTPROV_LEGACY, ALG_ID alg, DWORD, const BYTE* encoded, DWORD size, BYTE* hash,
                                 DWORD* hashSize) {
    const EVP_MD* md = nullptr;
    switch (alg) {
    case 0:
    case CALG_SHA1: md = EVP_sha1(); break;
    case CALG_MD5: md = EVP_md5(); break;
    case CALG_SHA_256: md = EVP_sha256(); break;
    default: SetLastError(static_cast<DWORD>(NTE_BAD_ALGID)); return FALSE;
    }
    if (!encoded && size) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(EVP_MD_get_size(md));
    if (!reserve(hash, hashSize, need)) return FALSE;
    if (!hash) return TRUE;
    unsigned int n = 0;
    if (!EVP_Digest(encoded ? encoded : reinterpret_cast<const BYTE*>(""), size, hash, &n, md, nullptr)) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
    return TRUE;
}

PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR oid, DWORD count, CERT_EXTENSION* extensions) {
    if (oid && extensions)
        for (DWORD i = 0; i < count; ++i)
            if (extensions[i].pszObjId && !std::strcmp(extensions[i].pszObjId, oid)) return &extensions[i];
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

BOOL WINAPI CryptDecodeObject(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD size, DWORD, void* out,
                              DWORD* outSize) {
    if ((encoding & X509_ASN_ENCODING) == 0 || !encoded) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    bool keyUsage = isPredefined(structType) ? structType == X509_KEY_USAGE : !std::strcmp(structType, szOID_KEY_USAGE);
    if (keyUsage) return decodeKeyUsage(encoded, size, out, outSize);
    SetLastError(static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
    return FALSE;
}

}  // extern "C"
