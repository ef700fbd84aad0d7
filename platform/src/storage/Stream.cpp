// Reads and writes go to the element's bytes at once; they reach the file when the root commits.
#include "Stream.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace orvik::storage {

Stream::Stream(std::shared_ptr<CompoundFile> file, Element& element, DWORD mode)
    : ElementObject(std::move(file), element, mode) {}

HRESULT WINAPI Stream::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) || IsEqualIID(riid, IID_IStream)) {
        *object = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG WINAPI Stream::AddRef() { return addReference(); }

ULONG WINAPI Stream::Release() {
    ULONG left = dropReference();
    if (left == 0) delete this;
    return left;
}

HRESULT WINAPI Stream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    if (!pv) return STG_E_INVALIDPOINTER;
    std::lock_guard lock(file_->mutex());
    const auto& bytes = element_.bytes;
    size_t count = position_ < bytes.size() ? std::min<uint64_t>(cb, bytes.size() - position_) : 0;
    if (count > 0) std::memcpy(pv, bytes.data() + position_, count);
    position_ += count;
    if (pcbRead) *pcbRead = static_cast<ULONG>(count);
    return S_OK;  // fewer bytes than asked for at the end is not an error
}

HRESULT WINAPI Stream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv) return STG_E_INVALIDPOINTER;
    return guarded([&]() -> HRESULT {
        std::lock_guard lock(file_->mutex());
        if (!writable()) return STG_E_ACCESSDENIED;
        if (cb == 0) return S_OK;
        if (position_ > kMaxCompoundFileBytes || cb > kMaxCompoundFileBytes - position_) return STG_E_MEDIUMFULL;
        auto& bytes = element_.bytes;
        size_t end = static_cast<size_t>(position_) + cb;
        if (end > bytes.size()) bytes.resize(end);
        std::memcpy(bytes.data() + position_, pv, cb);
        position_ = end;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    });
}

HRESULT WINAPI Stream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
    std::lock_guard lock(file_->mutex());
    int64_t base = 0;
    switch (dwOrigin) {
    case STREAM_SEEK_SET: base = 0; break;
    case STREAM_SEEK_CUR: base = static_cast<int64_t>(position_); break;
    case STREAM_SEEK_END: base = static_cast<int64_t>(element_.bytes.size()); break;
    default: return STG_E_INVALIDFUNCTION;
    }
    int64_t target = 0;
    if (__builtin_add_overflow(base, dlibMove.QuadPart, &target) || target < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<uint64_t>(target);
    if (plibNewPosition) plibNewPosition->QuadPart = position_;
    return S_OK;
}

HRESULT WINAPI Stream::SetSize(ULARGE_INTEGER libNewSize) {
    return guarded([&]() -> HRESULT {
        std::lock_guard lock(file_->mutex());
        if (!writable()) return STG_E_ACCESSDENIED;
        if (libNewSize.QuadPart > kMaxCompoundFileBytes) return STG_E_MEDIUMFULL;
        element_.bytes.resize(static_cast<size_t>(libNewSize.QuadPart));  // new bytes are zeros
        return S_OK;
    });
}

// Direct mode: there is nothing of this stream's own to commit.
HRESULT WINAPI Stream::Commit(DWORD) { return S_OK; }

HRESULT WINAPI Stream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    return guarded([&]() -> HRESULT {
        std::lock_guard lock(file_->mutex());
        return stat(pstatstg, grfStatFlag, element_.name, STGTY_STREAM);
    });
}

// Not offered: they answer so and change nothing.
HRESULT WINAPI Stream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
    if (pcbRead) pcbRead->QuadPart = 0;
    if (pcbWritten) pcbWritten->QuadPart = 0;
    return STG_E_INVALIDFUNCTION;
}
HRESULT WINAPI Stream::Revert() { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Stream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Stream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }
HRESULT WINAPI Stream::Clone(IStream** ppstm) {
    if (ppstm) *ppstm = nullptr;
    return STG_E_INVALIDFUNCTION;
}

}  // namespace orvik::storage
