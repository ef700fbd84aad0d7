#include "OEAddrBook.h"

#include <sys/stat.h>

#include <cstring>

#include <windows.h>

#include "CertificateEntry.h"

namespace {

const char* const kSource = "OEAddrBook";

// Rows and their values go back to the book's allocator.
void freeRows(IWABObject* wab, LPSRowSet rows) {
    if (!wab || !rows) return;
    for (ULONG i = 0; i < rows->cRows; ++i) wab->FreeBuffer(rows->aRow[i].lpProps);
    wab->FreeBuffer(rows);
}

const SPropValue* findValue(const SRow& row, ULONG tag) {
    for (ULONG i = 0; i < row.cValues; ++i)
        if (row.lpProps[i].ulPropTag == tag) return &row.lpProps[i];
    return nullptr;
}

template <class T>
void release(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

bool isFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

// One connection to the book: the address book, its helper object and the container, released
// together on every path.
class COEAddrBook::Session {
public:
    ~Session() {
        freeRows(wab, rows);
        release(container);
        if (pab && wab) wab->FreeBuffer(pab);
        release(book);
        release(wab);
    }
    IAddrBook* book = nullptr;
    IWABObject* wab = nullptr;
    LPENTRYID pab = nullptr;
    IABContainer* container = nullptr;
    LPSRowSet rows = nullptr;
    bool isContainer = false;
};

COEAddrBook::COEAddrBook() : library(nullptr), wabOpen(nullptr) {}

COEAddrBook::COEAddrBook(const COEAddrBook& other) : library(nullptr), wabOpen(nullptr), log(other.log) {
    for (CContact* c : other.contacts) contacts.push_back(new CContact(*c));
}

COEAddrBook& COEAddrBook::operator=(const COEAddrBook& other) {
    if (this == &other) return *this;
    std::vector<CContact*> copies;
    for (CContact* c : other.contacts) copies.push_back(new CContact(*c));
    ClearContactVector();
    contacts = std::move(copies);
    log = other.log;
    return *this;
}

COEAddrBook::~COEAddrBook() {
    ClearContactVector();
    if (library) FreeLibrary(library);
}

void COEAddrBook::ClearContactVector() {
    for (CContact* c : contacts) delete c;
    contacts.clear();
}

CContact* COEAddrBook::getContact(int index) {
    return index >= 0 && index < GetContactCount() ? contacts[static_cast<size_t>(index)] : nullptr;
}

void COEAddrBook::broken(int line) { log.Log(CSecLog::SEC_LOG_ERROR, line, kSource, "OE WAB is Broken"); }

int COEAddrBook::OpenLib() {
    if (library && wabOpen) return 0;
    HKEY key = nullptr;
    char path[MAX_PATH] = {};
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        DWORD type = 0, size = sizeof path - 1;
        if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            path[0] = '\0';
        path[sizeof path - 1] = '\0';
        RegCloseKey(key);
    }
    HMODULE loaded = path[0] ? LoadLibraryA(path) : nullptr;
    if (!loaded) {
        SEC_LOG_FAILURE(log, "LoadLibrary");
        return 14;
    }
    // A module without the entry point is no address book: every operation would do nothing.
    // Through void*: FARPROC is a generic function pointer, as on Windows.
    auto entry = reinterpret_cast<LPWABOPEN>(reinterpret_cast<void*>(GetProcAddress(loaded, "WABOpen")));
    if (!entry) {
        SEC_LOG_FAILURE(log, "GetProcAddress");
        FreeLibrary(loaded);
        return 14;
    }
    library = loaded;
    wabOpen = entry;
    return 0;
}

int COEAddrBook::RegisterLibrary(const std::string& programDir) {
    std::string module = programDir + "/" + LibraryFileName();
    if (!isFile(module)) return 0;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return 4;
    char current[MAX_PATH] = {};
    DWORD type = 0, size = sizeof current - 1;
    bool valid =
        RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(current), &size) == ERROR_SUCCESS &&
        type == REG_SZ && isFile(current);
    LONG rc = ERROR_SUCCESS;
    if (!valid)
        rc = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(module.c_str()),
                            static_cast<DWORD>(module.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : 4;
}

int COEAddrBook::open(Session& s, ULONG flags) {
    if (int rc = OpenLib(); rc != 0) return rc;
    WAB_PARAM param{};
    param.cbSize = sizeof param;
    param.ulFlags = WAB_ENABLE_PROFILES;
    HRESULT hr = S_OK;
    try {
        hr = wabOpen(&s.book, &s.wab, &param, 0);
    } catch (...) {
        // Session's destructor releases what the call handed out before it failed.
        broken(__LINE__);
        return 15;
    }
    if (FAILED(hr) || !s.book || !s.wab) {
        broken(__LINE__);
        return 16;
    }
    ULONG pabSize = 0;
    if (FAILED(s.book->GetPAB(&pabSize, &s.pab)) || !s.pab) {
        broken(__LINE__);
        return 17;
    }
    ULONG type = 0;
    IUnknown* object = nullptr;
    hr = s.book->OpenEntry(pabSize, s.pab, nullptr, flags, &type, &object);
    if (FAILED(hr) || !object) return 0;
    if (type != MAPI_ABCONT) {
        object->Release();
        return 0;
    }
    s.container = static_cast<IABContainer*>(object);
    s.isContainer = true;
    return 0;
}

int COEAddrBook::readRows(Session& s, ULONG flags, LPSRowSet& rows) {
    rows = nullptr;
    IMAPITable* table = nullptr;
    HRESULT hr = s.container->GetContentsTable(flags, &table);
    if (!table || FAILED(hr)) {
        release(table);
        broken(__LINE__);
        return 18;
    }
    ULONG count = 0;
    hr = table->GetRowCount(0, &count);
    if (SUCCEEDED(hr)) hr = table->QueryRows(static_cast<LONG>(count), 0, &rows);
    table->Release();
    if (FAILED(hr)) {
        rows = nullptr;
        broken(__LINE__);
        return 18;
    }
    return 0;
}

int COEAddrBook::GetContacts() {
    ClearContactVector();
    Session s;
    if (int rc = open(s, MAPI_BEST_ACCESS); rc != 0 || !s.isContainer) return rc;
    if (int rc = readRows(s, 0, s.rows); rc != 0) return rc;
    if (!s.rows) return 0;
    for (ULONG r = 0; r < s.rows->cRows; ++r) {
        const SPropValue* id = findValue(s.rows->aRow[r], PR_ENTRYID);
        if (!id) continue;
        ULONG type = 0;
        IUnknown* object = nullptr;
        HRESULT hr = s.container->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr,
                                            0, &type, &object);
        if (FAILED(hr) || !object) continue;
        auto* user = static_cast<IMailUser*>(object);
        ULONG count = 0;
        LPSPropValue values = nullptr;
        if (type != MAPI_MAILUSER || FAILED(user->GetProps(nullptr, 0, &count, &values)) || !values) {
            user->Release();
            continue;
        }
        auto* contact = new CContact();
        contact->setNewEntry(0);
        for (ULONG i = 0; i < count; ++i) SetManagedValue(contact, values[i].ulPropTag, values[i]);
        s.wab->FreeBuffer(values);
        user->Release();
        contacts.push_back(contact);
    }
    return 0;
}

