// A stream of an open compound file: its bytes in memory under a seek pointer of its own.
#pragma once

#include <cstdint>
#include <memory>

#include <objidl.h>

#include "ElementObject.h"

namespace orvik::storage {

class Stream final : public IStream, private ElementObject {
public:
    // The caller holds the file's mutex and has seen the element not open.
    Stream(std::shared_ptr<CompoundFile> file, Element& element, DWORD mode);

    HRESULT WINAPI QueryInterface(REFIID riid, void** object) override;
    ULONG WINAPI AddRef() override;
    ULONG WINAPI Release() override;

    HRESULT WINAPI Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT WINAPI Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT WINAPI Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
    HRESULT WINAPI SetSize(ULARGE_INTEGER libNewSize) override;
    HRESULT WINAPI CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
    HRESULT WINAPI Commit(DWORD grfCommitFlags) override;
    HRESULT WINAPI Revert() override;
    HRESULT WINAPI LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT WINAPI UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT WINAPI Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    HRESULT WINAPI Clone(IStream** ppstm) override;

private:
    ~Stream() = default;

    uint64_t position_ = 0;  // may lie past the end: a write there fills the gap with zeros
};

}  // namespace orvik::storage
