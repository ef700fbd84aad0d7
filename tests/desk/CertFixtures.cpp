#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "CertFixtures.h"

#include <OEAddrBook.h>
#include <orvik/Owned.h>
#include <wabtags.h>

#include "dialogs/CertificateViewer.h"
#include "ui/FileDialogFacade.h"
#include "ui/MessageBoxFacade.h"

namespace orvikdesk::test {

std::string makePfx(const orvik::test::IssuedCert& cert, const std::string& password) {
    orvik::Owned<PKCS12, PKCS12_free> p12(PKCS12_create(password.c_str(), "backup", cert.key(), cert.x509(), nullptr,
                                                        NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                                                        NID_pbe_WithSHA1And3_Key_TripleDES_CBC, 2000, -1, 0));
    EXPECT_NE(p12, nullptr);
    if (!p12) return {};
    PKCS12_set_mac(p12.get(), password.c_str(), -1, nullptr, 0, 2000, EVP_sha1());
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12.get(), &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

bool pfxOpens(const std::string& path, const std::string& password) {
    std::string bytes = orvik::test::readFile(path);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    orvik::Owned<PKCS12, PKCS12_free> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p12) return false;
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    int rc = PKCS12_parse(p12.get(), password.c_str(), &key, &cert, nullptr);
    orvik::Owned<EVP_PKEY, EVP_PKEY_free> ownedKey(key);
    orvik::Owned<X509, X509_free> ownedCert(cert);
    return rc == 1 && ownedKey && ownedCert;
}

CertUiTest::CertUiTest() {
    MessageBoxFacade::clear();
    FileDialogFacade::clear();
    CCertificateViewer::clearShown();
}

CertUiTest::~CertUiTest() {
    MessageBoxFacade::clear();
    FileDialogFacade::clear();
}

void addContact(const std::string& name, const std::string& email) {
    COEAddrBook book;
    CContact c;
    c.setNewEntry(1);
    c.findField(PR_DISPLAY_NAME)->setValue(name.c_str());
    c.findField(PR_EMAIL_ADDRESS)->setValue(email.c_str());
    ASSERT_EQ(book.SaveContact(&c), 0);
}

}  // namespace orvikdesk::test
