// Key blobs, key permissions and PFX export, checked against the layouts Windows documents.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <windows.h>

#include "support/CertHandles.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::CertPtr;
using orvik::test::contextOf;
using orvik::test::IssuedCert;
using orvik::test::StorePtr;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

using Bytes = std::vector<BYTE>;
template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;
using PKeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;
using X509Ptr = Owned<X509, X509_free>;
using Pkcs12Ptr = Owned<PKCS12, PKCS12_free>;
void freeCerts(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using CertsPtr = Owned<STACK_OF(X509), freeCerts>;

// Two 512-bit keys from openssl genrsa, their numbers big-endian as OpenSSL prints them (n, e, d,
// p, q, dmp1, dmq1, iqmp), and their blobs laid out by hand: bType, bVersion, reserved, aiKeyAlg,
// magic, bit length, exponent, then modulus, prime1, prime2, exponent1, exponent2, coefficient and
// private exponent, all little-endian.
struct KnownKey {
    const char* what;
    const char* numbers[8];
    const char* privateBlob;
    const char* publicBlob;
};

const KnownKey kKnownKeys[] = {
    {"exponent 65537",
     {"df320862c317c1c5b7dbb037e3ddfc4b658fbc362220c6ebebd5001979ae6af0"
      "b928ec6412ce7fb079fa795a6393353093f1c65293adea39865e16652023baa3",
      "010001",
      "20b60f7e9203385606f53ea562531577e361a67ef48f8337ee6f603d5b95117d"
      "023486b0b8d554cc67f5e3843eb8fb151f733324b83447c2f6aaecfeca859571",
      "f98845dfaed38561b1d603c623c1cc25e8fadcf479c812af0b1bdca8ec2f0939",
      "e4fb01954642d7eec21c6c911fe1c7c34ddb93a0b27c2a21a506cc7e31ddeebb",
      "8a6a05e052f8afd7062f61be89dd1921ba3f554b233650eed9e9a597ea131939",
      "dde98d1d381cabdc8e6eb1a0ebff0a7472ce2c827eb7eab4f4946436a0e96ee5",
      "5ed497c118c2ae9714d0a786130cb2cbc1871086653f2cd07d9d2000346a24cb"},
     "0702000000a40000525341320002000001000100"
     "a3ba232065165e8639eaad9352c6f193303593635a79fa79b07fce1264ec28b9"
     "f06aae791900d5ebebc6202236bc8f654bfcdde337b0dbb7c5c117c3620832df"
     "39092feca8dc1b0baf12c879f4dcfae825ccc123c603d6b16185d3aedf4588f9"
     "bbeedd317ecc06a5212a7cb2a093db4dc3c7e11f916c1cc2eed742469501fbe4"
     "391913ea97a5e9d9ee5036234b553fba2119dd89be612f06d7aff852e0056a8a"
     "e56ee9a0366494f4b4eab77e822cce72740affeba0b16e8edcab1c381d8de9dd"
     "cb246a3400209d7dd02c3f65861087c1cbb20c1386a7d01497aec218c197d45e"
     "719585cafeecaaf6c24734b82433731f15fbb83e84e3f567cc54d5b8b0863402"
     "7d11955b3d606fee37838ff47ea661e377155362a53ef506563803927e0fb620",
     "0602000000a40000525341310002000001000100"
     "a3ba232065165e8639eaad9352c6f193303593635a79fa79b07fce1264ec28b9"
     "f06aae791900d5ebebc6202236bc8f654bfcdde337b0dbb7c5c117c3620832df"},
    {"exponent 3",
     {"f69442fd2fc5175962289c2c065465915ac4ba4392bde8942a3abd99cec7e0df"
      "2d8ad06d1d5742548319318b299bf258c88bab93637dc1596d9f7bf6dbecf88b",
      "03",
      "a462d753752e0f90ec1b12c8043843b63c8326d7b72945b81c27291134854093"
      "7a055ff0cc08bd7b0e610399f2f6d3d421e9b8b3062f151c581fd01652c2cd3b",
      "fd7de9a1b65fec0443ec531585da7f8274b4b4509a5b4e44478a6667144bc3df",
      "f904d6e234ea3a17a99b590eb74f351820f862363fdbd36aa1e55d6e4b7d00d5",
      "a8fe9bc1243ff2ad829d8cb903e6ffac4dcdcd8b1192342d8506eeef62dd2d3f",
      "a60339ec2346d1651bbce609cf8a23656b5041797fe7e2471698e8f4325355e3",
      "1d678d1f0b09ac121239dbd643da3718ba26af16e6dca21ba9dea2a6b8dcd788"},
     "0702000000a40000525341320002000003000000"
     "8bf8ecdbf67b9f6d59c17d6393ab8bc858f29b298b3119835442571d6dd08a2d"
     "dfe0c7ce99bd3a2a94e8bd9243bac45a916554062c9c28625917c52ffd4294f6"
     "dfc34b1467668a47444e5b9a50b4b474827fda851553ec4304ec5fb6a1e97dfd"
     "d5007d4b6e5de5a16ad3db3f3662f82018354fb70e599ba9173aea34e2d604f9"
     "3f2ddd62efee06852d3492118bcdcd4dacffe603b98c9d82adf23f24c19bfea8"
     "e3555332f4e8981647e2e77f7941506b65238acf09e6bc1b65d14623ec3903a6"
     "88d7dcb8a6a2dea91ba2dce616af26ba1837da43d6db391212ac090b1f8d671d"
     "3bcdc25216d01f581c152f06b3b8e921d4d3f6f29903610e7bbd08ccf05f057a"
     "934085341129271cb84529b7d726833cb6433804c8121bec900f2e7553d762a4",
     "0602000000a40000525341310002000003000000"
     "8bf8ecdbf67b9f6d59c17d6393ab8bc858f29b298b3119835442571d6dd08a2d"
     "dfe0c7ce99bd3a2a94e8bd9243bac45a916554062c9c28625917c52ffd4294f6"},
};

// The order of KnownKey::numbers.
const char* const kKeyNames[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                 OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                 OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                 OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<BYTE>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

PKeyPtr keyOf(const KnownKey& row) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> numbers(8, nullptr);
    for (int i = 0; i < 8; ++i) {
        BN_hex2bn(&numbers[i], row.numbers[i]);
        OSSL_PARAM_BLD_push_BN(bld, kKeyNames[i], numbers[i]);
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) <= 0 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) <= 0) key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM* bn : numbers) BN_clear_free(bn);
    return PKeyPtr(key);
}

