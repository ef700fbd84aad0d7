#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "support/CertHandles.h"
#include "support/TestPki.h"

using orvik::test::CertPtr;
using orvik::test::contextOf;
using orvik::test::IssuedCert;
using orvik::test::TestPki;

namespace {

std::string bytesOf(const BYTE* p, DWORD n) { return std::string(reinterpret_cast<const char*>(p), n); }
std::string bytesOf(const CRYPT_INTEGER_BLOB& b) { return bytesOf(b.pbData, b.cbData); }

std::string nameDer(X509_NAME* name) {
    unsigned char* der = nullptr;
    int n = i2d_X509_NAME(name, &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

std::string digest(const std::string& bytes, const EVP_MD* md) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &n, md, nullptr);
    return std::string(reinterpret_cast<char*>(out), n);
}

uint64_t fileTimeOf(time_t t) { return (static_cast<uint64_t>(t) + 11644473600ULL) * 10000000ULL; }
uint64_t ticksOf(const FILETIME& ft) { return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }

std::string property(PCCERT_CONTEXT ctx, DWORD id) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(ctx, id, nullptr, &size)) return "<none>";
    std::string out(size, '\0');
    EXPECT_TRUE(CertGetCertificateContextProperty(ctx, id, out.data(), &size));
    out.resize(size);
    return out;
}

DWORD get32(const std::string& b, size_t at) {
    if (at + 4 > b.size()) return 0xFFFFFFFF;
    auto u = [&](size_t i) { return static_cast<DWORD>(static_cast<unsigned char>(b[at + i])); };
    return u(0) | u(1) << 8 | u(2) << 16 | u(3) << 24;
}

// A UTF-16LE NUL-terminated text at `at`; "<unterminated>" when it runs off the end.
std::u16string wideAt(const std::string& b, size_t at) {
    std::u16string out;
    for (; at + 1 < b.size(); at += 2) {
        char16_t c =
            static_cast<char16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
        if (!c) return out;
        out.push_back(c);
    }
    return u"<unterminated>";
}

}  // namespace

TEST(CertContext, DuplicateStaysValidAfterTheOriginalIsFreed) {
    IssuedCert cert = TestPki::instance().issue({.cn = "Bob"});
    PCCERT_CONTEXT original = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(cert.der.data()), static_cast<DWORD>(cert.der.size()));
    ASSERT_NE(original, nullptr);
    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(original);
    EXPECT_EQ(dup, original) << "a duplicate is the same context with one more reference";
    EXPECT_TRUE(CertFreeCertificateContext(original));
    EXPECT_EQ(bytesOf(dup->pbCertEncoded, dup->cbCertEncoded), cert.der);
    EXPECT_EQ(dup->pCertInfo->dwVersion, static_cast<DWORD>(CERT_V3));
    EXPECT_TRUE(CertFreeCertificateContext(dup));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(CertContext, CertInfoCarriesTheFieldsOfTheEncoding) {
    struct Row {
        const char* serialHex;
        std::string serialLe;
        time_t notBefore, notAfter;  // notAfter past 2049: GeneralizedTime
    };
    const Row rows[] = {
        {"0102ff", "\xff\x02\x01", 1700000000, 1800000000},
        {"00ff", std::string("\xff\x00", 2), 1000000000, 2900000000},
        {"05", "\x05", 0, 4102444800},
    };
    for (const Row& row : rows) {
        IssuedCert cert = TestPki::instance().issue({.cn = "Bob",
                                                     .email = "bob@example.com",
                                                     .keyUsage = 0x80,
                                                     .notBefore = row.notBefore,
                                                     .notAfter = row.notAfter,
                                                     .serialHex = row.serialHex});
        CertPtr ctx = contextOf(cert.der);
        ASSERT_TRUE(ctx) << row.serialHex;
        const CERT_INFO& info = *ctx->pCertInfo;
        EXPECT_EQ(bytesOf(ctx->pbCertEncoded, ctx->cbCertEncoded), cert.der) << row.serialHex;
        EXPECT_EQ(info.dwVersion, static_cast<DWORD>(CERT_V3)) << row.serialHex;
        EXPECT_EQ(bytesOf(info.SerialNumber), row.serialLe) << "least significant octet first: " << row.serialHex;
        EXPECT_EQ(ticksOf(info.NotBefore), fileTimeOf(row.notBefore)) << row.serialHex;
        EXPECT_EQ(ticksOf(info.NotAfter), fileTimeOf(row.notAfter)) << row.serialHex;
        EXPECT_EQ(bytesOf(info.Subject), nameDer(X509_get_subject_name(cert.x509()))) << row.serialHex;
        EXPECT_EQ(bytesOf(info.Issuer), nameDer(X509_get_subject_name(TestPki::instance().ca().x509())));
        EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);

        PCERT_EXTENSION usage = CertFindExtension(szOID_KEY_USAGE, info.cExtension, info.rgExtension);
        ASSERT_NE(usage, nullptr) << row.serialHex;
        EXPECT_TRUE(usage->fCritical);
        EXPECT_EQ(bytesOf(usage->Value), std::string("\x03\x02\x07\x80", 4)) << "the extension's value, unwrapped";
        PCERT_EXTENSION san = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
        ASSERT_NE(san, nullptr);
        EXPECT_FALSE(san->fCritical);
        SetLastError(0);
        EXPECT_EQ(CertFindExtension(szOID_BASIC_CONSTRAINTS2, info.cExtension, info.rgExtension), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    }
}

