// Certificates whose keys live on a PKCS#11 token: a SoftHSM2 token reached through p11-kit.
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <p11-kit/p11-kit.h>

#include <cstring>
#include <deque>
#include <set>
#include <string>

#include <orvik/CodePage.h>
#include <orvik/Tokens.h>
#include <windows.h>

#include "BBuffer.h"
#include "DigitalCertificate.h"
#include "Encodings.h"
#include "MyCertStore.h"
#include "SecureFile.h"
#include "support/SoftToken.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using namespace orvik::test;

namespace {

// Answers PIN questions from a queue and records them; an empty queue declines.
class PinAnswers {
public:
    PinAnswers() {
        previous_ = orvik::setPinHandler([this](const orvik::PinRequest& r, std::string& pin) {
            asked.push_back(r);
            if (answers.empty()) return false;
            pin = answers.front();
            answers.pop_front();
            return true;
        });
    }
    ~PinAnswers() { orvik::setPinHandler(std::move(previous_)); }
    std::deque<std::string> answers;
    std::vector<orvik::PinRequest> asked;

private:
    orvik::PinHandler previous_;
};

struct Imported {
    IssuedCert cert;
    std::unique_ptr<CDigitalCertificate> object;
};

Imported importOntoToken(const SoftToken& token, const TempDir& dir, PinAnswers& pins, const std::string& cn) {
    Imported out{TestPki::instance().issue({.cn = cn, .email = "zs@example.com", .keyUsage = 0xA0}), nullptr};
    TestPki::save(dir.file(cn + ".p12"), TestPki::pkcs12(out.cert, "p12pass"));
    pins.answers.push_back(SoftToken::kUserPin);
    EXPECT_EQ(CMyCertStore().ImportP12(token.label().c_str(), dir.file(cn + ".p12").c_str(), "p12pass"), 0);
    out.object = std::make_unique<CDigitalCertificate>(out.cert.der.data(), static_cast<int>(out.cert.der.size()),
                                                       CDigitalCertificate::ENC_DER);
    return out;
}

// "in.ovk" holding "text", for the imported certificate alone.
CSecureFile::Header secureFileFor(const Imported& imported, const TempDir& dir) {
    writeFile(dir.file("in.txt"), "text");
    EXPECT_EQ(CSecureFile::Encrypt(dir.file("in.txt"), dir.file("in.ovk"), {imported.object.get()}, "").code, 0);
    CSecureFile::Header header;
    EXPECT_TRUE(CSecureFile::ReadHeader(dir.file("in.ovk"), header));
    return header;
}

CDigitalCertificate* inMyStore(CMyCertStore& my, const IssuedCert& cert) {
    my.OpenCertStore();
    std::string thumb = BinToThumb(cert.sha1);
    return my.FindByThumb(thumb);
}

// A session of our own on the SoftHSM2 token, beside the platform's, to look at what it holds.
class DirectView {
public:
    explicit DirectView(const std::string& label) {
        modules_ = p11_kit_modules_load_and_initialize(0);
        for (CK_FUNCTION_LIST** m = modules_; m && *m && !f_; ++m) {
            CK_SLOT_ID slots[8];
            CK_ULONG n = 8;
            if ((*m)->C_GetSlotList(CK_TRUE, slots, &n) != CKR_OK) continue;
            for (CK_ULONG i = 0; i < n && !f_; ++i) {
                CK_TOKEN_INFO info{};
                (*m)->C_GetTokenInfo(slots[i], &info);
                std::string l(reinterpret_cast<char*>(info.label), sizeof info.label);
                l.erase(l.find_last_not_of(' ') + 1);
                if (l != label) continue;
                f_ = *m;
                f_->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
                f_->C_Login(session_, CKU_USER, (CK_UTF8CHAR*)SoftToken::kUserPin, 6);
            }
        }
    }
    ~DirectView() {
        if (f_) f_->C_CloseSession(session_);
        p11_kit_modules_finalize_and_release(modules_);
    }
    std::vector<CK_OBJECT_HANDLE> find(CK_OBJECT_CLASS kind) {
        std::vector<CK_OBJECT_HANDLE> out;
        CK_ATTRIBUTE t{CKA_CLASS, &kind, sizeof kind};
        if (!f_ || f_->C_FindObjectsInit(session_, &t, 1) != CKR_OK) return out;
        CK_OBJECT_HANDLE h[16];
        CK_ULONG n = 0;
        while (f_->C_FindObjects(session_, h, 16, &n) == CKR_OK && n) out.insert(out.end(), h, h + n);
        f_->C_FindObjectsFinal(session_);
        return out;
    }
    CK_RV attribute(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type, std::string& value) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        CK_RV rv = f_->C_GetAttributeValue(session_, o, &a, 1);
        if (rv != CKR_OK) return rv;
        value.assign(a.ulValueLen, '\0');
        a.pValue = value.data();
        return f_->C_GetAttributeValue(session_, o, &a, 1);
    }
    bool flag(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        std::string v;
        return attribute(o, type, v) == CKR_OK && v.size() == 1 && v[0] == CK_TRUE;
    }

private:
    CK_FUNCTION_LIST** modules_ = nullptr;
    CK_FUNCTION_LIST* f_ = nullptr;
    CK_SESSION_HANDLE session_ = 0;
};

