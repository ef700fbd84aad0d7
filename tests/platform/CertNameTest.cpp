#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "support/CertHandles.h"
#include "support/TestPki.h"

using orvik::test::Asn1Text;
using orvik::test::CertPtr;
using orvik::test::CertSpec;
using orvik::test::IssuedCert;
using orvik::test::Rdn;
using orvik::test::TestPki;

namespace {

CertPtr contextOf(const IssuedCert& cert) { return orvik::test::contextOf(cert.der); }

CertPtr issue(const CertSpec& wanted) {
    CertPtr ctx = contextOf(TestPki::instance().issue(wanted));
    EXPECT_TRUE(ctx) << "the test certificate parses";
    return ctx;
}

CertPtr withSubject(std::vector<Rdn> subject) { return issue({.subject = std::move(subject)}); }

// The whole text, through the size query the callers make first.
std::string nameToStr(PCCERT_CONTEXT ctx, DWORD type) {
    CERT_NAME_BLOB* name = &ctx->pCertInfo->Subject;
    DWORD need = CertNameToStrA(X509_ASN_ENCODING, name, type, nullptr, 0);
    std::string out(need, '\x7f');
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, name, type, out.data(), need), need);
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

std::string nameString(PCCERT_CONTEXT ctx, DWORD type, DWORD flags = 0) {
    DWORD need = CertGetNameStringA(ctx, type, flags, nullptr, nullptr, 0);
    std::string out(need, '\x7f');
    EXPECT_EQ(CertGetNameStringA(ctx, type, flags, nullptr, out.data(), need), need);
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

}  // namespace

TEST(CertName, EveryListedTypeHasItsKeyAndOthersTheirOid) {
    struct Row {
        const char* type;
        const char* value;
        Asn1Text text;
        const char* expected;
    };
    const Row rows[] = {
        {"CN", "Bob", Asn1Text::Utf8, "CN=Bob"},
        {"L", "Haidian", Asn1Text::Utf8, "L=Haidian"},
        {"O", "Orvik", Asn1Text::Utf8, "O=Orvik"},
        {"OU", "Dev", Asn1Text::Utf8, "OU=Dev"},
        {"C", "CN", Asn1Text::Printable, "C=CN"},
        {"ST", "Beijing", Asn1Text::Utf8, "S=Beijing"},
        {"street", "Main Rd 1", Asn1Text::Utf8, "STREET=Main Rd 1"},
        {"emailAddress", "bob@example.com", Asn1Text::Ia5, "E=bob@example.com"},
        {"title", "Engineer", Asn1Text::Utf8, "T=Engineer"},
        {"GN", "Bob", Asn1Text::Utf8, "G=Bob"},
        {"initials", "B.", Asn1Text::Utf8, "I=B."},
        {"SN", "Smith", Asn1Text::Utf8, "SN=Smith"},
        {"DC", "example", Asn1Text::Ia5, "DC=example"},
        {"serialNumber", "110101", Asn1Text::Printable, "SERIALNUMBER=110101"},
        {"1.2.3.4", "other", Asn1Text::Utf8, "OID.1.2.3.4=other"},
    };
    for (const Row& row : rows) {
        CertPtr ctx = withSubject({{{row.type, row.value, row.text}}});
        ASSERT_TRUE(ctx) << row.type;
        EXPECT_EQ(nameToStr(ctx.get(), CERT_X500_NAME_STR), row.expected) << row.type;
    }
}

TEST(CertName, ValuesAreQuotedWhenTheyWouldNotReadBack) {
    struct Row {
        const char* value;
        const char* expected;
    };
    const Row rows[] = {
        {"plain text", "CN=plain text"},
        {"a,b", "CN=\"a,b\""},
        {"a+b", "CN=\"a+b\""},
        {"a=b", "CN=\"a=b\""},
        {"say \"hi\"", "CN=\"say \"\"hi\"\"\""},
        {"<b>", "CN=\"<b>\""},
        {"#1", "CN=\"#1\""},
        {"a;b", "CN=\"a;b\""},
        {"two\nlines", "CN=\"two\nlines\""},
        {" lead", "CN=\" lead\""},
        {"trail ", "CN=\"trail \""},
        {"", "CN=\"\""},
        {"back\\slash", "CN=back\\slash"},
    };
    for (const Row& row : rows) {
        CertPtr ctx = withSubject({{{"CN", row.value}}});
        ASSERT_TRUE(ctx) << row.value;
        EXPECT_EQ(nameToStr(ctx.get(), CERT_X500_NAME_STR), row.expected) << "value [" << row.value << "]";
    }
}

TEST(CertName, ChineseNamesReadTheSameFromUtf8AndBmpStrings) {
    for (Asn1Text text : {Asn1Text::Utf8, Asn1Text::Bmp}) {
        CertPtr ctx = withSubject({{{"CN", "张三", text}}, {{"O", "数字证书", text}}});
        ASSERT_TRUE(ctx);
        EXPECT_EQ(nameToStr(ctx.get(), CERT_X500_NAME_STR), "CN=张三, O=数字证书") << static_cast<int>(text);
        EXPECT_EQ(nameString(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE), "张三") << static_cast<int>(text);
    }
}