// Any RSA key's blob by the documented layout, for keys too large to write out by hand.
Bytes blobOf(EVP_PKEY* key, bool withPrivate) {
    const size_t k = static_cast<size_t>(EVP_PKEY_get_bits(key)) / 8;
    Bytes out = hex(withPrivate ? "0702000000a4000052534132" : "0602000000a4000052534131");
    auto put = [&](int index, size_t size) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(key, kKeyNames[index], &bn);
        out.resize(out.size() + size);
        BN_bn2lebinpad(bn, out.data() + out.size() - size, static_cast<int>(size));
        BN_clear_free(bn);
    };
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(k * 8 >> (8 * i)));
    put(1, 4);
    put(0, k);
    if (withPrivate) {
        for (int i = 3; i < 8; ++i) put(i, k / 2);
        put(2, k);
    }
    return out;
}

// Provider and key handles, released at the end of their scope.
struct ProvHandle {
    HCRYPTPROV h = 0;
    ~ProvHandle() {
        if (h) CryptReleaseContext(h, 0);
    }
};
struct KeyHandle {
    HCRYPTKEY h = 0;
    ~KeyHandle() {
        if (h) CryptDestroyKey(h);
    }
};

// A new container holding the blob as its key; the key handle goes before the provider's.
struct Imported {
    ProvHandle prov;
    KeyHandle key;
    Imported(const char* container, const Bytes& blob, DWORD flags) {
        if (CryptAcquireContextA(&prov.h, container, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
            CryptImportKey(prov.h, blob.data(), static_cast<DWORD>(blob.size()), 0, flags, &key.h);
    }
};

// The blob through the size query and the fill call; empty on failure, the last error kept.
Bytes exported(HCRYPTKEY key, DWORD type) {
    DWORD size = 0;
    if (!CryptExportKey(key, 0, type, 0, nullptr, &size)) return {};
    Bytes out(size);
    if (!CryptExportKey(key, 0, type, 0, out.data(), &size)) return {};
    out.resize(size);
    return out;
}

DWORD permissionsOf(HCRYPTKEY key) {
    DWORD value = 0, size = sizeof value;
    return CryptGetKeyParam(key, KP_PERMISSIONS, reinterpret_cast<BYTE*>(&value), &size, 0) ? value : 0xFFFFFFFFu;
}

}  // namespace

TEST(KeyBlob, KnownKeysExportInTheDocumentedLayout) {
    TempHome home;
    for (const KnownKey& row : kKnownKeys) {
        SCOPED_TRACE(row.what);
        PKeyPtr key = keyOf(row);
        ASSERT_TRUE(key);
        const Bytes privateBlob = hex(row.privateBlob), publicBlob = hex(row.publicBlob);
        ASSERT_EQ(blobOf(key.get(), true), privateBlob) << "the hand-laid bytes are this key's";
        ASSERT_EQ(blobOf(key.get(), false), publicBlob);

        Imported imported(row.what, privateBlob, CRYPT_EXPORTABLE);
        ASSERT_TRUE(imported.key.h) << std::hex << GetLastError();
        for (const auto& [type, expected] : {std::pair{PRIVATEKEYBLOB, privateBlob}, {PUBLICKEYBLOB, publicBlob}}) {
            DWORD size = 0;
            ASSERT_TRUE(CryptExportKey(imported.key.h, 0, type, 0, nullptr, &size)) << "the size query";
            EXPECT_EQ(size, expected.size());
            Bytes shortBuffer(expected.size() - 1);
            SetLastError(0);
            size = static_cast<DWORD>(shortBuffer.size());
            EXPECT_FALSE(CryptExportKey(imported.key.h, 0, type, 0, shortBuffer.data(), &size));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
            EXPECT_EQ(size, expected.size()) << "a short buffer learns the size";
            EXPECT_EQ(exported(imported.key.h, type), expected) << "blob type " << int(type);
        }
    }
}

TEST(KeyBlob, LargeKeyRoundTripsWithTheDocumentedSize) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Large", .bits = 4096});
    const Bytes privateBlob = blobOf(cert.key(), true);
    ASSERT_EQ(privateBlob.size(), 20u + 9 * 512 / 2);
    Imported imported("large", privateBlob, CRYPT_EXPORTABLE);
    ASSERT_TRUE(imported.key.h) << std::hex << GetLastError();
    EXPECT_EQ(exported(imported.key.h, PRIVATEKEYBLOB), privateBlob);
    const Bytes publicBlob = exported(imported.key.h, PUBLICKEYBLOB);
    EXPECT_EQ(publicBlob.size(), 20u + 512);
    EXPECT_EQ(publicBlob, blobOf(cert.key(), false));
}

