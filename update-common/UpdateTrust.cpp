#include "UpdateTrust.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include <orvik/Deployment.h>
#include <orvik/Owned.h>
#include <orvik/UniqueFd.h>

#include "FileList.h"

namespace updatetrust {

namespace {

using orvik::Owned;
using BioPtr = Owned<BIO, BIO_free_all>;
using CmsPtr = Owned<CMS_ContentInfo, CMS_ContentInfo_free>;
using X509Ptr = Owned<X509, X509_free>;
using KeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;
using StorePtr = Owned<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = Owned<X509_STORE_CTX, X509_STORE_CTX_free>;

void freeCerts(STACK_OF(X509) * certs) { sk_X509_pop_free(certs, X509_free); }
void freeStack(STACK_OF(X509) * certs) { sk_X509_free(certs); }
using CertsPtr = Owned<STACK_OF(X509), freeCerts>;
using BorrowedCertsPtr = Owned<STACK_OF(X509), freeStack>;

BioPtr memory(const std::string& bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// Every certificate of a PEM text, in order; none for anything else.
CertsPtr pemCertificates(const std::string& pem) {
    CertsPtr certs(sk_X509_new_null());
    BioPtr bio = memory(pem);
    while (certs && bio) {
        X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!cert) break;
        if (!sk_X509_push(certs.get(), cert)) X509_free(cert);
    }
    ERR_clear_error();  // the end of the text reads as an error
    return certs;
}

bool parseFingerprint(const std::string& text, unsigned char out[32]) {
    std::string hex;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        hex += c;
    }
    if (hex.size() != 64) return false;
    for (size_t i = 0; i < 32; ++i) out[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return true;
}

bool isBlank(const std::string& s) {
    for (char c : s)
        if (!std::isspace(static_cast<unsigned char>(c))) return false;
    return true;
}

// A key read without ever asking a terminal for a pass phrase.
int noPassphrase(char*, int, int, void*) { return -1; }

bool digitsOnly(const std::string& s, size_t maxLength) {
    if (s.empty() || s.size() > maxLength) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool isSha256Hex(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// A signer the authority vouches for, allowed to sign code.
bool signerIsTrusted(X509* signer, X509_STORE* store, STACK_OF(X509) * untrusted) {
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store, signer, untrusted) != 1) return false;
    if (X509_verify_cert(ctx.get()) != 1) return false;
    const uint32_t flags = X509_get_extension_flags(signer);
    if ((flags & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(signer) & XKU_CODE_SIGN)) return false;
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(signer) & KU_DIGITAL_SIGNATURE)) return false;
    return true;
}

std::string subjectOf(X509* cert) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out ||
        X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return {};
    char* data = nullptr;
    long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace

Verdict verifyList(const std::string& list, const std::string& signature, std::string* signer) {
    return verifyList(list, signature, orvik::deployment::text(orvik::deployment::kUpdateAuthority), signer);
}

Verdict verifyList(const std::string& list, const std::string& signature, const std::string& authority,
                   std::string* signer) {
    if (signature.empty()) return Verdict::Missing;
    if (isBlank(authority)) return Verdict::NoAuthority;
    const bool pem = authority.find("-----BEGIN") != std::string::npos;
    unsigned char fingerprint[32];
    CertsPtr anchors = pem ? pemCertificates(authority) : nullptr;
    if (pem ? (!anchors || sk_X509_num(anchors.get()) == 0) : !parseFingerprint(authority, fingerprint))
        return Verdict::NoAuthority;

    // DER as published; PEM as a publisher may have left it.
    BioPtr in = memory(signature);
    CmsPtr cms(d2i_CMS_bio(in.get(), nullptr));
    if (!cms) {
        in = memory(signature);
        char *name = nullptr, *header = nullptr;
        unsigned char* der = nullptr;
        long length = 0;
        if (PEM_read_bio(in.get(), &name, &header, &der, &length) == 1) {
            const unsigned char* p = der;
            cms.reset(d2i_CMS_ContentInfo(nullptr, &p, length));
        }
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(der);
    }
    ERR_clear_error();
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed || CMS_is_detached(cms.get()) != 1)
        return Verdict::Invalid;

    // First whether it signs these bytes at all, then who signed.
    BioPtr content = memory(list);
    if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        ERR_clear_error();
        return Verdict::Invalid;
    }
    CertsPtr carried(CMS_get1_certs(cms.get()));
    BorrowedCertsPtr signers(CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) == 0) return Verdict::Invalid;

    StorePtr store(X509_STORE_new());
    if (!store) return Verdict::Untrusted;
    // The authority may be an intermediate: the chain ends at it.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (pem) {
        for (int i = 0; i < sk_X509_num(anchors.get()); ++i)
            X509_STORE_add_cert(store.get(), sk_X509_value(anchors.get(), i));
    } else {
        bool found = false;
        for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
            X509* cert = sk_X509_value(carried.get(), i);
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (X509_digest(cert, EVP_sha256(), digest, &length) == 1 && length == 32 &&
                std::memcmp(digest, fingerprint, 32) == 0) {
                X509_STORE_add_cert(store.get(), cert);
                found = true;
            }
        }
        if (!found) return Verdict::Untrusted;
    }
    for (int i = 0; i < sk_X509_num(signers.get()); ++i) {
        if (!signerIsTrusted(sk_X509_value(signers.get(), i), store.get(), carried.get())) {
            ERR_clear_error();
            return Verdict::Untrusted;
        }
    }
    if (signer) *signer = subjectOf(sk_X509_value(signers.get(), 0));
    return Verdict::Good;
}

