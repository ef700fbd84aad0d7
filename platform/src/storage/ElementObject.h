// What a storage object and a stream object opened on an element share: the compound file they
// keep open, the element and its open mark, the mode, the reference count.
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <string_view>

#include <objidl.h>

#include "CompoundFile.h"

namespace orvik::storage {

class ElementObject {
protected:
    // The caller holds the file's mutex and has seen the element not open.
    ElementObject(std::shared_ptr<CompoundFile> file, Element& element, DWORD mode);
    ~ElementObject();
    ElementObject(const ElementObject&) = delete;
    ElementObject& operator=(const ElementObject&) = delete;

    bool writable() const { return (mode_ & 3) == STGM_READWRITE; }
    // Fills a STATSTG: the name (unless STATFLAG_NONAME) in memory from CoTaskMemAlloc.
    HRESULT stat(STATSTG* out, DWORD flags, std::u16string_view name, DWORD type) const;

    ULONG addReference() { return ++references_; }
    ULONG dropReference() { return --references_; }

    std::shared_ptr<CompoundFile> file_;
    Element& element_;
    const DWORD mode_;

private:
    std::atomic<ULONG> references_{1};
};

// Runs a method body; nothing thrown crosses the interface.
template <class Body>
HRESULT guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return STG_E_INSUFFICIENTMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace orvik::storage