TEST(KeyBlob, MalformedBlobsAreRefused) {
    TempHome home;
    const Bytes privateBlob = hex(kKnownKeys[0].privateBlob), publicBlob = hex(kKnownKeys[0].publicBlob);
    auto setDword = [](size_t at, DWORD v) {
        return [=](Bytes& b) {
            for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
        };
    };
    auto truncate = [](Bytes& b) { b.pop_back(); };
    struct Row {
        const char* what;
        const Bytes& base;
        std::function<void(Bytes&)> change;
        HRESULT error;
    };
    const Row rows[] = {
        {"private truncated by one byte", privateBlob, truncate, NTE_BAD_DATA},
        {"public truncated by one byte", publicBlob, truncate, NTE_BAD_DATA},
        {"private blob with magic RSA1", privateBlob, setDword(8, 0x31415352), NTE_BAD_DATA},
        {"public blob with magic RSA2", publicBlob, setDword(8, 0x32415352), NTE_BAD_DATA},
        {"bit length 0", privateBlob, setDword(12, 0), NTE_BAD_DATA},
        {"huge bit length", privateBlob, setDword(12, 0xFFFFFFF0u), NTE_BAD_DATA},
        {"bit length beyond the bytes", privateBlob, setDword(12, 1024), NTE_BAD_DATA},
        {"3DES algorithm id", privateBlob, setDword(4, CALG_3DES), NTE_BAD_DATA},
        {"PUBLICKEYBLOB type over a private body", privateBlob, [](Bytes& b) { b[0] = PUBLICKEYBLOB; }, NTE_BAD_DATA},
        // CryptImportKey's documented errors for a blob version and a blob type it does not know.
        {"version 0x7F", privateBlob, [](Bytes& b) { b[1] = 0x7F; }, NTE_BAD_VER},
        {"unknown blob type", privateBlob, [](Bytes& b) { b[0] = 0x42; }, NTE_BAD_TYPE},
    };
    ProvHandle prov;
    ASSERT_TRUE(CryptAcquireContextA(&prov.h, "malformed", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    auto refusal = [&](const Bytes& blob, size_t length) {
        KeyHandle key;
        SetLastError(0);
        BOOL ok = CryptImportKey(prov.h, blob.data(), static_cast<DWORD>(length), 0, 0, &key.h);
        return ok ? 0u : GetLastError();
    };
    for (const Row& row : rows) {
        Bytes blob = row.base;
        row.change(blob);
        const DWORD error = refusal(blob, blob.size());
        EXPECT_EQ(error, static_cast<DWORD>(row.error)) << row.what << ": 0x" << std::hex << error;
    }
    for (size_t length = 8; length < privateBlob.size(); ++length)
        EXPECT_EQ(refusal(privateBlob, length), static_cast<DWORD>(NTE_BAD_DATA)) << "prefix of " << length << " bytes";
    KeyHandle none;
    EXPECT_FALSE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &none.h)) << "a refused blob leaves the container empty";
}

