#include "WabFixture.h"

#include <gtest/gtest.h>

namespace orvik::test {

void setWabPath(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    if (path.empty()) {
        RegDeleteValueA(key, nullptr);
    } else {
        ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                 static_cast<DWORD>(path.size() + 1)),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

SPropValue stringProp(ULONG tag, const char* value) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = const_cast<LPSTR>(value);
    return v;
}

WabSession::WabSession() {
    module = LoadLibraryA(ORVIKWAB_PATH);
    if (!module) return;
    auto open = reinterpret_cast<LPWABOPEN>(reinterpret_cast<void*>(GetProcAddress(module, "WABOpen")));
    WAB_PARAM param{};
    param.cbSize = sizeof param;
    param.ulFlags = WAB_ENABLE_PROFILES;
    if (!open || FAILED(open(&book, &wab, &param, 0))) return;
    ULONG size = 0;
    LPENTRYID pab = nullptr;
    if (FAILED(book->GetPAB(&size, &pab))) return;
    ULONG type = 0;
    IUnknown* object = nullptr;
    HRESULT hr = book->OpenEntry(size, pab, nullptr, MAPI_MODIFY, &type, &object);
    wab->FreeBuffer(pab);
    if (SUCCEEDED(hr) && type == MAPI_ABCONT) container = static_cast<IABContainer*>(object);
}

WabSession::~WabSession() {
    if (container) container->Release();
    if (book) book->Release();
    if (wab) wab->Release();
    if (module) FreeLibrary(module);
}

std::vector<std::string> WabSession::entryIds() {
    std::vector<std::string> out;
    IMAPITable* table = nullptr;
    if (FAILED(container->GetContentsTable(0, &table))) return out;
    ULONG count = 0;
    LPSRowSet rows = nullptr;
    if (SUCCEEDED(table->GetRowCount(0, &count)) && SUCCEEDED(table->QueryRows(static_cast<LONG>(count), 0, &rows))) {
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SPropValue& id = rows->aRow[i].lpProps[0];
            out.emplace_back(reinterpret_cast<const char*>(id.Value.bin.lpb), id.Value.bin.cb);
            wab->FreeBuffer(rows->aRow[i].lpProps);
        }
        wab->FreeBuffer(rows);
    }
    table->Release();
    return out;
}

std::string WabSession::create(const std::vector<SPropValue>& values, HRESULT* result) {
    SizedSPropTagArray(1, tags) = {1, {PR_DEF_CREATE_MAILUSER}};
    ULONG count = 0;
    LPSPropValue tmpl = nullptr;
    if (FAILED(container->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &tmpl))) return "";
    IMAPIProp* entry = nullptr;
    HRESULT hr = container->CreateEntry(tmpl->Value.bin.cb, reinterpret_cast<LPENTRYID>(tmpl->Value.bin.lpb),
                                        CREATE_CHECK_DUP_STRICT, &entry);
    wab->FreeBuffer(tmpl);
    if (FAILED(hr)) return "";
    std::vector<SPropValue> copy = values;
    entry->SetProps(static_cast<ULONG>(copy.size()), copy.data(), nullptr);
    hr = entry->SaveChanges(KEEP_OPEN_READWRITE);
    if (result) *result = hr;
    std::string id;
    SizedSPropTagArray(1, idTag) = {1, {PR_ENTRYID}};
    LPSPropValue v = nullptr;
    if (hr == S_OK && SUCCEEDED(entry->GetProps(reinterpret_cast<LPSPropTagArray>(&idTag), 0, &count, &v)))
        id.assign(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
    if (v) wab->FreeBuffer(v);
    entry->Release();
    return id;
}

IMailUser* WabSession::open(const std::string& entryId, ULONG flags) {
    ULONG type = 0;
    IUnknown* object = nullptr;
    std::string id = entryId;
    if (FAILED(container->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                    flags, &type, &object)))
        return nullptr;
    return static_cast<IMailUser*>(object);
}

std::vector<std::string> WabSession::binaries(const std::string& entryId, ULONG tag) {
    std::vector<std::string> out;
    IMailUser* user = open(entryId, 0);
    if (!user) return out;
    SizedSPropTagArray(1, tags) = {1, {tag}};
    ULONG count = 0;
    LPSPropValue v = nullptr;
    if (SUCCEEDED(user->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &v)) && v->ulPropTag == tag)
        for (ULONG i = 0; i < v->Value.MVbin.cValues; ++i)
            out.emplace_back(reinterpret_cast<const char*>(v->Value.MVbin.lpbin[i].lpb), v->Value.MVbin.lpbin[i].cb);
    if (v) wab->FreeBuffer(v);
    user->Release();
    return out;
}

std::string WabSession::string(const std::string& entryId, ULONG tag, bool* present) {
    std::string out;
    if (present) *present = false;
    IMailUser* user = open(entryId, 0);
    if (!user) return out;
    SizedSPropTagArray(1, tags) = {1, {tag}};
    ULONG count = 0;
    LPSPropValue v = nullptr;
    if (SUCCEEDED(user->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &v)) && v->ulPropTag == tag) {
        out = v->Value.lpszA;
        if (present) *present = true;
    }
    if (v) wab->FreeBuffer(v);
    user->Release();
    return out;
}

}  // namespace orvik::test
