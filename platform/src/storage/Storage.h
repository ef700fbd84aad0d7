// A storage of an open compound file: its children opened by name, the root's commit, Stat. The
// methods that would change the tree's shape are not offered.
#pragma once

#include <memory>

#include <objidl.h>

#include "ElementObject.h"

namespace orvik::storage {

class Storage final : public IStorage, private ElementObject {
public:
    // The caller holds the file's mutex (or has the file to itself) and has seen the element not open.
    Storage(std::shared_ptr<CompoundFile> file, Element& element, DWORD mode, bool root);

    HRESULT WINAPI QueryInterface(REFIID riid, void** object) override;
    ULONG WINAPI AddRef() override;
    ULONG WINAPI Release() override;

    HRESULT WINAPI CreateStream(const OLECHAR*, DWORD, DWORD, DWORD, IStream** ppstm) override;
    HRESULT WINAPI OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                              IStream** ppstm) override;
    HRESULT WINAPI CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD, IStorage** ppstg) override;
    HRESULT WINAPI OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                               DWORD reserved, IStorage** ppstg) override;
    HRESULT WINAPI CopyTo(DWORD, const IID*, SNB, IStorage*) override;
    HRESULT WINAPI MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) override;
    HRESULT WINAPI Commit(DWORD grfCommitFlags) override;
    HRESULT WINAPI Revert() override;
    HRESULT WINAPI EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) override;
    HRESULT WINAPI DestroyElement(const OLECHAR*) override;
    HRESULT WINAPI RenameElement(const OLECHAR*, const OLECHAR*) override;
    HRESULT WINAPI SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*, const FILETIME*) override;
    HRESULT WINAPI SetClass(REFCLSID) override;
    HRESULT WINAPI SetStateBits(DWORD, DWORD) override;
    HRESULT WINAPI Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

private:
    ~Storage() = default;
    // The child to open, or the code that refuses it.
    HRESULT findChild(const OLECHAR* name, DWORD mode, bool storage, Element*& found);

    const bool root_;
};

}  // namespace orvik::storage