void COEAddrBook::SetManagedValue(CContact* contact, ULONG tag, const SPropValue& value) {
    if (!contact) return;
    // Tags are compared whole, type included: a value the book could not give (PT_ERROR) or of
    // another type never reaches a property.
    switch (tag) {
    case PR_EMAIL_ADDRESS:
        contact->findField(PR_EMAIL_ADDRESS)->setValue(value.Value.lpszA);
        contact->getKeyEmail()->setValue(value.Value.lpszA);
        return;
    case PR_DISPLAY_NAME:
        contact->findField(PR_DISPLAY_NAME)->setValue(value.Value.lpszA);
        contact->getKeyDisplayName()->setValue(value.Value.lpszA);
        return;
    case PR_USER_X509_CERTIFICATE: {
        COEWABProperty* certs = contact->findField(PR_USER_X509_CERTIFICATE);
        for (ULONG i = 0; i < value.Value.MVbin.cValues; ++i) {
            const SBinary& item = value.Value.MVbin.lpbin[i];
            CertificateEntry entry;
            if (!CertificateEntry::parse(item.lpb, item.cb, entry)) continue;
            certs->pushVector(entry.thumbprint, 20);
            if (entry.isDefault) contact->getDefaultCertList()->pushVector(entry.thumbprint, 20);
        }
        return;
    }
    default: break;
    }
    COEWABProperty* field = contact->findField(tag);
    if (!field) return;
    const std::string& kind = field->getKind();
    if (kind == "STRING") {
        field->setValue(value.Value.lpszA);
    } else if (kind == "VECTOR") {
        for (ULONG i = 0; i < value.Value.MVszA.cValues; ++i) field->pushVector(value.Value.MVszA.lppszA[i]);
    } else if (kind == "GENDER") {
        // The book counts 1 as female and 2 as male, the class the other way round.
        SHORT g = value.Value.i;
        field->setGender(g == 1 ? 2 : g == 2 ? 1 : 0);
    } else if (kind == "TIME") {
        SYSTEMTIME st{};
        if (!FileTimeToSystemTime(&value.Value.ft, &st)) return;
        if ((st.wYear == 0 && st.wMonth == 0 && st.wDay == 0) || st.wMonth > 12) return;
        field->setDate(st);
    }
}

