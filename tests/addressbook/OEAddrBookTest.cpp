#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <OEAddrBook.h>
#include <OtherCertStore.h>

#include "WabFixture.h"
#include "support/TestPki.h"

using namespace orvik::test;

namespace {

struct Book : TempHome {
    Book() { setWabPath(ORVIKWAB_PATH); }
};

std::string certEntry(const std::string& thumb) {
    return std::string("\x20\x00\x08\x00\x01\x00\x00\x00\x22\x00\x18\x00", 12) + thumb;
}

CContact* only(COEAddrBook& book) {
    EXPECT_EQ(book.GetContacts(), 0);
    EXPECT_EQ(book.GetContactCount(), 1);
    return book.getContact(0);
}

CContact newContact(const char* name, const char* email) {
    CContact c;
    c.setNewEntry(1);
    c.findField(PR_DISPLAY_NAME)->setValue(name);
    c.findField(PR_EMAIL_ADDRESS)->setValue(email);
    return c;
}

}  // namespace

TEST(OEAddrBook, SavesAndListsAContactWithItsValues) {
    Book home;
    COEAddrBook book;
    CContact c = newContact("张三", "zs@example.com");
    c.findField(PR_SURNAME)->setValue("张");
    c.findField(PR_GIVEN_NAME)->setValue("三");
    c.findField(PR_HOME_ADDRESS_CITY)->setValue("北京");
    c.findField(PR_CONTACT_EMAIL_ADDRESSES)->pushVector("zs@example.com");
    c.findField(PR_CONTACT_EMAIL_ADDRESSES)->pushVector("zhang@example.org");
    c.findField(PR_GENDER)->setGender(1);
    SYSTEMTIME birthday{1980, 4, 0, 15, 0, 0, 0, 0};
    c.findField(PR_BIRTHDAY)->setDate(birthday);
    ASSERT_EQ(book.SaveContact(&c), 0);
    EXPECT_EQ(c.getNewEntry(), 0);

    CContact* read = only(book);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->getDisplayName(), "张三");
    EXPECT_STREQ(read->getKeyEmail()->getStrValue(), "zs@example.com");
    EXPECT_STREQ(read->findField(PR_SURNAME)->getStrValue(), "张");
    EXPECT_STREQ(read->findField(PR_HOME_ADDRESS_CITY)->getStrValue(), "北京");
    EXPECT_EQ(read->findField(PR_CONTACT_EMAIL_ADDRESSES)->getVSize(), 2);
    EXPECT_EQ(read->findField(PR_GENDER)->getGender(), 1);
    EXPECT_EQ(read->findField(PR_BIRTHDAY)->getTime().wDay, 15);
    // The book keeps gender the other way round: 1 for female.
    WabSession s;
    IMailUser* raw = s.open(s.entryIds()[0], 0);
    SizedSPropTagArray(1, tags) = {1, {PR_GENDER}};
    ULONG n = 0;
    LPSPropValue v = nullptr;
    ASSERT_EQ(raw->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &n, &v), S_OK);
    EXPECT_EQ(v->Value.i, 2);
    s.wab->FreeBuffer(v);
    raw->Release();
}

TEST(OEAddrBook, DefaultCertificateIsWrittenAsOneEntryAndClearedAgain) {
    Book home;
    auto cert = TestPki::instance().issue({.cn = "李四", .email = "ls@example.com"});
    COtherCertStore store;
    CDigitalCertificate dc(cert.der.data(), static_cast<int>(cert.der.size()), CDigitalCertificate::ENC_DER);
    ASSERT_EQ(store.ImportCert(&dc), 0);
    ASSERT_EQ(store.OpenCertStore(), 0);
    COEAddrBook book;
    CContact c = newContact("李四", "ls@example.com");
    c.findField(PR_SURNAME)->setValue("李");
    c.findField(PR_BUSINESS_ADDRESS_STREET)->setValue("长安街1号");
    ASSERT_EQ(book.SaveContact(&c), 0);

    CContact* read = only(book);
    EXPECT_EQ(read->getDefaultCert(&store), nullptr);
    read->SetDefaultCert(&dc);
    ASSERT_EQ(book.SaveContact(read), 0);
    WabSession s;
    std::string id = s.entryIds().at(0);
    EXPECT_EQ(s.binaries(id, PR_USER_X509_CERTIFICATE), std::vector<std::string>{certEntry(cert.sha1)});
    read = only(book);
    ASSERT_NE(read->getDefaultCert(&store), nullptr);
    // The second surname slot is empty: the surname stays.
    EXPECT_EQ(s.string(id, PR_SURNAME), "李");
    EXPECT_EQ(s.string(id, PR_BUSINESS_ADDRESS_STREET), "长安街1号");

    read->SetDefaultCert(nullptr);
    ASSERT_EQ(book.SaveContact(read), 0);
    EXPECT_TRUE(s.binaries(id, PR_USER_X509_CERTIFICATE).empty());
    EXPECT_EQ(s.string(id, PR_SURNAME), "李");
}

