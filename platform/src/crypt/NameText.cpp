#include "NameText.h"

#include <cstdio>
#include <cstring>

#include <orvik/CodePage.h>

namespace orvik::crypt {

namespace {

struct Key {
    const char* oid;
    const char* key;
};

// The keys Windows writes; every other type is "OID." and its dotted form.
const Key kKeys[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.4", "SN"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},
    {"2.5.4.24", "X21Address"},
    {"2.5.4.46", "dnQualifier"},
};

std::string keyOf(const std::string& oid) {
    for (const auto& k : kKeys)
        if (oid == k.oid) return k.key;
    return "OID." + oid;
}

std::string latin1ToUtf8(const uint8_t* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < 0x80) {
            out.push_back(static_cast<char>(p[i]));
        } else {
            out.push_back(static_cast<char>(0xC0 | (p[i] >> 6)));
            out.push_back(static_cast<char>(0x80 | (p[i] & 0x3F)));
        }
    }
    return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isUtf8(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n;) {
        uint8_t c = p[i];
        size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (len == 0 || i + len > n) return false;
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Teletex values are in practice UTF-8 or Latin-1; Windows tries UTF-8 first.
std::string t61Text(const uint8_t* p, size_t n) {
    if (isUtf8(p, n)) return std::string(reinterpret_cast<const char*>(p), n);
    return latin1ToUtf8(p, n);
}

std::string valueText(const der::Tlv& v, bool& isText) {
    isText = true;
    switch (v.tag) {
    case der::Utf8String:
    case der::PrintableString:
    case der::Ia5String:
    case 0x12:  // NumericString
    case 0x1A:  // VisibleString
        return std::string(reinterpret_cast<const char*>(v.value), v.length);
    case der::T61String: return t61Text(v.value, v.length);
    case der::BmpString: {
        std::u16string wide;
        for (size_t i = 0; i + 1 < v.length; i += 2)
            wide.push_back(static_cast<char16_t>(v.value[i] << 8 | v.value[i + 1]));
        return utf16ToUtf8(wide);
    }
    case der::UniversalString: {
        std::u16string wide;
        for (size_t i = 0; i + 3 < v.length; i += 4) {
            char32_t cp = static_cast<char32_t>(v.value[i]) << 24 | static_cast<char32_t>(v.value[i + 1]) << 16 |
                          static_cast<char32_t>(v.value[i + 2]) << 8 | v.value[i + 3];
            if (cp >= 0x10000 && cp <= 0x10FFFF) {
                cp -= 0x10000;
                wide.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                wide.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                wide.push_back(cp < 0x10000 ? static_cast<char16_t>(cp) : u'\xFFFD');
            }
        }
        return utf16ToUtf8(wide);
    }
    default: {
        isText = false;
        std::string out = "#";
        char hex[4];
        for (size_t i = 0; i < v.size(); ++i) {
            std::snprintf(hex, sizeof hex, "%02X", v.start[i]);
            out += hex;
        }
        return out;
    }
    }
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string quoted(const std::string& value) {
    bool quote = value.empty() || isSpace(value.front()) || isSpace(value.back()) ||
                 value.find_first_of(",+=\"\n<>#;") != std::string::npos;
    if (!quote) return value;
    std::string out = "\"";
    for (char c : value) {
        out.push_back(c);
        if (c == '"') out.push_back('"');
    }
    out.push_back('"');
    return out;
}

}  // namespace

bool parseName(const BYTE* data, size_t size, std::vector<NameRdn>& out) {
    out.clear();
    der::Reader top(data, size);
    der::Tlv name;
    if (!top.nextIf(der::Sequence, name)) return false;
    der::Reader rdns(name);
    der::Tlv set;
    while (rdns.next(set)) {
        if (set.tag != der::Set) return false;
        NameRdn rdn;
        der::Reader atvs(set);
        der::Tlv atv;
        while (atvs.next(atv)) {
            der::Reader parts(atv);
            der::Tlv oid, value;
            if (atv.tag != der::Sequence || !parts.nextIf(der::Oid, oid) || !parts.next(value)) return false;
            NameAttribute attr{der::oidText(oid), {}, true};
            attr.value = valueText(value, attr.text);
            rdn.push_back(std::move(attr));
        }
        if (!atvs.atEnd()) return false;
        out.push_back(std::move(rdn));
    }
    return rdns.atEnd();
}

std::string nameToString(const std::vector<NameRdn>& name, DWORD strType) {
    DWORD type = strType & 0xFFFF;
    const char* rdnSep = (strType & CERT_NAME_STR_SEMICOLON_FLAG) ? "; "
                         : (strType & CERT_NAME_STR_CRLF_FLAG)    ? "\r\n"
                                                                  : ", ";
    const char* plus = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? rdnSep : " + ";
    bool noQuoting = strType & CERT_NAME_STR_NO_QUOTING_FLAG;
    std::string out;
    auto add = [&](const NameRdn& rdn) {
        for (size_t i = 0; i < rdn.size(); ++i) {
            if (i) out += plus;
            if (type == CERT_X500_NAME_STR) out += keyOf(rdn[i].oid) + "=";
            if (type == CERT_OID_NAME_STR) out += rdn[i].oid + "=";
            out += noQuoting || !rdn[i].text ? rdn[i].value : quoted(rdn[i].value);
        }
    };
    bool first = true;
    auto each = [&](const NameRdn& rdn) {
        if (!first) out += rdnSep;
        first = false;
        add(rdn);
    };
    if (strType & CERT_NAME_STR_REVERSE_FLAG) {
        for (auto it = name.rbegin(); it != name.rend(); ++it) each(*it);
    } else {
        for (const auto& rdn : name) each(rdn);
    }
    return out;
}

std::vector<std::string> rfc822Names(const BYTE* data, size_t size) {
    std::vector<std::string> out;
    der::Reader top(data, size);
    der::Tlv names;
    if (!top.nextIf(der::Sequence, names)) return out;
    der::Reader items(names);
    der::Tlv item;
    while (items.next(item))
        if (item.tag == 0x81) out.emplace_back(reinterpret_cast<const char*>(item.value), item.length);
    return out;
}

}  // namespace orvik::crypt