bool signList(const std::string& list, const std::string& certPem, const std::string& keyPem,
              const std::string& chainPem, std::string& signature, std::string& error) {
    BioPtr certIn = memory(certPem);
    X509Ptr cert(PEM_read_bio_X509(certIn.get(), nullptr, nullptr, nullptr));
    BioPtr keyIn = memory(keyPem);
    KeyPtr key(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, noPassphrase, nullptr));
    ERR_clear_error();
    if (!cert) {
        error = "the certificate is not a PEM certificate";
        return false;
    }
    if (!key) {
        error = "the key is not an unencrypted PEM private key";
        return false;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        error = "the key does not belong to the certificate";
        return false;
    }
    CertsPtr chain = pemCertificates(chainPem);
    if (!chain) {
        error = "out of memory";
        return false;
    }
    BioPtr content = memory(list);
    CmsPtr cms(CMS_sign(cert.get(), key.get(), chain.get(), content.get(), CMS_DETACHED | CMS_BINARY));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!cms || !out || i2d_CMS_bio(out.get(), cms.get()) != 1) {
        ERR_clear_error();
        error = "the list cannot be signed with this key";
        return false;
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(out.get(), &data);
    signature.assign(data, static_cast<size_t>(size));
    return true;
}

std::string listDate(const std::string& list) {
    const std::string open = "<UpdateDate>", close = "</UpdateDate>";
    size_t begin = list.find(open);
    if (begin == std::string::npos) return {};
    begin += open.size();
    size_t end = list.find(close, begin);
    return end == std::string::npos ? std::string() : list.substr(begin, end - begin);
}

std::string uncoveredFile(const FileList& list) {
    for (int i = 0; i < list.GetDepartCount(); ++i) {
        OrvikDepart depart = list.GetDepart(i);
        for (int f = 0; f < depart.GetDepartFileCount(); ++f) {
            OrvikFile file = depart.GetDepartFile(f);
            if (!digitsOnly(file.GetFileSize(), 18) || !isSha256Hex(file.GetFileSHA256())) return file.GetFileName();
        }
    }
    for (const char* program : {kFetcherName, kInstallerName}) {
        OrvikFile file;
        long long size = 0;
        if (!listedFile(list, program, file, size)) return program;
    }
    return {};
}

bool listedFile(const FileList& list, const std::string& name, OrvikFile& file, long long& size) {
    for (int i = 0; i < list.GetDepartCount(); ++i) {
        OrvikDepart depart = list.GetDepart(i);
        int at = depart.FindFile(name);
        if (at < 0) continue;
        file = depart.GetDepartFile(at);
        size = digitsOnly(file.GetFileSize(), 18) ? std::stoll(file.GetFileSize()) : -1;
        return true;
    }
    return false;
}

bool hashFile(const std::string& path, long long& size, std::string& sha256) {
    orvik::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) return false;
    size = 0;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        EVP_DigestUpdate(md.get(), buf, static_cast<size_t>(n));
        size += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(md.get(), digest, &length) != 1) return false;
    static const char* hex = "0123456789abcdef";
    sha256.clear();
    for (unsigned int i = 0; i < length; ++i) {
        sha256 += hex[digest[i] >> 4];
        sha256 += hex[digest[i] & 15];
    }
    return true;
}

const char* verdictText(Verdict verdict) {
    switch (verdict) {
    case Verdict::Good: return "";
    case Verdict::Missing: return kSignatureMissing;
    case Verdict::Invalid: return kSignatureInvalid;
    case Verdict::Untrusted: return kSignerUntrusted;
    case Verdict::NoAuthority: return kNoAuthority;
    }
    return kSignatureInvalid;
}

std::string withName(const char* text, const std::string& name) {
    std::string out = text;
    size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, name);
    return out;
}

}  // namespace updatetrust