TEST(OEAddrBook, CertificateEntriesAreReadByTheirItemsWhateverTheirOrder) {
    Book home;
    std::string a(20, 'A'), b(20, 'B'), c(20, 'C'), d(20, 'D');
    std::vector<std::string> entries = {
        certEntry(a),  // the usual layout
        std::string("\x22\x00\x18\x00", 4) + b + std::string("\x20\x00\x08\x00\x01\x00\x00\x00", 8),  // reversed
        std::string("\x03\x00\x06\x00\x30\x00", 6) + certEntry(c),                // an unknown item first
        std::string("\x20\x00\x08\x00\x00\x00\x00\x00\x22\x00\x18\x00", 12) + d,  // not the default
        std::string("\x20\x00\x08\x00\x01", 5),                                   // cut short
        std::string("\x22\x00\xFF\x00", 4) + a,                                   // a length past the end
    };
    std::vector<SBinary> bins;
    for (auto& e : entries) bins.push_back({static_cast<ULONG>(e.size()), reinterpret_cast<LPBYTE>(e.data())});
    SPropValue certs{};
    certs.ulPropTag = PR_USER_X509_CERTIFICATE;
    certs.Value.MVbin = {static_cast<ULONG>(bins.size()), bins.data()};
    WabSession s;
    ASSERT_FALSE(
        s.create({stringProp(PR_DISPLAY_NAME, "王五"), stringProp(PR_EMAIL_ADDRESS, "ww@example.com"), certs}).empty());
    COEAddrBook book;
    CContact* read = only(book);
    auto list = [](COEWABProperty* p) {
        std::vector<std::string> out;
        for (int i = 0; i < p->getVSize(); ++i)
            out.emplace_back(reinterpret_cast<const char*>(p->getVValue(i)->GetBuffer()), p->getVValue(i)->size());
        return out;
    };
    EXPECT_EQ(list(read->findField(PR_USER_X509_CERTIFICATE)), (std::vector<std::string>{a, b, c, d}));
    EXPECT_EQ(list(read->getDefaultCertList()), (std::vector<std::string>{a, b, c}));
}

TEST(OEAddrBook, ManyDefaultCertificatesAreAllWritten) {
    Book home;
    COEAddrBook book;
    CContact c = newContact("赵六", "zl@example.com");
    for (int i = 0; i < 150; ++i) {
        std::string thumb(20, static_cast<char>(i));
        c.getDefaultCertList()->pushVector(reinterpret_cast<const unsigned char*>(thumb.data()), 20);
    }
    ASSERT_EQ(book.SaveContact(&c), 0);
    EXPECT_EQ(only(book)->getDefaultCertList()->getVSize(), 150);
}

TEST(OEAddrBook, TheStoredAddressIsKeptAndAChangedOneFoundAgain) {
    Book home;
    COEAddrBook book;
    CContact c = newContact("钱七", "second@example.com");
    c.findField(PR_CONTACT_EMAIL_ADDRESSES)->pushVector("first@example.com");
    c.findField(PR_CONTACT_EMAIL_ADDRESSES)->pushVector("second@example.com");
    ASSERT_EQ(book.SaveContact(&c), 0);
    CContact* read = only(book);
    EXPECT_EQ(read->getEmail(), "second@example.com");
    // A new address and name: the key follows, so the next save finds the same entry.
    read->findField(PR_EMAIL_ADDRESS)->setValue("third@example.com");
    read->findField(PR_DISPLAY_NAME)->setValue("钱老七");
    ASSERT_EQ(book.SaveContact(read), 0);
    read->findField(PR_COMMENT)->setValue("同事");
    ASSERT_EQ(book.SaveContact(read), 0);
    read = only(book);
    EXPECT_EQ(read->getEmail(), "third@example.com");
    EXPECT_STREQ(read->findField(PR_COMMENT)->getStrValue(), "同事");
}

