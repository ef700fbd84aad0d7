#include "OrvikEncFile.h"

#include <climits>
#include <cstring>

#include <orvik/CodePage.h>
#include <windows.h>

namespace {

const char kTag0[] = "OrvikFileType=0;";
const char kTag1[] = "OrvikFileType=1;";
constexpr int kTag = 16;

// The enhanced provider, else the default one; nothing is kept in a container.
HCRYPTPROV acquire(bool enhancedFirst) {
    HCRYPTPROV prov = 0;
    if (enhancedFirst && CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return prov;
    if (CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return prov;
    return 0;
}

struct Session {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ~Session() {
        if (key) CryptDestroyKey(key);
        if (prov) CryptReleaseContext(prov, 0);
    }
};

}  // namespace

bool SecureFilePasswordKey(HCRYPTPROV prov, const orvik::SecretBytes& bytes, HCRYPTKEY* key) {
    HCRYPTHASH hash = 0;
    bool ok = CryptCreateHash(prov, CALG_MD5, 0, 0, &hash) &&
              CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
              CryptDeriveKey(prov, CALG_3DES, hash, CRYPT_EXPORTABLE, key);
    if (hash) CryptDestroyHash(hash);
    return ok;
}

bool SecureFilePasswordBytes(std::string_view password, orvik::SecretBytes& bytes) {
    std::string converted;
    const bool ok = orvik::utf8ToCp936(password, converted);
    bytes.assign(converted.begin(), converted.end());
    orvik::wipe(converted);
    return ok;
}

COrvikEncFile::~COrvikEncFile() = default;

int COrvikEncFile::EncryptWithPassword(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                                       const char* password) {
    orvik::SecretBytes bytes;
    if (inLen < 0 || (!in && inLen) || !SecureFilePasswordBytes(password ? password : "", bytes)) return -1;
    Session s;
    s.prov = acquire(true);
    if (!s.prov || !SecureFilePasswordKey(s.prov, bytes, &s.key)) return -1;
    DWORD length = static_cast<DWORD>(inLen);
    if (!CryptEncrypt(s.key, 0, TRUE, 0, nullptr, &length, 0) || length > static_cast<DWORD>(INT_MAX - kTag)) return -1;
    if (!out) {
        outLen = kTag + static_cast<int>(length);
        return 0;
    }
    if (outLen < kTag + static_cast<int>(length)) return -1;
    std::memcpy(out, kTag0, kTag);
    if (inLen) std::memmove(out + kTag, in, static_cast<size_t>(inLen));
    DWORD n = static_cast<DWORD>(inLen);
    if (!CryptEncrypt(s.key, 0, TRUE, 0, out + kTag, &n, static_cast<DWORD>(outLen - kTag))) {
        MessageBoxA(nullptr, "allocate memory failure!", "证书助手", MB_ICONERROR);
        return -1;
    }
    return 0;
}

int COrvikEncFile::DecryptWithPassword(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                                       const char* password) {
    orvik::SecretBytes bytes;
    // Too short to hold even the tag: nothing to decrypt.
    if (!in || inLen < kTag + 8 || !SecureFilePasswordBytes(password ? password : "", bytes)) return -1;
    Session s;
    auto say = [](const char* text) { MessageBoxA(nullptr, text, "证书助手", MB_ICONERROR); };
    s.prov = acquire(false);
    if (!s.prov) {
        say("Could not create a new key container.");
        return -1;
    }
    say("A cryptographic provider has been acquired.");
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(s.prov, CALG_MD5, 0, 0, &hash)) {
        say("Error during CryptCreateHash!");
        return -1;
    }
    say("A hash object has been created.");
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0)) {
        CryptDestroyHash(hash);
        say("Error Password!!! During Using CryptHashData()!");
        return -1;
    }
    say("The password has been added to the hash!");
    bool derived = CryptDeriveKey(s.prov, CALG_3DES, hash, CRYPT_EXPORTABLE, &s.key);
    CryptDestroyHash(hash);
    if (!derived) {
        say("Error during CryptDeriveKey!");
        return -1;
    }
    say("An encryption key is derived from the password hash!");
    orvik::SecretBytes work(in + kTag, in + inLen);
    DWORD n = static_cast<DWORD>(work.size());
    if (!CryptDecrypt(s.key, 0, TRUE, 0, work.data(), &n)) {
        say("allocate memory failure!");
        return -1;
    }
    if (!out) {
        outLen = static_cast<int>(n);
        return 0;
    }
    if (outLen < static_cast<int>(n)) return -1;
    if (n) std::memcpy(out, work.data(), n);
    outLen = static_cast<int>(n);
    return 0;
}

int COrvikEncFile::EncryptWithCert(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                                   std::vector<CDigitalCertificate*> recipients) {
    if (inLen < 0 || (!in && inLen)) return -1;
    std::vector<PCCERT_CONTEXT> contexts;
    for (CDigitalCertificate* c : recipients)
        if (c && c->getPCCERT()) contexts.push_back(CertDuplicateCertificateContext(c->getPCCERT()));
    struct Free {
        std::vector<PCCERT_CONTEXT>& list;
        ~Free() {
            for (PCCERT_CONTEXT c : list) CertFreeCertificateContext(c);
        }
    } freeAll{contexts};
    if (contexts.empty()) return -1;
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_DES_EDE3_CBC);
    DWORD length = 0;
    if (!CryptEncryptMessage(&para, static_cast<DWORD>(contexts.size()), contexts.data(), in, static_cast<DWORD>(inLen),
                             nullptr, &length) ||
        length > static_cast<DWORD>(INT_MAX - kTag))
        return -1;
    if (!out) {
        outLen = kTag + static_cast<int>(length);
        return 0;
    }
    if (outLen < kTag + static_cast<int>(length)) return -1;
    DWORD capacity = static_cast<DWORD>(outLen - kTag);
    if (!CryptEncryptMessage(&para, static_cast<DWORD>(contexts.size()), contexts.data(), in, static_cast<DWORD>(inLen),
                             out + kTag, &capacity))
        return -1;
    std::memcpy(out, kTag1, kTag);
    outLen = kTag + static_cast<int>(capacity);
    return 0;
}

int COrvikEncFile::DecryptWithCert(const unsigned char* in, int inLen, unsigned char* out, int& outLen) {
    if (!in || inLen <= kTag) return -1;
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    if (!my) return -1;
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.cCertStore = 1;
    para.rghCertStore = &my;
    DWORD length = 0;
    int rc = 0;
    if (!CryptDecryptMessage(&para, in + kTag, static_cast<DWORD>(inLen - kTag), nullptr, &length, nullptr)) {
        DWORD error = GetLastError();
        rc = error == static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT) ? static_cast<int>(error) : -1;
    } else if (!out) {
        outLen = static_cast<int>(length);
    } else if (outLen < static_cast<int>(length)) {
        rc = -1;
    } else {
        DWORD capacity = static_cast<DWORD>(outLen);
        if (CryptDecryptMessage(&para, in + kTag, static_cast<DWORD>(inLen - kTag), out, &capacity, nullptr)) {
            outLen = static_cast<int>(capacity);
        } else {
            rc = static_cast<int>(GetLastError());
        }
    }
    CertCloseStore(my, CERT_CLOSE_STORE_FORCE_FLAG);
    return rc;
}
