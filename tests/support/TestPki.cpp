#include "TestPki.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <type_traits>

namespace orvik::test {

namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;
using X509Ptr = Owned<X509, X509_free>;
using CrlPtr = Owned<X509_CRL, X509_CRL_free>;
using RevokedPtr = Owned<X509_REVOKED, X509_REVOKED_free>;
using NamePtr = Owned<X509_NAME, X509_NAME_free>;
using EntryPtr = Owned<X509_NAME_ENTRY, X509_NAME_ENTRY_free>;
using ObjectPtr = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
using IntegerPtr = Owned<ASN1_INTEGER, ASN1_INTEGER_free>;
using TimePtr = Owned<ASN1_TIME, ASN1_TIME_free>;
using BitStringPtr = Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using OctetsPtr = Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Ia5Ptr = Owned<ASN1_IA5STRING, ASN1_IA5STRING_free>;
using BasicConstraintsPtr = Owned<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free>;
using KeyIdPtr = Owned<AUTHORITY_KEYID, AUTHORITY_KEYID_free>;
using GeneralNamePtr = Owned<GENERAL_NAME, GENERAL_NAME_free>;
using GeneralNamesPtr = Owned<GENERAL_NAMES, GENERAL_NAMES_free>;
using DistPointPtr = Owned<DIST_POINT, DIST_POINT_free>;
using DistPointsPtr = Owned<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using ExtensionPtr = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using BioPtr = Owned<BIO, BIO_free_all>;

[[noreturn]] void fail(const std::string& what) {
    std::string message = "TestPki: " + what;
    while (unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        message += "; ";
        message += text;
    }
    throw std::runtime_error(message);
}

template <class T>
T* check(T* p, const char* what) {
    if (!p) fail(what);
    return p;
}

void check(int ok, const char* what) {
    if (ok <= 0) fail(what);
}

const unsigned char* bytesOf(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

template <class T, class I2d>
std::string toDer(const T* object, I2d i2d) {
    int size = i2d(object, nullptr);
    if (size <= 0) fail("cannot encode");
    std::string out(static_cast<size_t>(size), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    i2d(object, &p);
    return out;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string fromHex(const std::string& hex) {
    auto nibble = [&](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        fail("not a hex digit in " + hex);
    };
    if (hex.size() % 2) fail("odd number of hex digits in " + hex);
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1]));
    return out;
}

// DER, just enough to edit a certificate: single-octet tags, definite lengths.
std::string derLength(size_t n) {
    if (n < 0x80) return std::string(1, static_cast<char>(n));
    std::string octets;
    for (; n; n >>= 8) octets.insert(octets.begin(), static_cast<char>(n & 0xff));
    return static_cast<char>(0x80 | octets.size()) + octets;
}

std::string tlv(unsigned char tag, const std::string& content) {
    return static_cast<char>(tag) + derLength(content.size()) + content;
}

struct Tlv {
    unsigned char tag;
    size_t header, length;
    size_t size() const { return header + length; }
};

Tlv readTlv(const std::string& der, size_t pos) {
    if (pos + 2 > der.size()) fail("truncated DER");
    Tlv t{static_cast<unsigned char>(der[pos]), 2, static_cast<unsigned char>(der[pos + 1])};
    if (t.length & 0x80) {
        size_t count = t.length & 0x7f;
        if (count == 0 || count > sizeof(size_t) || pos + 2 + count > der.size()) fail("bad DER length");
        t.length = 0;
        for (size_t i = 0; i < count; ++i) t.length = t.length << 8 | static_cast<unsigned char>(der[pos + 2 + i]);
        t.header += count;
    }
    if (t.length > der.size() - pos - t.header) fail("truncated DER");
    return t;
}

// Offset of the serial INTEGER: Certificate { TBSCertificate { [0] version OPTIONAL, serialNumber ...
size_t serialOffset(const std::string& der) {
    Tlv cert = readTlv(der, 0);
    Tlv tbs = readTlv(der, cert.header);
    if (cert.tag != 0x30 || tbs.tag != 0x30) fail("not a certificate");
    size_t pos = cert.header + tbs.header;
    if (readTlv(der, pos).tag == 0xa0) pos += readTlv(der, pos).size();
    if (readTlv(der, pos).tag != 0x02) fail("no serial number");
    return pos;
}

// RSA key generation takes seconds under AddressSanitizer, so certificates share a few keys per size,
// handed out in turn: consecutive certificates still get distinct keys, and the CAs keep keys of their own.
class KeyPool {
public:
    static constexpr size_t kKeysPerSize = 4;

