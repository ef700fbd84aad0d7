#include "MyCertStore.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdio>

#include <orvik/CodePage.h>
#include <orvik/KeyBlob.h>
#include <windows.h>

#include "OpenSslPtr.h"

namespace {

using orvik::crypt::BioPtr;
using orvik::crypt::PKeyPtr;
using orvik::crypt::X509Ptr;

PKeyPtr readKey(const std::string& bytes) {
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    PKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key) return key;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bytes.size())));
    return key;
}

// A container name of our own making, unique per import, in the braced form Windows uses.
std::string newContainerName() {
    unsigned char r[16];
    RAND_bytes(r, sizeof r);
    char name[64];
    std::snprintf(name, sizeof name, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", r[0],
                  r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15]);
    return name;
}

}  // namespace

CMyCertStore::~CMyCertStore() = default;

int CMyCertStore::OpenCertStore() { return OpenSystemStore("MY", __FILE__); }

int CMyCertStore::ImportCertAndKey(CDigitalCertificate& certificate, const std::string& keyBytes) {
    PCCERT_CONTEXT ctx = certificate.getPCCERT();
    if (!ctx) return 8;
    PKeyPtr key = readKey(keyBytes);
    if (!key) return 5;
    const unsigned char* p = ctx->pbCertEncoded;
    X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(ctx->cbCertEncoded)));
    EVP_PKEY* pub = x509 ? X509_get0_pubkey(x509.get()) : nullptr;
    if (pub && EVP_PKEY_eq(pub, key.get()) != 1) return 5;
    return AddWithPrivateKey(ctx, key.get());
}

int CMyCertStore::AddWithPrivateKey(PCCERT_CONTEXT certificate, EVP_PKEY* key) {
    std::vector<BYTE> blob = orvik::privateKeyBlobOf(key, CALG_RSA_KEYX);
    if (blob.empty()) return 5;
    const std::string container = newContainerName();
    HCRYPTPROV prov = 0;
    HCRYPTKEY imported = 0;
    bool ok = CryptAcquireContextA(&prov, container.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
              CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &imported);
    DWORD error = GetLastError();
    OPENSSL_cleanse(blob.data(), blob.size());
    if (imported) CryptDestroyKey(imported);
    if (prov) CryptReleaseContext(prov, 0);
    if (!ok) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CryptImportKey Error: 0x%x", error);
        return 4;
    }
    std::u16string containerW = orvik::utf8ToUtf16(container);
    std::u16string providerW = orvik::utf8ToUtf16(MS_ENHANCED_PROV_A);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = containerW.data();
    info.pwszProvName = providerW.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    PCCERT_CONTEXT copy =
        CertCreateCertificateContext(X509_ASN_ENCODING, certificate->pbCertEncoded, certificate->cbCertEncoded);
    int rc = 0;
    if (!copy || !CertSetCertificateContextProperty(copy, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, __FILE__, "CertSetCertificateContextProperty Error: 0x%x",
                GetLastError());
        rc = 4;
    } else {
        rc = AddToSystemStore("MY", copy, __FILE__);
    }
    if (copy) CertFreeCertificateContext(copy);
    if (rc != 0) {
        // No key is left behind without its certificate.
        HCRYPTPROV gone = 0;
        CryptAcquireContextA(&gone, container.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }
    return rc;
}
