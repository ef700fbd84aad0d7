// Children are opened as a compound file opens them: share-exclusive, no wider access than the
// parent's, and only one object open on an element at a time.
#include "Storage.h"

#include <mutex>
#include <string>

#include "Stream.h"

namespace orvik::storage {
namespace {

constexpr DWORD kAccessMask = 0x3;
constexpr DWORD kShareMask = 0x70;

// Names longer than a directory entry holds, or with characters it may not hold, are invalid.
HRESULT checkName(const OLECHAR* name, std::u16string& out) {
    if (!name) return STG_E_INVALIDNAME;
    size_t length = 0;
    while (name[length] != u'\0') {
        if (length == kMaxElementName) return STG_E_INVALIDNAME;
        OLECHAR c = name[length];
        if (c == u'/' || c == u'\\' || c == u':' || c == u'!') return STG_E_INVALIDNAME;
        ++length;
    }
    out.assign(name, length);
    return S_OK;
}

HRESULT checkChildMode(DWORD mode, bool parentWritable) {
    if (mode & ~(kAccessMask | kShareMask)) return STG_E_INVALIDFLAG;  // transacted, create, ...
    DWORD access = mode & kAccessMask;
    if (access != STGM_READ && access != STGM_READWRITE) return STG_E_INVALIDFLAG;
    if ((mode & kShareMask) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFUNCTION;
    if (access == STGM_READWRITE && !parentWritable) return STG_E_ACCESSDENIED;
    return S_OK;
}

}  // namespace

Storage::Storage(std::shared_ptr<CompoundFile> file, Element& element, DWORD mode, bool root)
    : ElementObject(std::move(file), element, mode), root_(root) {}

HRESULT WINAPI Storage::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStorage)) {
        *object = static_cast<IStorage*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG WINAPI Storage::AddRef() { return addReference(); }

ULONG WINAPI Storage::Release() {
    ULONG left = dropReference();
    if (left == 0) delete this;  // the last object on the file closes it: uncommitted changes are lost
    return left;
}

HRESULT Storage::findChild(const OLECHAR* name, DWORD mode, bool storage, Element*& found) {
    std::u16string childName;
    if (HRESULT hr = checkName(name, childName); FAILED(hr)) return hr;
    if (HRESULT hr = checkChildMode(mode, writable()); FAILED(hr)) return hr;
    Element* child = element_.child(childName);
    if (!child || child->storage != storage) return STG_E_FILENOTFOUND;
    if (child->open) return STG_E_ACCESSDENIED;
    found = child;
    return S_OK;
}

HRESULT WINAPI Storage::OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                                   IStream** ppstm) {
    if (!ppstm) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    if (reserved1 || reserved2) return STG_E_INVALIDPARAMETER;
    return guarded([&]() -> HRESULT {
        std::lock_guard lock(file_->mutex());
        Element* child = nullptr;
        if (HRESULT hr = findChild(pwcsName, grfMode, false, child); FAILED(hr)) return hr;
        *ppstm = new Stream(file_, *child, grfMode);
        return S_OK;
    });
}

HRESULT WINAPI Storage::OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                                    DWORD reserved, IStorage** ppstg) {
    if (!ppstg) return STG_E_INVALIDPOINTER;
    *ppstg = nullptr;
    if (pstgPriority || snbExclude || reserved) return STG_E_INVALIDPARAMETER;
    return guarded([&]() -> HRESULT {
        std::lock_guard lock(file_->mutex());
        Element* child = nullptr;
        if (HRESULT hr = findChild(pwcsName, grfMode, true, child); FAILED(hr)) return hr;
        *ppstg = new Storage(file_, *child, grfMode, false);
        return S_OK;
    });
}

HRESULT WINAPI Storage::Commit(DWORD grfCommitFlags) {
    constexpr DWORD kKnown =
        STGC_OVERWRITE | STGC_ONLYIFCURRENT | STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE | STGC_CONSOLIDATE;
    if (grfCommitFlags & ~kKnown) return STG_E_INVALIDFLAG;
    std::lock_guard lock(file_->mutex());
    if (!writable()) return STG_E_ACCESSDENIED;
    // The root's commit writes the whole tree, this storage's changes with it.
    if (!root_) return S_OK;
    return file_->commit();
}

HRESULT WINAPI Storage::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    return guarded([&]() -> HRESULT {
        std::lock_guard lock(file_->mutex());
        return stat(pstatstg, grfStatFlag, root_ ? file_->shownName() : element_.name, STGTY_STORAGE);
    });
}

// Not offered: they answer so and change nothing.
HRESULT WINAPI Storage::CreateStream(const OLECHAR*, DWORD, DWORD, DWORD, IStream** ppstm) {
    if (ppstm) *ppstm = nullptr;
    return STG_E_INVALIDFUNCTION;
}
HRESULT WINAPI Storage::CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD, IStorage** ppstg) {
    if (ppstg) *ppstg = nullptr;
    return STG_E_INVALIDFUNCTION;
}
HRESULT WINAPI Storage::CopyTo(DWORD, const IID*, SNB, IStorage*) { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Storage::MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) {
    return STG_E_INVALIDFUNCTION;
}
HRESULT WINAPI Storage::Revert() { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Storage::EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) {
    if (ppenum) *ppenum = nullptr;
    return STG_E_INVALIDFUNCTION;
}
HRESULT WINAPI Storage::DestroyElement(const OLECHAR*) { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Storage::RenameElement(const OLECHAR*, const OLECHAR*) { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Storage::SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*, const FILETIME*) {
    return STG_E_INVALIDFUNCTION;
}
HRESULT WINAPI Storage::SetClass(REFCLSID) { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Storage::SetStateBits(DWORD, DWORD) { return STG_E_INVALIDFUNCTION; }

}  // namespace orvik::storage
