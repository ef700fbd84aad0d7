// GetContacts over address books of 500 and 5,000 entries, each entry with the values a vCard
// import gives it and one default certificate; the larger book must cost no more than linearly
// more (ratio 5,000 / 500 at most 12).
#include <chrono>
#include <cstdio>
#include <string>

#include <OEAddrBook.h>
#include <windows.h>

#include "support/TempHome.h"

namespace {

using Clock = std::chrono::steady_clock;

void registerModule() {
    std::string dir = ORVIKWAB_PATH;
    dir.erase(dir.rfind('/'));
    COEAddrBook::RegisterLibrary(dir);
}

// Filled through the module directly in one session: the library's save reads the whole book
// first, which would make filling, not reading, the cost of this run.
bool fill(int count) {
    HMODULE module = LoadLibraryA(ORVIKWAB_PATH);
    auto open = reinterpret_cast<LPWABOPEN>(reinterpret_cast<void*>(GetProcAddress(module, "WABOpen")));
    IAddrBook* book = nullptr;
    IWABObject* wab = nullptr;
    WAB_PARAM param{};
    param.cbSize = sizeof param;
    if (!open || FAILED(open(&book, &wab, &param, 0))) return false;
    ULONG size = 0, type = 0;
    LPENTRYID pab = nullptr;
    IUnknown* object = nullptr;
    book->GetPAB(&size, &pab);
    book->OpenEntry(size, pab, nullptr, MAPI_MODIFY, &type, &object);
    auto* container = static_cast<IABContainer*>(object);
    SizedSPropTagArray(1, tags) = {1, {PR_DEF_CREATE_MAILUSER}};
    ULONG n = 0;
    LPSPropValue tmpl = nullptr;
    container->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &n, &tmpl);
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        std::string name = "联系人" + std::to_string(i), mail = "c" + std::to_string(i) + "@example.com";
        std::string entry = std::string("\x20\x00\x08\x00\x01\x00\x00\x00\x22\x00\x18\x00", 12) + std::string(20, 'T');
        SBinary cert{static_cast<ULONG>(entry.size()), reinterpret_cast<LPBYTE>(entry.data())};
        LPSTR mails[] = {mail.data()};
        SPropValue v[7]{};
        v[0].ulPropTag = PR_DISPLAY_NAME;
        v[0].Value.lpszA = name.data();
        v[1].ulPropTag = PR_EMAIL_ADDRESS;
        v[1].Value.lpszA = mail.data();
        v[2].ulPropTag = PR_SURNAME;
        v[2].Value.lpszA = const_cast<LPSTR>("联");
        v[3].ulPropTag = PR_GIVEN_NAME;
        v[3].Value.lpszA = const_cast<LPSTR>("系人");
        v[4].ulPropTag = PR_CONTACT_EMAIL_ADDRESSES;
        v[4].Value.MVszA = {1, mails};
        v[5].ulPropTag = PR_HOME_ADDRESS_CITY;
        v[5].Value.lpszA = const_cast<LPSTR>("北京");
        v[6].ulPropTag = PR_USER_X509_CERTIFICATE;
        v[6].Value.MVbin = {1, &cert};
        IMAPIProp* user = nullptr;
        ok = SUCCEEDED(container->CreateEntry(tmpl->Value.bin.cb, reinterpret_cast<LPENTRYID>(tmpl->Value.bin.lpb), 0,
                                              &user)) &&
             SUCCEEDED(user->SetProps(7, v, nullptr)) && user->SaveChanges(0) == S_OK;
        if (user) user->Release();
    }
    wab->FreeBuffer(tmpl);
    wab->FreeBuffer(pab);
    container->Release();
    book->Release();
    wab->Release();
    FreeLibrary(module);
    return ok;
}

// The best of three reads, in seconds.
double readBook(int expected) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        COEAddrBook book;
        auto start = Clock::now();
        int rc = book.GetContacts();
        double took = std::chrono::duration<double>(Clock::now() - start).count();
        if (rc != 0 || book.GetContactCount() != expected) {
            std::fprintf(stderr, "GetContacts: %d, %d contacts\n", rc, book.GetContactCount());
            return -1;
        }
        if (took < best) best = took;
    }
    return best;
}

}  // namespace

int main() {
    double small = 0, large = 0;
    for (int count : {500, 5000}) {
        orvik::test::TempHome home;
        registerModule();
        if (!fill(count)) {
            std::fprintf(stderr, "cannot fill the address book\n");
            return 1;
        }
        double took = readBook(count);
        if (took < 0) return 1;
        std::printf("GetContacts over %5d entries: %.1f ms (%.1f us an entry)\n", count, took * 1e3,
                    took * 1e6 / count);
        (count == 500 ? small : large) = took;
    }
    double ratio = large / small;
    std::printf("ratio 5000 / 500: %.2f (target: at most 12)\n", ratio);
    return ratio <= 12 ? 0 : 1;
}
