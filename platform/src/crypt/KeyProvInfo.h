// CRYPT_KEY_PROV_INFO in its stored layout: the structure with 32-bit offsets (from the start of
// the property bytes) in place of its pointers, followed by the UTF-16LE strings and parameters.
#pragma once

#include <vector>

#include <wincrypt.h>

namespace orvik::crypt {

std::vector<BYTE> encodeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info);

// The size of the in-memory structure with everything it points to; 0 when the stored bytes
// are inconsistent.
DWORD keyProvInfoSize(const std::vector<BYTE>& stored);
// Lays the structure out in `out` (keyProvInfoSize bytes), pointers into the same area.
bool decodeKeyProvInfo(const std::vector<BYTE>& stored, BYTE* out, DWORD size);

}  // namespace orvik::crypt
