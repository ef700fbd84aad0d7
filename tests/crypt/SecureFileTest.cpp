// Secure files checked against OpenSSL and against what a damaged or hostile file may hold.
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <MyCertStore.h>
#include <OrvikEncFile.h>
#include <SecLog.h>
#include <SecureFile.h>
#include <windows.h>

#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::IssuedCert;
using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::TempHome;
using orvik::test::TestPki;
using orvik::test::writeFile;

namespace {

// Personal certificates with keys, imported into the home of the test.
struct People {
    std::vector<IssuedCert> certs;
    std::vector<std::unique_ptr<CDigitalCertificate>> objects;
    explicit People(int count, int bits = 2048) {
        for (int i = 0; i < count; ++i) {
            certs.push_back(
                TestPki::instance().issue({.cn = "收件人" + std::to_string(i), .keyUsage = 0x20, .bits = bits}));
            auto c = std::make_unique<CDigitalCertificate>(
                certs.back().der.data(), static_cast<int>(certs.back().der.size()), CDigitalCertificate::ENC_DER);
            EXPECT_EQ(CMyCertStore().ImportCertAndKey(*c, certs.back().keyPem), 0);
            objects.push_back(std::move(c));
        }
    }
    std::vector<CDigitalCertificate*> list() const {
        std::vector<CDigitalCertificate*> out;
        for (auto& o : objects) out.push_back(o.get());
        return out;
    }
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + 7);
    return s;
}

std::string opensslDecrypt3Des(const std::string& key, const std::string& cipher) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char iv[8] = {};
    EVP_DecryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), iv);
    std::string out(cipher.size() + 8, '\0');
    int n = 0, m = 0;
    bool ok =
        EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                          reinterpret_cast<const unsigned char*>(cipher.data()), static_cast<int>(cipher.size())) &&
        EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    return ok ? out.substr(0, static_cast<size_t>(n + m)) : "<bad>";
}

// The documented derivation, done here with OpenSSL's MD5 alone.
std::string derivedKey(const std::string& password) {
    unsigned char h[16], a[16], b[16];
    EVP_Digest(password.data(), password.size(), h, nullptr, EVP_md5(), nullptr);
    unsigned char inner[64], outer[64];
    for (int i = 0; i < 64; ++i) {
        inner[i] = static_cast<unsigned char>(0x36 ^ (i < 16 ? h[i] : 0));
        outer[i] = static_cast<unsigned char>(0x5C ^ (i < 16 ? h[i] : 0));
    }
    EVP_Digest(inner, 64, a, nullptr, EVP_md5(), nullptr);
    EVP_Digest(outer, 64, b, nullptr, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(a), 16) + std::string(reinterpret_cast<char*>(b), 8);
}

// The session key of a record, unwrapped by OpenSSL with the recipient's key.
std::string unwrap(const std::string& record, EVP_PKEY* key) {
    uint32_t length = 0;
    std::memcpy(&length, record.data() + 1172, 4);
    std::string blob = record.substr(1176, length);
    EXPECT_EQ(blob.substr(0, 12), std::string("\x01\x02\x00\x00\x03\x66\x00\x00\x00\xA4\x00\x00", 12));
    std::string cipher(blob.rbegin(), blob.rend() - 12);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_decrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    std::string out(512, '\0');
    size_t n = out.size();
    bool ok = EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                               reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok ? out.substr(0, n) : "<bad>";
}

size_t filesIn(const std::string& dir) {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) n += e.is_regular_file();
    return n;
}

}  // namespace

TEST(SecureFile, VersionZeroIsTheDocumentedDerivationAndCipher) {
    const std::string text = "a short text 明文";
    COrvikEncFile file;
    int length = 0;
    auto* in = reinterpret_cast<const unsigned char*>(text.data());
    ASSERT_EQ(file.EncryptWithPassword(in, static_cast<int>(text.size()), nullptr, length, "口令pw"), 0);
    std::string image(static_cast<size_t>(length), '\0');
    ASSERT_EQ(file.EncryptWithPassword(in, static_cast<int>(text.size()),
                                       reinterpret_cast<unsigned char*>(image.data()), length, "口令pw"),
              0);
    EXPECT_EQ(image.substr(0, 16), "OrvikFileType=0;");
    // The password travels as its code-page 936 bytes.
    EXPECT_EQ(opensslDecrypt3Des(derivedKey("\xBF\xDA\xC1\xEEpw"), image.substr(16)), text);
    EXPECT_EQ(file.EncryptWithPassword(in, 1, nullptr, length, "\xF0\x9F\x98\x80"), COrvikEncFile::Failed)
        << "no code-page form";
}

