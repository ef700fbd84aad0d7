// The rule every variable-size output of the SDK follows: a null area asks for the size; a short
// one gets ERROR_MORE_DATA and the size it needs; otherwise the bytes and their count.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <winbase.h>
#include <wincrypt.h>

namespace orvik::crypt {

inline BOOL copyOut(const void* bytes, size_t n, void* out, DWORD* size) {
    if (!size) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (!out) {
        *size = static_cast<DWORD>(n);
        return TRUE;
    }
    if (*size < n) {
        *size = static_cast<DWORD>(n);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (n) std::memcpy(out, bytes, n);
    *size = static_cast<DWORD>(n);
    return TRUE;
}

inline BOOL copyOut(const std::vector<BYTE>& bytes, void* out, DWORD* size) {
    return copyOut(bytes.data(), bytes.size(), out, size);
}

inline BOOL copyOut(const std::string& bytes, void* out, DWORD* size) {
    return copyOut(bytes.data(), bytes.size(), out, size);
}

}  // namespace orvik::crypt
