// What the certificate page and dialog tests share: a fresh home and folder, the facades emptied,
// and PKCS #12 files made with OpenSSL.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <ostream>
#include <string>

#include "support/TempHome.h"
#include "support/TestPki.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace orvikdesk::test {

// A PKCS #12 file of the certificate and its key (3DES, SHA-1 MAC, as Windows writes them).
std::string makePfx(const orvik::test::IssuedCert& cert, const std::string& password);
// Whether the PKCS #12 file at path opens with password.
bool pfxOpens(const std::string& path, const std::string& password);
// A contact with this name and address saved in the user's address book.
void addContact(const std::string& name, const std::string& email);

class CertUiTest : public ::testing::Test {
protected:
    CertUiTest();
    ~CertUiTest() override;

    orvik::test::TempHome home;
    orvik::test::TempDir dir;
};

}  // namespace orvikdesk::test
