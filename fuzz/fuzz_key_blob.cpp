// Key blobs as CryptImportKey takes them: private, public and session keys under an exchange key.
#include <cstdint>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <vector>

#include <orvik/KeyBlob.h>
#include <wincrypt.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static HCRYPTPROV prov = [] {
        HCRYPTPROV p = 0;
        CryptAcquireContextA(&p, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
        return p;
    }();
    // The exchange key a SIMPLEBLOB is opened with: a fresh pair, as a private key blob.
    static HCRYPTKEY exchange = [] {
        HCRYPTKEY k = 0;
        EVP_PKEY* pair = EVP_RSA_gen(1024);
        orvik::SecretBytes blob = orvik::privateKeyBlobOf(pair, CALG_RSA_KEYX);
        CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &k);
        EVP_PKEY_free(pair);
        return k;
    }();
    HCRYPTKEY key = 0;
    if (CryptImportKey(prov, data, static_cast<DWORD>(size), exchange, CRYPT_EXPORTABLE, &key)) {
        DWORD length = 0;
        CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length);
        CryptDestroyKey(key);
    }
    return 0;
}