TEST(CertContext, NonMinimalSerialIsAcceptedAndKeepsItsBytes) {
    IssuedCert cert = TestPki::instance().issue({.cn = "Padded", .serialHex = "0102ff"});
    const std::string padded = orvik::test::withNonMinimalSerial(cert.der);
    ASSERT_NE(padded, cert.der);
    CertPtr ctx = contextOf(padded);
    ASSERT_TRUE(ctx) << "Windows takes such certificates, so must we; last error " << std::hex << GetLastError();
    EXPECT_EQ(bytesOf(ctx->pbCertEncoded, ctx->cbCertEncoded), padded) << "the bytes as given, not re-encoded";
    EXPECT_EQ(bytesOf(ctx->pCertInfo->SerialNumber), std::string("\xff\x02\x01\x00", 4)) << "the extra 00 stays";
    const std::string sha1 = property(ctx.get(), CERT_SHA1_HASH_PROP_ID);
    EXPECT_EQ(sha1, digest(padded, EVP_sha1())) << "the thumbprint is over the original DER";
    EXPECT_NE(sha1, cert.sha1);
}

TEST(CertContext, BytesThatAreNoCertificateGiveNullAndACryptError) {
    const std::string der = TestPki::instance().issue({.cn = "Bob"}).der;
    struct Row {
        std::string bytes;
        const char* what;
    };
    const Row rows[] = {
        {"hello, world", "garbage"},
        {der.substr(0, der.size() / 2), "truncated"},
        {der.substr(0, der.size() - 1), "one byte short"},
        {std::string("\x30\x03\x02\x01\x01", 5), "a sequence that is no certificate"},
        {"", "zero length"},
    };
    for (const Row& row : rows) {
        SetLastError(0);
        EXPECT_FALSE(contextOf(row.bytes)) << row.what;
        DWORD error = GetLastError();
        EXPECT_TRUE(error >= 0x80091000 && error <= 0x80093FFF) << row.what << ": 0x" << std::hex << error;
    }
}

TEST(CertContext, HashCertificateSizesAndSizeQuery) {
    const std::string der = TestPki::instance().issue({.cn = "Bob"}).der;
    struct Row {
        ALG_ID alg;
        const EVP_MD* md;
        DWORD size;
    };
    const Row rows[] = {{CALG_SHA1, EVP_sha1(), 20}, {CALG_MD5, EVP_md5(), 16}};
    for (const Row& row : rows) {
        auto hash = [&](BYTE* out, DWORD* size) {
            return CryptHashCertificate(0, row.alg, 0, reinterpret_cast<const BYTE*>(der.data()),
                                        static_cast<DWORD>(der.size()), out, size);
        };
        BYTE out[64] = {};
        DWORD size = 0;
        ASSERT_TRUE(hash(nullptr, &size));
        EXPECT_EQ(size, row.size) << "size query for " << row.alg;
        size = 8;
        EXPECT_FALSE(hash(out, &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA)) << row.alg;
        EXPECT_EQ(size, row.size) << "a short buffer learns the size";
        size = sizeof out;
        ASSERT_TRUE(hash(out, &size));
        EXPECT_EQ(bytesOf(out, size), digest(der, row.md)) << row.alg;
    }
}

TEST(CertContext, DecodeKeyUsageFollowsTheSizeRules) {
    struct Row {
        int usage;
        DWORD unusedBits;
        const char* what;
    };
    const Row rows[] = {
        {CERT_DIGITAL_SIGNATURE_KEY_USAGE, 7, "digitalSignature only"},
        {CERT_KEY_ENCIPHERMENT_KEY_USAGE, 5, "keyEncipherment only"},
    };
    for (const Row& row : rows) {
        CertPtr ctx = contextOf(TestPki::instance().issue({.cn = "Bob", .keyUsage = row.usage}).der);
        ASSERT_TRUE(ctx) << row.what;
        const CERT_INFO& info = *ctx->pCertInfo;
        PCERT_EXTENSION ext = CertFindExtension(szOID_KEY_USAGE, info.cExtension, info.rgExtension);
        ASSERT_NE(ext, nullptr) << row.what;
        auto decode = [&](void* out, DWORD* size) {
            return CryptDecodeObject(X509_ASN_ENCODING, X509_KEY_USAGE, ext->Value.pbData, ext->Value.cbData, 0, out,
                                     size);
        };
        DWORD need = 0;
        ASSERT_TRUE(decode(nullptr, &need)) << row.what;
        ASSERT_GE(need, sizeof(CRYPT_BIT_BLOB) + 1) << row.what;
        std::vector<BYTE> buf(need + 16, 0xEE);
        DWORD size = need - 1;
        EXPECT_FALSE(decode(buf.data(), &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA)) << row.what;
        EXPECT_EQ(size, need) << row.what;
        size = need;
        ASSERT_TRUE(decode(buf.data(), &size)) << "exactly the size asked for: " << row.what;
        const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(buf.data());
        ASSERT_EQ(bits->cbData, 1u) << row.what;
        EXPECT_EQ(bits->pbData[0], row.usage) << row.what;
        EXPECT_EQ(bits->cUnusedBits, row.unusedBits) << row.what;
        EXPECT_EQ(buf[need], 0xEE) << "nothing written past the size: " << row.what;
    }
}

