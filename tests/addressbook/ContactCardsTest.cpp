#include <gtest/gtest.h>

#include <string>

#include <ContactCards.h>

#include "WabFixture.h"
#include "support/TestPki.h"

using namespace orvik::test;

namespace {

std::string base64(const std::string& der) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < der.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(der[i]) << 16;
        if (i + 1 < der.size()) v |= static_cast<unsigned char>(der[i + 1]) << 8;
        if (i + 2 < der.size()) v |= static_cast<unsigned char>(der[i + 2]);
        out += a[(v >> 18) & 63];
        out += a[(v >> 12) & 63];
        out += i + 1 < der.size() ? a[(v >> 6) & 63] : '=';
        out += i + 2 < der.size() ? a[v & 63] : '=';
    }
    return out;
}

// Every value a list or dialog shows, for comparing contacts across books.
std::string describe(CContact& c) {
    std::vector<COEWABProperty*> fields;
    c.getFields(fields);
    std::string out;
    for (auto* f : fields) {
        out += f->getStrValue();
        out += '|';
        for (int i = 0; i < f->getVSize(); ++i)
            out += std::string(reinterpret_cast<char*>(f->getVValue(i)->GetBuffer()), f->getVValue(i)->size()) + ',';
        SYSTEMTIME t = f->getTime();
        out += std::to_string(t.wYear * 10000 + t.wMonth * 100 + t.wDay) + ';';
    }
    return out;
}

}  // namespace

TEST(ContactCards, ImportsCardsWithCertificatesAndExportsThemBack) {
    TempHome home;
    setWabPath(ORVIKWAB_PATH);
    auto cert = TestPki::instance().issue({.cn = "张三", .email = "zs@example.com"});
    TempDir dir;
    std::string card =
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:张三\r\nN:张;三;;;\r\n"
        "EMAIL;TYPE=INTERNET:zs@work.example.com\r\nEMAIL;TYPE=INTERNET,PREF:zs@example.com\r\n"
        "TEL;TYPE=CELL:13800000000\r\nTEL;TYPE=WORK,VOICE:010-1234\r\n"
        "ADR;TYPE=WORK:;;长安街1号;北京;;100000;中国\r\nORG:示例公司;研发部\r\nTITLE:工程师\r\n"
        "NOTE:第一行\\n第二行\r\nBDAY:1980-04-15\r\nKEY;TYPE=X509;ENCODING=b:" +
        base64(cert.der) +
        "\r\nEND:VCARD\r\nBEGIN:VCARD\r\nVERSION:4.0\r\nFN:Li Si\r\n"
        "EMAIL:ls@example.com\r\nEND:VCARD\r\n";
    writeFile(dir.file("in.vcf"), card);

    COEAddrBook book;
    COtherCertStore store;
    CContactCards::Result result;
    ASSERT_EQ(CContactCards::Import(dir.file("in.vcf"), book, store, result), 0) << result.error;
    EXPECT_EQ(result.imported, 2);
    EXPECT_EQ(result.certificates, 1);
    // Importing the same file again adds nothing.
    ASSERT_EQ(CContactCards::Import(dir.file("in.vcf"), book, store, result), 0);
    EXPECT_EQ(result.imported, 0);
    EXPECT_EQ(result.duplicates, 2);

    ASSERT_EQ(book.GetContacts(), 0);
    ASSERT_EQ(book.GetContactCount(), 2);
    CContact* zs = book.getContact(0);
    EXPECT_EQ(zs->getEmail(), "zs@example.com");
    EXPECT_STREQ(zs->findField(PR_MOBILE_TELEPHONE_NUMBER)->getStrValue(), "13800000000");
    EXPECT_STREQ(zs->findField(PR_BUSINESS_ADDRESS_CITY)->getStrValue(), "北京");
    EXPECT_STREQ(zs->findField(PR_DEPARTMENT_NAME)->getStrValue(), "研发部");
    EXPECT_STREQ(zs->findField(PR_COMMENT)->getStrValue(), "第一行\n第二行");
    ASSERT_EQ(store.OpenCertStore(), 0);
    ASSERT_NE(zs->getDefaultCert(&store), nullptr);

    std::vector<std::string> before;
    for (CContact* c : book.getContacts()) before.push_back(describe(*c));
    for (auto version : {CVCard::V21, CVCard::V30, CVCard::V40}) {
        ASSERT_EQ(CContactCards::Export(dir.file("out.vcf"), book, store, version), 0);
        TempHome fresh;
        setWabPath(ORVIKWAB_PATH);
        COEAddrBook other;
        COtherCertStore otherStore;
        ASSERT_EQ(CContactCards::Import(dir.file("out.vcf"), other, otherStore, result), 0) << result.error;
        ASSERT_EQ(other.GetContacts(), 0);
        std::vector<std::string> after;
        for (CContact* c : other.getContacts()) after.push_back(describe(*c));
        EXPECT_EQ(after, before) << "version " << version;
        ASSERT_EQ(otherStore.OpenCertStore(), 0);
        EXPECT_NE(other.getContact(0)->getDefaultCert(&otherStore), nullptr) << "version " << version;
    }
}

