#include "Encodings.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include <orvik/AtomicFile.h>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// 0-63 for the alphabet, 64 for "=", -1 for characters that are skipped.
int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 64;
    return -1;
}

int significantCount(std::string_view text) {
    int n = 0;
    for (unsigned char c : text)
        if (sextet(c) >= 0) ++n;
    return n;
}

// The decoder's walk. `sink(offset, byte)` receives every byte the algorithm writes, including
// the 0 written after each group and at the corrected end. Returns 1 or 0 as base64decoding.
template <class Sink>
int decodeInto(std::string_view text, int* outLength, Sink sink) {
    int length = 0;
    int group[4];
    int filled = 0;
    bool thirdPad = false;
    bool fourthPad = false;
    for (unsigned char c : text) {
        int v = sextet(c);
        if (v < 0) continue;
        group[filled++] = v;
        if (filled < 4) continue;
        thirdPad = group[2] == 64;
        fourthPad = group[3] == 64;
        int a = group[0] & 63, b = group[1] & 63;
        int c3 = thirdPad ? 0 : group[2] & 63, d = fourthPad ? 0 : group[3] & 63;
        unsigned char b0 = static_cast<unsigned char>((a << 2) | (b >> 4));
        unsigned char b1 = static_cast<unsigned char>(((b & 0x0F) << 4) | (c3 >> 2));
        unsigned char b2 = static_cast<unsigned char>(((c3 & 0x03) << 6) | d);
        if (thirdPad) b1 = 0;
        if (thirdPad || fourthPad) b2 = 0;
        sink(length, b0);
        sink(length + 1, b1);
        sink(length + 2, b2);
        sink(length + 3, 0);
        length += 3;
        filled = 0;
    }
    if (filled != 0) {
        *outLength = length;
        return 0;
    }
    if (length > 0 && thirdPad) {
        --length;
        sink(length, 0);
    }
    if (length > 0 && fourthPad) {
        --length;
        sink(length, 0);
    }
    *outLength = length;
    return 1;
}

void appendThumb(std::string& out, const unsigned char* bytes, int count) {
    char pair[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(bytes[i]));
        if (i) out.push_back(' ');
        size_t n = std::strlen(pair);
        out.append(pair + n - 2, 2);
    }
}

}  // namespace

extern "C" int base64encoding(const char* bytes, unsigned count, char* out, int* outLength) {
    *outLength = 0;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
    char* o = out;
    for (unsigned i = 0; i < count; i += 3) {
        unsigned left = count - i;
        unsigned b0 = in[i];
        unsigned b1 = left > 1 ? in[i + 1] : 0;
        unsigned b2 = left > 2 ? in[i + 2] : 0;
        *o++ = kAlphabet[b0 >> 2];
        *o++ = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        *o++ = left > 1 ? kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)] : '=';
        *o++ = left > 2 ? kAlphabet[b2 & 0x3F] : '=';
        *outLength += 4;
    }
    *o = '\0';
    return 1;
}

extern "C" int base64DecodedCapacity(const char* text) {
    if (!text) return 1;
    return significantCount(text) / 4 * 3 + 1;
}

extern "C" int base64decodingBounded(const char* text, char* out, int outSize, int* outLength) {
    *outLength = 0;
    std::string_view in = text ? text : "";
    if (!out || outSize < significantCount(in) / 4 * 3 + 1) return -1;
    return decodeInto(in, outLength, [out](int at, unsigned char b) { out[at] = static_cast<char>(b); });
}

extern "C" int base64decoding(const char* text, char* out, int* outLength) {
    return base64decodingBounded(text, out, base64DecodedCapacity(text), outLength);
}

std::string base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = 0;
    base64encoding(bytes.data(), static_cast<unsigned>(bytes.size()), out.data(), &n);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string base64Decode(std::string_view text, bool* complete) {
    std::string out(static_cast<size_t>(significantCount(text) / 4 * 3 + 1), '\0');
    int n = 0;
    int rc =
        decodeInto(text, &n, [&out](int at, unsigned char b) { out[static_cast<size_t>(at)] = static_cast<char>(b); });
    if (complete) *complete = rc == 1;
    out.resize(static_cast<size_t>(n));
    return out;
}

void BinToThumb(const char* bytes, int count, char* out, size_t outSize) {
    if (!out || outSize == 0) return;
    std::string text;
    if (bytes && count > 0) {
        // Whole pairs only: each takes three bytes of the area (two digits and a space or the NUL).
        int fit = static_cast<int>(outSize / 3);
        appendThumb(text, reinterpret_cast<const unsigned char*>(bytes), count < fit ? count : fit);
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
}

void BinToThumb(const char* bytes, int count, char* out) { BinToThumb(bytes, count, out, 100); }

std::string BinToThumb(std::string_view bytes) {
    std::string text;
    appendThumb(text, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    return text;
}

std::string HttpEncode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // The four escapes are applied in turn ("+", CR, LF, "="); none of them contains another's
    // character, so one pass gives the same text.
    for (char c : text) {
        switch (c) {
        case '+': out += "%2B"; break;
        case '\r': out += "%0D"; break;
        case '\n': out += "%0A"; break;
        case '=': out += "%3D"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

int HttpEncode(char* text, std::string& out) {
    out = HttpEncode(std::string_view(text ? text : ""));
    delete[] text;
    return 0;
}

void logFile(const char* path, const char* bytes, int count) {
    if (!path) return;
    const size_t size = bytes && count > 0 ? static_cast<size_t>(count) : 0;
    orvik::writeFileAtomically(path, std::string_view(bytes ? bytes : "", size));
}