TEST(KeyParam, ExportPermissionFollowsTheImportFlagAndPersists) {
    TempHome home;
    const Bytes privateBlob = hex(kKnownKeys[0].privateBlob), publicBlob = hex(kKnownKeys[0].publicBlob);
    for (const auto& [container, flags] : {std::pair{"exportable", CRYPT_EXPORTABLE}, {"locked", 0}}) {
        SCOPED_TRACE(container);
        const bool exportable = flags & CRYPT_EXPORTABLE;
        auto check = [&](HCRYPTKEY key, const char* handle) {
            DWORD size = 0;
            EXPECT_TRUE(CryptGetKeyParam(key, KP_PERMISSIONS, nullptr, &size, 0) && size == 4) << handle;
            EXPECT_EQ((permissionsOf(key) & CRYPT_EXPORT) != 0, exportable) << handle;
            SetLastError(0);
            EXPECT_EQ(exported(key, PRIVATEKEYBLOB), exportable ? privateBlob : Bytes()) << handle;
            EXPECT_EQ(GetLastError(), exportable ? 0u : static_cast<DWORD>(NTE_BAD_KEY_STATE)) << handle;
            EXPECT_EQ(exported(key, PUBLICKEYBLOB), publicBlob) << handle << ": the public half always leaves";
        };
        {
            Imported imported(container, privateBlob, flags);
            ASSERT_TRUE(imported.key.h);
            check(imported.key.h, "imported");
        }
        ProvHandle prov;
        KeyHandle key;
        ASSERT_TRUE(CryptAcquireContextA(&prov.h, container, nullptr, PROV_RSA_FULL, 0));
        ASSERT_TRUE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h));
        check(key.h, "reopened");
    }
}