    std::shared_ptr<EVP_PKEY> take(int bits) {
        std::lock_guard lock(mutex_);
        auto& keys = keys_[bits];
        size_t& next = next_[bits];
        if (keys.size() < kKeysPerSize) keys.push_back(generate(bits));
        return keys[next++ % keys.size()];
    }

    static std::shared_ptr<EVP_PKEY> generate(int bits) {
        return std::shared_ptr<EVP_PKEY>(check(EVP_RSA_gen(static_cast<unsigned>(bits)), "RSA key generation"),
                                         EVP_PKEY_free);
    }

private:
    std::mutex mutex_;
    std::map<int, std::vector<std::shared_ptr<EVP_PKEY>>> keys_;
    std::map<int, size_t> next_;
};

KeyPool& keyPool() {
    static KeyPool pool;
    return pool;
}

// BMPString is big-endian UTF-16; characters beyond the BMP go as surrogate pairs, as UTF-16 writers do.
std::string utf16be(const std::string& utf8) {
    std::string out;
    auto unit = [&](unsigned u) {
        out += static_cast<char>(u >> 8);
        out += static_cast<char>(u & 0xff);
    };
    for (size_t i = 0; i < utf8.size();) {
        unsigned c = static_cast<unsigned char>(utf8[i++]);
        int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (more < 0) fail("bad UTF-8 in " + utf8);
        c &= 0x7f >> more;
        for (; more > 0; --more) {
            if (i >= utf8.size() || (utf8[i] & 0xc0) != 0x80) fail("bad UTF-8 in " + utf8);
            c = c << 6 | (utf8[i++] & 0x3f);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xd800 | c >> 10);
            unit(0xdc00 | (c & 0x3ff));
        } else {
            unit(c);
        }
    }
    return out;
}

int asn1Type(Asn1Text text) {
    switch (text) {
    case Asn1Text::Utf8: return V_ASN1_UTF8STRING;
    case Asn1Text::Bmp: return V_ASN1_BMPSTRING;
    case Asn1Text::Printable: return V_ASN1_PRINTABLESTRING;
    case Asn1Text::Ia5: return V_ASN1_IA5STRING;
    }
    fail("unknown string type");
}

void addRdn(X509_NAME* name, const Rdn& rdn) {
    if (rdn.empty()) fail("empty RDN");
    int set = 0;  // the first attribute opens a new SET, the others join it
    for (const NameAttr& attr : rdn) {
        ObjectPtr type(check(OBJ_txt2obj(attr.type.c_str(), 0), "unknown attribute type"));
        // A type without the MBSTRING flag stores the bytes as they are, under exactly that tag.
        std::string bytes = attr.text == Asn1Text::Bmp ? utf16be(attr.value) : attr.value;
        EntryPtr entry(check(X509_NAME_ENTRY_create_by_OBJ(nullptr, type.get(), asn1Type(attr.text), bytesOf(bytes),
                                                           static_cast<int>(bytes.size())),
                             "name entry"));
        check(X509_NAME_add_entry(name, entry.get(), -1, set), "add name entry");
        set = -1;
    }
}

NamePtr subjectOf(const CertSpec& wanted) {
    NamePtr name(check(X509_NAME_new(), "name"));
    for (const Rdn& rdn : wanted.subject) addRdn(name.get(), rdn);
    if (wanted.subject.empty() && !wanted.cn.empty()) addRdn(name.get(), {{"CN", wanted.cn}});
    if (!wanted.email.empty() && wanted.emailInDn) addRdn(name.get(), {{"emailAddress", wanted.email, Asn1Text::Ia5}});
    return name;
}

