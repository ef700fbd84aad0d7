#include "KeyProvInfo.h"

#include <cstring>

namespace orvik::crypt {

namespace {

constexpr size_t kHeader = 7 * 4;  // seven 32-bit fields
constexpr size_t kParam = 4 * 4;   // dwParam, offset, cbData, dwFlags

void put32(std::vector<BYTE>& out, size_t at, DWORD v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(v >> (8 * i));
}

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

void putWide(std::vector<BYTE>& out, const WCHAR* s) {
    for (size_t i = 0;; ++i) {
        out.push_back(static_cast<BYTE>(s[i] & 0xFF));
        out.push_back(static_cast<BYTE>(s[i] >> 8));
        if (!s[i]) break;
    }
}

// Characters (with the NUL) of a stored UTF-16LE string at `offset`; 0 when it runs off the end.
size_t storedWideLength(const std::vector<BYTE>& stored, DWORD offset) {
    if (offset == 0) return 0;
    for (size_t at = offset; at + 1 < stored.size(); at += 2)
        if (stored[at] == 0 && stored[at + 1] == 0) return (at - offset) / 2 + 1;
    return static_cast<size_t>(-1);
}

size_t alignUp(size_t n) { return (n + alignof(void*) - 1) & ~(alignof(void*) - 1); }

}  // namespace

std::vector<BYTE> encodeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
    std::vector<BYTE> out(kHeader, 0);
    DWORD container = 0, provider = 0, params = 0;
    if (info.pwszContainerName) {
        container = static_cast<DWORD>(out.size());
        putWide(out, info.pwszContainerName);
    }
    if (info.pwszProvName) {
        provider = static_cast<DWORD>(out.size());
        putWide(out, info.pwszProvName);
    }
    if (info.cProvParam && info.rgProvParam) {
        params = static_cast<DWORD>(out.size());
        size_t table = out.size();
        out.resize(out.size() + kParam * info.cProvParam, 0);
        for (DWORD i = 0; i < info.cProvParam; ++i) {
            const auto& p = info.rgProvParam[i];
            size_t row = table + kParam * i;
            put32(out, row, p.dwParam);
            put32(out, row + 8, p.cbData);
            put32(out, row + 12, p.dwFlags);
            if (p.cbData && p.pbData) {
                put32(out, row + 4, static_cast<DWORD>(out.size()));
                out.insert(out.end(), p.pbData, p.pbData + p.cbData);
            }
        }
    }
    put32(out, 0, container);
    put32(out, 4, provider);
    put32(out, 8, info.dwProvType);
    put32(out, 12, info.dwFlags);
    put32(out, 16, params ? info.cProvParam : 0);
    put32(out, 20, params);
    put32(out, 24, info.dwKeySpec);
    return out;
}

DWORD keyProvInfoSize(const std::vector<BYTE>& stored) {
    if (stored.size() < kHeader) return 0;
    const BYTE* p = stored.data();
    size_t container = storedWideLength(stored, get32(p));
    size_t provider = storedWideLength(stored, get32(p + 4));
    DWORD count = get32(p + 16);
    DWORD table = get32(p + 20);
    if (container == static_cast<size_t>(-1) || provider == static_cast<size_t>(-1)) return 0;
    size_t size = alignUp(sizeof(CRYPT_KEY_PROV_INFO)) + alignUp(container * 2) + alignUp(provider * 2);
    if (count) {
        if (table < kHeader || table > stored.size() || count > (stored.size() - table) / kParam) return 0;
        size += alignUp(sizeof(CRYPT_KEY_PROV_PARAM) * count);
        for (DWORD i = 0; i < count; ++i) {
            const BYTE* row = p + table + kParam * i;
            DWORD off = get32(row + 4), len = get32(row + 8);
            if (len && (off > stored.size() || len > stored.size() - off)) return 0;
            size += alignUp(len);
        }
    }
    return static_cast<DWORD>(size);
}

bool decodeKeyProvInfo(const std::vector<BYTE>& stored, BYTE* out, DWORD size) {
    DWORD need = keyProvInfoSize(stored);
    if (!need || size < need) return false;
    std::memset(out, 0, need);
    const BYTE* p = stored.data();
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out);
    BYTE* free = out + alignUp(sizeof(CRYPT_KEY_PROV_INFO));
    auto copyWide = [&](DWORD offset) -> WCHAR* {
        size_t n = storedWideLength(stored, offset);
        if (n == 0) return nullptr;
        auto* w = reinterpret_cast<WCHAR*>(free);
        for (size_t i = 0; i < n; ++i)
            w[i] = static_cast<WCHAR>(stored[offset + 2 * i] | stored[offset + 2 * i + 1] << 8);
        free += alignUp(n * 2);
        return w;
    };
    info->pwszContainerName = copyWide(get32(p));
    info->pwszProvName = copyWide(get32(p + 4));
    info->dwProvType = get32(p + 8);
    info->dwFlags = get32(p + 12);
    info->cProvParam = get32(p + 16);
    info->dwKeySpec = get32(p + 24);
    if (info->cProvParam) {
        DWORD table = get32(p + 20);
        info->rgProvParam = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(free);
        free += alignUp(sizeof(CRYPT_KEY_PROV_PARAM) * info->cProvParam);
        for (DWORD i = 0; i < info->cProvParam; ++i) {
            const BYTE* row = p + table + kParam * i;
            auto& param = info->rgProvParam[i];
            param.dwParam = get32(row);
            param.cbData = get32(row + 8);
            param.dwFlags = get32(row + 12);
            if (param.cbData) {
                param.pbData = free;
                std::memcpy(free, p + get32(row + 4), param.cbData);
                free += alignUp(param.cbData);
            }
        }
    }
    return true;
}

}  // namespace orvik::crypt
