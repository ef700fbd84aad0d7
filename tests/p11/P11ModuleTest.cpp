// The module as a PKCS#11 library: what it presents of the stores, the return codes and size
// rules the standard gives, and its behaviour under threads, other processes and deletion.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "DigitalCertificate.h"
#include "MyCertStore.h"
#include "p11/ModuleFixture.h"
#include "support/ChildProcess.h"
#include "support/Shell.h"

using namespace orvik::test;

namespace {

// Key usages: 0x80 digitalSignature, 0x40 nonRepudiation, 0x20 keyEncipherment.
IssuedCert personal(const std::string& cn, int keyUsage) {
    return TestPki::instance().issue({.cn = cn, .email = cn + "@example.com", .keyUsage = keyUsage});
}

bool verifies(const IssuedCert& cert, const EVP_MD* md, const std::string& data, const std::string& signature,
              bool pss = false) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok = EVP_DigestVerifyInit(ctx, &pctx, md, nullptr, X509_get0_pubkey(cert.x509())) == 1;
    if (ok && pss) ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) > 0;
    ok = ok && EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

std::string sign(LoadedModule& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM mech, const std::string& data,
                 CK_RV* result = nullptr) {
    CK_RV rv = m->C_SignInit(s, &mech, key);
    if (rv == CKR_OK) {
        CK_ULONG size = 0;
        rv = m->C_Sign(s, reinterpret_cast<CK_BYTE*>(const_cast<char*>(data.data())), data.size(), nullptr, &size);
        std::string out(size, '\0');
        if (rv == CKR_OK)
            rv = m->C_Sign(s, reinterpret_cast<CK_BYTE*>(const_cast<char*>(data.data())), data.size(),
                           reinterpret_cast<CK_BYTE*>(out.data()), &size);
        if (result) *result = rv;
        if (rv == CKR_OK) return out.substr(0, size);
    }
    if (result) *result = rv;
    return {};
}

CK_ULONG ulongOf(const std::string& bytes) {
    CK_ULONG v = 0;
    if (bytes.size() == sizeof v) std::memcpy(&v, bytes.data(), sizeof v);
    return v;
}

}  // namespace