// A fresh state folder, a fresh token with its PIN questions answered, a folder of files.
class Token : public ::testing::Test {
protected:
    TempHome home;
    TempDir dir;
    SoftToken token;
    PinAnswers pins;
};

}  // namespace

TEST_F(Token, ImportedPkcs12KeyStaysOnTheTokenAndItsCertificateIsListed) {
    auto imported = importOntoToken(token, dir, pins, "张三");
    ASSERT_EQ(pins.asked.size(), 1u);
    EXPECT_EQ(pins.asked[0].token, token.label());

    auto tokens = orvik::listTokens();
    ASSERT_EQ(tokens.size(), 1u);
    ASSERT_EQ(tokens[0].certificates.size(), 1u);
    EXPECT_EQ(tokens[0].certificates[0].label, "张三");
    EXPECT_TRUE(tokens[0].certificates[0].hasKey);

    CMyCertStore my;
    CDigitalCertificate* listed = inMyStore(my, imported.cert);
    ASSERT_NE(listed, nullptr);
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(listed->getPCCERT(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<BYTE> buf(size);
    ASSERT_TRUE(CertGetCertificateContextProperty(listed->getPCCERT(), CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size));
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    EXPECT_EQ(orvik::utf16ToUtf8(info->pwszProvName), token.label());
    EXPECT_EQ(orvik::utf16ToUtf8(info->pwszContainerName), tokens[0].certificates[0].container);

    std::string p12;
    EXPECT_EQ(my.ExportP12Bytes(*listed, "x", p12), 5) << "a token key is never exported";

    // Nothing of it went into the registry's personal store, nor into a key file.
    HKEY key = nullptr;
    DWORD subKeys = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\SystemCertificates\\MY\\Certificates", 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
        char name[64];
        while (RegEnumKeyA(key, subKeys, name, sizeof name) == ERROR_SUCCESS) ++subKeys;
        RegCloseKey(key);
    }
    EXPECT_EQ(subKeys, 0u);

    // The token holds one pair and the certificate; the private key is sensitive and stays.
    DirectView view(token.label());
    auto privateKeys = view.find(CKO_PRIVATE_KEY);
    ASSERT_EQ(privateKeys.size(), 1u);
    EXPECT_EQ(view.find(CKO_PUBLIC_KEY).size(), 1u);
    EXPECT_EQ(view.find(CKO_CERTIFICATE).size(), 1u);
    EXPECT_TRUE(view.flag(privateKeys[0], CKA_SENSITIVE));
    EXPECT_FALSE(view.flag(privateKeys[0], CKA_EXTRACTABLE));
    std::string exponent;
    EXPECT_EQ(view.attribute(privateKeys[0], CKA_PRIVATE_EXPONENT, exponent), CKR_ATTRIBUTE_SENSITIVE);
}

TEST_F(Token, ImportingTheSameFileAgainKeepsOnePairAndCertificate) {
    auto first = importOntoToken(token, dir, pins, "王五");
    pins.answers.push_back(SoftToken::kUserPin);
    ASSERT_EQ(CMyCertStore().ImportP12(token.label().c_str(), dir.file("王五.p12").c_str(), "p12pass"), 0);
    DirectView view(token.label());
    EXPECT_EQ(view.find(CKO_PRIVATE_KEY).size(), 1u);
    EXPECT_EQ(view.find(CKO_PUBLIC_KEY).size(), 1u);
    EXPECT_EQ(view.find(CKO_CERTIFICATE).size(), 1u);
    CMyCertStore my;
    my.OpenCertStore();
    EXPECT_EQ(my.GetCertCount(), 1);
}

TEST_F(Token, SignsWithTheTokenKeyAndTheSignatureVerifies) {
    auto imported = importOntoToken(token, dir, pins, "赵六");
    CMyCertStore my;
    CDigitalCertificate* cert = inMyStore(my, imported.cert);
    ASSERT_NE(cert, nullptr);
    CBBuffer content, signature;
    content.AttachBuffer("signed by a token", 17);
    ASSERT_EQ(cert->SignMessage(content, signature), 0);
    std::unique_ptr<CDigitalCertificate> signer(CDigitalCertificate::VerifyMessage(content, signature));
    ASSERT_NE(signer, nullptr);

    // OpenSSL agrees, with nothing but the certificate.
    const unsigned char* p = signature.GetBuffer();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, signature.size());
    ASSERT_NE(p7, nullptr);
    BIO* data = BIO_new_mem_buf("signed by a token", 17);
    STACK_OF(X509)* signers = sk_X509_new_null();
    sk_X509_push(signers, imported.cert.x509());
    EXPECT_EQ(PKCS7_verify(p7, signers, nullptr, data, nullptr, PKCS7_NOVERIFY | PKCS7_NOINTERN | PKCS7_BINARY), 1);
    sk_X509_free(signers);
    BIO_free(data);
    PKCS7_free(p7);
}

