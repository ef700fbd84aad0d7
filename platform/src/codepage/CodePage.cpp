#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <orvik/CodePage.h>
#include <winbase.h>
#include <winnls.h>

namespace {

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};

// Length of the UTF-8 sequence a lead byte starts, 1 for a stray byte.
size_t utf8Length(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC2) return 2;
    return 1;
}

// Runs iconv over the whole input; on a sequence it cannot convert writes "?" and skips the
// sequence (skip() says how far), so one bad character never costs the rest of the text.
// The input may be a view of `out` itself: the result is built apart and moved in at the end.
template <class Skip>
bool convert(const char* to, const char* from, std::string_view in, std::string& result, Skip skip) {
    std::string out;
    iconv_t raw = iconv_open(to, from);
    if (raw == reinterpret_cast<iconv_t>(-1)) {
        result.assign(in.size(), '?');
        return false;
    }
    std::unique_ptr<void, IconvCloser> cd(raw);
    bool clean = true;
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buffer[1024];
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t rc = iconv(raw, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (rc != static_cast<size_t>(-1)) {
            if (rc > 0) clean = false;  // glibc counts irreversible conversions here
            continue;
        }
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL (a sequence cut at the end): substitute and go on.
        size_t n = skip(reinterpret_cast<const unsigned char*>(src), srcLeft);
        if (n == 0 || n > srcLeft) n = 1;
        src += n;
        srcLeft -= n;
        out.push_back('?');
        clean = false;
        iconv(raw, nullptr, nullptr, nullptr, nullptr);
    }
    result = std::move(out);
    return clean;
}

}  // namespace

namespace orvik {

bool utf8ToCp936(std::string_view utf8, std::string& out) {
    return convert("CP936", "UTF-8", utf8, out, [](const unsigned char* p, size_t left) {
        size_t n = utf8Length(*p);
        // A malformed sequence loses only its first byte.
        for (size_t i = 1; i < n; ++i)
            if (i >= left || (p[i] & 0xC0) != 0x80) return size_t{1};
        return n;
    });
}

bool cp936ToUtf8(std::string_view cp936, std::string& out) {
    return convert("UTF-8", "CP936", cp936, out, [](const unsigned char* p, size_t left) {
        // A double-byte lead with a valid trail byte is one character; otherwise skip one byte.
        if (*p >= 0x81 && *p <= 0xFE && left >= 2 && p[1] >= 0x40 && p[1] != 0x7F && p[1] != 0xFF) return size_t{2};
        return size_t{1};
    });
}

std::string toCp936(std::string_view utf8) {
    std::string out;
    utf8ToCp936(utf8, out);
    return out;
}

std::string fromCp936(std::string_view cp936) {
    std::string out;
    cp936ToUtf8(cp936, out);
    return out;
}

}  // namespace orvik

namespace orvik {

std::u16string utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = utf8Length(c);
        char32_t cp = 0xFFFD;
        if (n == 1 && c < 0x80) {
            cp = c;
        } else if (n > 1 && i + n <= s.size()) {
            cp = c & (0x3F >> (n - 1));
            bool ok = true;
            for (size_t k = 1; k < n; ++k) {
                unsigned char t = static_cast<unsigned char>(s[i + k]);
                if ((t & 0xC0) != 0x80) ok = false;
                cp = (cp << 6) | (t & 0x3F);
            }
            bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
            if (!ok || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                cp = 0xFFFD;
                n = 1;
            }
        } else {
            n = 1;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string utf16LeBytesToUtf8(const unsigned char* bytes, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
        if (!c) break;
        text.push_back(c);
    }
    return utf16ToUtf8(text);
}

std::string utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size() * 3);
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        char32_t cp = c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
        if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
        i += len;
    }
    return true;
}

}  // namespace orvik

namespace {

bool knownCodePage(UINT cp) { return cp == CP_ACP || cp == CP_UTF8 || cp == 936; }

}  // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int size, LPWSTR out, int outSize) {
    if (!knownCodePage(codePage)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    if (!text || size == 0 || size < -1 || outSize < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A length of -1 means a NUL-terminated text, and the NUL is converted too.
    std::string_view in(text, size == -1 ? std::strlen(text) + 1 : static_cast<size_t>(size));
    std::u16string wide = codePage == 936 ? orvik::utf8ToUtf16(orvik::fromCp936(in)) : orvik::utf8ToUtf16(in);
    if (outSize == 0) return static_cast<int>(wide.size());
    if (static_cast<size_t>(outSize) < wide.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, wide.data(), wide.size() * sizeof(char16_t));
    return static_cast<int>(wide.size());
}

extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int size, LPSTR out, int outSize, LPCSTR,
                                          LPBOOL usedDefault) {
    if (!knownCodePage(codePage)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    if (!text || size == 0 || size < -1 || outSize < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = 0;
    if (size == -1) {
        while (text[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(size);
    }
    std::string narrow = orvik::utf16ToUtf8(std::u16string_view(text, n));
    bool lossy = false;
    if (codePage == 936) lossy = !orvik::utf8ToCp936(narrow, narrow);
    if (usedDefault) *usedDefault = lossy ? TRUE : FALSE;
    if (outSize == 0) return static_cast<int>(narrow.size());
    if (static_cast<size_t>(outSize) < narrow.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}
