#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <openssl/objects.h>
#include <openssl/x509.h>
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

// One attribute of a name built byte for byte, for string types the test PKI does not write.
struct Entry {
    const char* oid;
    int type;  // V_ASN1_...
    std::string bytes;
    int set = 0;  // 0 starts a new RDN, -1 joins the previous one
};

std::string textOfDer(std::string der, DWORD type = CERT_X500_NAME_STR) {
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), reinterpret_cast<BYTE*>(der.data())};
    DWORD need = CertNameToStrA(X509_ASN_ENCODING, &blob, type, nullptr, 0);
    std::string out(need, '\x7f');
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, type, out.data(), need), need);
    out.pop_back();
    return out;
}

// CertNameToStrA's text for a Name encoded by OpenSSL from the given entries.
std::string textOf(const std::vector<Entry>& entries, DWORD type = CERT_X500_NAME_STR) {
    std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
    for (const Entry& e : entries) {
        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> obj(OBJ_txt2obj(e.oid, 1), ASN1_OBJECT_free);
        EXPECT_TRUE(obj) << e.oid;
        EXPECT_EQ(X509_NAME_add_entry_by_OBJ(name.get(), obj.get(), e.type,
                                             reinterpret_cast<const unsigned char*>(e.bytes.data()),
                                             static_cast<int>(e.bytes.size()), -1, e.set),
                  1)
            << e.oid;
    }
    unsigned char* der = nullptr;
    int len = i2d_X509_NAME(name.get(), &der);
    EXPECT_GT(len, 0);
    std::string bytes(reinterpret_cast<const char*>(der), len > 0 ? static_cast<size_t>(len) : 0);
    OPENSSL_free(der);
    return textOfDer(bytes, type);
}

// A short DER element (content under 128 bytes), for values OpenSSL will not put in a name.
std::string tlv(uint8_t tag, const std::string& content) {
    return std::string{static_cast<char>(tag), static_cast<char>(content.size())} + content;
}

// A Name of one attribute per RDN, each given as OID bytes and the encoded value.
std::string derName(const std::vector<std::pair<std::string, std::string>>& attrs) {
    std::string rdns;
    for (const auto& [oid, value] : attrs) rdns += tlv(0x31, tlv(0x30, tlv(0x06, oid) + value));
    return tlv(0x30, rdns);
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

TEST(CertName, TeletexValuesReadAsUtf8WhenTheyAreElseAsLatin1) {
    struct Row {
        std::string bytes;
        const char* expected;
        const char* what;
    };
    const Row rows[] = {
        {"上海数字出版社", "O=上海数字出版社", "valid UTF-8, as some authorities write it"},
        {"M\xFCller & S\xF6hne", "O=Müller & Söhne", "Latin-1 bytes that are no UTF-8"},
        {"Caf\xC3\xA9 \xE9", "O=CafÃ© é", "one bad byte makes the whole value Latin-1"},
        {"\xC0\xAF", "O=À¯", "an overlong form is no UTF-8"},
        {"\xED\xA0\x80", "O=í\xC2\xA0\xC2\x80", "nor is an encoded surrogate"},
        {"\xF4\x90\x80\x80", "O=ô\xC2\x90\xC2\x80\xC2\x80", "nor a code point past U+10FFFF"},
        {"ab\xE4\xB8", "O=abä¸", "a sequence cut short at the end"},
        {"plain", "O=plain", "ASCII reads the same either way"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(textOf({{"2.5.4.10", V_ASN1_T61STRING, row.bytes}}), row.expected) << row.what;
    EXPECT_EQ(textOf({{"2.5.4.3", V_ASN1_T61STRING, "a,\xE9"}}), "CN=\"a,é\"") << "quoted like any text";
}

TEST(CertName, EveryKeyWindowsKnowsIsWrittenAndOnlyTheRestAsOid) {
    struct Row {
        const char* oid;
        int type;
        const char* expected;
    };
    const Row rows[] = {
        {"2.5.4.13", V_ASN1_UTF8STRING, "Description=x"},
        {"2.5.4.17", V_ASN1_UTF8STRING, "PostalCode=x"},
        {"2.5.4.18", V_ASN1_UTF8STRING, "POBox=x"},
        {"2.5.4.20", V_ASN1_PRINTABLESTRING, "Phone=x"},
        {"2.5.4.24", V_ASN1_NUMERICSTRING, "X21Address=x"},
        {"2.5.4.46", V_ASN1_PRINTABLESTRING, "dnQualifier=x"},
        {"2.5.4.5", V_ASN1_PRINTABLESTRING, "SERIALNUMBER=x"},
        {"2.5.4.15", V_ASN1_UTF8STRING, "OID.2.5.4.15=x"},
        {"2.5.4.65", V_ASN1_UTF8STRING, "OID.2.5.4.65=x"},
        {"0.9.2342.19200300.100.1.1", V_ASN1_UTF8STRING, "OID.0.9.2342.19200300.100.1.1=x"},
    };
    for (const Row& row : rows) EXPECT_EQ(textOf({{row.oid, row.type, "x"}}), row.expected) << row.oid;
    EXPECT_EQ(textOf({{"2.5.4.17", V_ASN1_UTF8STRING, "100080"}}, CERT_OID_NAME_STR), "2.5.4.17=100080")
        << "keys only with CERT_X500_NAME_STR";
}

TEST(CertName, ValuesThatAreNoStringsAreHexAndNeverQuoted) {
    const std::string other("\x2A\x03\x04", 3);  // 1.2.3.4
    const std::string cn("\x55\x04\x03", 3);     // 2.5.4.3
    EXPECT_EQ(textOfDer(derName({{other, tlv(0x04, "\x01\xAB,")}})), "OID.1.2.3.4=#040301AB2C");
    EXPECT_EQ(textOfDer(derName({{cn, tlv(0x02, "\x05")}})), "CN=#020105") << "an INTEGER under a known key";
    EXPECT_EQ(textOfDer(derName({{other, tlv(0x04, "")}, {cn, tlv(0x0C, "#0400")}})), "OID.1.2.3.4=#0400, CN=\"#0400\"")
        << "a text that merely looks like hex is still quoted";
    EXPECT_EQ(textOfDer(derName({{other, tlv(0x30, tlv(0x01, std::string(1, '\xFF')))}}), CERT_SIMPLE_NAME_STR),
              "#30030101FF")
        << "a structured value, without its key";
    EXPECT_EQ(textOf({{"2.5.4.3", V_ASN1_UTF8STRING, "Bob"}, {"2.5.4.10", V_ASN1_UTF8STRING, "a+b", -1}}),
              "CN=Bob + O=\"a+b\"")
        << "text in a multi-valued RDN keeps its quotes";
}