TEST(KeyParam, CertificateIsNeverKeptWithASoftwareKey) {
    TempHome home;
    Imported imported("holder", hex(kKnownKeys[0].privateBlob), CRYPT_EXPORTABLE);
    ASSERT_TRUE(imported.key.h);
    const std::string& der = TestPki::instance().ca().der;
    SetLastError(0);
    EXPECT_FALSE(CryptSetKeyParam(imported.key.h, KP_CERTIFICATE, reinterpret_cast<const BYTE*>(der.data()), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptGetKeyParam(imported.key.h, KP_CERTIFICATE, nullptr, &size, 0)) << "not even a size";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(KeyParam, PermissionsCanBeLoweredButNotRaised) {
    TempHome home;
    struct Row {
        const char* what;
        DWORD importFlags;
        DWORD (*wanted)(DWORD current);
        bool accepted;
    };
    const Row rows[] = {
        {"drop export", CRYPT_EXPORTABLE, [](DWORD p) { return p & ~DWORD{CRYPT_EXPORT}; }, true},
        {"keep as is", CRYPT_EXPORTABLE, [](DWORD p) { return p; }, true},
        {"add export", 0, [](DWORD p) { return p | CRYPT_EXPORT; }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Imported imported(row.what, hex(kKnownKeys[1].privateBlob), row.importFlags);
        ASSERT_TRUE(imported.key.h);
        const DWORD before = permissionsOf(imported.key.h), wanted = row.wanted(before);
        SetLastError(0);
        EXPECT_EQ(CryptSetKeyParam(imported.key.h, KP_PERMISSIONS, reinterpret_cast<const BYTE*>(&wanted), 0),
                  row.accepted ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), row.accepted ? 0u : static_cast<DWORD>(NTE_PERM));
        const DWORD after = permissionsOf(imported.key.h);
        EXPECT_EQ(after, row.accepted ? wanted : before);
        EXPECT_EQ(exported(imported.key.h, PRIVATEKEYBLOB).empty(), !(after & CRYPT_EXPORT)) << "the handle decides";
        if (after != before) {
            SetLastError(0);
            EXPECT_FALSE(CryptSetKeyParam(imported.key.h, KP_PERMISSIONS, reinterpret_cast<const BYTE*>(&before), 0))
                << "what was given up stays given up";
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PERM));
        }
    }
}