IntegerPtr serialOf(const std::string& hex) {
    std::string content;
    if (hex.empty()) {
        unsigned char random[16];
        check(RAND_bytes(random, sizeof random), "random serial");
        // Positive with no pad octet, and a non-zero first octet so all 16 stay in the minimal encoding.
        random[0] = static_cast<unsigned char>((random[0] & 0x7f) | 0x40);
        content.assign(reinterpret_cast<const char*>(random), sizeof random);
    } else {
        content = fromHex(hex);
    }
    std::string der = tlv(0x02, content);
    const unsigned char* p = bytesOf(der);
    return IntegerPtr(check(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())),
                            "serialHex is not a minimal INTEGER encoding"));
}

void setTime(ASN1_TIME* time, const std::optional<time_t>& at, long offset) {
    check(at ? ASN1_TIME_set(time, *at) != nullptr : X509_gmtime_adj(time, offset) != nullptr, "validity");
}

void setTimeText(X509* x, bool notBefore, const CertSpec::TimeText& wanted) {
    TimePtr time(check(wanted.generalized ? ASN1_GENERALIZEDTIME_new() : ASN1_UTCTIME_new(), "time"));
    check(ASN1_STRING_set(time.get(), wanted.text.data(), static_cast<int>(wanted.text.size())), "time text");
    check(notBefore ? X509_set1_notBefore(x, time.get()) : X509_set1_notAfter(x, time.get()), "validity");
}

void addExtension(X509* x, int nid, void* value, bool critical) {
    check(X509_add1_ext_i2d(x, nid, value, critical ? 1 : 0, X509V3_ADD_DEFAULT), "extension");
}

GeneralNamesPtr oneName(int type, const std::string& value) {
    Ia5Ptr text(check(ASN1_IA5STRING_new(), "IA5String"));
    check(ASN1_STRING_set(text.get(), value.data(), static_cast<int>(value.size())), "IA5String");
    GeneralNamePtr name(check(GENERAL_NAME_new(), "general name"));
    GENERAL_NAME_set0_value(name.get(), type, text.release());
    GeneralNamesPtr names(check(GENERAL_NAMES_new(), "general names"));
    check(sk_GENERAL_NAME_push(names.get(), name.get()), "general names");
    name.release();
    return names;
}

