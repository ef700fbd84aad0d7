#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WabFixture.h"
#include "support/ChildProcess.h"

using namespace orvik::test;

namespace {

SPropValue shortProp(ULONG tag, SHORT v) {
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.i = v;
    return p;
}

int addFromChild(const std::vector<std::string>& args) {
    WabSession s;
    if (!s.ok()) return 2;
    SPropValue props[] = {stringProp(PR_DISPLAY_NAME, args[0].c_str()), stringProp(PR_EMAIL_ADDRESS, args[1].c_str())};
    return s.create({props[0], props[1]}).empty() ? 1 : 0;
}
ORVIK_CHILD_ENTRY("wab-add", addFromChild);

}  // namespace

TEST(WabModule, StoresEveryTypeTheLibraryWritesAndGivesItBack) {
    TempHome home;
    WabSession s;
    ASSERT_TRUE(s.ok());
    const char* children[] = {"小明", "小红"};
    std::string certEntry("\x20\x00\x08\x00\x01\x00\x00\x00", 8);
    SBinary certs[] = {{static_cast<ULONG>(certEntry.size()), reinterpret_cast<LPBYTE>(certEntry.data())}};
    SPropValue mv{}, bin{}, date{};
    mv.ulPropTag = PR_CHILDRENS_NAMES;
    mv.Value.MVszA = {2, const_cast<LPSTR*>(children)};
    bin.ulPropTag = PR_USER_X509_CERTIFICATE;
    bin.Value.MVbin = {1, certs};
    date.ulPropTag = PR_BIRTHDAY;
    date.Value.ft = {0x12345678, 0x01D00000};
    std::string id = s.create({stringProp(PR_DISPLAY_NAME, "张三"), stringProp(PR_EMAIL_ADDRESS, "zs@example.com"),
                               shortProp(PR_GENDER, 2), mv, bin, date});
    ASSERT_EQ(id.size(), 20u);

    IMailUser* user = s.open(id, 0);
    ASSERT_NE(user, nullptr);
    SizedSPropTagArray(7, tags) = {7,
                                   {PR_DISPLAY_NAME, PR_GENDER, PR_CHILDRENS_NAMES, PR_USER_X509_CERTIFICATE,
                                    PR_BIRTHDAY, PR_SURNAME, PR_OBJECT_TYPE}};
    ULONG count = 0;
    LPSPropValue v = nullptr;
    // A listed tag the entry lacks comes back as an error value, and the call says so.
    EXPECT_EQ(user->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &v), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 7u);
    EXPECT_STREQ(v[0].Value.lpszA, "张三");
    EXPECT_EQ(v[1].Value.i, 2);
    ASSERT_EQ(v[2].Value.MVszA.cValues, 2u);
    EXPECT_STREQ(v[2].Value.MVszA.lppszA[1], "小红");
    ASSERT_EQ(v[3].Value.MVbin.cValues, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(v[3].Value.MVbin.lpbin[0].lpb), v[3].Value.MVbin.lpbin[0].cb),
              certEntry);
    EXPECT_EQ(v[4].Value.ft.dwLowDateTime, 0x12345678u);
    EXPECT_EQ(v[4].Value.ft.dwHighDateTime, 0x01D00000u);
    EXPECT_EQ(v[5].ulPropTag, static_cast<ULONG>(PROP_TAG(PT_ERROR, PROP_ID(PR_SURNAME))));
    EXPECT_EQ(v[5].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(v[6].Value.l, MAPI_MAILUSER);
    s.wab->FreeBuffer(v);
    // Opened without MAPI_MODIFY, the entry is read-only.
    SPropValue change = stringProp(PR_SURNAME, "张");
    EXPECT_EQ(user->SetProps(1, &change, nullptr), MAPI_E_NO_ACCESS);
    user->Release();
}

TEST(WabModule, ADuplicateNewEntryCollidesAndStoresNothing) {
    TempHome home;
    WabSession s;
    ASSERT_TRUE(s.ok());
    ASSERT_FALSE(
        s.create({stringProp(PR_DISPLAY_NAME, "李四"), stringProp(PR_EMAIL_ADDRESS, "ls@example.com")}).empty());
    HRESULT hr = S_OK;
    EXPECT_TRUE(
        s.create({stringProp(PR_DISPLAY_NAME, "李四"), stringProp(PR_EMAIL_ADDRESS, "LS@example.com")}, &hr).empty());
    EXPECT_EQ(hr, MAPI_E_COLLISION);
    // Another address under the same name is another person.
    EXPECT_FALSE(
        s.create({stringProp(PR_DISPLAY_NAME, "李四"), stringProp(PR_EMAIL_ADDRESS, "ls2@example.com")}).empty());
    EXPECT_EQ(s.entryIds().size(), 2u);
}

