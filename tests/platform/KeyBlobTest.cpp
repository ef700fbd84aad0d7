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

// Two 512-bit keys as OpenSSL prints them (big-endian), and their blobs laid out by hand: header,
// magic, bit length, exponent, then modulus, prime1, prime2, exponent1, exponent2, coefficient and
// private exponent, each little-endian.
struct KnownKey {
    const char* what;
    const char *n, *e, *d, *p, *q, *dp, *dq, *qi;
    const char* privateBlob;
    const char* publicBlob;
};

const KnownKey kKnownKeys[] = {
    {"exponent 65537",
     "df320862c317c1c5b7dbb037e3ddfc4b658fbc362220c6ebebd5001979ae6af0"
     "b928ec6412ce7fb079fa795a6393353093f1c65293adea39865e16652023baa3",
     "010001",
     "20b60f7e9203385606f53ea562531577e361a67ef48f8337ee6f603d5b95117d"
     "023486b0b8d554cc67f5e3843eb8fb151f733324b83447c2f6aaecfeca859571",
     "f98845dfaed38561b1d603c623c1cc25e8fadcf479c812af0b1bdca8ec2f0939",
     "e4fb01954642d7eec21c6c911fe1c7c34ddb93a0b27c2a21a506cc7e31ddeebb",
     "8a6a05e052f8afd7062f61be89dd1921ba3f554b233650eed9e9a597ea131939",
     "dde98d1d381cabdc8e6eb1a0ebff0a7472ce2c827eb7eab4f4946436a0e96ee5",
     "5ed497c118c2ae9714d0a786130cb2cbc1871086653f2cd07d9d2000346a24cb",
     "0702000000a40000"
     "52534132"
     "00020000"
     "01000100"
     "a3ba232065165e8639eaad9352c6f193303593635a79fa79b07fce1264ec28b9"
     "f06aae791900d5ebebc6202236bc8f654bfcdde337b0dbb7c5c117c3620832df"
     "39092feca8dc1b0baf12c879f4dcfae825ccc123c603d6b16185d3aedf4588f9"
     "bbeedd317ecc06a5212a7cb2a093db4dc3c7e11f916c1cc2eed742469501fbe4"
     "391913ea97a5e9d9ee5036234b553fba2119dd89be612f06d7aff852e0056a8a"
     "e56ee9a0366494f4b4eab77e822cce72740affeba0b16e8edcab1c381d8de9dd"
     "cb246a3400209d7dd02c3f65861087c1cbb20c1386a7d01497aec218c197d45e"
     "719585cafeecaaf6c24734b82433731f15fbb83e84e3f567cc54d5b8b0863402"
     "7d11955b3d606fee37838ff47ea661e377155362a53ef506563803927e0fb620",
     "0602000000a40000"
     "52534131"
     "00020000"
     "01000100"
     "a3ba232065165e8639eaad9352c6f193303593635a79fa79b07fce1264ec28b9"
     "f06aae791900d5ebebc6202236bc8f654bfcdde337b0dbb7c5c117c3620832df"},
    {"exponent 3",
     "f69442fd2fc5175962289c2c065465915ac4ba4392bde8942a3abd99cec7e0df"
     "2d8ad06d1d5742548319318b299bf258c88bab93637dc1596d9f7bf6dbecf88b",
     "03",
     "a462d753752e0f90ec1b12c8043843b63c8326d7b72945b81c27291134854093"
     "7a055ff0cc08bd7b0e610399f2f6d3d421e9b8b3062f151c581fd01652c2cd3b",
     "fd7de9a1b65fec0443ec531585da7f8274b4b4509a5b4e44478a6667144bc3df",
     "f904d6e234ea3a17a99b590eb74f351820f862363fdbd36aa1e55d6e4b7d00d5",
     "a8fe9bc1243ff2ad829d8cb903e6ffac4dcdcd8b1192342d8506eeef62dd2d3f",
     "a60339ec2346d1651bbce609cf8a23656b5041797fe7e2471698e8f4325355e3",
     "1d678d1f0b09ac121239dbd643da3718ba26af16e6dca21ba9dea2a6b8dcd788",
     "0702000000a40000"
     "52534132"
     "00020000"
     "03000000"
     "8bf8ecdbf67b9f6d59c17d6393ab8bc858f29b298b3119835442571d6dd08a2d"
     "dfe0c7ce99bd3a2a94e8bd9243bac45a916554062c9c28625917c52ffd4294f6"
     "dfc34b1467668a47444e5b9a50b4b474827fda851553ec4304ec5fb6a1e97dfd"
     "d5007d4b6e5de5a16ad3db3f3662f82018354fb70e599ba9173aea34e2d604f9"
     "3f2ddd62efee06852d3492118bcdcd4dacffe603b98c9d82adf23f24c19bfea8"
     "e3555332f4e8981647e2e77f7941506b65238acf09e6bc1b65d14623ec3903a6"
     "88d7dcb8a6a2dea91ba2dce616af26ba1837da43d6db391212ac090b1f8d671d"
     "3bcdc25216d01f581c152f06b3b8e921d4d3f6f29903610e7bbd08ccf05f057a"
     "934085341129271cb84529b7d726833cb6433804c8121bec900f2e7553d762a4",
     "0602000000a40000"
     "52534131"
     "00020000"
     "03000000"
     "8bf8ecdbf67b9f6d59c17d6393ab8bc858f29b298b3119835442571d6dd08a2d"
     "dfe0c7ce99bd3a2a94e8bd9243bac45a916554062c9c28625917c52ffd4294f6"},
};

Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<BYTE>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