void addExtensions(X509* x, const CertSpec& wanted, X509* issuer) {
    if (wanted.ca) {
        BasicConstraintsPtr basic(check(BASIC_CONSTRAINTS_new(), "basicConstraints"));
        basic->ca = 1;
        addExtension(x, NID_basic_constraints, basic.get(), true);
    }
    int usage = wanted.keyUsage >= 0 ? wanted.keyUsage : wanted.ca ? 0x06 : -1;
    if (usage > 0xff) fail("keyUsage takes the first octet only");
    if (usage >= 0) {
        BitStringPtr bits(check(ASN1_BIT_STRING_new(), "keyUsage"));
        for (int bit = 0; bit < 8; ++bit) {
            if (usage & (0x80 >> bit)) check(ASN1_BIT_STRING_set_bit(bits.get(), bit, 1), "keyUsage");
        }
        addExtension(x, NID_key_usage, bits.get(), true);
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    check(X509_pubkey_digest(x, EVP_sha1(), digest, &digestSize), "key identifier");
    OctetsPtr keyId(check(ASN1_OCTET_STRING_new(), "key identifier"));
    check(ASN1_OCTET_STRING_set(keyId.get(), digest, static_cast<int>(digestSize)), "key identifier");
    addExtension(x, NID_subject_key_identifier, keyId.get(), false);
    if (const ASN1_OCTET_STRING* issuerKeyId = issuer ? X509_get0_subject_key_id(issuer) : nullptr) {
        KeyIdPtr authority(check(AUTHORITY_KEYID_new(), "authorityKeyIdentifier"));
        authority->keyid = check(ASN1_OCTET_STRING_dup(issuerKeyId), "authorityKeyIdentifier");
        addExtension(x, NID_authority_key_identifier, authority.get(), false);
    }

    if (!wanted.email.empty() && wanted.emailInSan) {
        addExtension(x, NID_subject_alt_name, oneName(GEN_EMAIL, wanted.email).get(), false);
    }
    if (!wanted.crlUrl.empty()) {
        DistPointPtr point(check(DIST_POINT_new(), "CRL distribution point"));
        point->distpoint = check(DIST_POINT_NAME_new(), "CRL distribution point");
        point->distpoint->type = 0;  // fullName
        point->distpoint->name.fullname = oneName(GEN_URI, wanted.crlUrl).release();
        DistPointsPtr points(check(CRL_DIST_POINTS_new(), "CRL distribution points"));
        check(sk_DIST_POINT_push(points.get(), point.get()), "CRL distribution points");
        point.release();
        addExtension(x, NID_crl_distribution_points, points.get(), false);
    }
}

void sign(X509* x, EVP_PKEY* key) { check(X509_sign(x, key, EVP_sha256()), "sign certificate"); }

// The filler extension adds at least its own value's size, so one round reaches the size asked for.
void padTo(X509* x, EVP_PKEY* key, size_t size) {
    size_t have = toDer(x, i2d_X509).size();
    if (have >= size) return;
    ObjectPtr type(check(OBJ_txt2obj("1.3.6.1.4.1.55555.1", 1), "filler OID"));
    std::string value = tlv(0x04, std::string(size - have, '\0'));
    OctetsPtr octets(check(ASN1_OCTET_STRING_new(), "filler"));
    check(ASN1_OCTET_STRING_set(octets.get(), bytesOf(value), static_cast<int>(value.size())), "filler");
    ExtensionPtr filler(check(X509_EXTENSION_create_by_OBJ(nullptr, type.get(), 0, octets.get()), "filler"));
    check(X509_add_ext(x, filler.get(), -1), "filler");
    sign(x, key);
}

X509Ptr parse(const std::string& der) {
    const unsigned char* p = bytesOf(der);
    return X509Ptr(check(d2i_X509(nullptr, &p, static_cast<long>(der.size())), "parse certificate"));
}

}  // namespace

TestPki& TestPki::instance() {
    static TestPki pki;
    return pki;
}

TestPki::TestPki() {
    const long year = 365L * 86400;
    root_ = make({.cn = "Orvik Test Root", .ca = true, .notAfterOffset = 20 * year}, nullptr, KeyPool::generate(2048));
    ca_ = make({.cn = "Orvik Test CA", .ca = true, .notAfterOffset = 10 * year}, &root_, KeyPool::generate(2048));
}

