#include "CertificateEntry.h"

#include <cstring>

namespace {

unsigned read16(const unsigned char* p) { return p[0] | (p[1] << 8); }

void put16(std::string& out, unsigned v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

}  // namespace

bool CertificateEntry::parse(const unsigned char* data, size_t size, CertificateEntry& out) {
    out = CertificateEntry();
    if (!data) return false;
    bool haveThumbprint = false;
    size_t pos = 0;
    while (size - pos >= 4) {
        unsigned tag = read16(data + pos);
        size_t length = read16(data + pos + 2);
        if (length < 4 || length > size - pos) return false;
        const unsigned char* item = data + pos + 4;
        size_t itemSize = length - 4;
        if (tag == TAG_THUMBPRINT && itemSize == sizeof out.thumbprint) {
            std::memcpy(out.thumbprint, item, sizeof out.thumbprint);
            haveThumbprint = true;
        } else if (tag == TAG_DEFAULT && itemSize >= 1) {
            out.isDefault = item[0] == 1;
        }
        pos += length;
    }
    return haveThumbprint;
}

std::string CertificateEntry::write(const unsigned char* thumbprint) {
    std::string out;
    put16(out, TAG_DEFAULT);
    put16(out, 8);
    out.append("\x01\0\0\0", 4);
    put16(out, TAG_THUMBPRINT);
    put16(out, 24);
    out.append(reinterpret_cast<const char*>(thumbprint), 20);
    return out;
}