void put32(Bytes& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

PKeyPtr keyOf(const KnownKey& row) {
    const std::pair<const char*, const char*> fields[] = {
        {OSSL_PKEY_PARAM_RSA_N, row.n},           {OSSL_PKEY_PARAM_RSA_E, row.e},
        {OSSL_PKEY_PARAM_RSA_D, row.d},           {OSSL_PKEY_PARAM_RSA_FACTOR1, row.p},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, row.q},     {OSSL_PKEY_PARAM_RSA_EXPONENT1, row.dp},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, row.dq},  {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, row.qi}};
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> numbers;
    for (const auto& [name, value] : fields) {
        BIGNUM* bn = nullptr;
        BN_hex2bn(&bn, value);
        numbers.push_back(bn);
        OSSL_PARAM_BLD_push_BN(bld, name, bn);
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

// The blob of any RSA key by the documented layout, for keys too large to write out by hand.
Bytes blobOf(EVP_PKEY* key, bool withPrivate) {
    const size_t k = static_cast<size_t>(EVP_PKEY_get_bits(key)) / 8, half = k / 2;
    Bytes out = hex(withPrivate ? "0702000000a4000052534132" : "0602000000a4000052534131");
    put32(out, static_cast<DWORD>(k * 8));
    auto number = [&](const char* name, size_t size) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(key, name, &bn);
        if (size == 0) {
            put32(out, static_cast<DWORD>(BN_get_word(bn)));
        } else {
            out.resize(out.size() + size);
            BN_bn2lebinpad(bn, out.data() + out.size() - size, static_cast<int>(size));
        }
        BN_clear_free(bn);
    };
    number(OSSL_PKEY_PARAM_RSA_E, 0);
    number(OSSL_PKEY_PARAM_RSA_N, k);
    if (!withPrivate) return out;
    for (const char* name : {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                             OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1})
        number(name, half);
    number(OSSL_PKEY_PARAM_RSA_D, k);
    return out;
}

struct ProvHandle {
    HCRYPTPROV h = 0;
    ~ProvHandle() { if (h) CryptReleaseContext(h, 0); }
};
struct KeyHandle {
    HCRYPTKEY h = 0;
    ~KeyHandle() { if (h) CryptDestroyKey(h); }
};

// A new container holding the blob as its key; key before provider on the way out.
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