TEST(PersonalModule, PresentsPersonalKeysAndAuthoritiesButNothingElse) {
    ModuleUser user;
    auto signer = personal("signer", 0xC0);
    auto both = personal("both", 0xA0);
    auto keyless = personal("keyless", 0xA0);
    user.importPersonal(signer);
    user.importPersonal(both);
    user.importCertificate(keyless, "MY");  // no key container: not the module's
    user.importCertificate(TestPki::instance().ca(), "CA");
    user.importCertificate(personal("someone", 0x20), "ADDRESSBOOK");

    LoadedModule m;
    CK_SESSION_HANDLE s = m.open();
    auto certs = m.findClass(s, CKO_CERTIFICATE);
    ASSERT_EQ(certs.size(), 3u);
    EXPECT_EQ(m.findClass(s, CKO_PUBLIC_KEY).size(), 2u);
    ASSERT_EQ(m.findClass(s, CKO_PRIVATE_KEY).size(), 2u);

    int authorities = 0;
    for (CK_OBJECT_HANDLE c : certs) {
        // Nothing the module holds is a trust anchor.
        EXPECT_FALSE(m.flag(s, c, CKA_TRUSTED));
        if (ulongOf(m.attribute(s, c, CKA_CERTIFICATE_CATEGORY)) == 2) {
            ++authorities;
            EXPECT_EQ(m.attribute(s, c, CKA_VALUE), TestPki::instance().ca().der);
        }
    }
    EXPECT_EQ(authorities, 1);

    // Labels are the display names when there is no friendly name; keys share the certificate's ID.
    CK_OBJECT_HANDLE signKey = m.keyOf(s, "signer");
    CK_OBJECT_HANDLE bothKey = m.keyOf(s, "both");
    ASSERT_NE(signKey, CK_INVALID_HANDLE);
    ASSERT_NE(bothKey, CK_INVALID_HANDLE);
    EXPECT_TRUE(m.flag(s, signKey, CKA_SIGN));
    EXPECT_FALSE(m.flag(s, signKey, CKA_DECRYPT)) << "key usage allows no encipherment";
    EXPECT_TRUE(m.flag(s, bothKey, CKA_SIGN));
    EXPECT_TRUE(m.flag(s, bothKey, CKA_DECRYPT));
    EXPECT_TRUE(m.flag(s, bothKey, CKA_SENSITIVE));
    EXPECT_FALSE(m.flag(s, bothKey, CKA_EXTRACTABLE));

    // The certificate's identifying attributes are its own DER pieces.
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    auto found =
        m.find(s, {{CKA_CLASS, &cls, sizeof cls}, {CKA_VALUE, const_cast<char*>(both.der.data()), both.der.size()}});
    ASSERT_EQ(found.size(), 1u);
    X509* x = both.x509();
    unsigned char* der = nullptr;
    int n = i2d_X509_NAME(X509_get_subject_name(x), &der);
    EXPECT_EQ(m.attribute(s, found[0], CKA_SUBJECT), std::string(reinterpret_cast<char*>(der), n));
    OPENSSL_free(der);
    der = nullptr;
    n = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &der);
    EXPECT_EQ(m.attribute(s, found[0], CKA_SERIAL_NUMBER), std::string(reinterpret_cast<char*>(der), n));
    OPENSSL_free(der);

    // A friendly name given in the assistant is the label the next search sees, on the same handle.
    {
        CMyCertStore mine;
        ASSERT_EQ(mine.OpenCertStore(), 0);
        CDigitalCertificate copy(both.der.data(), static_cast<int>(both.der.size()), CDigitalCertificate::ENC_DER);
        std::string thumb;
        copy.getThumbPrint(thumb);
        CDigitalCertificate* own = mine.FindByThumb(thumb);
        ASSERT_NE(own, nullptr);
        std::string name = "我的证书";
        ASSERT_EQ(own->setFriendlyName(name), 0);
    }
    EXPECT_EQ(m.keyOf(s, "both"), CK_INVALID_HANDLE);
    EXPECT_EQ(m.keyOf(s, "我的证书"), bothKey);
    EXPECT_EQ(m.attribute(s, found[0], CKA_LABEL), "我的证书");
}