TEST(SecureFile, VersionTwoForThreeRecipientsOpensWithOpenSsl) {
    TempHome home;
    TempDir dir;
    People people(3);
    const std::string plain = pattern(5000);
    writeFile(dir.file("report.doc"), plain);
    auto r = CSecureFile::Encrypt(dir.file("report.doc"), dir.file("report.ovk"), people.list(), "");
    ASSERT_EQ(r.code, 0) << r.message;
    std::string file = readFile(dir.file("report.ovk"));
    EXPECT_EQ(file.substr(0, 16), "OrvikFileType=2;");
    EXPECT_EQ(file[16], '0');
    EXPECT_EQ(file.substr(17, 5), std::string(".doc\0", 5));
    const size_t payload = 664 + 3 * 1688;
    std::string key;
    for (int i = 0; i < 3; ++i) {
        std::string record = file.substr(664 + 1688 * static_cast<size_t>(i), 1688);
        EXPECT_EQ(record.substr(0, 15), std::string("OrvikEncStruct\0", 15));
        std::string k = unwrap(record, people.certs[static_cast<size_t>(i)].key());
        ASSERT_EQ(k.size(), 24u);
        if (i == 0) key = k;
        EXPECT_EQ(k, key) << "every record carries the one session key";
    }
    EXPECT_EQ(opensslDecrypt3Des(key, file.substr(payload)), plain);

    CSecureFile::Header header;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("report.ovk"), header));
    EXPECT_EQ(header.payloadOffset, static_cast<int64_t>(payload));
    ASSERT_EQ(header.records.size(), 3u);
    EXPECT_EQ(header.records[1].displayName, "收件人1");
    for (size_t i = 0; i < 3; ++i) {
        std::string out = dir.file("out" + std::to_string(i));
        EXPECT_EQ(CSecureFile::Decrypt(dir.file("report.ovk"), out, header, i, "").code, 0);
        EXPECT_EQ(readFile(out), plain) << "recipient " << i;
    }
}

TEST(SecureFile, VersionOneIsAnEnvelopedMessageBothWays) {
    TempHome home;
    People people(1);
    const std::string plain = pattern(777);
    COrvikEncFile file;
    int length = 0;
    auto* in = reinterpret_cast<const unsigned char*>(plain.data());
    ASSERT_EQ(file.EncryptWithCert(in, 777, nullptr, length, people.list()), 0);
    std::string image(static_cast<size_t>(length), '\0');
    ASSERT_EQ(file.EncryptWithCert(in, 777, reinterpret_cast<unsigned char*>(image.data()), length, people.list()), 0);
    image.resize(static_cast<size_t>(length));
    // OpenSSL opens ours.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(image.data()) + 16;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, length - 16);
    ASSERT_NE(p7, nullptr);
    EXPECT_EQ(OBJ_obj2nid(p7->d.enveloped->enc_data->algorithm->algorithm), NID_des_ede3_cbc);
    BIO* out = BIO_new(BIO_s_mem());
    ASSERT_EQ(PKCS7_decrypt(p7, people.certs[0].key(), people.certs[0].x509(), out, PKCS7_BINARY), 1);
    char* bytes = nullptr;
    long n = BIO_get_mem_data(out, &bytes);
    EXPECT_EQ(std::string(bytes, static_cast<size_t>(n)), plain);
    BIO_free(out);
    PKCS7_free(p7);

    // And we open OpenSSL's, whatever stands in the tag.
    STACK_OF(X509)* certs = sk_X509_new_null();
    sk_X509_push(certs, people.certs[0].x509());
    BIO* data = BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size()));
    PKCS7* theirs = PKCS7_encrypt(certs, data, EVP_des_ede3_cbc(), PKCS7_BINARY);
    unsigned char* der = nullptr;
    int size = i2d_PKCS7(theirs, &der);
    std::string foreign = "garbage tag here" + std::string(reinterpret_cast<char*>(der), static_cast<size_t>(size));
    OPENSSL_free(der);
    PKCS7_free(theirs);
    BIO_free(data);
    sk_X509_free(certs);
    int plainLength = 0;
    auto* f = reinterpret_cast<const unsigned char*>(foreign.data());
    ASSERT_EQ(file.DecryptWithCert(f, static_cast<int>(foreign.size()), nullptr, plainLength), 0);
    std::string back(static_cast<size_t>(plainLength), '\0');
    ASSERT_EQ(file.DecryptWithCert(f, static_cast<int>(foreign.size()), reinterpret_cast<unsigned char*>(back.data()),
                                   plainLength),
              0);
    EXPECT_EQ(back, plain);
    TempHome empty;
    EXPECT_EQ(file.DecryptWithCert(f, static_cast<int>(foreign.size()), nullptr, plainLength),
              COrvikEncFile::NoDecryptCert);
}