DWORD keyParam(HCRYPTKEY key, DWORD param) {
    DWORD value = 0, size = sizeof value;
    return CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0) ? value : 0xFFFFFFFFu;
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
        ASSERT_EQ(privateBlob.size(), 20u + 9 * 64 / 2);

        Imported imported(row.what, privateBlob, CRYPT_EXPORTABLE);
        ASSERT_TRUE(imported.key.h) << std::hex << GetLastError();
        EXPECT_EQ(keyParam(imported.key.h, KP_ALGID), static_cast<DWORD>(CALG_RSA_KEYX));
        EXPECT_EQ(keyParam(imported.key.h, KP_KEYLEN), 512u);
        for (const auto& [type, expected] : {std::pair{PRIVATEKEYBLOB, privateBlob}, {PUBLICKEYBLOB, publicBlob}}) {
            DWORD size = 0;
            ASSERT_TRUE(CryptExportKey(imported.key.h, 0, type, 0, nullptr, &size)) << "the size query";
            EXPECT_EQ(size, expected.size());
            Bytes shortBuffer(expected.size() - 1);
            size = static_cast<DWORD>(shortBuffer.size());
            SetLastError(0);
            EXPECT_FALSE(CryptExportKey(imported.key.h, 0, type, 0, shortBuffer.data(), &size));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
            EXPECT_EQ(size, expected.size()) << "a short buffer learns the size";
            EXPECT_EQ(exported(imported.key.h, type), expected) << "blob type " << int(type);
        }

        // A public key on its own comes back byte for byte too.
        ProvHandle verify;
        KeyHandle pub;
        ASSERT_TRUE(CryptAcquireContextA(&verify.h, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
        ASSERT_TRUE(CryptImportKey(verify.h, publicBlob.data(), static_cast<DWORD>(publicBlob.size()), 0, 0, &pub.h));
        EXPECT_EQ(exported(pub.h, PUBLICKEYBLOB), publicBlob);
        EXPECT_TRUE(exported(pub.h, PRIVATEKEYBLOB).empty()) << "a public key has no private blob";
    }
}

TEST(KeyBlob, LargeKeyRoundTripsWithTheDocumentedSize) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Large", .bits = 4096});
    const Bytes privateBlob = blobOf(cert.key(), true);
    ASSERT_EQ(privateBlob.size(), 20u + 9 * 512 / 2);
    {
        Imported imported("large", privateBlob, CRYPT_EXPORTABLE);
        ASSERT_TRUE(imported.key.h) << std::hex << GetLastError();
        EXPECT_EQ(exported(imported.key.h, PRIVATEKEYBLOB), privateBlob);
        EXPECT_EQ(exported(imported.key.h, PUBLICKEYBLOB).size(), 20u + 512);
    }
    ProvHandle prov;
    KeyHandle key;
    ASSERT_TRUE(CryptAcquireContextA(&prov.h, "large", nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h));
    EXPECT_EQ(exported(key.h, PRIVATEKEYBLOB), privateBlob) << "the container file keeps every byte";
}

TEST(KeyBlob, MalformedBlobsAreRefused) {
    TempHome home;
    const Bytes privateBlob = hex(kKnownKeys[0].privateBlob), publicBlob = hex(kKnownKeys[0].publicBlob);
    auto setDword = [](size_t at, DWORD v) {
        return [=](Bytes& b) {
            for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
        };
    };
    struct Row {
        const char* what;
        const Bytes& base;
        std::function<void(Bytes&)> change;
        HRESULT error;
    };
    const Row rows[] = {
        {"private truncated by one byte", privateBlob, [](Bytes& b) { b.pop_back(); }, NTE_BAD_DATA},
        {"public truncated by one byte", publicBlob, [](Bytes& b) { b.pop_back(); }, NTE_BAD_DATA},
        {"private blob with magic RSA1", privateBlob, setDword(8, 0x31415352), NTE_BAD_DATA},
        {"public blob with magic RSA2", publicBlob, setDword(8, 0x32415352), NTE_BAD_DATA},
        {"bit length 0", privateBlob, setDword(12, 0), NTE_BAD_DATA},
        {"huge bit length", privateBlob, setDword(12, 0xFFFFFFF0u), NTE_BAD_DATA},
        {"bit length beyond the bytes", privateBlob, setDword(12, 1024), NTE_BAD_DATA},
        {"3DES algorithm id", privateBlob, setDword(4, CALG_3DES), NTE_BAD_DATA},
        {"PUBLICKEYBLOB type over a private body", privateBlob, [](Bytes& b) { b[0] = PUBLICKEYBLOB; }, NTE_BAD_DATA},
        // The documented errors for a version and a blob type the provider does not know.
        {"version 0x7F", privateBlob, [](Bytes& b) { b[1] = 0x7F; }, NTE_BAD_VER},
        {"unknown blob type", privateBlob, [](Bytes& b) { b[0] = 0x42; }, NTE_BAD_TYPE},
    };
    ProvHandle prov;
    ASSERT_TRUE(CryptAcquireContextA(&prov.h, "malformed", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    for (const Row& row : rows) {
        Bytes blob = row.base;
        row.change(blob);
        HCRYPTKEY key = 0;
        SetLastError(0);
        EXPECT_FALSE(CryptImportKey(prov.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key)) << row.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(row.error)) << row.what << ": 0x" << std::hex << GetLastError();
        if (key) CryptDestroyKey(key);
    }
    for (size_t length = 8; length < privateBlob.size(); ++length) {
        HCRYPTKEY key = 0;
        SetLastError(0);
        EXPECT_FALSE(CryptImportKey(prov.h, privateBlob.data(), static_cast<DWORD>(length), 0, 0, &key)) << length;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA)) << "prefix of " << length << " bytes";
        if (key) CryptDestroyKey(key);
    }
    KeyHandle none;
    SetLastError(0);
    EXPECT_FALSE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &none.h)) << "a refused blob leaves the container empty";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
}

