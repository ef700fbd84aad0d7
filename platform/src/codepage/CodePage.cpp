#include <iconv.h>

#include <cerrno>
#include <memory>

#include <orvik/CodePage.h>

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
