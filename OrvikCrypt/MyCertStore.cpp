#include "MyCertStore.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cerrno>
#include <cstring>
#include <memory>
#include <strings.h>

#include <orvik/CodePage.h>
#include <orvik/KeyBlob.h>
#include <orvik/PendingKeyContainer.h>
#include <orvik/PlatformDatabase.h>
#include <windows.h>

#include "OpenSslPtr.h"
#include "PFXFile.h"
#include "Pkcs12Archive.h"

using orvik::crypt::BioPtr;
using orvik::crypt::PKeyPtr;
using orvik::crypt::X509Ptr;

namespace {

constexpr int kNameAttempts = 16;

PKeyPtr readKey(const std::string& bytes) {
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    PKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key) return key;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bytes.size())));
    return key;
}

// Nine values of 0 to 0x7FFF in the container-name shape the system has always used, from the
// operating system's random source: two imports in one second must not collide.
std::string newContainerName() {
    unsigned short v[9];
    RAND_bytes(reinterpret_cast<unsigned char*>(v), sizeof v);
    for (auto& x : v) x &= 0x7FFF;
    char name[64];
    std::snprintf(name, sizeof name, "%04X%04X-%04X-%04X-%04X-%04X%04X%04X-%04X", v[0], v[1], v[2], v[3], v[4], v[5],
                  v[6], v[7], v[8]);
    return name;
}

std::string der(X509* x) {
    unsigned char* p = nullptr;
    int n = i2d_X509(x, &p);
    std::string out = n > 0 ? std::string(reinterpret_cast<char*>(p), static_cast<size_t>(n)) : std::string();
    OPENSSL_free(p);
    return out;
}

// The user's software key container that the certificate's entry in "MY" names now, if any.
std::string containerInMy(PCCERT_CONTEXT cert) {
    std::string container;
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT found =
        my ? CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr) : nullptr;
    DWORD size = 0;
    if (found && CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        std::vector<BYTE> bytes(size);
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
        if (CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, bytes.data(), &size) &&
            info->pwszContainerName && info->pwszProvName && !(info->dwFlags & CRYPT_MACHINE_KEYSET)) {
            const std::string provider = orvik::utf16ToUtf8(info->pwszProvName);
            for (const char* software : {MS_DEF_PROV_A, MS_ENHANCED_PROV_A, MS_STRONG_PROV_A})
                if (strcasecmp(provider.c_str(), software) == 0)
                    container = orvik::utf16ToUtf8(info->pwszContainerName);
        }
    }
    if (found) CertFreeCertificateContext(found);
    if (my) CertCloseStore(my, 0);
    return container;
}

}  // namespace

CMyCertStore::~CMyCertStore() = default;

int CMyCertStore::OpenCertStore() { return OpenSystemStore("MY", __FILE__); }

CMyCertStore::Result CMyCertStore::ImportCertAndKey(CDigitalCertificate& certificate, const std::string& keyBytes) {
    PCCERT_CONTEXT ctx = certificate.getPCCERT();
    if (!ctx) return NoCertificateGiven;
    PKeyPtr key = readKey(keyBytes);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return KeyUnusable;
    const unsigned char* p = ctx->pbCertEncoded;
    X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(ctx->cbCertEncoded)));
    EVP_PKEY* pub = x509 ? X509_get0_pubkey(x509.get()) : nullptr;
    if (pub && EVP_PKEY_eq(pub, key.get()) != 1) return KeyUnusable;
    return AddWithPrivateKey(ctx->pbCertEncoded, static_cast<int>(ctx->cbCertEncoded), key.get(), MS_ENHANCED_PROV_A);
}

CMyCertStore::Result CMyCertStore::ImportP12(const char* provider, const char* path, const char* password) {
    deviceError_ = 0;
    orvik::crypt::Pkcs12Contents contents;
    int value = orvik::crypt::unpackPkcs12(path, password, contents);
    if (value != 0) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "OrvikUpPackPkcs12 Error: 0x%x",
                static_cast<unsigned>(value));
        return static_cast<Result>(Pkcs12Result(value));
    }
    // The authorities that came with it, so the certificate's chain is known here too. Roots
    // stay out: trusting one is the user's own decision.
    std::vector<std::string> authorities;
    for (const auto& ca : contents.chain)
        if (X509_check_issued(ca.get(), ca.get()) != X509_V_OK) authorities.push_back(der(ca.get()));
    std::string cert = der(contents.certificate.get());
    return AddWithPrivateKey(reinterpret_cast<const unsigned char*>(cert.data()), static_cast<int>(cert.size()),
                             contents.key.get(), provider, authorities);
}