TEST(OEAddrBook, FailuresAreReportedNotHidden) {
    Book home;
    COEAddrBook book;
    CContact c = newContact("孙八", "sb@example.com");
    ASSERT_EQ(book.SaveContact(&c), 0);
    // The same new contact again: the book refuses the duplicate, and so does the save.
    CContact twin = newContact("孙八", "sb@example.com");
    EXPECT_EQ(book.SaveContact(&twin), 19);
    // A contact whose entry is gone is not written through anything.
    CContact* read = only(book);
    CContact gone = *read;
    ASSERT_EQ(book.DeleteContact(read), 1);
    EXPECT_EQ(book.DeleteContact(&gone), 0);
    CContact other = newContact("周九", "zj@example.com");
    ASSERT_EQ(book.SaveContact(&other), 0);
    EXPECT_EQ(book.SaveContact(&gone), 19);
    EXPECT_EQ(book.GetContacts(), 0);
    EXPECT_EQ(book.GetContactCount(), 1);
}

TEST(OEAddrBook, AMissingOrWrongModuleIsReportedAsNotLoaded) {
    TempHome home;
    struct Row {
        const char* what;
        std::string path;
    } rows[] = {{"no DLLPath", ""},
                {"a missing file", home.file("nothing.so")},
                {"a relative path", "libOrvikWab.so"},
                {"a module without WABOpen", ORVIKPLATFORM_PATH}};
    for (const auto& row : rows) {
        setWabPath(row.path);
        COEAddrBook book;
        EXPECT_EQ(book.GetContacts(), 14) << row.what;
        CContact c = newContact("吴十", "wu@example.com");
        EXPECT_EQ(book.SaveContact(&c), 14) << row.what;
        EXPECT_EQ(book.DeleteContact(&c), 14) << row.what;
    }
}

TEST(OEAddrBook, RegisterLibraryMendsAMissingOrStalePath) {
    TempHome home;
    std::string dir = ORVIKWAB_PATH;
    dir.erase(dir.rfind('/'));
    setWabPath(home.file("gone/libOrvikWab.so"));
    ASSERT_EQ(COEAddrBook::RegisterLibrary(dir), 0);
    COEAddrBook book;
    EXPECT_EQ(book.GetContacts(), 0);
    // A path that names a file is the user's choice and stays.
    setWabPath(ORVIKPLATFORM_PATH);
    ASSERT_EQ(COEAddrBook::RegisterLibrary(dir), 0);
    COEAddrBook again;
    EXPECT_EQ(again.GetContacts(), 14);
}

TEST(CContact, DefaultCertificateMustCarryTheContactsExactAddress) {
    TempHome home;
    auto cert = TestPki::instance().issue({.cn = "郑一", .email = "Zheng@example.com"});
    COtherCertStore store;
    CDigitalCertificate dc(cert.der.data(), static_cast<int>(cert.der.size()), CDigitalCertificate::ENC_DER);
    ASSERT_EQ(store.ImportCert(&dc), 0);
    ASSERT_EQ(store.OpenCertStore(), 0);
    CContact c;
    c.SetDefaultCert(&dc);
    c.findField(PR_EMAIL_ADDRESS)->setValue("zheng@example.com");
    EXPECT_EQ(c.getDefaultCert(&store), nullptr);
    c.findField(PR_EMAIL_ADDRESS)->setValue("Zheng@example.com");
    EXPECT_NE(c.getDefaultCert(&store), nullptr);
    COtherCertStore empty;
    EXPECT_EQ(c.getDefaultCert(&empty), nullptr);
}
