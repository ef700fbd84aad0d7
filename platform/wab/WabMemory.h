// The address book's allocator: blocks the caller frees with IWABObject::FreeBuffer. A block
// from AllocateMore hangs off its parent and goes when the parent goes.
#pragma once

#include <wabdefs.h>

namespace orvik::wab {

class WabMemory {
public:
    static HRESULT AllocateBuffer(ULONG size, LPVOID* buffer);
    static HRESULT AllocateMore(ULONG size, LPVOID parent, LPVOID* buffer);
    static HRESULT FreeBuffer(LPVOID buffer);

    // Copies bytes into a block of `parent`; a terminating NUL when `terminate`. Null on failure.
    static void* copy(const void* data, size_t size, LPVOID parent, bool terminate);
};

}  // namespace orvik::wab