TEST(ContactCards, ADamagedCardIsLeftOutAndTheOthersImported) {
    TempHome home;
    setWabPath(ORVIKWAB_PATH);
    TempDir dir;
    // The same person twice, mixed line ends, a stray CR in a name, a damaged card in the middle
    // and a cut one at the end.
    writeFile(dir.file("mixed.vcf"),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:好的\r\nEMAIL:ok@example.com\r\nEND:VCARD\r\n"
              "BEGIN:VCARD\nVERSION:3.0\nFN:坏的\nKEY;TYPE=X509;ENCODING=b:MIIB*AA=\nEND:VCARD\n"
              "BEGIN:VCARD\nVERSION:4.0\nFN:好的\nEMAIL:ok@example.com\nEND:VCARD\n"
              "BEGIN:VCARD\r\r\nVERSION:3.0\r\r\nFN:王\r五\r\r\nEMAIL:ww@example.com\r\r\nEND:VCARD\r\r\n"
              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:截断\r\n");
    COEAddrBook book;
    COtherCertStore store;
    CContactCards::Result result;
    ASSERT_EQ(CContactCards::Import(dir.file("mixed.vcf"), book, store, result), 0) << result.error;
    EXPECT_EQ(result.imported, 2);
    EXPECT_EQ(result.duplicates, 1);
    ASSERT_EQ(result.damaged.size(), 2u);
    EXPECT_EQ(result.damaged[0].card, 2);
    EXPECT_EQ(result.damaged[0].name, "坏的");
    EXPECT_NE(result.damaged[0].error.find("line 9: invalid base64 in KEY"), std::string::npos)
        << result.damaged[0].error;
    EXPECT_EQ(result.damaged[1].card, 5);
    EXPECT_EQ(result.damaged[1].name, "截断");
    EXPECT_NE(result.damaged[1].error.find("without END:VCARD"), std::string::npos) << result.damaged[1].error;
    ASSERT_EQ(book.GetContacts(), 0);
    ASSERT_EQ(book.GetContactCount(), 2);
    for (CContact* c : book.getContacts())
        for (unsigned char ch : c->getDisplayName()) EXPECT_GE(ch, 0x20) << c->getDisplayName();
    EXPECT_EQ(book.getContact(1)->getDisplayName(), "王 五");
}

TEST(ContactCards, AFileWithNoGoodCardImportsNothing) {
    TempHome home;
    setWabPath(ORVIKWAB_PATH);
    TempDir dir;
    writeFile(dir.file("bad.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:截断\r\n");
    writeFile(dir.file("none.vcf"), "FN:Doe\r\n");
    COEAddrBook book;
    COtherCertStore store;
    CContactCards::Result result;
    EXPECT_EQ(CContactCards::Import(dir.file("bad.vcf"), book, store, result), 8);
    EXPECT_NE(result.error.find("line 1: a vCard without END:VCARD"), std::string::npos) << result.error;
    EXPECT_EQ(result.damaged.size(), 1u);
    EXPECT_EQ(CContactCards::Import(dir.file("none.vcf"), book, store, result), 8);
    EXPECT_NE(result.error.find("no vCard"), std::string::npos) << result.error;
    ASSERT_EQ(book.GetContacts(), 0);
    EXPECT_EQ(book.GetContactCount(), 0);
    EXPECT_EQ(CContactCards::Import(dir.file("missing.vcf"), book, store, result), 3);
}

TEST(ContactCards, ASecondCardOfThePersonAddsItsAddressesAndCertificates) {
    TempHome home;
    setWabPath(ORVIKWAB_PATH);
    auto work = TestPki::instance().issue({.cn = "赵六", .email = "zl@example.com"});
    auto home2 = TestPki::instance().issue({.cn = "赵六", .email = "zl@home.example.com"});
    TempDir dir;
    // As phones export a person kept in two accounts; the address differs in case only.
    writeFile(dir.file("twice.vcf"),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:赵六\r\nEMAIL:zl@example.com\r\nKEY;TYPE=X509;ENCODING=b:" +
                  base64(work.der) +
                  "\r\nEND:VCARD\r\n"
                  "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:赵六\r\nEMAIL:ZL@example.com\r\nEMAIL:zl@home.example.com\r\n"
                  "KEY;TYPE=X509;ENCODING=b:" +
                  base64(home2.der) + "\r\nKEY;TYPE=X509;ENCODING=b:" + base64(work.der) +
                  "\r\nEND:VCARD\r\n"
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:赵六\r\nEMAIL:other@example.com\r\nEND:VCARD\r\n");
    COEAddrBook book;
    COtherCertStore store;
    CContactCards::Result result;
    ASSERT_EQ(CContactCards::Import(dir.file("twice.vcf"), book, store, result), 0) << result.error;
    EXPECT_EQ(result.imported, 2) << "the same name with another address is another contact";
    EXPECT_EQ(result.duplicates, 1);
    EXPECT_EQ(result.certificates, 2);
    ASSERT_EQ(book.GetContacts(), 0);
    ASSERT_EQ(book.GetContactCount(), 2);
    CContact* zl = book.getContact(0);
    EXPECT_EQ(zl->getEmail(), "zl@example.com");
    COEWABProperty* mails = zl->findField(PR_CONTACT_EMAIL_ADDRESSES);
    ASSERT_EQ(mails->getVSize(), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mails->getVValue(1)->GetBuffer()), mails->getVValue(1)->size()),
              "zl@home.example.com");
    EXPECT_EQ(zl->getDefaultCertList()->getVSize(), 2);

    // Imported again, nothing changes: the merged contact is known to the book.
    ASSERT_EQ(CContactCards::Import(dir.file("twice.vcf"), book, store, result), 0) << result.error;
    EXPECT_EQ(result.imported, 0);
    ASSERT_EQ(book.GetContacts(), 0);
    EXPECT_EQ(book.GetContactCount(), 2);
}
