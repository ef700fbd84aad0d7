// Private keys at rest: sealed with the user's key in a real Secret Service (gnome-keyring on a
// private session bus), plain 0600 files where a session has none, and a message, never a plain
// file, when the keyring is locked.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <orvik/KeyProtection.h>
#include <orvik/RegisteredCertificates.h>
#include <windows.h>

#include "support/ChildProcess.h"
#include "support/MessageBoxRecorder.h"
#include "support/SecretService.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::ChildProcess;
using orvik::test::IssuedCert;
using orvik::test::MessageBoxRecorder;
using orvik::test::NoSessionBus;
using orvik::test::readFile;
using orvik::test::SecretService;
using orvik::test::TempDir;
using orvik::test::TempHome;
using orvik::test::TestPki;
using orvik::test::writeFile;
namespace fs = std::filesystem;

namespace {

const char kLocked[] = "密钥环已锁定，无法使用私钥。请解锁后重试。";

// The key's numbers, little-endian as a PRIVATEKEYBLOB holds them, and big-endian as DER does.
struct KeyNumbers {
    std::string blob;                  // the whole PRIVATEKEYBLOB
    std::vector<std::string> secrets;  // prime1, prime2 and the private exponent, in both byte orders
};

KeyNumbers numbersOf(EVP_PKEY* key) {
    const size_t k = static_cast<size_t>(EVP_PKEY_get_bits(key)) / 8, half = k / 2;
    KeyNumbers out;
    out.blob = std::string("\x07\x02\x00\x00\x00\xA4\x00\x00RSA2", 12);
    auto put32 = [&](unsigned v) {
        for (int i = 0; i < 4; ++i) out.blob.push_back(static_cast<char>(v >> (8 * i)));
    };
    put32(static_cast<unsigned>(k * 8));
    const std::pair<const char*, size_t> fields[] = {{OSSL_PKEY_PARAM_RSA_E, 0},
                                                     {OSSL_PKEY_PARAM_RSA_N, k},
                                                     {OSSL_PKEY_PARAM_RSA_FACTOR1, half},
                                                     {OSSL_PKEY_PARAM_RSA_FACTOR2, half},
                                                     {OSSL_PKEY_PARAM_RSA_EXPONENT1, half},
                                                     {OSSL_PKEY_PARAM_RSA_EXPONENT2, half},
                                                     {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half},
                                                     {OSSL_PKEY_PARAM_RSA_D, k}};
    for (const auto& [name, size] : fields) {
        BIGNUM* bn = nullptr;
        EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1) << name;
        if (size == 0) {
            put32(static_cast<unsigned>(BN_get_word(bn)));
        } else {
            std::string le(size, '\0'), be(size, '\0');
            BN_bn2lebinpad(bn, reinterpret_cast<unsigned char*>(le.data()), static_cast<int>(size));
            BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(be.data()), static_cast<int>(size));
            out.blob += le;
            const std::string field = name;
            if (field == OSSL_PKEY_PARAM_RSA_FACTOR1 || field == OSSL_PKEY_PARAM_RSA_FACTOR2 ||
                field == OSSL_PKEY_PARAM_RSA_D) {
                out.secrets.push_back(le);
                out.secrets.push_back(be);
            }
        }
        BN_clear_free(bn);
    }
    return out;
}

// The key into a new container as its exchange key; the last error when it fails.
DWORD importInto(const char* container, const IssuedCert& cert) {
    const std::string blob = numbersOf(cert.key()).blob;
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    bool ok =
        CryptAcquireContextA(&prov, container, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
        CryptImportKey(prov, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), 0, 0, &key);
    DWORD error = ok ? 0 : GetLastError();
    if (key) CryptDestroyKey(key);
    if (prov) CryptReleaseContext(prov, 0);
    if (!ok && error == 0) error = static_cast<DWORD>(NTE_FAIL);
    return error;
}

std::string containerPath(const TempHome& home, const std::string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : name) hex += {digits[c >> 4], digits[c & 15]};
    return home.file("keys/user/" + hex + ".key");
}

