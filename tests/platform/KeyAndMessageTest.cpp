#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "support/CertHandles.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::CertPtr;
using orvik::test::contextOf;
using orvik::test::IssuedCert;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

struct FreePkcs7 {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};

void put32(std::vector<BYTE>& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

// PRIVATEKEYBLOB written from the key's numbers, as Windows lays it out: 20 + 9k/2 bytes.
std::vector<BYTE> privateKeyBlob(EVP_PKEY* key) {
    const size_t k = static_cast<size_t>(EVP_PKEY_get_bits(key)) / 8, half = k / 2;
    std::vector<BYTE> out{0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '2'};
    put32(out, static_cast<DWORD>(k * 8));
    auto number = [&](const char* name, size_t size) {
        BIGNUM* bn = nullptr;
        EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1) << name;
        if (size == 0) {
            put32(out, static_cast<DWORD>(BN_get_word(bn)));
        } else {
            out.resize(out.size() + size);
            EXPECT_EQ(BN_bn2lebinpad(bn, out.data() + out.size() - size, static_cast<int>(size)),
                      static_cast<int>(size));
        }
        BN_clear_free(bn);
    };
    number(OSSL_PKEY_PARAM_RSA_E, 0);
    number(OSSL_PKEY_PARAM_RSA_N, k);
    number(OSSL_PKEY_PARAM_RSA_FACTOR1, half);
    number(OSSL_PKEY_PARAM_RSA_FACTOR2, half);
    number(OSSL_PKEY_PARAM_RSA_EXPONENT1, half);
    number(OSSL_PKEY_PARAM_RSA_EXPONENT2, half);
    number(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half);
    number(OSSL_PKEY_PARAM_RSA_D, k);
    EXPECT_EQ(out.size(), 20 + 9 * k / 2);
    return out;
}

// A new container holding the key as its exchange key.
bool importInto(const char* container, EVP_PKEY* key) {
    std::vector<BYTE> blob = privateKeyBlob(key);
    HCRYPTPROV prov = 0;
    HCRYPTKEY handle = 0;
    bool ok = CryptAcquireContextA(&prov, container, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
              CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &handle);
    OPENSSL_cleanse(blob.data(), blob.size());
    if (handle) CryptDestroyKey(handle);
    if (prov) CryptReleaseContext(prov, 0);
    return ok;
}

bool pointAtContainer(PCCERT_CONTEXT ctx, const char16_t* container, DWORD keyKind = AT_KEYEXCHANGE) {
    char16_t provider[] = u"Microsoft Base Cryptographic Provider v1.0";
    CRYPT_KEY_PROV_INFO info{const_cast<char16_t*>(container), provider, PROV_RSA_FULL, 0, 0, nullptr, keyKind};
    return CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

std::vector<std::string> containerFiles(const std::string& home) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto& e : std::filesystem::recursive_directory_iterator(home + "/keys", ec))
        if (e.is_regular_file()) out.push_back(e.path().string());
    return out;
}

// The parts of a content as the message calls take them.
struct Parts {
    std::vector<const BYTE*> data;
    std::vector<DWORD> sizes;
    explicit Parts(const std::vector<std::string>& parts) {
        for (auto& p : parts) {
            data.push_back(reinterpret_cast<const BYTE*>(p.data()));
            sizes.push_back(static_cast<DWORD>(p.size()));
        }
    }
    DWORD count() const { return static_cast<DWORD>(data.size()); }
};

// A detached MD5 signature carrying the signer's certificate; empty when signing fails.
std::string sign(PCCERT_CONTEXT signer, const std::vector<std::string>& content) {
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = signer;
    para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
    para.cMsgCert = 1;
    para.rgpMsgCert = &signer;
    Parts parts(content);
    DWORD size = 0;
    if (!CryptSignMessage(&para, TRUE, parts.count(), parts.data.data(), parts.sizes.data(), nullptr, &size)) return {};
    std::string out(size, '\0');
    if (!CryptSignMessage(&para, TRUE, parts.count(), parts.data.data(), parts.sizes.data(),
                          reinterpret_cast<BYTE*>(out.data()), &size))
        return {};
    out.resize(size);
    return out;
}

// The signer's DER when the signature verifies over the content, else "".
std::string verify(const std::string& signature, const std::vector<std::string>& content) {
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    Parts parts(content);
    PCCERT_CONTEXT signer = nullptr;
    if (!CryptVerifyDetachedMessageSignature(&para, 0, reinterpret_cast<const BYTE*>(signature.data()),
                                             static_cast<DWORD>(signature.size()), parts.count(), parts.data.data(),
                                             parts.sizes.data(), &signer))
        return {};
    if (!signer) return "<no signer>";
    std::string der(reinterpret_cast<const char*>(signer->pbCertEncoded), signer->cbCertEncoded);
    CertFreeCertificateContext(signer);
    return der;
}

}  // namespace