TEST(PersonalModule, AnswersAsTheStandardSaysToBadCallsAndShortBuffers) {
    ModuleUser user;
    auto me = personal("me", 0xA0);
    user.importPersonal(me);
    LoadedModule m;

    // Initialisation: once, with arguments that make sense.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(m->C_Initialize(&args), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(m->C_Finalize(&args), CKR_ARGUMENTS_BAD);

    // The two-call rule for lists.
    CK_ULONG count = 0;
    EXPECT_EQ(m->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    CK_ULONG none = 0;
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(m->C_GetSlotList(CK_TRUE, &slot, &none), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(none, 1u);
    EXPECT_EQ(m->C_GetMechanismList(1, nullptr, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> mechs(count);
    CK_ULONG shortCount = count - 1;
    EXPECT_EQ(m->C_GetMechanismList(1, mechs.data(), &shortCount), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(m->C_GetMechanismList(1, mechs.data(), &count), CKR_OK);
    CK_MECHANISM_INFO info{};
    EXPECT_EQ(m->C_GetMechanismInfo(1, CKM_MD5_RSA_PKCS, &info), CKR_MECHANISM_INVALID);
    EXPECT_EQ(m->C_GetMechanismInfo(7, CKM_RSA_PKCS, &info), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(m->C_GetSlotInfo(1, nullptr), CKR_ARGUMENTS_BAD);

    // Sessions: serial only, read-only, handles that stop working when closed.
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(m->C_OpenSession(1, 0, nullptr, nullptr, &s), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(m->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
              CKR_TOKEN_WRITE_PROTECTED);
    EXPECT_EQ(m->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    s = m.open();
    CK_OBJECT_HANDLE key = m.keyOf(s, "me");
    ASSERT_NE(key, CK_INVALID_HANDLE);

    // Attributes: sensitive ones are refused, unknown ones flagged, short buffers told, and every
    // other attribute of the same call still answered.
    CK_BYTE small[2];
    CK_BYTE modulus[1024];
    CK_ATTRIBUTE attrs[] = {
        {CKA_PRIVATE_EXPONENT, nullptr, 0}, {CKA_MODULUS, modulus, sizeof modulus}, {0x7fff0001UL, nullptr, 0}};
    EXPECT_EQ(m->C_GetAttributeValue(s, key, attrs, 3), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(attrs[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(attrs[1].ulValueLen, 256u);
    EXPECT_EQ(attrs[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    CK_ATTRIBUTE sensitive{CKA_PRIME_1, nullptr, 0};
    EXPECT_EQ(m->C_GetAttributeValue(s, key, &sensitive, 1), CKR_ATTRIBUTE_SENSITIVE);
    CK_ATTRIBUTE shortOne{CKA_MODULUS, small, sizeof small};
    EXPECT_EQ(m->C_GetAttributeValue(s, key, &shortOne, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortOne.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    // A template asking for the secret finds nothing.
    CK_BYTE anything[4] = {};
    EXPECT_TRUE(m.find(s, {{CKA_PRIVATE_EXPONENT, anything, sizeof anything}}).empty());

    // Operations: unknown mechanisms and wrong parameters are refused at the start.
    CK_MECHANISM md5{CKM_MD5_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(m->C_SignInit(s, &md5, key), CKR_MECHANISM_INVALID);
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    EXPECT_EQ(m->C_SignInit(s, &ecdsa, key), CKR_MECHANISM_INVALID);
    CK_MECHANISM pssNoParams{CKM_SHA256_RSA_PKCS_PSS, nullptr, 0};
    EXPECT_EQ(m->C_SignInit(s, &pssNoParams, key), CKR_MECHANISM_PARAM_INVALID);
    CK_RSA_PKCS_PSS_PARAMS wrongHash{CKM_SHA384, CKG_MGF1_SHA384, 48};
    CK_MECHANISM pssMismatch{CKM_SHA256_RSA_PKCS_PSS, &wrongHash, sizeof wrongHash};
    EXPECT_EQ(m->C_SignInit(s, &pssMismatch, key), CKR_MECHANISM_PARAM_INVALID);
    CK_MECHANISM oaepNoParams{CKM_RSA_PKCS_OAEP, nullptr, 0};
    EXPECT_EQ(m->C_DecryptInit(s, &oaepNoParams, key), CKR_MECHANISM_PARAM_INVALID);
    CK_MECHANISM encrypt{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(m->C_EncryptInit(s, &encrypt, key), CKR_MECHANISM_INVALID);
    EXPECT_EQ(m->C_Sign(s, nullptr, 0, nullptr, &count), CKR_OPERATION_NOT_INITIALIZED);

    // The two-call rule for a signature: a size query and a short buffer leave it running.
    CK_MECHANISM sha256{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(m->C_SignInit(s, &sha256, key), CKR_OK);
    EXPECT_EQ(m->C_SignInit(s, &sha256, key), CKR_OPERATION_ACTIVE);
    std::string data = "a message";
    CK_BYTE* in = reinterpret_cast<CK_BYTE*>(data.data());
    CK_ULONG size = 0;
    ASSERT_EQ(m->C_Sign(s, in, data.size(), nullptr, &size), CKR_OK);
    EXPECT_EQ(size, 256u);
    std::string signature(size, '\0');
    CK_ULONG tooSmall = 10;
    EXPECT_EQ(m->C_Sign(s, in, data.size(), reinterpret_cast<CK_BYTE*>(signature.data()), &tooSmall),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall, 256u);
    ASSERT_EQ(m->C_Sign(s, in, data.size(), reinterpret_cast<CK_BYTE*>(signature.data()), &size), CKR_OK);
    EXPECT_TRUE(verifies(me, EVP_sha256(), data, signature));
    EXPECT_EQ(m->C_Sign(s, in, data.size(), reinterpret_cast<CK_BYTE*>(signature.data()), &size),
              CKR_OPERATION_NOT_INITIALIZED);

    // A raw PKCS #1 signature takes no more than fits a modulus.
    CK_MECHANISM raw{CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = CKR_OK;
    sign(m, s, key, raw, std::string(300, 'x'), &rv);
    EXPECT_EQ(rv, CKR_DATA_LEN_RANGE);
    // A decryption of a wrong length or of garbage fails and ends.
    ASSERT_EQ(m->C_DecryptInit(s, &raw, key), CKR_OK);
    CK_BYTE cipher[256] = {1, 2, 3};
    CK_ULONG plainSize = 0;
    EXPECT_EQ(m->C_Decrypt(s, cipher, 100, nullptr, &plainSize), CKR_ENCRYPTED_DATA_LEN_RANGE);
    ASSERT_EQ(m->C_DecryptInit(s, &raw, key), CKR_OK);
    EXPECT_EQ(m->C_Decrypt(s, cipher, sizeof cipher, nullptr, &plainSize), CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ(m->C_Decrypt(s, cipher, sizeof cipher, nullptr, &plainSize), CKR_OPERATION_NOT_INITIALIZED);

    // Nothing can be written to the token.
    CK_OBJECT_HANDLE made = 0;
    EXPECT_EQ(m->C_CreateObject(s, nullptr, 0, &made), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(m->C_DestroyObject(s, key), CKR_SESSION_READ_ONLY);

    // Stale handles.
    EXPECT_EQ(m->C_SignInit(s, &sha256, 999999), CKR_KEY_HANDLE_INVALID);
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(m->C_GetAttributeValue(s, 999999, &label, 1), CKR_OBJECT_HANDLE_INVALID);
    ASSERT_EQ(m->C_CloseSession(s), CKR_OK);
    EXPECT_EQ(m->C_CloseSession(s), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(m->C_GetAttributeValue(s, key, &label, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(m->C_FindObjectsInit(s, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
}

TEST(PersonalModule, SignsAndDecryptsWithEveryOfferedMechanism) {
    ModuleUser user;
    auto me = personal("me", 0xA0);
    user.importPersonal(me);
    LoadedModule m;
    CK_SESSION_HANDLE s = m.open();
    CK_OBJECT_HANDLE key = m.keyOf(s, "me");
    ASSERT_NE(key, CK_INVALID_HANDLE);
    const std::string data = "signed by the module";

    struct Combined {
        CK_MECHANISM_TYPE type;
        const EVP_MD* md;
        bool pss;
        CK_MECHANISM_TYPE hash;
        CK_RSA_PKCS_MGF_TYPE mgf;
    } table[] = {
        {CKM_SHA1_RSA_PKCS, EVP_sha1(), false, 0, 0},
        {CKM_SHA256_RSA_PKCS, EVP_sha256(), false, 0, 0},
        {CKM_SHA384_RSA_PKCS, EVP_sha384(), false, 0, 0},
        {CKM_SHA512_RSA_PKCS, EVP_sha512(), false, 0, 0},
        {CKM_SHA1_RSA_PKCS_PSS, EVP_sha1(), true, CKM_SHA_1, CKG_MGF1_SHA1},
        {CKM_SHA256_RSA_PKCS_PSS, EVP_sha256(), true, CKM_SHA256, CKG_MGF1_SHA256},
        {CKM_SHA384_RSA_PKCS_PSS, EVP_sha384(), true, CKM_SHA384, CKG_MGF1_SHA384},
        {CKM_SHA512_RSA_PKCS_PSS, EVP_sha512(), true, CKM_SHA512, CKG_MGF1_SHA512},
    };
    for (const auto& row : table) {
        CK_RSA_PKCS_PSS_PARAMS params{row.hash, row.mgf, static_cast<CK_ULONG>(EVP_MD_get_size(row.md))};
        CK_MECHANISM mech{row.type, row.pss ? &params : nullptr, row.pss ? sizeof params : 0};
        EXPECT_TRUE(verifies(me, row.md, data, sign(m, s, key, mech, data), row.pss)) << "mechanism " << row.type;
        // The same in parts.
        ASSERT_EQ(m->C_SignInit(s, &mech, key), CKR_OK);
        EXPECT_EQ(m->C_SignUpdate(s, reinterpret_cast<CK_BYTE*>(const_cast<char*>(data.data())), 5), CKR_OK);
        EXPECT_EQ(m->C_SignUpdate(s, reinterpret_cast<CK_BYTE*>(const_cast<char*>(data.data())) + 5, data.size() - 5),
                  CKR_OK);
        std::string parts(256, '\0');
        CK_ULONG size = parts.size();
        EXPECT_EQ(m->C_SignFinal(s, reinterpret_cast<CK_BYTE*>(parts.data()), &size), CKR_OK);
        EXPECT_TRUE(verifies(me, row.md, data, parts.substr(0, size), row.pss))
            << "mechanism " << row.type << " in parts";
    }

    // Raw PSS over a SHA-256 digest, as TLS 1.3 signs.
    unsigned char digest[32];
    unsigned int digestSize = 0;
    EVP_Digest(data.data(), data.size(), digest, &digestSize, EVP_sha256(), nullptr);
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    std::string raw =
        sign(m, s, key, {CKM_RSA_PKCS_PSS, &pss, sizeof pss}, std::string(reinterpret_cast<char*>(digest), 32));
    EXPECT_TRUE(verifies(me, EVP_sha256(), data, raw, true));
    CK_RV rv = CKR_OK;
    sign(m, s, key, {CKM_RSA_PKCS_PSS, &pss, sizeof pss}, "short", &rv);
    EXPECT_EQ(rv, CKR_DATA_LEN_RANGE) << "a PSS digest must be as long as its hash";

    // Decryption: PKCS #1 v1.5 and OAEP with SHA-256 and a label.
    EVP_PKEY* pub = X509_get0_pubkey(me.x509());
    for (bool oaep : {false, true}) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
        ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
        unsigned char labelBytes[] = {'L', 'B'};
        if (oaep) {
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
            EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256());
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256());
            EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, OPENSSL_memdup(labelBytes, 2), 2);
        } else {
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        }
        unsigned char cipher[256];
        size_t cipherSize = sizeof cipher;
        const std::string secret = "a session key 24 bytes!!";
        ASSERT_EQ(EVP_PKEY_encrypt(ctx, cipher, &cipherSize, reinterpret_cast<const unsigned char*>(secret.data()),
                                   secret.size()),
                  1);
        EVP_PKEY_CTX_free(ctx);
        CK_RSA_PKCS_OAEP_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, labelBytes, 2};
        CK_MECHANISM mech{oaep ? CKM_RSA_PKCS_OAEP : CKM_RSA_PKCS, oaep ? &params : nullptr, oaep ? sizeof params : 0};
        ASSERT_EQ(m->C_DecryptInit(s, &mech, key), CKR_OK);
        CK_ULONG size = 0;
        ASSERT_EQ(m->C_Decrypt(s, cipher, cipherSize, nullptr, &size), CKR_OK);
        EXPECT_EQ(size, secret.size()) << "the exact size is told before the plaintext is given";
        std::string plain(size, '\0');
        ASSERT_EQ(m->C_Decrypt(s, cipher, cipherSize, reinterpret_cast<CK_BYTE*>(plain.data()), &size), CKR_OK);
        EXPECT_EQ(plain, secret) << (oaep ? "OAEP" : "PKCS #1");
    }
}

TEST(PersonalModule, TwoThreadsSignAtOnce) {
    ModuleUser user;
    auto me = personal("me", 0x80);
    user.importPersonal(me);
    LoadedModule m;
    std::atomic<int> good{0};
    auto worker = [&](int id) {
        CK_SESSION_HANDLE s = m.open();
        CK_OBJECT_HANDLE key = m.keyOf(s, "me");
        for (int i = 0; i < 20; ++i) {
            std::string data = "thread " + std::to_string(id) + " message " + std::to_string(i);
            if (verifies(me, EVP_sha256(), data, sign(m, s, key, {CKM_SHA256_RSA_PKCS, nullptr, 0}, data))) ++good;
        }
        m->C_CloseSession(s);
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();
    EXPECT_EQ(good.load(), 40);
}

TEST(PersonalModule, SeesDeletionsAndImportsOfOtherProcessesWithoutCrashing) {
    ModuleUser user;
    auto first = personal("first", 0xA0);
    auto second = personal("second", 0xA0);
    user.importPersonal(first);
    LoadedModule m;
    CK_SESSION_HANDLE s = m.open();
    CK_OBJECT_HANDLE key = m.keyOf(s, "first");
    ASSERT_NE(key, CK_INVALID_HANDLE);
    auto certs = m.findClass(s, CKO_CERTIFICATE);
    ASSERT_EQ(certs.size(), 1u);

    // A signature started before the deletion still completes; afterwards the handles are stale.
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(m->C_SignInit(s, &mech, key), CKR_OK);
    user.removePersonal(first);
    user.importPersonal(second);
    std::string data = "after the deletion";
    std::string signature(256, '\0');
    CK_ULONG size = signature.size();
    EXPECT_EQ(m->C_Sign(s, reinterpret_cast<CK_BYTE*>(data.data()), data.size(),
                        reinterpret_cast<CK_BYTE*>(signature.data()), &size),
              CKR_OK);

    // A new search sees the change; the old handles are refused, never half there.
    EXPECT_EQ(m.keyOf(s, "first"), CK_INVALID_HANDLE);
    EXPECT_NE(m.keyOf(s, "second"), CK_INVALID_HANDLE);
    CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(m->C_GetAttributeValue(s, certs[0], &value, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(m->C_SignInit(s, &mech, key), CKR_KEY_HANDLE_INVALID);
    // A handle stays the same object's while the object is there.
    CK_OBJECT_HANDLE again = m.keyOf(s, "second");
    EXPECT_EQ(again, m.keyOf(m.open(), "second"));
}

ORVIK_CHILD_ENTRY("import-many", [](const std::vector<std::string>& args) {
    for (int i = 0; i < std::stoi(args.at(0)); ++i) {
        auto r = runShell(std::string(ORVIKCTL_PATH) + " import-cert " + args.at(1) + std::to_string(i) +
                          ".pem --key " + args.at(1) + std::to_string(i) + ".key >/dev/null 2>&1");
        if (r.code != 0) return 1;
    }
    return 0;
});

TEST(PersonalModule, SearchesWhileAnotherProcessImports) {
    ModuleUser user;
    const int count = 8;
    for (int i = 0; i < count; ++i) {
        auto cert = personal("many" + std::to_string(i), 0x80);
        TestPki::save(user.file("cert" + std::to_string(i) + ".pem"), cert.pem);
        TestPki::save(user.file("cert" + std::to_string(i) + ".key"), cert.keyPem);
    }
    LoadedModule m;
    ChildProcess importer("import-many", {std::to_string(count), user.file("cert")});
    ASSERT_TRUE(importer.started());
    size_t seen = 0;
    for (int round = 0; round < 400 && seen < static_cast<size_t>(count); ++round) {
        CK_SESSION_HANDLE s = m.open();
        auto keys = m.findClass(s, CKO_PRIVATE_KEY);
        EXPECT_GE(keys.size(), seen) << "an import never takes a key away";
        seen = keys.size();
        // Every key found can be used at once.
        for (CK_OBJECT_HANDLE key : keys) {
            CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
            EXPECT_EQ(m->C_SignInit(s, &mech, key), CKR_OK);
            CK_ULONG size = 0;
            std::string data = "x";
            EXPECT_EQ(m->C_Sign(s, reinterpret_cast<CK_BYTE*>(data.data()), 1, nullptr, &size), CKR_OK);
            std::string sig(size, '\0');
            EXPECT_EQ(
                m->C_Sign(s, reinterpret_cast<CK_BYTE*>(data.data()), 1, reinterpret_cast<CK_BYTE*>(sig.data()), &size),
                CKR_OK);
        }
        m->C_CloseSession(s);
    }
    EXPECT_EQ(importer.wait(), 0);
    EXPECT_EQ(m.findClass(m.open(), CKO_PRIVATE_KEY).size(), static_cast<size_t>(count));
}