TEST(SecureFile, VersionsZeroAndOneAreOneCallEachWay) {
    TempHome home;
    TempDir dir;
    People people(1);
    const std::string plain = pattern(3000), doc = dir.file("doc.txt");
    writeFile(doc, plain);
    auto modeOf = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u;
    };

    // Version 0: the documented key of the password's code-page bytes, nothing else.
    auto r = CSecureFile::EncryptWhole(0, doc, dir.file("v0.ovk"), {}, "口令pw");
    ASSERT_EQ(r.code, CSecureFile::Ok) << r.message;
    const std::string v0 = readFile(dir.file("v0.ovk"));
    EXPECT_EQ(v0.substr(0, 16), "OrvikFileType=0;");
    EXPECT_EQ(v0.size(), 16 + (plain.size() / 8 + 1) * 8);
    EXPECT_EQ(opensslDecrypt3Des(derivedKey("\xBF\xDA\xC1\xEEpw"), v0.substr(16)), plain);
    EXPECT_EQ(modeOf(dir.file("v0.ovk")), 0600u);
    CSecureFile::Header header;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("v0.ovk"), header));
    ASSERT_EQ(header.version, 0);
    r = CSecureFile::DecryptWhole(dir.file("v0.ovk"), dir.file("v0.txt"), header, "口令pw");
    ASSERT_EQ(r.code, CSecureFile::Ok) << r.message;
    EXPECT_EQ(readFile(dir.file("v0.txt")), plain);
    EXPECT_EQ(modeOf(dir.file("v0.txt")), 0600u);
    // No check of the password exists, so a file the user has stays when asked to.
    writeFile(dir.file("mine.txt"), "the user's own");
    r = CSecureFile::DecryptWhole(dir.file("v0.ovk"), dir.file("mine.txt"), header, "口令pw",
                                  orvik::AtomicFile::Replace::No);
    EXPECT_EQ(r.code, CSecureFile::TargetExists);
    EXPECT_EQ(readFile(dir.file("mine.txt")), "the user's own");

    // Version 1 for the recipient, opened with the key of "MY"; without it, nothing is written.
    r = CSecureFile::EncryptWhole(1, doc, dir.file("v1.ovk"), people.list(), "");
    ASSERT_EQ(r.code, CSecureFile::Ok) << r.message;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("v1.ovk"), header));
    ASSERT_EQ(header.version, 1);
    r = CSecureFile::DecryptWhole(dir.file("v1.ovk"), dir.file("v1.txt"), header, "");
    ASSERT_EQ(r.code, CSecureFile::Ok) << r.message;
    EXPECT_EQ(readFile(dir.file("v1.txt")), plain);
    {
        TempHome stranger;
        r = CSecureFile::DecryptWhole(dir.file("v1.ovk"), dir.file("none.txt"), header, "");
        EXPECT_EQ(r.code, CSecureFile::NoPrivateKey);
        EXPECT_EQ(r.message, "没有可用的证书私钥！");
    }

    // Refusals, none of which leaves a file.
    EXPECT_EQ(CSecureFile::EncryptWhole(1, doc, dir.file("none.txt"), people.list(), "pw").code,
              CSecureFile::CryptoCall)
        << "a password would protect nothing";
    EXPECT_EQ(CSecureFile::EncryptWhole(0, doc, dir.file("none.txt"), people.list(), "pw").code,
              CSecureFile::CryptoCall);
    EXPECT_EQ(CSecureFile::EncryptWhole(0, doc, dir.file("none.txt"), {}, "\xF0\x9F\x98\x80").message,
              CSecureFile::kPasswordCharacters);
    r = CSecureFile::EncryptWhole(0, dir.file("missing"), dir.file("none.txt"), {}, "pw");
    EXPECT_EQ(r.code, CSecureFile::OpenSource);
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_EQ(CSecureFile::EncryptWhole(0, dir.path(), dir.file("none.txt"), {}, "pw").code, CSecureFile::OpenSource);
    EXPECT_EQ(CSecureFile::EncryptWhole(0, doc, doc, {}, "pw").code, CSecureFile::ReadWrite) << "the source itself";
    EXPECT_EQ(readFile(doc), plain);
    header.version = 2;
    EXPECT_EQ(CSecureFile::DecryptWhole(dir.file("v1.ovk"), dir.file("none.txt"), header, "").code,
              CSecureFile::StepFailed);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.txt")));
}