IssuedCert TestPki::make(const CertSpec& wanted, const IssuedCert* issuer, std::shared_ptr<EVP_PKEY> key) {
    ERR_clear_error();  // so a failure reports its own errors, not a caller's leftovers
    X509Ptr x(check(X509_new(), "certificate"));
    check(X509_set_version(x.get(), X509_VERSION_3), "version");
    check(X509_set_serialNumber(x.get(), serialOf(wanted.serialHex).get()), "serial");
    NamePtr subject = subjectOf(wanted);
    check(X509_set_subject_name(x.get(), subject.get()), "subject");
    check(X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer->x509()) : subject.get()), "issuer");
    setTime(X509_getm_notBefore(x.get()), wanted.notBefore, wanted.notBeforeOffset);
    setTime(X509_getm_notAfter(x.get()), wanted.notAfter, wanted.notAfterOffset);
    if (wanted.notBeforeText) setTimeText(x.get(), true, *wanted.notBeforeText);
    if (wanted.notAfterText) setTimeText(x.get(), false, *wanted.notAfterText);
    check(X509_set_pubkey(x.get(), key.get()), "public key");
    addExtensions(x.get(), wanted, issuer ? issuer->x509() : nullptr);
    EVP_PKEY* signer = issuer ? issuer->key() : key.get();
    sign(x.get(), signer);
    if (wanted.padToBytes) padTo(x.get(), signer, wanted.padToBytes);

    IssuedCert out;
    out.der = toDer(x.get(), i2d_X509);
    // Hand out what a reader of the DER sees, not the object it was built in.
    out.cert_ = std::shared_ptr<X509>(parse(out.der).release(), X509_free);
    out.key_ = std::move(key);

    BioPtr pem(check(BIO_new(BIO_s_mem()), "BIO"));
    check(PEM_write_bio_X509(pem.get(), out.x509()), "certificate PEM");
    out.pem = bioText(pem.get());
    BioPtr keyPem(check(BIO_new(BIO_s_mem()), "BIO"));
    check(PEM_write_bio_PKCS8PrivateKey(keyPem.get(), out.key(), nullptr, nullptr, 0, nullptr, nullptr), "key PEM");
    out.keyPem = bioText(keyPem.get());
    out.keyDer = toDer(out.key(), i2d_PrivateKey);  // the type-specific form: RSAPrivateKey for RSA

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    check(EVP_Digest(out.der.data(), out.der.size(), digest, &digestSize, EVP_sha1(), nullptr), "SHA-1");
    out.sha1.assign(reinterpret_cast<const char*>(digest), digestSize);
    size_t at = serialOffset(out.der);
    Tlv serial = readTlv(out.der, at);
    out.serialHex = toHex(out.der.substr(at + serial.header, serial.length));
    return out;
}

IssuedCert TestPki::issue(const CertSpec& wanted) { return issue(wanted, ca_); }

IssuedCert TestPki::issue(const CertSpec& wanted, const IssuedCert& issuer) {
    return make(wanted, &issuer, keyPool().take(wanted.bits));
}

IssuedCert TestPki::selfSigned(const CertSpec& wanted) { return make(wanted, nullptr, keyPool().take(wanted.bits)); }

namespace {

// "YYMMDDhhmm+0800" for `t`.
TimePtr chinaTime(time_t t) {
    t += 8 * 3600;
    struct tm parts {};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%y%m%d%H%M+0800", &parts);
    TimePtr time(check(ASN1_UTCTIME_new(), "time"));
    check(ASN1_STRING_set(time.get(), text, -1), "time text");
    return time;
}

std::string makeCrl(const IssuedCert& issuer, const std::vector<IssuedCert>& revoked,
                    std::optional<long> nextUpdateOffset, const IssuedCert* signer, bool offsetTimes,
                    size_t fillerEntries) {
    ERR_clear_error();
    CrlPtr crl(check(X509_CRL_new(), "CRL"));
    check(X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2), "CRL version");
    check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.x509())), "CRL issuer");
    time_t now = time(nullptr);
    TimePtr thisUpdate(offsetTimes ? chinaTime(now - 3600)
                                   : TimePtr(check(ASN1_TIME_adj(nullptr, now, 0, -3600), "thisUpdate")));
    check(X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get()), "thisUpdate");
    if (nextUpdateOffset) {
        TimePtr nextUpdate(offsetTimes
                               ? chinaTime(now + *nextUpdateOffset)
                               : TimePtr(check(ASN1_TIME_adj(nullptr, now, 0, *nextUpdateOffset), "nextUpdate")));
        check(X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get()), "nextUpdate");
    }
    for (const IssuedCert& cert : revoked) {
        RevokedPtr entry(check(X509_REVOKED_new(), "CRL entry"));
        check(X509_REVOKED_set_serialNumber(entry.get(), X509_get_serialNumber(cert.x509())), "CRL entry");
        check(X509_REVOKED_set_revocationDate(entry.get(), thisUpdate.get()), "CRL entry");
        check(X509_CRL_add0_revoked(crl.get(), entry.get()), "CRL entry");
        entry.release();
    }
    // Filler serials start with 0x7e, so they never equal the random serials of issued certificates.
    unsigned char octets[16] = {0x7e};
    for (size_t i = 0; i < fillerEntries; ++i) {
        for (int b = 0; b < 8; ++b) octets[15 - b] = static_cast<unsigned char>(i >> (8 * b));
        IntegerPtr serial(check(ASN1_INTEGER_new(), "CRL entry"));
        check(ASN1_STRING_set(serial.get(), octets, sizeof octets), "CRL entry");
        RevokedPtr entry(check(X509_REVOKED_new(), "CRL entry"));
        check(X509_REVOKED_set_serialNumber(entry.get(), serial.get()), "CRL entry");
        check(X509_REVOKED_set_revocationDate(entry.get(), thisUpdate.get()), "CRL entry");
        check(X509_CRL_add0_revoked(crl.get(), entry.get()), "CRL entry");
        entry.release();
    }
    check(X509_CRL_sort(crl.get()), "CRL sort");

    if (const ASN1_OCTET_STRING* issuerKeyId = X509_get0_subject_key_id(issuer.x509())) {
        KeyIdPtr authority(check(AUTHORITY_KEYID_new(), "authorityKeyIdentifier"));
        authority->keyid = check(ASN1_OCTET_STRING_dup(issuerKeyId), "authorityKeyIdentifier");
        check(X509_CRL_add1_ext_i2d(crl.get(), NID_authority_key_identifier, authority.get(), 0, X509V3_ADD_DEFAULT),
              "authorityKeyIdentifier");
    }
    IntegerPtr number(check(ASN1_INTEGER_new(), "CRL number"));
    check(ASN1_INTEGER_set(number.get(), 1), "CRL number");
    check(X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, number.get(), 0, X509V3_ADD_DEFAULT), "CRL number");

    check(X509_CRL_sign(crl.get(), (signer ? signer : &issuer)->key(), EVP_sha256()), "sign CRL");
    return toDer(crl.get(), i2d_X509_CRL);
}

}  // namespace

