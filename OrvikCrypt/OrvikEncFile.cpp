#include "OrvikEncFile.h"

#include <climits>
#include <cstring>
#include <mutex>

#include <orvik/CodePage.h>
#include <windows.h>

#include "SecLog.h"

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

std::mutex& sinkLock() {
    static std::mutex lock;
    return lock;
}

EncFileMessageSink& installedSink() {
    static EncFileMessageSink sink;
    return sink;
}

// A step's outcome: to the program's sink, else one line of the log.
void say(const char* text, bool failure) {
    EncFileMessageSink sink;
    {
        std::lock_guard guard(sinkLock());
        sink = installedSink();
    }
    if (sink) {
        sink(text, failure);
        return;
    }
    CSecLog().Log(failure ? CSecLog::SEC_LOG_ERROR : CSecLog::SEC_LOG_INFO, __LINE__, __FILE__, "%s", text);
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

EncFileMessageSink SetEncFileMessageSink(EncFileMessageSink sink) {
    std::lock_guard guard(sinkLock());
    EncFileMessageSink previous = std::move(installedSink());
    installedSink() = std::move(sink);
    return previous;
}

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

COrvikEncFile::Code COrvikEncFile::EncryptWithPassword(const unsigned char* in, int inLen, unsigned char* out,
                                                       int& outLen, const char* password) {
    orvik::SecretBytes bytes;
    if (inLen < 0 || (!in && inLen) || !SecureFilePasswordBytes(password ? password : "", bytes)) return Failed;
    Session s;
    s.prov = acquire(true);
    if (!s.prov || !SecureFilePasswordKey(s.prov, bytes, &s.key)) return Failed;
    DWORD length = static_cast<DWORD>(inLen);
    if (!CryptEncrypt(s.key, 0, TRUE, 0, nullptr, &length, 0) || length > static_cast<DWORD>(INT_MAX - kTag))
        return Failed;
    if (!out) {
        outLen = kTag + static_cast<int>(length);
        return Ok;
    }
    if (outLen < kTag + static_cast<int>(length)) return Failed;
    std::memcpy(out, kTag0, kTag);
    if (inLen) std::memmove(out + kTag, in, static_cast<size_t>(inLen));
    DWORD n = static_cast<DWORD>(inLen);
    if (!CryptEncrypt(s.key, 0, TRUE, 0, out + kTag, &n, static_cast<DWORD>(outLen - kTag))) {
        say("allocate memory failure!", true);
        return Failed;
    }
    return Ok;
}

COrvikEncFile::Code COrvikEncFile::DecryptWithPassword(const unsigned char* in, int inLen, unsigned char* out,
                                                       int& outLen, const char* password) {
    orvik::SecretBytes bytes;
    // Too short to hold even the tag: nothing to decrypt.
    if (!in || inLen < kTag + 8 || !SecureFilePasswordBytes(password ? password : "", bytes)) return Failed;
    Session s;
    s.prov = acquire(false);
    if (!s.prov) {
        say("Could not create a new key container.", true);
        return Failed;
    }
    say("A cryptographic provider has been acquired.", false);
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(s.prov, CALG_MD5, 0, 0, &hash)) {
        say("Error during CryptCreateHash!", true);
        return Failed;
    }
    say("A hash object has been created.", false);
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0)) {
        CryptDestroyHash(hash);
        say("Error Password!!! During Using CryptHashData()!", true);
        return Failed;
    }
    say("The password has been added to the hash!", false);
    bool derived = CryptDeriveKey(s.prov, CALG_3DES, hash, CRYPT_EXPORTABLE, &s.key);
    CryptDestroyHash(hash);
    if (!derived) {
        say("Error during CryptDeriveKey!", true);
        return Failed;
    }
    say("An encryption key is derived from the password hash!", false);
    orvik::SecretBytes work(in + kTag, in + inLen);
    DWORD n = static_cast<DWORD>(work.size());
    if (!CryptDecrypt(s.key, 0, TRUE, 0, work.data(), &n)) {
        say("allocate memory failure!", true);
        return Failed;
    }
    if (!out) {
        outLen = static_cast<int>(n);
        return Ok;
    }
    if (outLen < static_cast<int>(n)) return Failed;
    if (n) std::memcpy(out, work.data(), n);
    outLen = static_cast<int>(n);
    return Ok;
}

COrvikEncFile::Code COrvikEncFile::EncryptWithCert(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                                                   std::vector<CDigitalCertificate*> recipients) {
    if (inLen < 0 || (!in && inLen)) return Failed;
    std::vector<PCCERT_CONTEXT> contexts;
    for (CDigitalCertificate* c : recipients)
        if (c && c->getPCCERT()) contexts.push_back(CertDuplicateCertificateContext(c->getPCCERT()));
    struct Free {
        std::vector<PCCERT_CONTEXT>& list;
        ~Free() {
            for (PCCERT_CONTEXT c : list) CertFreeCertificateContext(c);
        }
    } freeAll{contexts};
    if (contexts.empty()) return Failed;
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_DES_EDE3_CBC);
    DWORD length = 0;
    if (!CryptEncryptMessage(&para, static_cast<DWORD>(contexts.size()), contexts.data(), in, static_cast<DWORD>(inLen),
                             nullptr, &length) ||
        length > static_cast<DWORD>(INT_MAX - kTag))
        return Failed;
    if (!out) {
        outLen = kTag + static_cast<int>(length);
        return Ok;
    }
    if (outLen < kTag + static_cast<int>(length)) return Failed;
    DWORD capacity = static_cast<DWORD>(outLen - kTag);
    if (!CryptEncryptMessage(&para, static_cast<DWORD>(contexts.size()), contexts.data(), in, static_cast<DWORD>(inLen),
                             out + kTag, &capacity))
        return Failed;
    std::memcpy(out, kTag1, kTag);
    outLen = kTag + static_cast<int>(capacity);
    return Ok;
}

COrvikEncFile::Code COrvikEncFile::DecryptWithCert(const unsigned char* in, int inLen, unsigned char* out,
                                                   int& outLen) {
    if (!in || inLen <= kTag) return Failed;
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    if (!my) return Failed;
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.cCertStore = 1;
    para.rghCertStore = &my;
    DWORD length = 0;
    Code rc = Ok;
    if (!CryptDecryptMessage(&para, in + kTag, static_cast<DWORD>(inLen - kTag), nullptr, &length, nullptr)) {
        DWORD error = GetLastError();
        rc = error == static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT) ? NoDecryptCert : Failed;
    } else if (!out) {
        outLen = static_cast<int>(length);
    } else if (outLen < static_cast<int>(length)) {
        rc = Failed;
    } else {
        DWORD capacity = static_cast<DWORD>(outLen);
        if (CryptDecryptMessage(&para, in + kTag, static_cast<DWORD>(inLen - kTag), out, &capacity, nullptr)) {
            outLen = static_cast<int>(capacity);
        } else {
            // A failure that left no error code is still a failure, never Ok.
            const DWORD error = GetLastError();
            rc = error ? static_cast<Code>(static_cast<int>(error)) : Failed;
        }
    }
    CertCloseStore(my, CERT_CLOSE_STORE_FORCE_FLAG);
    return rc;
}
