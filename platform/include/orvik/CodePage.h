// The one place where text crosses between UTF-8 (the build's ANSI code page) and code page 936
// (GBK), the code page of the bytes that travel to and from the system's Windows users.
#pragma once

#include <string>
#include <string_view>

#include "../windef.h"

namespace orvik {

// Characters that code page 936 cannot carry, and bytes that are not UTF-8, become "?", as
// Windows substitutes its default character. Returns false when anything was substituted.
ORVIK_PLATFORM_API bool utf8ToCp936(std::string_view utf8, std::string& out);

// Byte sequences that are not code page 936 become "?". Returns false when anything was
// substituted.
ORVIK_PLATFORM_API bool cp936ToUtf8(std::string_view cp936, std::string& out);

// Well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF. Text that is not is
// taken to be code page 936 by the readers of outside files.
ORVIK_PLATFORM_API bool isValidUtf8(std::string_view text);

// UTF-8 and UTF-16 (the platform's wide strings). Malformed input becomes U+FFFD.
ORVIK_PLATFORM_API std::u16string utf8ToUtf16(std::string_view utf8);
ORVIK_PLATFORM_API std::string utf16ToUtf8(std::u16string_view utf16);
// Stored UTF-16LE bytes (a property's text), up to the first NUL, as UTF-8.
ORVIK_PLATFORM_API std::string utf16LeBytesToUtf8(const unsigned char* bytes, size_t size);

// Convenience forms that only give the text.
ORVIK_PLATFORM_API std::string toCp936(std::string_view utf8);
ORVIK_PLATFORM_API std::string fromCp936(std::string_view cp936);

}  // namespace orvik