std::string TestPki::crl(const IssuedCert& issuer, const std::vector<IssuedCert>& revoked, long nextUpdateOffset,
                         const IssuedCert* signer, bool offsetTimes) {
    return makeCrl(issuer, revoked, nextUpdateOffset, signer, offsetTimes, 0);
}

std::string TestPki::crlWith(const IssuedCert& issuer, const CrlSpec& wanted) {
    return makeCrl(issuer, wanted.revoked, wanted.nextUpdateOffset, nullptr, false, wanted.fillerEntries);
}

void TestPki::save(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("TestPki: cannot write " + path);
}

std::string withNonMinimalSerial(const std::string& der) {
    size_t serialAt = serialOffset(der);
    Tlv serial = readTlv(der, serialAt);
    return withSerialOctets(der, '\0' + der.substr(serialAt + serial.header, serial.length));
}

std::string withSerialOctets(const std::string& der, const std::string& octets) {
    Tlv cert = readTlv(der, 0);
    size_t tbsAt = cert.header;
    Tlv tbs = readTlv(der, tbsAt);
    size_t serialAt = serialOffset(der);
    Tlv serial = readTlv(der, serialAt);
    size_t afterSerial = serialAt + serial.size(), afterTbs = tbsAt + tbs.size();

    std::string padded = tlv(0x02, octets);
    std::string tbsContent = der.substr(tbsAt + tbs.header, serialAt - tbsAt - tbs.header) + padded +
                             der.substr(afterSerial, afterTbs - afterSerial);
    return tlv(0x30, tlv(0x30, tbsContent) + der.substr(afterTbs, cert.size() - afterTbs));
}

std::string TestPki::pkcs12(const IssuedCert& cert, const std::string& password, const Pkcs12Protection& how) {
    PKCS12* p12 = PKCS12_create(password.c_str(), "my key", cert.key(), cert.x509(), nullptr, how.keyCipher,
                                how.certCipher, 2000, how.macIterations, 0);
    if (!p12) throw std::runtime_error("PKCS12_create failed");
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12, &der);
    PKCS12_free(p12);
    if (n <= 0) throw std::runtime_error("i2d_PKCS12 failed");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    return bytes;
}

}  // namespace orvik::test
