#include "Pkcs12Archive.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <orvik/AtomicFile.h>
#include <orvik/CodePage.h>
#include <orvik/OpenSslProviders.h>
#include <orvik/Pkcs12Writer.h>
#include <orvik/ReadFile.h>
#include <orvik/Secret.h>

#include "Pkcs12Mac.h"

namespace orvik::crypt {

namespace {

// An archive holds a key, its certificate and a chain: kilobytes. Far more is no archive.
constexpr size_t kMaxPkcs12Bytes = size_t{16} << 20;

using Pkcs12Ptr = Owned<PKCS12, PKCS12_free>;
void freeAuthSafes(STACK_OF(PKCS7) * s) { sk_PKCS7_pop_free(s, PKCS7_free); }
using AuthSafesPtr = Owned<STACK_OF(PKCS7), freeAuthSafes>;
void freeBags(STACK_OF(PKCS12_SAFEBAG) * s) { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
using BagsPtr = Owned<STACK_OF(PKCS12_SAFEBAG), freeBags>;
using Pkcs8Ptr = Owned<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

// Each byte as one UTF-16 unit, given to OpenSSL as UTF-8: what a program that treats its code
// page's bytes as characters derived its key from.
std::string bytePerCharacter(const std::string& bytes) {
    std::u16string wide;
    for (unsigned char c : bytes) wide.push_back(c);
    return utf16ToUtf8(wide);
}

// The forms a password may have been written in, the standard one first; null stands for "no
// password at all", which some writers use for an empty one.
std::vector<const SecretString*> candidates(std::string_view given, std::vector<SecretString>& storage) {
    storage.clear();
    storage.reserve(3);
    storage.emplace_back(given);
    if (!isAscii(given)) {
        std::string cp936 = toCp936(given);
        std::string forms[] = {bytePerCharacter(cp936), bytePerCharacter(std::string(given))};
        wipe(cp936);
        for (std::string& form : forms) {
            storage.emplace_back(form);
            wipe(form);
        }
    }
    std::vector<const SecretString*> out;
    for (const auto& s : storage) out.push_back(&s);
    if (given.empty()) out.push_back(nullptr);
    return out;
}

const char* passOf(const SecretString* p) { return p ? p->c_str() : nullptr; }

std::string objectName(const ASN1_OBJECT* oid) {
    char name[128];
    OBJ_obj2txt(name, sizeof name, oid, 0);
    return name;
}

// An encryption algorithm by name, for a clear message; PBES2 with the cipher and key derivation
// inside it, since "PBES2" alone says nothing about what is missing.
std::string algorithmName(const X509_ALGOR* alg) {
    std::string name = objectName(alg->algorithm);
    if (OBJ_obj2nid(alg->algorithm) != NID_pbes2) return name;
    PBE2PARAM* params = static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter));
    ERR_clear_error();
    if (!params) return name;
    name += " (" + objectName(params->encryption->algorithm) + ", " + objectName(params->keyfunc->algorithm) + ")";
    PBE2PARAM_free(params);
    return name;
}

// The encryption algorithm of the first encrypted safe or shrouded key, by name.
std::string bagAlgorithm(PKCS12* p12) {
    AuthSafesPtr safes(PKCS12_unpack_authsafes(p12));
    for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
        if (OBJ_obj2nid(p7->type) == NID_pkcs7_encrypted && p7->d.encrypted && p7->d.encrypted->enc_data)
            return algorithmName(p7->d.encrypted->enc_data->algorithm);
    }
    for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
        if (OBJ_obj2nid(p7->type) != NID_pkcs7_data) continue;
        BagsPtr bags(PKCS12_unpack_p7data(p7));
        for (int j = 0; bags && j < sk_PKCS12_SAFEBAG_num(bags.get()); ++j) {
            const X509_SIG* shrouded = PKCS12_SAFEBAG_get0_pkcs8(sk_PKCS12_SAFEBAG_value(bags.get(), j));
            if (!shrouded) continue;
            const X509_ALGOR* alg = nullptr;
            X509_SIG_get0(shrouded, &alg, nullptr);
            return algorithmName(alg);
        }
    }
    ERR_clear_error();
    return {};
}

bool unsupportedError() {
    unsigned long e = 0;
    bool unsupported = false;
    while ((e = ERR_get_error()) != 0) {
        int reason = ERR_GET_REASON(e);
        if (reason == ERR_R_UNSUPPORTED || reason == EVP_R_UNSUPPORTED_ALGORITHM ||
            reason == EVP_R_UNSUPPORTED_CIPHER || reason == ERR_R_FETCH_FAILED)
            unsupported = true;
    }
    return unsupported;
}