int COEAddrBook::SetUnmanagedProperies(CContact* contact, IMailUser* entry) {
    if (!contact || !entry) return 0;
    std::vector<COEWABProperty*> fields;
    contact->getFields(fields);
    bool surnameWritten = false;
    for (COEWABProperty* field : fields) {
        ULONG tag = field->getTagValue();
        const std::string& kind = field->getKind();
        SPropValue value{};
        value.ulPropTag = tag;
        std::vector<std::string> texts;
        std::vector<LPSTR> pointers;
        std::vector<std::string> entries;
        std::vector<SBinary> binaries;
        if (tag == PR_USER_X509_CERTIFICATE) {
            if (!contact->getWriteCerts()) continue;
            COEWABProperty* defaults = contact->getDefaultCertList();
            if (defaults->getVSize() == 0) {
                SizedSPropTagArray(1, only) = {1, {PR_USER_X509_CERTIFICATE}};
                entry->DeleteProps(reinterpret_cast<LPSPropTagArray>(&only), nullptr);
                continue;
            }
            // One default entry per thumbprint, as many as there are.
            for (int i = 0; i < defaults->getVSize(); ++i) {
                CBBuffer* thumb = defaults->getVValue(i);
                if (thumb->size() < 20) continue;
                entries.push_back(CertificateEntry::write(thumb->GetBuffer()));
            }
            for (auto& e : entries)
                binaries.push_back({static_cast<ULONG>(e.size()), reinterpret_cast<LPBYTE>(e.data())});
            value.Value.MVbin = {static_cast<ULONG>(binaries.size()), binaries.data()};
        } else if (kind == "STRING") {
            // The second surname slot, left empty, would erase the surname just written.
            if (tag == PR_SURNAME && surnameWritten && !*field->getStrValue()) continue;
            if (tag == PR_SURNAME) surnameWritten = true;
            value.Value.lpszA = const_cast<LPSTR>(field->getStrValue());
        } else if (kind == "VECTOR") {
            for (int i = 0; i < field->getVSize(); ++i) {
                CBBuffer* b = field->getVValue(i);
                texts.emplace_back(reinterpret_cast<const char*>(b->GetBuffer()), static_cast<size_t>(b->size()));
            }
            for (auto& t : texts) pointers.push_back(t.data());
            value.Value.MVszA = {static_cast<ULONG>(pointers.size()), pointers.data()};
        } else if (kind == "GENDER") {
            GENDER g = field->getGender();
            value.Value.i = static_cast<SHORT>(g == 1 ? 2 : g == 2 ? 1 : 0);
        } else if (kind == "TIME") {
            SYSTEMTIME st = field->getTime();
            // A date never set has no file time; writing one would invent a date.
            if (!SystemTimeToFileTime(&st, &value.Value.ft)) continue;
        } else {
            continue;
        }
        entry->SetProps(1, &value, nullptr);
    }
    return 0;
}

