#include "StoreEntry.h"

#include <cstring>

namespace orvik::crypt {

namespace {

constexpr size_t kRecordHeader = 12;

void put32(std::vector<BYTE>& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

void putRecord(std::vector<BYTE>& out, DWORD id, const std::vector<BYTE>& bytes) {
    put32(out, id);
    put32(out, 1);
    put32(out, static_cast<DWORD>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<BYTE> encodeElement(const Properties& props, const std::vector<BYTE>& der) {
    std::vector<BYTE> out;
    for (const auto& [id, bytes] : props)
        if (id != CERT_CERT_PROP_ID) putRecord(out, id, bytes);
    putRecord(out, CERT_CERT_PROP_ID, der);
    return out;
}

bool decodeElement(const BYTE* data, size_t size, Properties& props, std::vector<BYTE>& der) {
    props.clear();
    der.clear();
    size_t at = 0;
    while (at < size) {
        if (size - at < kRecordHeader) return false;
        DWORD id = get32(data + at);
        DWORD length = get32(data + at + 8);
        at += kRecordHeader;
        if (length > size - at) return false;
        if (id == CERT_CERT_PROP_ID) {
            der.assign(data + at, data + at + length);
            // The certificate ends the element; anything after it is not ours to read.
            return !der.empty();
        }
        props[id].assign(data + at, data + at + length);
        at += length;
    }
    return false;
}

}  // namespace orvik::crypt