namespace {

// A memory store with the certificate, its key in `container`; its chain in the CA and Root stores.
StorePtr storeWithKey(const IssuedCert& cert, const char16_t* container) {
    CertPtr ctx = contextOf(cert.der);
    char16_t provider[] = u"Microsoft Base Cryptographic Provider v1.0", name[] = u"我的证书";
    CRYPT_KEY_PROV_INFO info{const_cast<char16_t*>(container), provider, PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
    CRYPT_DATA_BLOB friendly{sizeof name, reinterpret_cast<BYTE*>(name)};
    StorePtr store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    bool ok = CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info) &&
              CertSetCertificateContextProperty(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &friendly) &&
              CertAddCertificateContextToStore(store.get(), ctx.get(), CERT_STORE_ADD_ALWAYS, nullptr);
    for (const auto& [system, issuer] :
         {std::pair{"CA", &TestPki::instance().ca()}, {"Root", &TestPki::instance().root()}}) {
        StorePtr s(CertOpenSystemStoreA(0, system));
        ok = ok && s &&
             CertAddCertificateContextToStore(s.get(), contextOf(issuer->der).get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr);
    }
    return ok ? std::move(store) : nullptr;
}

// The PFX through the size call and the fill call, parsed; null on failure, the last error kept.
Pkcs12Ptr pfxOf(HCERTSTORE store, const char16_t* password, DWORD flags) {
    CRYPT_DATA_BLOB pfx{0, nullptr};
    if (!PFXExportCertStoreEx(store, &pfx, password, nullptr, flags)) return nullptr;
    Bytes der(pfx.cbData);
    pfx.pbData = der.data();
    if (!PFXExportCertStoreEx(store, &pfx, password, nullptr, flags)) return nullptr;
    const unsigned char* p = der.data();
    return Pkcs12Ptr(d2i_PKCS12(nullptr, &p, static_cast<long>(pfx.cbData)));
}

// "algorithm/iterations" of a PKCS#12 PBE, so a mismatch reads plainly.
std::string pbeOf(const X509_ALGOR* alg) {
    const ASN1_OBJECT* oid = nullptr;
    int type = 0;
    const void* value = nullptr;
    X509_ALGOR_get0(&oid, &type, &value, alg);
    long iterations = -1;
    if (type == V_ASN1_SEQUENCE) {
        const unsigned char* p = ASN1_STRING_get0_data(static_cast<const ASN1_STRING*>(value));
        if (PBEPARAM* pbe = d2i_PBEPARAM(nullptr, &p, ASN1_STRING_length(static_cast<const ASN1_STRING*>(value)))) {
            iterations = ASN1_INTEGER_get(pbe->iter);
            PBEPARAM_free(pbe);
        }
    }
    return std::string(OBJ_nid2sn(OBJ_obj2nid(oid))) + "/" + std::to_string(iterations);
}

// A bag attribute's bytes: the localKeyID, or the friendlyName as UTF-16BE (PKCS12_get_friendlyname
// of OpenSSL 3.0 returns null for these names).
std::string attributeOf(const PKCS12_SAFEBAG* bag, int nid) {
    const ASN1_TYPE* a = PKCS12_SAFEBAG_get0_attr(bag, nid);
    if (!a || (a->type != V_ASN1_OCTET_STRING && a->type != V_ASN1_BMPSTRING)) return {};
    const ASN1_STRING* s = a->value.asn1_string;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s));
}

// What the PFX's bags carry: the PBE of each encrypted data and of each shrouded key bag, and the
// attributes of the key bag and of the certificate's bag.
struct Bags {
    std::vector<std::string> safeAlgorithms, keyAlgorithms;
    std::string keyId, keyName, certId, certName;
};

Bags bagsOf(PKCS12* p12, const char* password, X509* cert) {
    Bags out;
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes, i);
        STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
        if (OBJ_obj2nid(safe->type) == NID_pkcs7_encrypted) {
            out.safeAlgorithms.push_back(pbeOf(safe->d.encrypted->enc_data->algorithm));
            bags = PKCS12_unpack_p7encdata(safe, password, -1);
        } else {
            bags = PKCS12_unpack_p7data(safe);
        }
        for (int j = 0; j < sk_PKCS12_SAFEBAG_num(bags); ++j) {
            PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, j);
            if (PKCS12_SAFEBAG_get_nid(bag) == NID_pkcs8ShroudedKeyBag) {
                const X509_ALGOR* alg = nullptr;
                X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &alg, nullptr);
                out.keyAlgorithms.push_back(pbeOf(alg));
                out.keyId = attributeOf(bag, NID_localKeyID);
                out.keyName = attributeOf(bag, NID_friendlyName);
            } else if (X509Ptr x{PKCS12_SAFEBAG_get1_cert(bag)}; x && X509_cmp(x.get(), cert) == 0) {
                out.certId = attributeOf(bag, NID_localKeyID);
                out.certName = attributeOf(bag, NID_friendlyName);
            }
        }
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);
    return out;
}

bool contains(STACK_OF(X509) * certs, X509* wanted) {
    for (int i = 0; i < sk_X509_num(certs); ++i)
        if (X509_cmp(sk_X509_value(certs, i), wanted) == 0) return true;
    return false;
}

}  // namespace