TEST(CertName, RdnsKeepTheirEncodedOrderAndFlagsChangeTheSeparators) {
    // C first, as most certificates encode it; Windows prints the encoded order unless asked to reverse.
    // CN sorts before OU in the DER SET, so the multi-valued RDN is encoded in the order given.
    CertPtr ctx = withSubject({{{"C", "CN", Asn1Text::Printable}}, {{"O", "Orvik"}}, {{"CN", "Bob"}, {"OU", "Dev"}}});
    ASSERT_TRUE(ctx);
    struct Row {
        DWORD type;
        const char* expected;
    };
    const Row rows[] = {
        {CERT_X500_NAME_STR, "C=CN, O=Orvik, CN=Bob + OU=Dev"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, "CN=Bob + OU=Dev, O=Orvik, C=CN"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG, "C=CN; O=Orvik; CN=Bob + OU=Dev"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG, "C=CN\r\nO=Orvik\r\nCN=Bob + OU=Dev"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_SEMICOLON_FLAG,
         "CN=Bob + OU=Dev; O=Orvik; C=CN"},
        {CERT_SIMPLE_NAME_STR, "CN, Orvik, Bob + Dev"},
        {CERT_OID_NAME_STR, "2.5.4.6=CN, 2.5.4.10=Orvik, 2.5.4.3=Bob + 2.5.4.11=Dev"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(nameToStr(ctx.get(), row.type), row.expected) << "flags 0x" << std::hex << row.type;
}

TEST(CertName, SizeQueryCountsTheNulAndAShortBufferIsCutAndTerminated) {
    CertPtr ctx = withSubject({{{"CN", "Bob"}}});
    ASSERT_TRUE(ctx);
    CERT_NAME_BLOB* name = &ctx->pCertInfo->Subject;
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0), 7u) << "CN=Bob and the NUL";
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, small, sizeof small), 4u)
        << "a short buffer returns its own size";
    EXPECT_STREQ(small, "CN=");
    EXPECT_EQ(CertGetNameStringA(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, 3), 3u);
    EXPECT_STREQ(small, "Bo");
}

TEST(CertName, SimpleDisplayAndEmailPickTheirAttributeInOrder) {
    const Rdn e = {{"emailAddress", "dn@example.com", Asn1Text::Ia5}};
    struct Row {
        std::vector<Rdn> subject;
        std::string san;  // rfc822Name of the alternative name
        const char *display, *email, *what;
    };
    const Row rows[] = {
        {{{{"O", "Org"}}, {{"OU", "Unit"}}, {{"CN", "Bob"}}, e},
         "san@example.com",
         "Bob",
         "san@example.com",
         "CN first; the alternative name before E"},
        {{{{"O", "Org"}}, {{"OU", "Unit"}}}, "san@example.com", "Unit", "san@example.com", "OU before O in any order"},
        {{{{"L", "Town"}}, {{"O", "Org"}}, e}, "", "Org", "dn@example.com", "O; E without an alternative name"},
        {{{{"L", "Town"}}, e}, "san@example.com", "dn@example.com", "san@example.com", "E before the alternative name"},
        {{{{"L", "Town"}}}, "san@example.com", "san@example.com", "san@example.com", "the alternative name next"},
        {{}, "san@example.com", "san@example.com", "san@example.com", "an empty name with an alternative name"},
        {{{{"L", "Town"}}, {{"ST", "Province"}}}, "", "Town", "", "else the first attribute"},
        {{}, "", "", "", "nothing at all"},
    };
    for (const Row& row : rows) {
        CertPtr ctx = issue({.subject = row.subject, .email = row.san, .emailInDn = false});
        ASSERT_TRUE(ctx) << row.what;
        EXPECT_EQ(nameString(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE), row.display) << row.what;
        EXPECT_EQ(nameString(ctx.get(), CERT_NAME_EMAIL_TYPE), row.email) << row.what;
    }
}

TEST(CertName, IssuerFlagNamesTheIssuerAndNoNameGivesAnEmptyText) {
    CertPtr ctx = issue({.cn = "张三", .email = "zs@example.com"});
    ASSERT_TRUE(ctx);
    EXPECT_EQ(nameString(ctx.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG), "Orvik Test CA");
    EXPECT_EQ(nameString(ctx.get(), CERT_NAME_EMAIL_TYPE, CERT_NAME_ISSUER_FLAG), "")
        << "the subject's alternative name is not the issuer's";

    CertPtr nameless = issue({});
    ASSERT_TRUE(nameless);
    char buf[8] = {'x', 'x'};
    EXPECT_EQ(CertGetNameStringA(nameless.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buf, sizeof buf), 1u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(CertGetNameStringA(nameless.get(), CERT_NAME_EMAIL_TYPE, 0, nullptr, nullptr, 0), 1u);
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &nameless->pCertInfo->Subject, CERT_X500_NAME_STR, nullptr, 0), 1u);
}