bool sealedFile(const std::string& path) { return readFile(path).rfind("ORVKSEAL", 0) == 0; }
bool plainFile(const std::string& path) { return readFile(path).rfind("ORVKEY02", 0) == 0; }

// The container's key is the certificate's own.
bool holdsKeyOf(const char* container, const IssuedCert& cert) {
    auto key = orvik::loadContainerKey(container, false, AT_KEYEXCHANGE);
    return key && EVP_PKEY_eq(key.get(), cert.key()) == 1;
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
    return out;
}

const IssuedCert& keyholder() {
    static IssuedCert cert = TestPki::instance().issue({.cn = "Keyholder"});
    return cert;
}

}  // namespace

TEST(KeySealing, ContainerOnDiskHoldsNoPlaintextKeyAndOpensOnlyUnderItsName) {
    SecretService service;
    ASSERT_TRUE(service.ready());
    TempHome home;
    ASSERT_EQ(importInto("sealed", keyholder()), 0u);

    const std::string path = containerPath(home, "sealed");
    const std::string onDisk = readFile(path);
    EXPECT_TRUE(sealedFile(path));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const KeyNumbers numbers = numbersOf(keyholder().key());
    for (const std::string& secret : numbers.secrets)
        EXPECT_EQ(onDisk.find(secret), std::string::npos) << "a prime or the private exponent lies in the file";
    for (const std::string& form : {keyholder().keyDer, keyholder().keyPem, numbers.blob})
        EXPECT_EQ(onDisk.find(form), std::string::npos);

    EXPECT_TRUE(holdsKeyOf("sealed", keyholder())) << std::hex << GetLastError();
    const orvik::KeyStorageState state = orvik::keyStorage();
    EXPECT_EQ(state.storage, orvik::KeyStorage::Sealed);
    EXPECT_EQ(state.sealedContainers, 1);
    EXPECT_EQ(state.plainContainers, 0);

    // The name is bound in: the same file under another name, or altered, does not open.
    MessageBoxRecorder boxes;
    writeFile(containerPath(home, "other"), onDisk);
    std::string altered = onDisk;
    altered[altered.size() / 2] ^= 1;
    writeFile(containerPath(home, "altered"), altered);
    for (const char* name : {"other", "altered"}) {
        SetLastError(0);
        EXPECT_FALSE(orvik::loadContainerKey(name, false, AT_KEYEXCHANGE)) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET)) << name;
    }
    EXPECT_EQ(boxes.count(), 0u) << "a damaged file is no keyring problem";
}

TEST(KeySealing, PlainContainerIsSealedOnFirstUseWithAServiceAtHand) {
    TempHome home;
    {
        NoSessionBus none;
        ASSERT_EQ(importInto("migrating", keyholder()), 0u);
        EXPECT_EQ(orvik::keyStorage().storage, orvik::KeyStorage::Plain);
    }
    const std::string path = containerPath(home, "migrating");
    ASSERT_TRUE(plainFile(path));

    SecretService service;
    ASSERT_TRUE(service.ready());
    EXPECT_TRUE(holdsKeyOf("migrating", keyholder()));
    EXPECT_TRUE(sealedFile(path));
    EXPECT_TRUE(holdsKeyOf("migrating", keyholder())) << "the sealed form opens again";
    EXPECT_EQ(filesIn(home.file("keys/user")), std::vector<std::string>{fs::path(path).filename().string()})
        << "nothing but the container is left in its folder";
}