CMyCertStore::Result CMyCertStore::AddWithPrivateKey(const unsigned char* der, int size, EVP_PKEY* key,
                                                     const char* provider,
                                                     const std::vector<std::string>& authorities) {
    const char* providerName = provider && *provider ? provider : MS_DEF_PROV_A;
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, static_cast<DWORD>(size));
    if (!cert) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertCreateCertificateContext Error: 0x%x", GetLastError());
        return PlatformFailed;
    }
    orvik::SecretBytes blob = orvik::privateKeyBlobOf(key, CALG_RSA_KEYX);
    if (blob.empty()) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "ChangeRsaToMskey Error: 0x%x", 1u);
        CertFreeCertificateContext(cert);
        return PlatformFailed;
    }
    // The new container stays marked until its certificate is stored: should this process die
    // before, the next open of "MY" removes it. Leaving this function without keep() removes it now.
    orvik::PendingKeyContainer pending;
    std::string container;
    HCRYPTPROV prov = 0;
    for (int attempt = 0; attempt < kNameAttempts && !prov; ++attempt) {
        container = newContainerName();
        if (!pending.mark(container)) {
            if (errno == EEXIST) continue;
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "Key container mark Error: %s", std::strerror(errno));
            break;
        }
        if (!CryptAcquireContextA(&prov, container.c_str(), providerName, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
            const DWORD error = GetLastError();
            // A container made meanwhile under the same name is another's: only the mark goes.
            pending.keep();
            SetLastError(error);
            if (error != static_cast<DWORD>(NTE_EXISTS)) break;
        }
    }
    Result rc = Ok;
    HCRYPTKEY imported = 0;
    DWORD implementation = 0, implementationSize = sizeof implementation;
    const bool onToken =
        prov && CryptGetProvParam(prov, PP_IMPTYPE, reinterpret_cast<BYTE*>(&implementation), &implementationSize, 0) &&
        implementation == CRYPT_IMPL_HARDWARE;
    // A token keeps its keys itself and takes back what it wrote on failure.
    if (onToken) pending.keep();
    if (!prov) {
        deviceError_ = GetLastError();
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptAcquireContext Error: 0x%x", deviceError_);
        rc = PlatformFailed;
    } else if (!CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &imported)) {
        deviceError_ = GetLastError();
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptImportKey Error: 0x%x", deviceError_);
        rc = PlatformFailed;
    } else if (onToken && !CryptSetKeyParam(imported, KP_CERTIFICATE, cert->pbCertEncoded, 0)) {
        // A token's provider keeps the certificate with its key.
        deviceError_ = GetLastError();
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptSetKeyParam Error: 0x%x", deviceError_);
        rc = PlatformFailed;
    }
    if (imported) {
        // A token names the container after the key it now holds.
        char name[256];
        DWORD nameSize = sizeof name;
        if (CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &nameSize, 0)) container = name;
    }
    if (imported) CryptDestroyKey(imported);
    if (prov) CryptReleaseContext(prov, 0);

    // The same certificate stored again gets the new key; the container of its old one goes once
    // the new entry is stored, unless another certificate uses it.
    orvik::PendingKeyContainer replaced;
    if (rc == Ok && !onToken) {
        const std::string old = containerInMy(cert);
        if (!old.empty() && old != container && !replaced.markReplaced(old))
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "Key container mark Error: %s", std::strerror(errno));
    }
    // The stores' changes, the certificate with its key link and the authorities, in one
    // transaction.
    std::unique_ptr<orvik::DatabaseBatch> batch;
    if (rc == Ok) {
        batch = std::make_unique<orvik::DatabaseBatch>();
        if (batch->rc() != ERROR_SUCCESS) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "Registry batch Error: 0x%x",
                    static_cast<unsigned>(batch->rc()));
            rc = PlatformFailed;
        }
    }
    // The certificate on a token lives there with its key and is listed from there.
    if (rc == Ok && !onToken) {
        std::u16string containerW = orvik::utf8ToUtf16(container);
        std::u16string providerW = orvik::utf8ToUtf16(providerName);
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = containerW.data();
        info.pwszProvName = providerW.data();
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertSetCertificateContextProperty Error: 0x%x",
                    GetLastError());
            rc = PlatformFailed;
        } else if (AddToSystemStore("MY", cert, __FILE__) != 0) {
            rc = PlatformFailed;
        }
    }
    CertFreeCertificateContext(cert);
    for (size_t i = 0; rc == Ok && i < authorities.size(); ++i) {
        const std::string& bytes = authorities[i];
        PCCERT_CONTEXT ctx = CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
        if (!ctx) continue;
        if (AddToSystemStore("CA", ctx, __FILE__) != 0) rc = PlatformFailed;
        CertFreeCertificateContext(ctx);
    }
    if (rc == Ok && batch->commit() != ERROR_SUCCESS) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "Registry commit Error");
        rc = PlatformFailed;
    }
    // Stored: the container is the certificate's now. Otherwise `pending` removes it on the way out.
    if (rc == Ok) {
        pending.keep();
        replaced.discard();
    }
    return rc;
}

