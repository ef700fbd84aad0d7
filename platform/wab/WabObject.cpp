#include "WabObject.h"

#include "WabMemory.h"

namespace orvik::wab {

HRESULT WINAPI WabObject::AllocateBuffer(ULONG size, LPVOID* buffer) { return WabMemory::AllocateBuffer(size, buffer); }

HRESULT WINAPI WabObject::AllocateMore(ULONG size, LPVOID parent, LPVOID* buffer) {
    return WabMemory::AllocateMore(size, parent, buffer);
}

HRESULT WINAPI WabObject::FreeBuffer(LPVOID buffer) { return WabMemory::FreeBuffer(buffer); }

}  // namespace orvik::wab