TEST(KeyParam, ExportPermissionFollowsTheImportFlagAndPersists) {
    TempHome home;
    const Bytes privateBlob = hex(kKnownKeys[0].privateBlob);
    struct Row {
        const char* container;
        DWORD importFlags;
        bool exportable;
    };
    for (const Row& row : {Row{"exportable", CRYPT_EXPORTABLE, true}, Row{"locked", 0, false}}) {
        SCOPED_TRACE(row.container);
        auto check = [&](HCRYPTKEY key, const char* handle) {
            DWORD size = 0;
            EXPECT_TRUE(CryptGetKeyParam(key, KP_PERMISSIONS, nullptr, &size, 0)) << handle;
            EXPECT_EQ(size, 4u) << handle;
            EXPECT_EQ((keyParam(key, KP_PERMISSIONS) & CRYPT_EXPORT) != 0, row.exportable) << handle;
            SetLastError(0);
            EXPECT_EQ(exported(key, PRIVATEKEYBLOB).empty(), !row.exportable) << handle;
            if (!row.exportable) EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE)) << handle;
            EXPECT_EQ(exported(key, PUBLICKEYBLOB), hex(kKnownKeys[0].publicBlob)) << handle;
        };
        {
            Imported imported(row.container, privateBlob, row.importFlags);
            ASSERT_TRUE(imported.key.h);
            check(imported.key.h, "imported");
        }
        ProvHandle prov;
        KeyHandle key;
        ASSERT_TRUE(CryptAcquireContextA(&prov.h, row.container, nullptr, PROV_RSA_FULL, 0));
        ASSERT_TRUE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h));
        check(key.h, "reopened");
    }
}

TEST(KeyParam, CertificateIsNeverKeptWithASoftwareKey) {
    TempHome home;
    IssuedCert cert = TestPki::instance().issue({.cn = "Holder"});
    Imported imported("holder", blobOf(cert.key(), true), CRYPT_EXPORTABLE);
    ASSERT_TRUE(imported.key.h);
    SetLastError(0);
    EXPECT_FALSE(CryptSetKeyParam(imported.key.h, KP_CERTIFICATE, reinterpret_cast<const BYTE*>(cert.der.data()), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    Bytes buffer(4096);
    for (BYTE* data : {static_cast<BYTE*>(nullptr), buffer.data()}) {
        DWORD size = static_cast<DWORD>(buffer.size());
        SetLastError(0);
        EXPECT_FALSE(CryptGetKeyParam(imported.key.h, KP_CERTIFICATE, data, &size, 0)) << (data ? "fill" : "size");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED)) << (data ? "fill" : "size");
    }
}

TEST(KeyParam, PermissionsCanBeLoweredButNotRaised) {
    TempHome home;
    const Bytes privateBlob = hex(kKnownKeys[1].privateBlob);
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
        {"add an unknown bit", CRYPT_EXPORTABLE, [](DWORD p) { return p | 0x80000000u; }, false},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Imported imported(("perm" + std::to_string(n++)).c_str(), privateBlob, row.importFlags);
        ASSERT_TRUE(imported.key.h);
        const DWORD before = keyParam(imported.key.h, KP_PERMISSIONS), wanted = row.wanted(before);
        SetLastError(0);
        EXPECT_EQ(CryptSetKeyParam(imported.key.h, KP_PERMISSIONS, reinterpret_cast<const BYTE*>(&wanted), 0),
                  row.accepted ? TRUE : FALSE);
        if (!row.accepted) EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PERM));
        const DWORD after = keyParam(imported.key.h, KP_PERMISSIONS);
        EXPECT_EQ(after, row.accepted ? wanted : before);
        SetLastError(0);
        EXPECT_EQ(exported(imported.key.h, PRIVATEKEYBLOB).empty(), !(after & CRYPT_EXPORT)) << "export obeys the handle";
    }
}