TEST(SecureFile, VersionZeroStepsGoToTheProgramsSinkElseToTheLog) {
    TempHome home;
    TempDir dir;
    writeFile(dir.file("doc.txt"), "text");
    ASSERT_EQ(CSecureFile::EncryptWhole(0, dir.file("doc.txt"), dir.file("doc.ovk"), {}, "pw").code, CSecureFile::Ok);
    CSecureFile::Header header;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("doc.ovk"), header));

    std::vector<std::string> seen;
    EncFileMessageSink previous = SetEncFileMessageSink(
        [&](const char* text, bool failure) { seen.push_back(std::string(failure ? "! " : "") + text); });
    EXPECT_EQ(CSecureFile::DecryptWhole(dir.file("doc.ovk"), dir.file("a.txt"), header, "pw").code, CSecureFile::Ok);
    SetEncFileMessageSink(previous);
    const std::vector<std::string> steps = {
        "A cryptographic provider has been acquired.", "A hash object has been created.",
        "The password has been added to the hash!", "An encryption key is derived from the password hash!"};
    std::vector<std::string> twice = steps;  // the size call and the fill call
    twice.insert(twice.end(), steps.begin(), steps.end());
    EXPECT_EQ(seen, twice);

    // No window: not a word on standard error, the steps in the log.
    testing::internal::CaptureStderr();
    EXPECT_EQ(CSecureFile::DecryptWhole(dir.file("doc.ovk"), dir.file("b.txt"), header, "pw").code, CSecureFile::Ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string path;
    FILE* log = CSecLog::OpenLogFile(CSecLog::LogDirectories(), &path);
    ASSERT_NE(log, nullptr);
    std::fclose(log);
    EXPECT_NE(readFile(path).find("An encryption key is derived from the password hash!"), std::string::npos) << path;
}

TEST(SecureFile, SizesAroundEveryBoundaryRoundTrip) {
    TempHome home;
    TempDir dir;
    People people(1);
    for (size_t size : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{1007}, size_t{1008}, size_t{1009},
                        size_t{(1 << 20) - 1}, size_t{1 << 20}, size_t{(1 << 20) + 1}, size_t{3 << 20}}) {
        std::string plain = pattern(size);
        writeFile(dir.file("in"), plain);
        for (const char* password : {"", "保护"}) {
            auto r = CSecureFile::Encrypt(dir.file("in"), dir.file("in.ovk"), people.list(), password);
            ASSERT_EQ(r.code, 0) << size;
            EXPECT_EQ(std::filesystem::file_size(dir.file("in.ovk")), 664 + 1688 + (size / 8 + 1) * 8) << size;
            CSecureFile::Header header;
            ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("in.ovk"), header));
            EXPECT_EQ(header.passwordSet, *password != 0);
            ASSERT_EQ(CSecureFile::Decrypt(dir.file("in.ovk"), dir.file("out"), header, 0, password).code, 0) << size;
            EXPECT_EQ(readFile(dir.file("out")), plain) << size;
        }
    }
}