TEST(WabModule, SavingAnEntryDeletedMeanwhileFailsAndChangesRemainUnwritten) {
    TempHome home;
    WabSession s;
    ASSERT_TRUE(s.ok());
    std::string id = s.create({stringProp(PR_DISPLAY_NAME, "王五"), stringProp(PR_EMAIL_ADDRESS, "ww@example.com")});
    IMailUser* user = s.open(id);
    ASSERT_NE(user, nullptr);
    SBinary one{static_cast<ULONG>(id.size()), reinterpret_cast<LPBYTE>(id.data())};
    ENTRYLIST list{1, &one};
    ASSERT_EQ(s.container->DeleteEntries(&list, 0), S_OK);
    // Deleting it again: nothing was there to delete.
    EXPECT_EQ(s.container->DeleteEntries(&list, 0), MAPI_W_PARTIAL_COMPLETION);
    SPropValue change = stringProp(PR_SURNAME, "王");
    ASSERT_EQ(user->SetProps(1, &change, nullptr), S_OK);
    EXPECT_EQ(user->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_DELETED);
    user->Release();
    EXPECT_TRUE(s.entryIds().empty());
}

TEST(WabModule, RefusesWhatItDoesNotDoInsteadOfPretending) {
    TempHome home;
    WabSession s;
    ASSERT_TRUE(s.ok());
    ULONG type = 0;
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(s.container->GetHierarchyTable(0, &table), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(s.book->SetPAB(0, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(s.wab->Backup(const_cast<LPSTR>("x.wab")), MAPI_E_NO_SUPPORT);
    IUnknown* object = nullptr;
    BYTE bogus[20] = {1};
    EXPECT_EQ(s.book->OpenEntry(sizeof bogus, reinterpret_cast<LPENTRYID>(bogus), nullptr, 0, &type, &object),
              MAPI_E_INVALID_ENTRYID);
    BYTE missing[20] = {0, 0, 0, 0, 9, 9, 9};
    EXPECT_EQ(s.book->OpenEntry(sizeof missing, reinterpret_cast<LPENTRYID>(missing), nullptr, 0, &type, &object),
              MAPI_E_NOT_FOUND);
    // A record of another layout would be misread: its size must be this build's.
    auto open = reinterpret_cast<LPWABOPEN>(reinterpret_cast<void*>(GetProcAddress(s.module, "WABOpen")));
    WAB_PARAM param{};
    param.cbSize = 32;
    IAddrBook* book = nullptr;
    IWABObject* wab = nullptr;
    if (sizeof(WAB_PARAM) != 32) {
        EXPECT_EQ(open(&book, &wab, &param, 0), MAPI_E_INVALID_PARAMETER);
    }
    EXPECT_EQ(book, nullptr);
}

TEST(WabModule, AllocateMoreBlocksGoWithTheirParent) {
    WabSession s;
    void* parent = nullptr;
    void* child = nullptr;
    ASSERT_EQ(s.wab->AllocateBuffer(16, &parent), S_OK);
    ASSERT_EQ(s.wab->AllocateMore(4096, parent, &child), S_OK);
    // Freeing a child alone would break its parent's chain: refused. (ASan sees any leak.)
    EXPECT_EQ(s.wab->FreeBuffer(child), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(s.wab->FreeBuffer(parent), S_OK);
    EXPECT_EQ(s.wab->FreeBuffer(nullptr), S_OK);
}

TEST(WabModule, TwoProcessesAddingAtOnceLoseNothing) {
    TempHome home;
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < 4; ++i)
        children.push_back(std::make_unique<ChildProcess>(
            "wab-add",
            std::vector<std::string>{"联系人" + std::to_string(i), "c" + std::to_string(i) + "@example.com"}));
    WabSession s;
    ASSERT_TRUE(s.ok());
    for (int i = 0; i < 20; ++i)
        ASSERT_FALSE(s.create({stringProp(PR_DISPLAY_NAME, "本进程"),
                               stringProp(PR_EMAIL_ADDRESS, ("p" + std::to_string(i) + "@example.com").c_str())})
                         .empty());
    for (auto& c : children) EXPECT_EQ(c->wait(), 0);
    EXPECT_EQ(s.entryIds().size(), 24u);
}