TEST_F(Token, APinIsAskedAgainAfterAWrongOneAndDecliningGivesClearMessages) {
    auto imported = importOntoToken(token, dir, pins, "钱七");
    CSecureFile::Header header = secureFileFor(imported, dir);

    struct Row {
        const char* what;
        std::deque<std::string> answers;
        const char* message;  // null: decrypts
        size_t questions;
    } rows[] = {
        {"declined", {}, "没有输入设备的PIN码，操作已取消。", 1},
        {"wrong, then declined", {"000000"}, "PIN码错误！", 2},
        {"wrong, then right", {"000000", SoftToken::kUserPin}, nullptr, 2},
    };
    for (const Row& row : rows) {
        orvik::resetTokens();
        pins.asked.clear();
        pins.answers = row.answers;
        auto r = CSecureFile::Decrypt(dir.file("in.ovk"), dir.file("out.txt"), header, 0, "");
        if (row.message) {
            EXPECT_EQ(r.code, CSecureFile::StepFailed) << row.what;
            EXPECT_EQ(r.message, row.message) << row.what;
        } else {
            EXPECT_EQ(r.code, 0) << row.what << ": " << r.message;
            EXPECT_EQ(readFile(dir.file("out.txt")), "text") << row.what;
        }
        ASSERT_EQ(pins.asked.size(), row.questions) << row.what;
        EXPECT_FALSE(pins.asked[0].retry) << row.what;
        if (row.questions > 1) {
            EXPECT_TRUE(pins.asked[1].retry) << row.what;
        }
    }
}