TEST(CertContext, FriendlyNameRoundTripsAndHashesAreAlwaysThere) {
    IssuedCert cert = TestPki::instance().issue({.cn = "Bob"});
    CertPtr ctx = contextOf(cert.der);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(property(ctx.get(), CERT_SHA1_HASH_PROP_ID), cert.sha1) << "never set, still there";
    EXPECT_EQ(property(ctx.get(), CERT_MD5_HASH_PROP_ID), digest(cert.der, EVP_md5()));
    const char16_t name[] = u"我的证书";
    CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(const_cast<char16_t*>(name))};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    EXPECT_EQ(property(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID),
              std::string(reinterpret_cast<const char*>(name), sizeof name))
        << "UTF-16LE with its NUL, as given";

    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr))
        << "a null value deletes";
    DWORD size = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST(CertContext, KeyProvInfoRoundTripsAndIsStoredWithOffsets) {
    IssuedCert cert = TestPki::instance().issue({.cn = "Bob"});
    CertPtr ctx = contextOf(cert.der);
    ASSERT_TRUE(ctx);
    char16_t container[] = u"容器-1";
    char16_t provider[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
    BYTE paramData[] = {1, 2, 3, 4, 5};
    CRYPT_KEY_PROV_PARAM param{0x1234, paramData, sizeof paramData, 0};
    CRYPT_KEY_PROV_INFO info{container, provider, PROV_RSA_FULL, 0, 1, &param, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));

    DWORD need = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &need));
    std::vector<BYTE> buf(need);
    DWORD size = need;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size));
    const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    ASSERT_NE(got->pwszContainerName, nullptr);
    ASSERT_NE(got->pwszProvName, nullptr);
    EXPECT_EQ(std::u16string(got->pwszContainerName), container);
    EXPECT_EQ(std::u16string(got->pwszProvName), provider);
    EXPECT_EQ(got->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(got->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    ASSERT_EQ(got->cProvParam, 1u);
    EXPECT_EQ(got->rgProvParam[0].dwParam, 0x1234u);
    ASSERT_EQ(got->rgProvParam[0].cbData, sizeof paramData);
    EXPECT_EQ(bytesOf(got->rgProvParam[0].pbData, 5), bytesOf(paramData, 5));

    // The stored form: records {id, 1, length, bytes}, the certificate last as id 32.
    ASSERT_TRUE(CertSerializeCertificateStoreElement(ctx.get(), 0, nullptr, &size));
    std::string element(size, '\0');
    ASSERT_TRUE(CertSerializeCertificateStoreElement(ctx.get(), 0, reinterpret_cast<BYTE*>(element.data()), &size));
    std::map<DWORD, std::string> records;
    DWORD lastId = 0;
    for (size_t at = 0; at < element.size();) {
        ASSERT_LE(at + 12, element.size()) << "a record header runs off the end";
        DWORD id = get32(element, at), length = get32(element, at + 8);
        EXPECT_EQ(get32(element, at + 4), 1u) << "record " << id;
        ASSERT_LE(at + 12 + length, element.size()) << "record " << id;
        records[id] = element.substr(at + 12, length);
        lastId = id;
        at += 12 + length;
    }
    EXPECT_EQ(lastId, static_cast<DWORD>(CERT_CERT_PROP_ID));
    EXPECT_EQ(records[CERT_CERT_PROP_ID], cert.der);
    ASSERT_EQ(records.count(CERT_KEY_PROV_INFO_PROP_ID), 1u);
    const std::string stored = records[CERT_KEY_PROV_INFO_PROP_ID];
    ASSERT_GE(stored.size(), 28u) << "seven 32-bit fields";
    EXPECT_EQ(wideAt(stored, get32(stored, 0)), container) << "container name offset";
    EXPECT_EQ(wideAt(stored, get32(stored, 4)), provider) << "provider name offset";
    EXPECT_EQ(get32(stored, 8), static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(get32(stored, 12), 0u) << "dwFlags";
    EXPECT_EQ(get32(stored, 16), 1u) << "cProvParam";
    EXPECT_EQ(get32(stored, 24), static_cast<DWORD>(AT_SIGNATURE));
    const DWORD table = get32(stored, 20);
    EXPECT_GE(table, 28u) << "the parameters follow the structure";
    EXPECT_EQ(get32(stored, table), 0x1234u) << "dwParam";
    EXPECT_EQ(get32(stored, table + 8), sizeof paramData) << "cbData";
    EXPECT_EQ(stored.substr(get32(stored, table + 4), sizeof paramData), bytesOf(paramData, 5)) << "pbData offset";
}