int COEAddrBook::findEntry(Session& s, LPSRowSet rows, CContact* contact, IMailUser*& entry) {
    entry = nullptr;
    if (!rows) return -1;
    SizedSPropTagArray(2, keys) = {2, {PR_EMAIL_ADDRESS, PR_DISPLAY_NAME}};
    std::string email = contact->getKeyEmail()->getStrValue();
    std::string name = contact->getKeyDisplayName()->getStrValue();
    for (ULONG r = 0; r < rows->cRows; ++r) {
        const SPropValue* id = findValue(rows->aRow[r], PR_ENTRYID);
        if (!id) continue;
        ULONG type = 0;
        IUnknown* object = nullptr;
        if (FAILED(s.container->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr,
                                          MAPI_MODIFY, &type, &object)) ||
            !object)
            continue;
        auto* user = static_cast<IMailUser*>(object);
        ULONG count = 0;
        LPSPropValue values = nullptr;
        bool match = false;
        if (type == MAPI_MAILUSER &&
            SUCCEEDED(user->GetProps(reinterpret_cast<LPSPropTagArray>(&keys), 0, &count, &values)) && values &&
            count == 2) {
            // An entry without one of the two has an empty one, as a contact read from it has.
            auto text = [](const SPropValue& v, ULONG tag) {
                return v.ulPropTag == tag && v.Value.lpszA ? std::string(v.Value.lpszA) : std::string();
            };
            match = text(values[0], PR_EMAIL_ADDRESS) == email && text(values[1], PR_DISPLAY_NAME) == name;
        }
        if (values) s.wab->FreeBuffer(values);
        if (match) {
            entry = user;
            return static_cast<int>(r);
        }
        user->Release();
    }
    return -1;
}

int COEAddrBook::SaveContact(CContact* contact) {
    if (!contact) return 19;
    Session s;
    if (int rc = open(s, MAPI_MODIFY); rc != 0) return rc;
    if (!s.isContainer) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, kSource, "The personal address book is not a container");
        return 19;
    }
    if (int rc = readRows(s, TBL_NOWAIT, s.rows); rc != 0) return rc;
    IMailUser* entry = nullptr;
    bool created = contact->getNewEntry() || !s.rows || s.rows->cRows == 0;
    if (created) {
        SizedSPropTagArray(1, tmpl) = {1, {PR_DEF_CREATE_MAILUSER}};
        ULONG count = 0;
        LPSPropValue values = nullptr;
        HRESULT hr = s.container->GetProps(reinterpret_cast<LPSPropTagArray>(&tmpl), 0, &count, &values);
        if (hr < 0 || !values || values[0].ulPropTag != PR_DEF_CREATE_MAILUSER) {
            if (values) s.wab->FreeBuffer(values);
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, kSource, "GetProps Error: 0x%x", static_cast<unsigned>(hr));
            return 19;
        }
        IMAPIProp* made = nullptr;
        hr = s.container->CreateEntry(values[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(values[0].Value.bin.lpb),
                                      CREATE_CHECK_DUP_STRICT, &made);
        s.wab->FreeBuffer(values);
        if (hr < 0 || !made) {
            log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, kSource, "CreateEntry Error: 0x%x", static_cast<unsigned>(hr));
            return 19;
        }
        entry = static_cast<IMailUser*>(made);
    } else if (findEntry(s, s.rows, contact, entry) < 0) {
        // Nothing to write through: the entry went, or the contact was never in this book.
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, kSource, "No address book entry matches the contact");
        return 19;
    }
    SetUnmanagedProperies(contact, entry);
    HRESULT hr = entry->SaveChanges(KEEP_OPEN_READWRITE);
    entry->Release();
    // A collision says an equal entry is already there; for a new contact nothing was stored.
    if (hr != S_OK && !(hr == MAPI_E_COLLISION && !created)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, kSource, "SaveChanges Error: 0x%x", static_cast<unsigned>(hr));
        return 19;
    }
    contact->getKeyDisplayName()->setValue(contact->findField(PR_DISPLAY_NAME)->getStrValue());
    contact->getKeyEmail()->setValue(contact->findField(PR_EMAIL_ADDRESS)->getStrValue());
    contact->setNewEntry(0);
    return 0;
}

int COEAddrBook::DeleteContact(CContact* contact) {
    if (!contact) return 0;
    Session s;
    if (int rc = open(s, MAPI_MODIFY); rc != 0 || !s.isContainer) return rc;
    if (int rc = readRows(s, TBL_NOWAIT, s.rows); rc != 0) return rc;
    IMailUser* entry = nullptr;
    int row = findEntry(s, s.rows, contact, entry);
    if (row < 0) return 0;
    entry->Release();
    const SPropValue* id = findValue(s.rows->aRow[row], PR_ENTRYID);
    SBinary one = id->Value.bin;
    ENTRYLIST list{1, &one};
    HRESULT hr = s.container->DeleteEntries(&list, 0);
    if (FAILED(hr)) {
        log.Log(CSecLog::SEC_LOG_ERROR, __LINE__, kSource, "DeleteEntries Error: 0x%x", static_cast<unsigned>(hr));
        return 0;
    }
    return hr == S_OK ? 1 : 0;
}
