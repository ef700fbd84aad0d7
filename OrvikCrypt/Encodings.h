// Text forms of bytes: Base64, certificate thumbprint text, form escaping, and a raw dump to a
// file. The two codecs keep plain C names: programs look them up by those names.
#pragma once

#include <string>
#include <string_view>

#include "OrvikCryptApi.h"

extern "C" {

// Encodes `count` bytes as one line of Base64 with "=" padding; `out` must hold
// 4 * ceil(count / 3) characters plus the NUL. Always returns 1.
ORVIKCRYPT_API int base64encoding(const char* bytes, unsigned count, char* out, int* outLength);

// Decodes a NUL-terminated Base64 text, skipping every character outside the alphabet. `out`
// must hold base64DecodedCapacity(text) bytes. Returns 1 when the text ends on a group boundary,
// 0 when it ends inside a group (only complete groups are decoded then).
ORVIKCRYPT_API int base64decoding(const char* text, char* out, int* outLength);

// As base64decoding, but never writes past `outSize` bytes: returns -1 and writes nothing when
// the area is too small.
ORVIKCRYPT_API int base64decodingBounded(const char* text, char* out, int outSize, int* outLength);

// The bytes base64decoding may write for this text: three a group plus one.
ORVIKCRYPT_API int base64DecodedCapacity(const char* text);

}  // extern "C"

// Thumbprint text: "%02x" pairs joined by single spaces. The three-argument form writes at most
// 100 bytes (33 input bytes; more are not printed); the bounded form at most `outSize` bytes,
// cutting the text at a pair boundary.
ORVIKCRYPT_API void BinToThumb(const char* bytes, int count, char* out);
ORVIKCRYPT_API void BinToThumb(const char* bytes, int count, char* out, size_t outSize);
ORVIKCRYPT_API std::string BinToThumb(std::string_view bytes);

// Escapes "+", carriage return, line feed and "=" for a form body ("%" itself stays). Takes
// ownership of `text`, a block from new char[], and deletes it. Returns 0.
ORVIKCRYPT_API int HttpEncode(char* text, std::string& out);
ORVIKCRYPT_API std::string HttpEncode(std::string_view text);

// Creates or truncates the file and writes the bytes; does nothing when it cannot be created.
ORVIKCRYPT_API void logFile(const char* path, const char* bytes, int count);

// C++ forms of the codecs, for code that has no fixed-size areas.
ORVIKCRYPT_API std::string base64Encode(std::string_view bytes);
ORVIKCRYPT_API std::string base64Decode(std::string_view text, bool* complete = nullptr);
