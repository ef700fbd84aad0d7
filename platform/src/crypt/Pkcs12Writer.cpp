#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <orvik/Owned.h>
#include <orvik/Pkcs12Writer.h>

namespace orvik {

namespace {

constexpr int kIterations = 2000;
// OpenSSL 3 would choose AES, PBKDF2 and a SHA-256 MAC, which older Windows cannot read.
constexpr int kCipher = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;

void freeBags(STACK_OF(PKCS12_SAFEBAG) * s) { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
void freeSafes(STACK_OF(PKCS7) * s) { sk_PKCS7_pop_free(s, PKCS7_free); }
using BagsPtr = Owned<STACK_OF(PKCS12_SAFEBAG), freeBags>;
using SafesPtr = Owned<STACK_OF(PKCS7), freeSafes>;
using Pkcs12Ptr = Owned<PKCS12, PKCS12_free>;

// friendlyName as UTF-8 (PKCS12_create would take it as single-byte text) and the localKeyID
// that ties the key to its certificate.
bool label(PKCS12_SAFEBAG* bag, const std::string& name, const unsigned char* id, int idLength) {
    if (!bag) return false;
    if (!name.empty() && !PKCS12_add_friendlyname_utf8(bag, name.c_str(), static_cast<int>(name.size()))) return false;
    return id == nullptr || PKCS12_add_localkeyid(bag, const_cast<unsigned char*>(id), idLength);
}

}  // namespace

std::string encodePkcs12(EVP_PKEY* key, X509* certificate, const std::vector<X509*>& chain, const std::string& password,
                         const std::string& friendlyName) {
    const char* pass = password.c_str();
    unsigned char id[EVP_MAX_MD_SIZE];
    unsigned int idLength = 0;
    if (certificate && !X509_digest(certificate, EVP_sha1(), id, &idLength)) return {};

    STACK_OF(PKCS12_SAFEBAG)* rawCerts = nullptr;
    bool ok = true;
    if (certificate)
        ok = label(PKCS12_add_cert(&rawCerts, certificate), friendlyName, key ? id : nullptr,
                   static_cast<int>(idLength));
    for (X509* c : chain) ok = ok && PKCS12_add_cert(&rawCerts, c) != nullptr;
    BagsPtr certs(rawCerts);
    STACK_OF(PKCS7)* rawSafes = nullptr;
    if (ok && certs) ok = PKCS12_add_safe(&rawSafes, certs.get(), kCipher, kIterations, pass) == 1;
    SafesPtr safes(rawSafes);
    if (ok && key) {
        STACK_OF(PKCS12_SAFEBAG)* rawKeys = nullptr;
        ok = label(PKCS12_add_key(&rawKeys, key, 0, kIterations, kCipher, pass), friendlyName, id,
                   static_cast<int>(idLength));
        BagsPtr keys(rawKeys);
        rawSafes = safes.release();
        // The key bag is shrouded already: the safe that carries it is plain data.
        ok = ok && PKCS12_add_safe(&rawSafes, keys.get(), -1, 0, nullptr) == 1;
        safes.reset(rawSafes);
    }
    Pkcs12Ptr p12(ok ? PKCS12_add_safes(safes.get(), 0) : nullptr);
    if (!p12 || PKCS12_set_mac(p12.get(), pass, -1, nullptr, 0, kIterations, EVP_sha1()) != 1) {
        ERR_clear_error();
        return {};
    }
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12.get(), &der);
    if (n <= 0) return {};
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_clear_free(der, static_cast<size_t>(n));
    return out;
}

}  // namespace orvik