TEST(SecureFile, RefusalsWriteNothing) {
    TempHome home;
    TempDir dir;
    People people(1);
    writeFile(dir.file("empty"), "");
    writeFile(dir.file("data"), pattern(3000));
    writeFile(dir.file("target"), "an existing target");
    auto list = people.list();
    EXPECT_EQ(CSecureFile::Encrypt(dir.file("empty"), dir.file("x.ovk"), list, "").code, 201);
    EXPECT_EQ(CSecureFile::Encrypt(dir.path(), dir.file("x.ovk"), list, "").code, 202) << "a folder is no source";
    EXPECT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("data"), list, "").code, 202) << "the source itself";
    symlink(dir.file("data").c_str(), dir.file("link").c_str());
    EXPECT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("link"), list, "").code, 202) << "through a link";
    EXPECT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("x.ovk"), {}, "").code, 203);
    auto bad = CSecureFile::Encrypt(dir.file("data"), dir.file("x.ovk"), list, "\xF0\x9F\x98\x80");
    EXPECT_EQ(bad.message, "密码中含有无法使用的字符，请重新输入！");
    EXPECT_FALSE(orvik::test::fileExists(dir.file("x.ovk")));
    EXPECT_EQ(readFile(dir.file("data")), pattern(3000));

    ASSERT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("p.ovk"), list, "right").code, 0);
    CSecureFile::Header header;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("p.ovk"), header));
    auto wrong = CSecureFile::Decrypt(dir.file("p.ovk"), dir.file("target"), header, 0, "wrong");
    EXPECT_EQ(wrong.message, "口令错误！");
    EXPECT_NE(wrong.code, 0);
    EXPECT_EQ(readFile(dir.file("target")), "an existing target");
    // The file's flag asks for the password, whatever the caller's copy of the header says.
    for (bool flagged : {true, false}) {
        header.passwordSet = flagged;
        auto none = CSecureFile::Decrypt(dir.file("p.ovk"), dir.file("target"), header, 0, "");
        EXPECT_EQ(none.message, "口令错误！");
        EXPECT_EQ(readFile(dir.file("target")), "an existing target");
    }
}

TEST(SecureFile, OnlyRegularFilesAreReadAndOutputsAreTheOwnersAlone) {
    TempHome home;
    TempDir dir;
    People people(1);
    auto list = people.list();
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    // A FIFO without a writer would keep a reader waiting for ever.
    EXPECT_EQ(CSecureFile::Encrypt(dir.file("fifo"), dir.file("x.ovk"), list, "").code, 202);
    CSecureFile::Header header;
    EXPECT_FALSE(CSecureFile::ReadHeader(dir.file("fifo"), header));
    EXPECT_FALSE(CSecureFile::ReadHeader("/dev/zero", header));
    EXPECT_FALSE(orvik::test::fileExists(dir.file("x.ovk")));

    writeFile(dir.file("data"), pattern(5000));
    const mode_t before = umask(0);
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("d.ovk"), list, "").code, 0);
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("d.ovk"), header));
    ASSERT_EQ(CSecureFile::Decrypt(dir.file("d.ovk"), dir.file("d.out"), header, 0, "").code, 0);
    umask(before);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("d.out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(dir.file("d.out")), pattern(5000));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4) << "no temporary file stays";
}

TEST(SecureFile, DamagedFilesGiveTheirCodeAndLeaveTheTargetAlone) {
    TempHome home;
    TempDir dir;
    People people(1);
    writeFile(dir.file("data"), pattern(4000));
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("good.ovk"), people.list(), "").code, 0);
    const std::string good = readFile(dir.file("good.ovk"));
    struct Row {
        const char* what;
        std::string bytes;
    } rows[] = {
        {"cut short", good.substr(0, good.size() - 3)},
        {"blob length 0xFFFFFFFF", good.substr(0, 664 + 1172) + "\xFF\xFF\xFF\xFF" + good.substr(664 + 1176)},
        {"blob length 0", good.substr(0, 664 + 1172) + std::string(4, '\0') + good.substr(664 + 1176)},
        {"blob damaged", good.substr(0, 664 + 1200) + "XXXX" + good.substr(664 + 1204)},
        // The last byte of the block before the last, turned over: in CBC that turns over the
        // padding byte of the last block, which then always names more than a block.
        {"payload damaged", good.substr(0, good.size() - 9) + static_cast<char>(good[good.size() - 9] ^ 0xFF) +
                                good.substr(good.size() - 8)},
        {"no payload", good.substr(0, 664 + 1688)},
    };
    for (const auto& row : rows) {
        writeFile(dir.file("bad.ovk"), row.bytes);
        writeFile(dir.file("target"), "keep me");
        CSecureFile::Header header;
        ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("bad.ovk"), header)) << row.what;
        auto r = header.records.empty() ? CSecureFile::Result{CSecureFile::StepFailed, ""}
                                        : CSecureFile::Decrypt(dir.file("bad.ovk"), dir.file("target"), header, 0, "");
        EXPECT_NE(r.code, 0) << row.what;
        EXPECT_EQ(readFile(dir.file("target")), "keep me") << row.what;
        EXPECT_EQ(filesIn(dir.path()), 4u) << row.what << ": no temporary file left";
    }
    // Recipient records without end are refused, not kept until memory runs out.
    std::string many = good.substr(0, 664);
    for (size_t i = 0; i <= CSecureFile::kMaxRecords; ++i) many += good.substr(664, 1688);
    writeFile(dir.file("bad.ovk"), many + good.substr(664 + 1688));
    CSecureFile::Header crowded;
    EXPECT_FALSE(CSecureFile::ReadHeader(dir.file("bad.ovk"), crowded));
    // An extension that would name another folder, hide a control character or lack its dot is
    // dropped; a plain one is kept.
    for (std::string ext : {std::string("/x"), std::string("/../x"), std::string(".."), std::string(".a\nb"),
                            std::string("doc"), std::string(".") + std::string(40, 'a'), std::string(".a\\b")}) {
        std::string hostile = good;
        std::memset(hostile.data() + 17, 0, 259);
        std::memcpy(hostile.data() + 17, ext.data(), ext.size());
        writeFile(dir.file("bad.ovk"), hostile);
        CSecureFile::Header header;
        ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("bad.ovk"), header));
        EXPECT_EQ(header.extension, "") << ext;
    }
    std::string plain = good;
    std::memset(plain.data() + 17, 0, 259);
    std::memcpy(plain.data() + 17, ".tar", 4);
    writeFile(dir.file("bad.ovk"), plain);
    CSecureFile::Header header;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("bad.ovk"), header));
    EXPECT_EQ(header.extension, ".tar");
}

