// Certificates, keys and CRLs made at test time, so no test depends on files that expire.
#pragma once

#include <openssl/obj_mac.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The OpenSSL handle types, declared the way <openssl/types.h> does; that header is left out so
// this one can sit beside the SDK headers, whose X509_* constants clash with OpenSSL's names.
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace orvik::test {

enum class Asn1Text { Utf8, Bmp, Printable, Ia5 };

// type: "CN", "O", "OU", "C", "L", "ST", "emailAddress", "title", "GN", "SN", "initials",
// "street", "DC", "serialNumber", or a dotted OID. The value goes in verbatim: no quoting, no
// escapes; Bmp takes UTF-8 and stores UTF-16BE.
struct NameAttr {
    std::string type{};
    std::string value{};
    Asn1Text text = Asn1Text::Utf8;
};
using Rdn = std::vector<NameAttr>;  // more than one attribute: a multi-valued RDN

// Every member has an initializer, so a designated initializer may leave any of them out.
struct CertSpec {
    std::vector<Rdn> subject{};  // in encoded order; empty: CN = cn, or an empty name when cn is empty too
    std::string cn{};
    std::string email{};  // emailAddress appended to the subject and rfc822Name in subjectAltName
    bool emailInDn = true, emailInSan = true;
    int keyUsage = -1;              // first byte of the BIT STRING: 0x80 digitalSignature ... 0x02 cRLSign; -1: none
    bool ca = false;                // basicConstraints CA:TRUE, critical; keyCertSign|cRLSign when keyUsage is -1
    std::string crlUrl{};           // a CRL distribution point with this URI
    long notBeforeOffset = -86400;  // seconds from now
    long notAfterOffset = 365L * 86400;
    std::optional<time_t> notBefore{}, notAfter{};  // absolute; override the offsets
    // Verbatim time texts, any form ("5001010000-0800"); override both of the above.
    struct TimeText {
        bool generalized = false;  // GeneralizedTime, else UTCTime
        std::string text{};
    };
    std::optional<TimeText> notBeforeText{}, notAfterText{};
    std::string serialHex{};  // content octets of the serial INTEGER; empty: 16 random bytes, top bit clear
    size_t padToBytes = 0;    // grow the DER to at least this size with a private filler extension
    int bits = 2048;
};

struct IssuedCert {
    std::string der, pem;
    std::string keyPem;     // PKCS#8, unencrypted
    std::string keyDer;     // PKCS#1 RSAPrivateKey
    std::string sha1;       // 20 raw bytes over der
    std::string serialHex;  // lower case, content octets of the serial INTEGER

    X509* x509() const { return cert_.get(); }  // borrowed
    EVP_PKEY* key() const { return key_.get(); }

private:
    friend class TestPki;
    std::shared_ptr<X509> cert_;
    std::shared_ptr<EVP_PKEY> key_;  // pooled keys are shared between certificates
};

// How pkcs12() protects a file: a cipher NID such as NID_aes_256_cbc gives PBES2 bags, -1 MAC
// iterations no MAC.
struct Pkcs12Protection {
    int keyCipher = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
    int certCipher = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
    int macIterations = 2000;
};

class TestPki {
public:
    // A root "Orvik Test Root" and an intermediate "Orvik Test CA" signed by it, made on first use.
    static TestPki& instance();

    const IssuedCert& root() const { return root_; }
    const IssuedCert& ca() const { return ca_; }

    // sha256WithRSAEncryption, signed by ca() or by issuer.
    IssuedCert issue(const CertSpec& wanted);
    IssuedCert issue(const CertSpec& wanted, const IssuedCert& issuer);
    IssuedCert selfSigned(const CertSpec& wanted);

    // A DER CRL in issuer's name listing revoked; thisUpdate now - 1 h, nextUpdate now + nextUpdateOffset.
    // Signed with signer's key when given (a foreign key), else with issuer's.
    // With `offsetTimes` both times are UTCTime as some authorities write them: in UTC+8, with the
    // offset and without seconds.
    std::string crl(const IssuedCert& issuer, const std::vector<IssuedCert>& revoked, long nextUpdateOffset = 7 * 86400,
                    const IssuedCert* signer = nullptr, bool offsetTimes = false);
    // A CRL as crl() makes it, in shapes crl() leaves out: without a next update, and with
    // `fillerEntries` more revoked serials that match no certificate made here (a large list).
    struct CrlSpec {
        std::vector<IssuedCert> revoked{};
        std::optional<long> nextUpdateOffset = 7 * 86400;  // empty: no nextUpdate at all
        size_t fillerEntries = 0;
    };
    std::string crlWith(const IssuedCert& issuer, const CrlSpec& wanted);

    static void save(const std::string& path, const std::string& bytes);  // throws when it cannot write
    // A PKCS #12 file of the certificate and its key, as Windows writes one (3DES, SHA-1 MAC) unless
    // told otherwise.
    static std::string pkcs12(const IssuedCert& cert, const std::string& password, const Pkcs12Protection& how = {});

private:
    TestPki();
    static IssuedCert make(const CertSpec& wanted, const IssuedCert* issuer, std::shared_ptr<EVP_PKEY> key);

    IssuedCert root_, ca_;
};

// The same certificate with its serial INTEGER given one redundant leading 0x00 octet, lengths
// fixed up, signature untouched: OpenSSL refuses such DER, while Windows takes it.
std::string withNonMinimalSerial(const std::string& der);
// The same certificate with the serial INTEGER's content octets replaced as they are given.
std::string withSerialOctets(const std::string& der, const std::string& octets);

}  // namespace orvik::test
