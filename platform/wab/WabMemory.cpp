#include "WabMemory.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace orvik::wab {

namespace {

constexpr uint32_t kMagic = 0x57414221;  // "WAB!"

struct alignas(std::max_align_t) Header {
    Header* more;  // the blocks allocated onto this one, chained
    uint32_t magic;
    bool child;
};

Header* headerOf(void* block) { return reinterpret_cast<Header*>(static_cast<char*>(block) - sizeof(Header)); }

void* allocate(ULONG size, bool child) {
    // calloc: callers of the SDK expect nothing of the contents, but zeros keep a half-filled
    // structure harmless to free.
    auto* header = static_cast<Header*>(std::calloc(1, sizeof(Header) + size));
    if (!header) return nullptr;
    header->magic = kMagic;
    header->child = child;
    return header + 1;
}

}  // namespace

HRESULT WabMemory::AllocateBuffer(ULONG size, LPVOID* buffer) {
    if (!buffer) return MAPI_E_INVALID_PARAMETER;
    *buffer = allocate(size, false);
    return *buffer ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

HRESULT WabMemory::AllocateMore(ULONG size, LPVOID parent, LPVOID* buffer) {
    if (!buffer || !parent) return MAPI_E_INVALID_PARAMETER;
    Header* root = headerOf(parent);
    if (root->magic != kMagic) return MAPI_E_INVALID_PARAMETER;
    void* block = allocate(size, true);
    if (!block) return MAPI_E_NOT_ENOUGH_MEMORY;
    Header* header = headerOf(block);
    header->more = root->more;
    root->more = header;
    *buffer = block;
    return S_OK;
}

HRESULT WabMemory::FreeBuffer(LPVOID buffer) {
    if (!buffer) return S_OK;
    Header* header = headerOf(buffer);
    // A child block belongs to its parent; freeing it alone would break the parent's chain.
    if (header->magic != kMagic || header->child) return MAPI_E_INVALID_PARAMETER;
    while (header) {
        Header* next = header->more;
        header->magic = 0;
        std::free(header);
        header = next;
    }
    return S_OK;
}

void* WabMemory::copy(const void* data, size_t size, LPVOID parent, bool terminate) {
    if (size + 1 > 0x7FFFFFFF) return nullptr;
    void* block = nullptr;
    if (FAILED(AllocateMore(static_cast<ULONG>(size + (terminate ? 1 : 0)), parent, &block))) return nullptr;
    if (size) std::memcpy(block, data, size);
    return block;
}

}  // namespace orvik::wab