TEST_F(Token, ATokenTakenOutTakesItsCertificatesAlongAndBringsThemBack) {
    auto imported = importOntoToken(token, dir, pins, "孙八");
    CSecureFile::Header header = secureFileFor(imported, dir);

    CMyCertStore held;  // a list opened while the token was there
    ASSERT_NE(inMyStore(held, imported.cert), nullptr);
    token.remove();
    CMyCertStore my;
    EXPECT_EQ(inMyStore(my, imported.cert), nullptr);
    EXPECT_TRUE(orvik::listTokens().empty());
    HCRYPTPROV prov = 0;
    std::string thumb = BinToThumb(imported.cert.sha1);
    EXPECT_FALSE(
        CryptAcquireCertificatePrivateKey(held.FindByThumb(thumb)->getPCCERT(), 0, nullptr, &prov, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_E_NO_SMARTCARD));
    auto r = CSecureFile::Decrypt(dir.file("in.ovk"), dir.file("out.txt"), header, 0, "");
    EXPECT_EQ(r.message, "没有可用的证书");

    token.insert();
    CMyCertStore again;
    EXPECT_NE(inMyStore(again, imported.cert), nullptr);
    pins.answers.push_back(SoftToken::kUserPin);
    r = CSecureFile::Decrypt(dir.file("in.ovk"), dir.file("out.txt"), header, 0, "");
    EXPECT_EQ(r.code, 0) << r.message;
}

TEST_F(Token, FriendlyNameAndDeletionGoToTheToken) {
    auto imported = importOntoToken(token, dir, pins, "周九");
    {
        CMyCertStore my;
        CDigitalCertificate* cert = inMyStore(my, imported.cert);
        ASSERT_NE(cert, nullptr);
        std::string name = "我的签名证书";
        ASSERT_EQ(cert->setFriendlyName(name), 0);
    }
    orvik::resetTokens();
    auto tokens = orvik::listTokens();
    ASSERT_EQ(tokens.size(), 1u);
    ASSERT_EQ(tokens[0].certificates.size(), 1u);
    EXPECT_EQ(tokens[0].certificates[0].label, "我的签名证书");

    CMyCertStore my;
    ASSERT_NE(inMyStore(my, imported.cert), nullptr);
    ASSERT_TRUE(my.Remove(0));
    EXPECT_TRUE(orvik::listTokens()[0].certificates.empty());
    DirectView view(token.label());
    EXPECT_EQ(view.find(CKO_PRIVATE_KEY).size(), 1u) << "the key pair stays, as a software container does";
}

TEST_F(Token, TheImportDialogsDevicesAreTheSoftwareProvidersThenTheTokens) {
    token.addToken("Second Token");
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name, type = 0;
        if (!CryptEnumProvidersA(i, nullptr, 0, &type, name, &size)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        EXPECT_EQ(type, static_cast<DWORD>(PROV_RSA_FULL));
        names.push_back(name);
    }
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], MS_DEF_PROV_A);
    // The tokens in their slots' order, which SoftHSM2 does not fix.
    std::set<std::string> tokens(names.begin() + 3, names.end());
    EXPECT_EQ(tokens, (std::set<std::string>{token.label(), "Second Token"}));

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, "Second Token", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    DWORD implementation = 0, size = sizeof implementation;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_IMPTYPE, reinterpret_cast<BYTE*>(&implementation), &size, 0));
    EXPECT_EQ(implementation, static_cast<DWORD>(CRYPT_IMPL_HARDWARE));
    CryptReleaseContext(prov, 0);
    EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, "No Such Token", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_E_NO_SMARTCARD));
}

TEST_F(Token, DecryptsASecureFileWrittenForItsCertificateAskingThePinOnce) {
    auto imported = importOntoToken(token, dir, pins, "李四");
    orvik::resetTokens();  // a new session: the PIN is asked again, once
    pins.asked.clear();
    writeFile(dir.file("plain.txt"), "token secret text");
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("plain.txt"), dir.file("plain.ovk"), {imported.object.get()}, "").code, 0);
    CSecureFile::Header header;
    ASSERT_TRUE(CSecureFile::ReadHeader(dir.file("plain.ovk"), header));
    pins.answers.push_back(SoftToken::kUserPin);
    auto r = CSecureFile::Decrypt(dir.file("plain.ovk"), dir.file("out1.txt"), header, 0, "");
    ASSERT_EQ(r.code, 0) << r.message;
    r = CSecureFile::Decrypt(dir.file("plain.ovk"), dir.file("out2.txt"), header, 0, "");
    ASSERT_EQ(r.code, 0) << r.message;
    EXPECT_EQ(readFile(dir.file("out1.txt")), "token secret text");
    EXPECT_EQ(readFile(dir.file("out2.txt")), "token secret text");
    EXPECT_EQ(pins.asked.size(), 1u);
}