TEST(KeySealing, LockedKeyringGivesItsMessageAndNeverAPlainFile) {
    TempHome home;
    {
        NoSessionBus none;
        ASSERT_EQ(importInto("plain-before", keyholder()), 0u);
    }
    SecretService service;
    ASSERT_TRUE(service.ready());
    ASSERT_EQ(importInto("sealed", keyholder()), 0u);
    ASSERT_TRUE(service.lockKeyring());
    EXPECT_EQ(orvik::keyStorage().storage, orvik::KeyStorage::Locked);

    MessageBoxRecorder boxes;
    SetLastError(0);
    EXPECT_FALSE(orvik::loadContainerKey("sealed", false, AT_KEYEXCHANGE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PERM));
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, kLocked);

    EXPECT_NE(importInto("new-while-locked", keyholder()), 0u);
    EXPECT_EQ(boxes.last().text, "密钥环已锁定，无法保存私钥。请解锁后重试。");
    EXPECT_FALSE(fs::exists(containerPath(home, "new-while-locked"))) << "no key written in plain";

    // A key that was plain already stays usable, and stays as it was until it can be sealed.
    EXPECT_TRUE(holdsKeyOf("plain-before", keyholder()));
    EXPECT_TRUE(plainFile(containerPath(home, "plain-before")));
    EXPECT_EQ(boxes.count(), 2u);
}

TEST(KeySealing, SealedContainerWithoutItsKeyringSaysWhy) {
    TempHome home;
    {
        SecretService service;
        ASSERT_TRUE(service.ready());
        ASSERT_EQ(importInto("sealed", keyholder()), 0u);
    }
    MessageBoxRecorder boxes;
    {
        NoSessionBus none;
        SetLastError(0);
        EXPECT_FALSE(orvik::loadContainerKey("sealed", false, AT_KEYEXCHANGE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
        EXPECT_EQ(boxes.last().text, "找不到密钥环服务，无法使用受其保护的私钥。请在桌面会话中重试。");
    }
    SecretService another;  // a keyring that never held this user's sealing key
    ASSERT_TRUE(another.ready());
    EXPECT_FALSE(orvik::loadContainerKey("sealed", false, AT_KEYEXCHANGE));
    EXPECT_EQ(boxes.last().text, "密钥环中没有保护此私钥的密钥，无法使用私钥。");
    EXPECT_TRUE(sealedFile(containerPath(home, "sealed"))) << "a container that cannot be opened is left alone";
}

namespace {

// Without a Secret Service: two keys saved and used, the log's lines in args[0].
int plainKeysInChild(const std::vector<std::string>& args) {
    std::vector<std::string> lines;
    orvik::setPlatformLogHandler([&](const std::string& line) { lines.push_back(line); });
    bool ok = importInto("first", keyholder()) == 0 && importInto("second", keyholder()) == 0 &&
              holdsKeyOf("first", keyholder()) && holdsKeyOf("second", keyholder());
    std::ofstream out(args.at(0));
    for (const auto& line : lines) out << line << "\n";
    return ok ? 0 : 1;
}
ORVIK_CHILD_ENTRY("plain-keys", plainKeysInChild);

}  // namespace

TEST(KeySealing, WithoutASecretServiceKeysStayPlainAndTheLogSaysSoOnce) {
    TempDir logs;
    // No session bus at all, and a bus on which no Secret Service runs: both are a bare session.
    for (bool bus : {false, true}) {
        TempHome home;
        std::unique_ptr<NoSessionBus> none;
        std::unique_ptr<SecretService> busOnly;
        if (bus) {
            busOnly = std::make_unique<SecretService>(SecretService::Start::BusOnly);
            ASSERT_TRUE(busOnly->ready());
        } else {
            none = std::make_unique<NoSessionBus>();
        }
        const std::string log = logs.file(bus ? "bus.log" : "none.log");
        ChildProcess child("plain-keys", {log});
        ASSERT_EQ(child.wait(), 0) << "bus: " << bus;
        const std::string lines = readFile(log);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
        EXPECT_NE(lines.find("No Secret Service"), std::string::npos) << lines;
        for (const char* name : {"first", "second"}) {
            const std::string path = containerPath(home, name);
            EXPECT_TRUE(plainFile(path)) << name;
            struct stat st {};
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
        }
        const orvik::KeyStorageState state = orvik::keyStorage();
        EXPECT_EQ(state.storage, orvik::KeyStorage::Plain);
        EXPECT_EQ(state.plainContainers, 2);
    }
}
