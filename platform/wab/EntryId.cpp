#include "EntryId.h"

#include <cstring>

#include "WabMemory.h"

namespace orvik::wab {

const EntryKey& EntryId::containerKey() {
    static const EntryKey key{};
    return key;
}

const EntryKey& EntryId::mailUserTemplateKey() {
    // Random keys are never this: its first byte is zero and the rest is a fixed pattern, a
    // collision as likely as any other 16-byte value.
    static const EntryKey key{0x00, 'O', 'R', 'V', 'I', 'K', '-', 'M', 'A', 'I', 'L', 'U', 'S', 'E', 'R', 0x01};
    return key;
}

bool EntryId::parse(ULONG size, const ENTRYID* id, EntryKey& key) {
    if (!id || size != kSize) return false;
    const BYTE* raw = reinterpret_cast<const BYTE*>(id);
    if (raw[0] || raw[1] || raw[2] || raw[3]) return false;
    std::memcpy(key.data(), raw + 4, key.size());
    return true;
}

std::string EntryId::bytes(const EntryKey& key) {
    std::string out(4, '\0');
    out.append(reinterpret_cast<const char*>(key.data()), key.size());
    return out;
}

LPENTRYID EntryId::allocate(const EntryKey& key, LPVOID parent) {
    std::string raw = bytes(key);
    void* block = nullptr;
    if (parent) {
        block = WabMemory::copy(raw.data(), raw.size(), parent, false);
    } else if (SUCCEEDED(WabMemory::AllocateBuffer(kSize, &block))) {
        std::memcpy(block, raw.data(), raw.size());
    }
    return static_cast<LPENTRYID>(block);
}

}  // namespace orvik::wab