TEST(PfxExport, KeyCertificateAndChainReadBackInOpenSsl) {
    IssuedCert cert = TestPki::instance().issue({.cn = "张三", .email = "zs@example.com"});
    const std::string tripleDes = std::string(OBJ_nid2sn(NID_pbe_WithSHA1And3_Key_TripleDES_CBC)) + "/2000";
    for (const auto& [password, utf8] : {std::pair{u"Passw0rd!", "Passw0rd!"}, {u"证书密码", "证书密码"}}) {
        SCOPED_TRACE(utf8);
        TempHome home;
        Imported imported("pfx", blobOf(cert.key(), true), CRYPT_EXPORTABLE);
        StorePtr store = storeWithKey(cert, u"pfx");
        ASSERT_TRUE(imported.key.h && store) << std::hex << GetLastError();
        Pkcs12Ptr p12 = pfxOf(store.get(), password, EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY);
        ASSERT_TRUE(p12) << std::hex << GetLastError();

        EXPECT_EQ(PKCS12_verify_mac(p12.get(), utf8, -1), 1) << "the MAC takes the password as given";
        EXPECT_NE(PKCS12_verify_mac(p12.get(), "wrong", -1), 1);
        const X509_ALGOR* macAlg = nullptr;
        const ASN1_INTEGER* macIterations = nullptr;
        PKCS12_get0_mac(nullptr, &macAlg, nullptr, &macIterations, p12.get());
        ASSERT_TRUE(macAlg && macIterations);
        const ASN1_OBJECT* macOid = nullptr;
        X509_ALGOR_get0(&macOid, nullptr, nullptr, macAlg);
        EXPECT_EQ(OBJ_obj2nid(macOid), NID_sha1);
        EXPECT_EQ(ASN1_INTEGER_get(macIterations), 2000);

        EVP_PKEY* key = nullptr;
        X509* leaf = nullptr;
        STACK_OF(X509)* chain = nullptr;
        ASSERT_EQ(PKCS12_parse(p12.get(), utf8, &key, &leaf, &chain), 1);
        PKeyPtr keyOwned(key);
        X509Ptr leafOwned(leaf);
        CertsPtr chainOwned(chain);
        EXPECT_EQ(EVP_PKEY_eq(key, cert.key()), 1);
        EXPECT_TRUE(leaf && X509_cmp(leaf, cert.x509()) == 0);
        EXPECT_TRUE(contains(chain, TestPki::instance().ca().x509())) << "the CA store's issuer travels along";
        EXPECT_TRUE(contains(chain, TestPki::instance().root().x509())) << "and the Root store's";

        const Bags bags = bagsOf(p12.get(), utf8, cert.x509());
        EXPECT_EQ(bags.safeAlgorithms, std::vector<std::string>{tripleDes}) << "the certificates, encrypted once";
        EXPECT_EQ(bags.keyAlgorithms, std::vector<std::string>{tripleDes}) << "one shrouded key bag";
        EXPECT_FALSE(bags.keyId.empty()) << "the key bag has a localKeyID";
        EXPECT_EQ(bags.certId, bags.keyId) << "the certificate names its key by the same localKeyID";
        EXPECT_FALSE(bags.keyName.empty()) << "the key bag has a friendlyName";
        EXPECT_EQ(bags.certName, std::string("\x62\x11\x76\x84\x8b\xc1\x4e\x66", 8)) << "我的证书 as a BMPString";
    }
}

TEST(PfxExport, NonExportableKeyIsReported) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Locked"});
    Imported imported("locked", blobOf(cert.key(), true), 0);
    StorePtr store = storeWithKey(cert, u"locked");
    ASSERT_TRUE(imported.key.h && store);
    SetLastError(0);
    EXPECT_FALSE(pfxOf(store.get(), u"pw", EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE)) << "0x" << std::hex << GetLastError();
}