// Every bag of every safe: the first private key, and certificates. The certificate that belongs
// to the key becomes the certificate; the others, the chain. False when a safe or a bag cannot be
// decrypted with this password.
bool readBags(PKCS12* p12, const char* pass, Pkcs12Contents& out) {
    AuthSafesPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes) return false;
    PKeyPtr key;
    std::vector<X509Ptr> certs;
    const int passLength = pass ? -1 : 0;
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        int type = OBJ_obj2nid(safe->type);
        if (type != NID_pkcs7_data && type != NID_pkcs7_encrypted) {
            // Public-key privacy mode: the contents are enveloped for a certificate, not a password.
            out.unsupportedAlgorithm = "contents protected by " + objectName(safe->type);
            return false;
        }
        BagsPtr bags(type == NID_pkcs7_data ? PKCS12_unpack_p7data(safe)
                                            : PKCS12_unpack_p7encdata(safe, pass, passLength));
        if (!bags) return false;
        for (int j = 0; j < sk_PKCS12_SAFEBAG_num(bags.get()); ++j) {
            PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags.get(), j);
            switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_keyBag:
                if (!key) key.reset(EVP_PKCS82PKEY(PKCS12_SAFEBAG_get0_p8inf(bag)));
                break;
            case NID_pkcs8ShroudedKeyBag:
                if (!key) {
                    Pkcs8Ptr p8(PKCS12_decrypt_skey(bag, pass, passLength));
                    if (!p8) return false;
                    key.reset(EVP_PKCS82PKEY(p8.get()));
                }
                break;
            case NID_certBag:
                if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate)
                    if (X509* c = PKCS12_SAFEBAG_get1_cert(bag)) certs.emplace_back(c);
                break;
            default: break;
            }
        }
    }
    out.key = std::move(key);
    out.certificate.reset();
    out.chain.clear();
    for (auto& c : certs) {
        bool mine = !out.certificate && out.key && X509_check_private_key(c.get(), out.key.get()) == 1;
        if (mine) {
            out.certificate = std::move(c);
        } else {
            out.chain.push_back(std::move(c));
        }
    }
    ERR_clear_error();
    return true;
}

}  // namespace

int unpackPkcs12(const char* path, const char* password, Pkcs12Contents& out) {
    loadOpenSslProviders();
    ERR_clear_error();
    // Read whole and bounded first: a FIFO or a device never reaches the parser.
    std::string bytes;
    if (!path || !readRegularFile(path, bytes, kMaxPkcs12Bytes)) return errno == EFBIG ? -2 : -1;
    BioPtr file(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!file) return -1;
    Pkcs12Ptr p12(d2i_PKCS12_bio(file.get(), nullptr));
    if (!p12) {
        ERR_clear_error();
        return -2;
    }
    std::vector<SecretString> storage;
    auto forms = candidates(password ? password : "", storage);
    const SecretString* chosen = forms.front();
    if (PKCS12_mac_present(p12.get())) {
        bool verified = false;
        for (const SecretString* form : forms) {
            MacCheck check = checkPkcs12Mac(p12.get(), passOf(form), out.unsupportedAlgorithm);
            if (check == MacCheck::Unsupported) return -1;
            if (check == MacCheck::Verified) {
                chosen = form;
                verified = true;
                break;
            }
        }
        if (!verified) return -3;
        forms = {chosen};  // the bags are decrypted with the form that verified
    }
    // The bags are read one by one rather than with PKCS12_parse, which insists on a MAC that a
    // file may not have.
    bool parsed = false, unsupported = false;
    for (const SecretString* form : forms) {
        if (readBags(p12.get(), passOf(form), out)) {
            parsed = true;
            break;
        }
        if (!out.unsupportedAlgorithm.empty()) break;
        unsupported = unsupportedError() || unsupported;
    }
    if (!parsed) {
        if (unsupported && out.unsupportedAlgorithm.empty()) out.unsupportedAlgorithm = bagAlgorithm(p12.get());
        ERR_clear_error();
        return -1;
    }
    if (!out.key || !out.certificate) return -4;
    if (EVP_PKEY_get_base_id(out.key.get()) != EVP_PKEY_RSA) return -5;
    return 0;
}

bool replaceFile(const std::string& path, const std::string& bytes) { return writeFileAtomically(path, bytes); }

int packPkcs12(const Pkcs12Contents& contents, const char* password, const char* friendlyName,
               const std::string& path) {
    loadOpenSslProviders();
    if (!contents.key) return 33;
    if (!contents.certificate) return 34;
    if (X509_check_private_key(contents.certificate.get(), contents.key.get()) != 1) {
        ERR_clear_error();
        return 35;
    }
    std::vector<X509*> chain;
    for (const auto& c : contents.chain) chain.push_back(c.get());
    std::string pass = password ? password : "";
    std::string bytes =
        encodePkcs12(contents.key.get(), contents.certificate.get(), chain, pass, friendlyName ? friendlyName : "");
    wipe(pass);
    if (bytes.empty()) return 37;
    bool ok = replaceFile(path, bytes);
    wipe(bytes);
    return ok ? 0 : 36;
}

}  // namespace orvik::crypt