CMyCertStore::Result CMyCertStore::ExportP12(int index, const char* path, const char* password) {
    CDigitalCertificate* cert = getCert(index);
    if (!cert || !cert->getPCCERT()) return NoCertificateAt;
    std::string bytes;
    if (Result rc = ExportP12Bytes(*cert, password, bytes); rc != Ok) {
        if (rc == KeyNotExportable) MessageBoxA(nullptr, "证书不能导出!", "证书助手", MB_ICONWARNING);
        return rc == KeyNotExportable ? PlatformFailed : rc;
    }
    // A complete file or none: never a half-written backup where the user looks for one.
    const bool written = path && orvik::crypt::replaceFile(path, bytes);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    if (!written) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "fopen Error");
        return CannotWrite;
    }
    return Ok;
}

CMyCertStore::Result CMyCertStore::ExportP12Bytes(CDigitalCertificate& cert, const char* password, std::string& bytes) {
    PCCERT_CONTEXT ctx = cert.getPCCERT();
    if (!ctx) return NoCertificateAt;
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(ctx, 0, nullptr, &prov, &keySpec, &callerFree)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptAcquireCertificatePrivateKey Error: 0x%x",
                GetLastError());
        return PlatformFailed;
    }
    HCRYPTKEY key = 0;
    DWORD permissions = 0, size = sizeof permissions;
    bool ok = CryptGetUserKey(prov, AT_KEYEXCHANGE, &key);
    if (!ok) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptGetUserKey Error: 0x%x", GetLastError());
    } else if (!(ok = CryptGetKeyParam(key, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&permissions), &size, 0))) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptGetKeyParam Error: 0x%x", GetLastError());
    }
    if (key) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    if (!ok) return PlatformFailed;
    if (!(permissions & CRYPT_EXPORT)) return KeyNotExportable;
    HCERTSTORE memory = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!memory) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertOpenStore Error: 0x%x", GetLastError());
        return PlatformFailed;
    }
    Result rc = Ok;
    bytes.clear();
    if (!CertAddCertificateLinkToStore(memory, ctx, CERT_STORE_ADD_ALWAYS, nullptr)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertAddCertificateLinkToStore Error: 0x%x",
                GetLastError());
        rc = PlatformFailed;
    } else {
        std::u16string wide = orvik::utf8ToUtf16(password ? password : "");
        CRYPT_DATA_BLOB pfx{0, nullptr};
        const DWORD flags = EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY;
        if (PFXExportCertStoreEx(memory, &pfx, wide.c_str(), nullptr, flags)) {
            bytes.resize(pfx.cbData);
            pfx.pbData = reinterpret_cast<BYTE*>(bytes.data());
        }
        const size_t reserved = bytes.size();
        if (!pfx.pbData || !PFXExportCertStoreEx(memory, &pfx, wide.c_str(), nullptr, flags)) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "PFXExportCertStore Error: 0x%x", GetLastError());
            rc = PlatformFailed;
        }
        // The archive holds the key: what is cut off or not handed out is wiped first.
        if (pfx.cbData < reserved) OPENSSL_cleanse(bytes.data() + pfx.cbData, reserved - pfx.cbData);
        bytes.resize(pfx.cbData);
        OPENSSL_cleanse(wide.data(), wide.size() * sizeof(char16_t));
    }
    CertCloseStore(memory, CERT_CLOSE_STORE_CHECK_FLAG);
    if (rc != Ok) {
        OPENSSL_cleanse(bytes.data(), bytes.size());
        bytes.clear();
    }
    return rc;
}
