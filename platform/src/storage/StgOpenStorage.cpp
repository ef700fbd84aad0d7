// The entry point: direct-mode opens of an existing compound file.
#include <memory>
#include <new>
#include <string>

#include <objbase.h>
#include <orvik/CodePage.h>

#include "CompoundFile.h"
#include "Storage.h"

using orvik::storage::CompoundFile;

namespace {

// The direct-mode combinations Windows accepts for a root, less the ones that share writing.
bool acceptedRootMode(DWORD mode) {
    return mode == (STGM_READ | STGM_SHARE_DENY_WRITE) || mode == (STGM_READ | STGM_SHARE_EXCLUSIVE) ||
           mode == (STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
}

}  // namespace

HRESULT WINAPI StgOpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                              DWORD reserved, IStorage** ppstgOpen) {
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (!pwcsName || !*pwcsName) return STG_E_INVALIDNAME;
    if (pstgPriority || snbExclude || reserved) return STG_E_INVALIDPARAMETER;
    if (!acceptedRootMode(grfMode)) return STG_E_INVALIDFLAG;
    return orvik::storage::guarded([&]() -> HRESULT {
        std::u16string name(pwcsName);
        std::shared_ptr<CompoundFile> file;
        if (HRESULT hr = CompoundFile::open(orvik::utf16ToUtf8(name), name, grfMode, file); FAILED(hr)) return hr;
        *ppstgOpen = new orvik::storage::Storage(file, file->root(), grfMode, true);
        return S_OK;
    });
}