namespace {

struct Recorder : ProgressSink {
    std::vector<int> seen;
    std::atomic<bool>* stopAt50 = nullptr;
    void percent(int value) override {
        seen.push_back(value);
        if (stopAt50 && value >= 50) *stopAt50 = true;
    }
};

}  // namespace

TEST(SecureFile, ProgressRisesAndCancelLeavesNoOutput) {
    TempHome home;
    TempDir dir;
    People people(1);
    writeFile(dir.file("big"), pattern(8 << 20));
    Recorder progress;
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("big"), dir.file("big.ovk"), people.list(), "", &progress).code, 0);
    ASSERT_FALSE(progress.seen.empty());
    EXPECT_EQ(progress.seen.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.seen.begin(), progress.seen.end()));

    std::atomic<bool> cancel{false};
    Recorder stopper;
    stopper.stopAt50 = &cancel;
    writeFile(dir.file("existing.ovk"), "old");
    EXPECT_EQ(
        CSecureFile::Encrypt(dir.file("big"), dir.file("existing.ovk"), people.list(), "", &stopper, &cancel).code,
        208);
    EXPECT_EQ(readFile(dir.file("existing.ovk")), "old");
    EXPECT_EQ(filesIn(dir.path()), 3u);
}

TEST(SecureFile, AKeyTooLargeForItsFieldIsRefusedBeforeAnyOutput) {
    TempHome home;
    TempDir dir;
    People big(1, 4096);
    writeFile(dir.file("data"), "x");
    EXPECT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("x.ovk"), big.list(), "").code, 206);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("x.ovk")));
    // The same answer before any file is named, for a recipient as it is chosen.
    EXPECT_EQ(CSecureFile::CheckRecipient(*big.list()[0]), CSecureFile::SessionKeyTooLarge);
    EXPECT_EQ(CSecureFile::CheckRecipient(*People(1).list()[0]), CSecureFile::Ok);
    EXPECT_EQ(CSecureFile::CheckRecipient(CDigitalCertificate("not a certificate", 17, CDigitalCertificate::ENC_DER)),
              CSecureFile::CopyCertificate);
}

TEST(SecureFile, MutatedFilesNeverCrashTheReader) {
    TempHome home;
    TempDir dir;
    People people(1);
    writeFile(dir.file("data"), pattern(2500));
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("data"), dir.file("good.ovk"), people.list(), "").code, 0);
    const std::string good = readFile(dir.file("good.ovk"));
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 300; ++round) {
        std::string bytes = good;
        int edits = 1 + static_cast<int>(next() % 8);
        for (int e = 0; e < edits; ++e) bytes[next() % bytes.size()] = static_cast<char>(next());
        if (round % 5 == 0) bytes.resize(next() % bytes.size());
        writeFile(dir.file("m.ovk"), bytes);
        CSecureFile::Header header;
        if (!CSecureFile::ReadHeader(dir.file("m.ovk"), header) || header.records.empty()) continue;
        // Any result will do; the sanitizers judge the run.
        [[maybe_unused]] const auto r =
            CSecureFile::Decrypt(dir.file("m.ovk"), dir.file("m.out"), header, 0, round % 2 ? "x" : "");
        std::remove(dir.file("m.out").c_str());
    }
    SUCCEED() << "the sanitizers watched every run";
}