TEST(KeyContainer, ImportedKeyPersistsInAPrivateFileUntilDeleted) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Keyholder"});
    ASSERT_TRUE(importInto("orvik-test", cert.key())) << std::hex << GetLastError();

    HCRYPTPROV prov = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextA(&prov, "orvik-test", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));

    ASSERT_TRUE(CryptAcquireContextA(&prov, "orvik-test", nullptr, PROV_RSA_FULL, 0)) << "a new handle reads the file";
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    if (key) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    std::vector<std::string> files = containerFiles(home.path());
    ASSERT_EQ(files.size(), 1u);
    struct stat st {};
    ASSERT_EQ(stat(files[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "only the user may read a private key";

    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextA(&prov, "no-such-container", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));

    EXPECT_TRUE(CryptAcquireContextA(&prov, "orvik-test", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_TRUE(containerFiles(home.path()).empty());
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextA(&prov, "orvik-test", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST(SignedMessage, DetachedMd5SignatureVerifiesAndNamesItsSigner) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "签名者", .keyUsage = 0xA0});
    CertPtr ctx = contextOf(cert.der);
    ASSERT_TRUE(importInto("signer", cert.key()) && pointAtContainer(ctx.get(), u"signer"));
    const std::string content = "待签名的内容: the bytes of a file";
    const std::string signature = sign(ctx.get(), {content});
    ASSERT_FALSE(signature.empty()) << "0x" << std::hex << GetLastError();
    EXPECT_TRUE(verify(signature, {content}) == cert.der) << "the verifier returns the signer's certificate";
    EXPECT_TRUE(verify(signature, {content.substr(0, 7), content.substr(7)}) == cert.der) << "parts are one content";
    std::string changed = content;
    changed.back() ^= 1;
    SetLastError(0);
    EXPECT_EQ(verify(signature, {changed}), "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

TEST(SignedMessage, NonMinimalSerialCertificateTravelsWithItsOriginalBytes) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Padded", .keyUsage = 0xA0});
    const std::string padded = orvik::test::withNonMinimalSerial(cert.der);
    CertPtr ctx = contextOf(padded);
    ASSERT_TRUE(ctx && importInto("signer", cert.key()) && pointAtContainer(ctx.get(), u"signer"));
    const std::string signature = sign(ctx.get(), {"content"});
    ASSERT_FALSE(signature.empty()) << "0x" << std::hex << GetLastError();
    // A re-encoded certificate no longer matches its issuer's signature, nor its thumbprint in the stores.
    EXPECT_NE(signature.find(padded), std::string::npos) << "the signer's certificate is carried byte for byte";
    EXPECT_TRUE(verify(signature, {"content"}) == padded) << "the verifier names the certificate that signed";
}

TEST(SignedMessage, SignatureHasTheStructureWindowsWrites) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Signer", .keyUsage = 0xA0});
    CertPtr ctx = contextOf(cert.der);
    ASSERT_TRUE(importInto("signer", cert.key()) && pointAtContainer(ctx.get(), u"signer"));
    const std::string signature = sign(ctx.get(), {"content"});
    const unsigned char* p = reinterpret_cast<const unsigned char*>(signature.data());
    std::unique_ptr<PKCS7, FreePkcs7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(signature.size())));
    ASSERT_TRUE(p7 && PKCS7_type_is_signed(p7.get()));
    PKCS7_SIGNED* sd = p7->d.sign;
    EXPECT_EQ(ASN1_INTEGER_get(sd->version), 1);
    EXPECT_EQ(OBJ_obj2nid(sd->contents->type), NID_pkcs7_data);
    EXPECT_EQ(sd->contents->d.ptr, nullptr) << "detached: no content";
    ASSERT_EQ(sk_X509_num(sd->cert), 1) << "the signer's certificate, and only it";
    EXPECT_EQ(X509_cmp(sk_X509_value(sd->cert, 0), cert.x509()), 0);
    EXPECT_LE(sk_X509_CRL_num(sd->crl), 0) << "no CRLs";
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(sd->signer_info), 1);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sd->signer_info, 0);
    EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), NID_md5);
    EXPECT_EQ(OBJ_obj2nid(si->digest_enc_alg->algorithm), NID_rsaEncryption);
    EXPECT_LE(sk_X509_ATTRIBUTE_num(si->auth_attr), 0) << "no authenticated attributes";
    EXPECT_EQ(X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(cert.x509())), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get_serialNumber(cert.x509())), 0);
}

TEST(SignedMessage, SigningNeedsTheCertificatesOwnKey) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Signer"});
    IssuedCert other = TestPki::instance().issue({.cn = "Other"});
    ASSERT_NE(EVP_PKEY_eq(cert.key(), other.key()), 1) << "the fixture hands out distinct keys";
    ASSERT_TRUE(importInto("own", cert.key()));
    ASSERT_TRUE(importInto("foreign", other.key()));
    struct Row {
        const char16_t* container;  // null: no KEY_PROV_INFO at all
        DWORD keyKind;
        DWORD error;
        const char* what;
    };
    const Row rows[] = {
        {nullptr, 0, static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY), "no key property"},
        {u"missing", AT_KEYEXCHANGE, static_cast<DWORD>(NTE_BAD_KEYSET), "no such container"},
        {u"own", AT_SIGNATURE, static_cast<DWORD>(NTE_NO_KEY), "no key of that kind"},
        {u"foreign", AT_KEYEXCHANGE, static_cast<DWORD>(NTE_BAD_KEYSET), "another certificate's key"},
    };
    for (const Row& row : rows) {
        CertPtr ctx = contextOf(cert.der);
        if (row.container) {
            ASSERT_TRUE(pointAtContainer(ctx.get(), row.container, row.keyKind)) << row.what;
        }
        SetLastError(0);
        EXPECT_EQ(sign(ctx.get(), {"content"}), "") << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what << ": 0x" << std::hex << GetLastError();
    }
}
