#include "VCard.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iterator>
#include <utility>

#include <orvik/CodePage.h>
#include <windows.h>

#include "Encodings.h"
#include "OpenSslPtr.h"

namespace {

using Entry = CVCard::Entry;
using Version = CVCard::Version;

constexpr size_t kMaxFile = size_t{16} << 20;
constexpr size_t kMaxLine = size_t{1} << 20;

// Small text helpers (ASCII only: property and parameter names are ASCII).

char upperChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char lowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = upperChar(c);
    return out;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lowerChar(c);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upperChar(a[i]) != upperChar(b[i])) return false;
    return true;
}

bool istartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (isBlank(s.front()) || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

std::string lineError(size_t line, std::string_view what) {
    return "line " + std::to_string(line) + ": " + std::string(what);
}

std::string latin1ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Transfer encodings.

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = upperChar(c);
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decodeQuotedPrintable(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '=') {
            out += in[i];
            continue;
        }
        if (i + 1 == in.size()) break;  // a soft break with nothing after it
        int hi = hexValue(in[i + 1]);
        int lo = i + 2 < in.size() ? hexValue(in[i + 2]) : -1;
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict, unlike the library's codec, which skips foreign characters: damage must show. Line
// breaks and blanks are folding; padding may be left out.
bool decodeBase64(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size() / 4 * 3 + 3);
    unsigned acc = 0;
    int bits = 0;
    size_t data = 0, pad = 0;
    for (char c : in) {
        if (isBlank(c) || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++pad;
            continue;
        }
        int v = base64Value(c);
        if (v < 0 || pad > 0) return false;
        acc = ((acc << 6) | static_cast<unsigned>(v)) & 0xFFFFFFu;
        bits += 6;
        ++data;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    if (data % 4 == 1) return false;
    if (pad > 2 || (pad > 0 && (data + pad) % 4 != 0)) return false;
    return true;
}

// Content lines.

struct Property {
    std::string name;                // upper case, without its group
    std::vector<std::string> types;  // lower case: TYPE values and 2.1 bare parameters
    std::string encoding;            // upper case
    std::string charset;             // upper case
    int pref = 0;                    // 4.0 PREF, 0 when absent
    std::string value;               // as in the file, transfer encoding still applied
    size_t line = 0;

    bool quotedPrintable() const { return encoding == "QUOTED-PRINTABLE"; }
    bool base64() const { return encoding == "BASE64" || encoding == "B"; }
    bool hasType(std::string_view t) const { return std::find(types.begin(), types.end(), t) != types.end(); }
};

void addType(Property& p, std::string_view type) {
    std::string t = lower(trim(type));
    if (!t.empty() && !p.hasType(t)) p.types.push_back(std::move(t));
}

void addParameter(Property& p, std::string_view param) {
    size_t eq = param.find('=');
    if (eq == std::string_view::npos) {
        // 2.1 bare parameters: encodings, or types ("TEL;HOME;VOICE").
        std::string word = upper(trim(param));
        if (word == "QUOTED-PRINTABLE" || word == "BASE64" || word == "8BIT" || word == "7BIT")
            p.encoding = word;
        else
            addType(p, word);
        return;
    }
    std::string name = upper(trim(param.substr(0, eq)));
    std::string value;
    for (char c : param.substr(eq + 1))
        if (c != '"') value += c;
    if (name == "TYPE") {
        std::string_view rest = value;
        while (true) {
            size_t comma = rest.find(',');
            addType(p, rest.substr(0, comma));
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    } else if (name == "ENCODING") {
        p.encoding = upper(trim(value));
    } else if (name == "CHARSET") {
        p.charset = upper(trim(value));
    } else if (name == "PREF") {
        std::string_view v = trim(value);
        int n = 0;
        for (char c : v) {
            if (c < '0' || c > '9' || n > 100) return;
            n = n * 10 + (c - '0');
        }
        if (!v.empty() && n >= 1 && n <= 100) p.pref = n;
    }
}

// "group.NAME;param;param:value". False when there is no ":" outside quotes.
bool parseContentLine(std::string_view text, size_t line, Property& p) {
    p = Property{};
    p.line = line;
    size_t i = 0;
    while (i < text.size() && text[i] != ';' && text[i] != ':') ++i;
    if (i == text.size()) return false;
    std::string_view name = trim(text.substr(0, i));
    if (size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
    p.name = upper(name);
    while (i < text.size() && text[i] == ';') {
        size_t start = ++i;
        bool quoted = false;
        while (i < text.size() && (quoted || (text[i] != ';' && text[i] != ':'))) {
            if (text[i] == '"') quoted = !quoted;
            ++i;
        }
        if (i == text.size()) return false;
        addParameter(p, text.substr(start, i - start));
    }
    p.value.assign(text.substr(i + 1));
    return true;
}

// Where the first ":" outside a quoted parameter value is; scanning resumes where it stopped, so
// a header folded over many lines costs one pass.
struct ColonFinder {
    size_t scanned = 0;
    bool quoted = false;
    size_t found = std::string::npos;

    bool find(const std::string& text) {
        for (; found == std::string::npos && scanned < text.size(); ++scanned) {
            if (text[scanned] == '"')
                quoted = !quoted;
            else if (text[scanned] == ':' && !quoted)
                found = scanned;
        }
        return found != std::string::npos;
    }
};

class LineCursor {
public:
    explicit LineCursor(std::string_view text) : text_(text), crOnly_(text.find('\n') == std::string_view::npos) {
        load();
    }

    bool valid() const { return valid_; }
    std::string_view line() const { return line_; }
    size_t number() const { return number_; }
    void advance() {
        pos_ = next_;
        load();
    }

private:
    void load() {
        valid_ = pos_ <= text_.size();
        if (!valid_) return;
        // Line ends as any system writes them: LF, CRLF, mixed in one file, and the "\r\r\n" of a
        // CRLF file that went through a text-mode copy. A lone CR ends lines only in a file with no
        // LF at all; elsewhere it is a stray one inside a value.
        size_t stop = crOnly_ ? text_.find('\r', pos_) : text_.find('\n', pos_);
        if (!crOnly_ && stop != std::string_view::npos)
            while (stop > pos_ && text_[stop - 1] == '\r') --stop;
        if (stop == std::string_view::npos) {
            line_ = text_.substr(pos_);
            next_ = text_.size() + 1;
        } else {
            line_ = text_.substr(pos_, stop - pos_);
            size_t after = stop;
            while (after < text_.size() && text_[after] == '\r') ++after;
            next_ = after < text_.size() && text_[after] == '\n' ? after + 1 : stop + 1;
        }
        ++number_;
    }

    std::string_view text_, line_;
    bool crOnly_;
    size_t pos_ = 0, next_ = 0, number_ = 0;
    bool valid_ = false;
};

// Values.

struct Context {
    Version version = CVCard::V21;
    bool utf8File = false;  // the file was UTF-16: its unencoded text is UTF-8 whatever CHARSET says
};

bool isGbkCharset(const std::string& cs) {
    return cs == "GB2312" || cs == "GBK" || cs == "GB18030" || cs == "CP936" || cs == "WINDOWS-936" || cs == "MS936" ||
           cs == "EUC-CN" || cs == "X-GBK";
}

std::string toUtf8(std::string bytes, const Property& p, const Context& c) {
    bool encoded = p.quotedPrintable() || p.base64();
    if (c.utf8File && !encoded) return bytes;
    if (isGbkCharset(p.charset)) return orvik::fromCp936(bytes);
    if (p.charset == "ISO-8859-1" || p.charset == "LATIN1") return latin1ToUtf8(bytes);
    // UTF-8, or no charset: what is not UTF-8 comes from a GBK system that did not say so.
    return orvik::isValidUtf8(bytes) ? bytes : orvik::fromCp936(bytes);
}

// The value with its transfer encoding undone and its charset applied, still escaped.
bool decodedValue(const Property& p, const Context& c, std::string& out, std::string& error) {
    std::string bytes;
    if (p.quotedPrintable()) {
        if (!decodeQuotedPrintable(p.value, bytes)) {
            error = lineError(p.line, "invalid quoted-printable in " + p.name);
            return false;
        }
    } else if (p.base64()) {
        if (!decodeBase64(p.value, bytes)) {
            error = lineError(p.line, "invalid base64 in " + p.name);
            return false;
        }
    } else {
        bytes = p.value;
    }
    out = toUtf8(std::move(bytes), p, c);
    return true;
}

std::string normalizeBreaks(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out += '\n';
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

// 3.0 and 4.0 escapes; an unknown one stays as written (sloppy writers leave "C:\temp" alone).
std::string unescape(std::string_view s, Version v) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c != '\\' || i + 1 == s.size()) {
            out += c;
            continue;
        }
        char next = s[i + 1];
        // 2.1 knows only "\;", inside structured values.
        bool known = v == CVCard::V21
                         ? next == ';'
                         : next == '\\' || next == ',' || next == ';' || next == ':' || next == 'n' || next == 'N';
        if (!known) {
            out += c;
            continue;
        }
        out += next == 'n' || next == 'N' ? '\n' : next;
        ++i;
    }
    return normalizeBreaks(out);
}

std::vector<std::string> splitStructured(std::string_view s, Version v) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == ';') {
            parts.push_back(unescape(s.substr(start, i - start), v));
            start = i + 1;
        }
    }
    parts.push_back(unescape(s.substr(std::min(start, s.size())), v));
    return parts;
}

// A text value; `trimmed` for addresses, numbers and dates, where blanks are never meant.
bool textOf(const Property& p, const Context& c, bool trimmed, std::string& out, std::string& error) {
    std::string decoded;
    if (!decodedValue(p, c, decoded, error)) return false;
    out = c.version == CVCard::V21 ? normalizeBreaks(decoded) : unescape(decoded, c.version);
    if (trimmed) out = std::string(trim(out));
    return true;
}

bool partsOf(const Property& p, const Context& c, size_t count, std::vector<std::string>& out, std::string& error) {
    std::string decoded;
    if (!decodedValue(p, c, decoded, error)) return false;
    out = splitStructured(decoded, c.version);
    out.resize(std::max(out.size(), count));
    return true;
}

std::optional<CVCard::Date> parseDate(std::string_view v) {
    v = trim(v);
    if (size_t t = v.find_first_of("Tt"); t != std::string_view::npos) v = v.substr(0, t);
    bool noYear = v.size() >= 2 && v.substr(0, 2) == "--";
    if (noYear) v.remove_prefix(2);
    std::string_view form = noYear ? (v.size() == 5 ? "dd-dd" : "dddd") : (v.size() == 10 ? "dddd-dd-dd" : "dddddddd");
    if (v.size() != form.size()) return std::nullopt;
    std::vector<int> digits;
    for (size_t i = 0; i < v.size(); ++i) {
        bool digit = v[i] >= '0' && v[i] <= '9';
        if (form[i] == 'd' ? !digit : v[i] != '-') return std::nullopt;
        if (digit) digits.push_back(v[i] - '0');
    }
    auto number = [&](size_t at, size_t n) {
        int value = 0;
        for (size_t i = at; i < at + n; ++i) value = value * 10 + digits[i];
        return value;
    };
    CVCard::Date d;
    size_t at = noYear ? 0 : 4;
    if (!noYear) d.year = number(0, 4);
    d.month = number(at, 2);
    d.day = number(at + 2, 2);
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31) return std::nullopt;
    return d;
}

// The DER of the outer SEQUENCE, when it is a certificate: OpenSSL's parse, or the system's own,
// which also takes what Windows takes (a non-minimal serial).
std::optional<std::string> certificateIn(std::string der) {
    if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30) return std::nullopt;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(der.data());
    size_t length = bytes[1], header = 2;
    if (length & 0x80) {
        size_t n = length & 0x7F;
        if (n == 0 || n > 4 || der.size() < 2 + n) return std::nullopt;
        length = 0;
        for (size_t i = 0; i < n; ++i) length = (length << 8) | bytes[2 + i];
        header += n;
    }
    if (length > der.size() - header) return std::nullopt;
    der.resize(header + length);
    bytes = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* p = bytes;
    orvik::crypt::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (x509 && p == bytes + der.size()) return der;
    ERR_clear_error();
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, bytes, static_cast<DWORD>(der.size()));
    if (!context) return std::nullopt;
    CertFreeCertificateContext(context);
    return der;
}

// A KEY value: base64 (2.1, 3.0), a data: URI (4.0), or something that is no certificate here.
bool keyOf(const Property& p, std::optional<std::string>& cert, std::string& error) {
    std::string der;
    std::string_view value = trim(p.value);
    if (p.base64()) {
        if (!decodeBase64(value, der)) {
            error = lineError(p.line, "invalid base64 in KEY");
            return false;
        }
    } else if (istartsWith(value, "data:")) {
        size_t comma = value.find(',');
        if (comma == std::string_view::npos) return true;
        std::string header = lower(value.substr(5, comma - 5));
        if (header.size() < 7 || header.substr(header.size() - 7) != ";base64") return true;
        if (!decodeBase64(value.substr(comma + 1), der)) {
            error = lineError(p.line, "invalid base64 in KEY");
            return false;
        }
    } else if (!decodeBase64(value, der)) {
        // Neither marked nor clean base64: a URI, or a key of another kind.
        return true;
    }
    cert = certificateIn(std::move(der));
    return true;
}

void movePrefLast(std::vector<std::string>& types) {
    auto it = std::find(types.begin(), types.end(), "pref");
    if (it != types.end()) std::rotate(it, it + 1, types.end());
}

// Names, addresses and titles are one line of printable text: a control character a phone or a
// sloppy writer left in one (a stray CR, an escaped line break, a tab) becomes a single space;
// in an address, which has no spaces, it goes.
void cleanLine(std::string& s, bool spaced = true) {
    std::string out;
    out.reserve(s.size());
    bool gap = false;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        bool control = c < 0x20 || c == 0x7F;
        // C1 controls, U+0080 to U+009F, are C2 80 to C2 9F in UTF-8.
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
            control = true;
            ++i;
        }
        if (control) {
            gap = true;
            continue;
        }
        if (gap && spaced && !out.empty()) out += ' ';
        gap = false;
        out += static_cast<char>(c);
    }
    s = std::move(out);
}

void cleanNames(Entry& e) {
    for (std::string* s : {&e.formattedName, &e.family, &e.given, &e.middle, &e.prefix, &e.suffix, &e.nickname,
                           &e.organization, &e.department, &e.title})
        cleanLine(*s);
    for (std::string& mail : e.emails) cleanLine(mail, false);
    e.emails.erase(std::remove(e.emails.begin(), e.emails.end(), std::string()), e.emails.end());
}

bool hasName(const Entry& e) {
    return !e.formattedName.empty() || !e.family.empty() || !e.given.empty() || !e.middle.empty() ||
           !e.prefix.empty() || !e.suffix.empty() || !e.emails.empty();
}

Version versionOf(std::string_view value) {
    value = trim(value);
    if (!value.empty() && value[0] == '2') return CVCard::V21;
    if (!value.empty() && value[0] == '3') return CVCard::V30;
    return CVCard::V40;
}

bool interpret(const std::vector<Property>& props, const Context& c, Entry& e, std::string& error) {
    bool seenFn = false, seenN = false, seenOrg = false, seenTitle = false, seenNote = false, seenNick = false;
    std::vector<std::pair<int, std::string>> emails;
    std::vector<std::string> parts;
    for (const Property& p : props) {
        const std::string& n = p.name;
        if (n == "FN" || n == "TITLE" || n == "NOTE" || n == "NICKNAME") {
            bool& seen = n == "FN" ? seenFn : n == "TITLE" ? seenTitle : n == "NOTE" ? seenNote : seenNick;
            std::string& field = n == "FN"      ? e.formattedName
                                 : n == "TITLE" ? e.title
                                 : n == "NOTE"  ? e.note
                                                : e.nickname;
            if (seen) continue;
            if (!textOf(p, c, false, field, error)) return false;
            seen = true;
        } else if (n == "N") {
            if (seenN) continue;
            if (!partsOf(p, c, 5, parts, error)) return false;
            e.family = parts[0], e.given = parts[1], e.middle = parts[2], e.prefix = parts[3], e.suffix = parts[4];
            seenN = true;
        } else if (n == "ORG") {
            if (seenOrg) continue;
            if (!partsOf(p, c, 2, parts, error)) return false;
            e.organization = parts[0], e.department = parts[1];
            seenOrg = true;
        } else if (n == "EMAIL") {
            std::string text;
            if (!textOf(p, c, true, text, error)) return false;
            if (istartsWith(text, "mailto:")) text = std::string(trim(std::string_view(text).substr(7)));
            if (text.empty()) continue;
            int rank = p.pref ? p.pref : INT_MAX;
            if (p.hasType("pref")) rank = 1;
            emails.emplace_back(rank, std::move(text));
        } else if (n == "TEL") {
            CVCard::Phone phone;
            if (!textOf(p, c, true, phone.number, error)) return false;
            if (istartsWith(phone.number, "tel:")) phone.number.erase(0, 4);
            if (phone.number.empty()) continue;
            phone.types = p.types;
            if (p.pref && !p.hasType("pref")) phone.types.push_back("pref");
            movePrefLast(phone.types);
            e.phones.push_back(std::move(phone));
        } else if (n == "ADR") {
            if (!partsOf(p, c, 7, parts, error)) return false;
            if (std::all_of(parts.begin(), parts.end(), [](const std::string& s) { return s.empty(); })) continue;
            CVCard::Address a{p.types, parts[0], parts[1], parts[2], parts[3], parts[4], parts[5], parts[6]};
            if (p.pref && !p.hasType("pref")) a.types.push_back("pref");
            movePrefLast(a.types);
            e.addresses.push_back(std::move(a));
        } else if (n == "BDAY") {
            std::string text;
            if (!textOf(p, c, true, text, error)) return false;
            if (!e.birthday) e.birthday = parseDate(text);
        } else if (n == "URL") {
            std::string text;
            if (!textOf(p, c, true, text, error)) return false;
            if (!text.empty()) e.urls.push_back(std::move(text));
        } else if (n == "KEY") {
            std::optional<std::string> cert;
            if (!keyOf(p, cert, error)) return false;
            if (cert) e.certificates.push_back(std::move(*cert));
        }
    }
    std::stable_sort(emails.begin(), emails.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [rank, address] : emails) e.emails.push_back(std::move(address));
    cleanNames(e);
    return true;
}

// Text of the whole file, as UTF-8 unless it is UTF-16; `error` when it is not text.
bool textOfFile(std::string_view bytes, std::string& storage, std::string_view& text, bool& utf16, std::string& error) {
    utf16 = false;
    if (bytes.size() > kMaxFile) {
        error = "the file is larger than 16 MiB";
        return false;
    }
    auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
        if (bytes.size() % 2) {
            error = "the file is not text: an odd number of bytes in UTF-16";
            return false;
        }
        bool little = byte(0) == 0xFF;
        std::u16string wide;
        wide.reserve(bytes.size() / 2 - 1);
        for (size_t i = 2; i < bytes.size(); i += 2)
            wide += static_cast<char16_t>(little ? byte(i) | (byte(i + 1) << 8) : (byte(i) << 8) | byte(i + 1));
        storage = orvik::utf16ToUtf8(wide);
        text = storage;
        utf16 = true;
    } else {
        text = bytes;
        if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    }
    size_t line = 1, length = 0;
    for (char c : text) {
        if (c == '\0') {
            error = lineError(line, "a NUL byte: the file is not text");
            return false;
        }
        if (c == '\n') {
            ++line, length = 0;
        } else if (++length > kMaxLine) {
            error = lineError(line, "the line is longer than 1 MiB");
            return false;
        }
    }
    return true;
}

// Only these are kept until the card ends: a photo or sound need not be held.
bool isRead(const std::string& name) {
    static const char* const kNames[] = {"FN",  "N",     "NICKNAME", "EMAIL", "TEL", "ADR",
                                         "ORG", "TITLE", "NOTE",     "BDAY",  "URL", "KEY"};
    return std::any_of(std::begin(kNames), std::end(kNames), [&](const char* n) { return name == n; });
}

bool isCardLine(const Property& p, std::string_view name) { return p.name == name && iequals(trim(p.value), "VCARD"); }

// Writing.

constexpr const char* kCrlf = "\r\n";

// Folded at 75 octets, never inside a UTF-8 sequence.
void putLine(std::string& out, std::string_view line) {
    size_t limit = 75;
    while (line.size() > limit) {
        size_t cut = limit;
        while (cut > 1 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        out.append(line.substr(0, cut));
        out += "\r\n ";
        line.remove_prefix(cut);
        limit = 74;
    }
    out.append(line);
    out += kCrlf;
}

std::string escapeText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case ',': out += "\\,"; break;
        case ';': out += "\\;"; break;
        case '\n': out += "\\n"; break;
        case '\r':
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
            out += "\\n";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
        }
    }
    return out;
}

// URIs are not escaped; a line break in one would end the line.
std::string withoutControls(std::string_view s) {
    std::string out;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    return out;
}

std::string joined(const std::vector<std::string>& parts, std::string (*escape)(std::string_view)) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += ';';
        out += escape(parts[i]);
    }
    return out;
}

// Only what a parameter can carry unquoted.
std::vector<std::string> cleanTypes(const std::vector<std::string>& types, bool& pref) {
    std::vector<std::string> out;
    pref = false;
    for (const std::string& t : types) {
        bool ok = !t.empty() && std::all_of(t.begin(), t.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        });
        if (!ok) continue;
        std::string l = lower(t);
        if (l == "pref")
            pref = true;
        else
            out.push_back(std::move(l));
    }
    return out;
}

std::string displayName(const Entry& e) {
    if (!e.formattedName.empty()) return e.formattedName;
    auto nonAscii = [](const std::string& s) {
        return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    };
    std::string name;
    if (nonAscii(e.family) || nonAscii(e.given)) {
        // East Asian names are written family name first, without a space.
        name = e.family + e.given;
    } else {
        for (const std::string* part : {&e.given, &e.middle, &e.family}) {
            if (part->empty()) continue;
            if (!name.empty()) name += ' ';
            name += *part;
        }
    }
    if (name.empty() && !e.emails.empty()) name = e.emails.front();
    return name;
}

std::string dateText(const CVCard::Date& d, Version v) {
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31 || d.year < 0 || d.year > 9999) return {};
    char buf[16];
    if (d.year == 0)
        std::snprintf(buf, sizeof buf, "--%02d%02d", d.month, d.day);
    else if (v == CVCard::V30)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
    else
        std::snprintf(buf, sizeof buf, "%04d%02d%02d", d.year, d.month, d.day);
    return buf;
}

bool hasAny(const std::vector<std::string>& parts) {
    return std::any_of(parts.begin(), parts.end(), [](const std::string& s) { return !s.empty(); });
}

std::vector<std::string> nameParts(const Entry& e) { return {e.family, e.given, e.middle, e.prefix, e.suffix}; }

std::vector<std::string> addressParts(const CVCard::Address& a) {
    return {a.poBox, a.extended, a.street, a.city, a.region, a.postalCode, a.country};
}

void writeModern(const Entry& e, Version v, std::string& out) {
    const bool v4 = v == CVCard::V40;
    auto typeParams = [v4](const std::vector<std::string>& types) {
        bool pref = false;
        std::vector<std::string> clean = cleanTypes(types, pref);
        if (pref && !v4) clean.push_back("pref");
        std::string params;
        for (size_t i = 0; i < clean.size(); ++i) params += (i ? "," : ";TYPE=") + clean[i];
        if (pref && v4) params += ";PREF=1";
        return params;
    };
    putLine(out, "BEGIN:VCARD");
    putLine(out, v4 ? "VERSION:4.0" : "VERSION:3.0");
    putLine(out, "FN:" + escapeText(displayName(e)));
    if (!v4 || hasAny(nameParts(e))) putLine(out, "N:" + joined(nameParts(e), escapeText));
    if (!e.nickname.empty()) putLine(out, "NICKNAME:" + escapeText(e.nickname));
    for (size_t i = 0; i < e.emails.size(); ++i) {
        const char* head =
            v4 ? (i ? "EMAIL:" : "EMAIL;PREF=1:") : (i ? "EMAIL;TYPE=INTERNET:" : "EMAIL;TYPE=INTERNET,PREF:");
        putLine(out, head + escapeText(e.emails[i]));
    }
    for (const auto& phone : e.phones) putLine(out, "TEL" + typeParams(phone.types) + ":" + escapeText(phone.number));
    for (const auto& a : e.addresses)
        putLine(out, "ADR" + typeParams(a.types) + ":" + joined(addressParts(a), escapeText));
    if (!e.organization.empty() || !e.department.empty()) {
        std::string org = escapeText(e.organization);
        if (!e.department.empty()) org += ";" + escapeText(e.department);
        putLine(out, "ORG:" + org);
    }
    if (!e.title.empty()) putLine(out, "TITLE:" + escapeText(e.title));
    if (!e.note.empty()) putLine(out, "NOTE:" + escapeText(e.note));
    if (e.birthday) {
        std::string date = dateText(*e.birthday, v);
        if (!date.empty()) putLine(out, "BDAY:" + date);
    }
    for (const auto& url : e.urls) putLine(out, "URL:" + withoutControls(url));
    for (const auto& der : e.certificates) {
        putLine(out, (v4 ? "KEY:data:application/pkix-cert;base64," : "KEY;TYPE=X509;ENCODING=b:") + base64Encode(der));
    }
    putLine(out, "END:VCARD");
}

bool isPlainAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// One 2.1 property: plain when it can be, else quoted-printable code page 936 (UTF-8 when 936
// cannot carry the text), soft line breaks keeping every line within 76 characters.
void put21(std::string& out, const std::string& head, std::string_view value) {
    if (isPlainAscii(value) && head.size() + 1 + value.size() <= 76) {
        out += head + ":" + std::string(value) + kCrlf;
        return;
    }
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
        if (value[i] == '\n' || value[i] == '\r')
            text += "\r\n";
        else
            text += value[i];
    }
    std::string line = head;
    std::string bytes = text;
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        std::string gbk;
        if (orvik::utf8ToCp936(text, gbk))
            bytes = gbk, line += ";CHARSET=GB2312";
        else
            line += ";CHARSET=UTF-8";
    }
    line += ";ENCODING=QUOTED-PRINTABLE:";
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        bool literal = (b > 0x20 && b < 0x7F && b != '=') || ((b == ' ' || b == '\t') && i + 1 < bytes.size());
        std::string token =
            literal ? std::string(1, static_cast<char>(b)) : std::string{'=', kHex[b >> 4], kHex[b & 15]};
        if (line.size() + token.size() > 75) {
            out += line + "=" + kCrlf;
            line.clear();
        }
        line += token;
    }
    out += line + kCrlf;
}

std::string escape21(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == ';') out += '\\';
        out += c;
    }
    return out;
}

void write21(const Entry& e, std::string& out) {
    auto typeParams = [](const std::vector<std::string>& types) {
        bool pref = false;
        std::vector<std::string> clean = cleanTypes(types, pref);
        if (pref) clean.push_back("pref");
        std::string params;
        for (const auto& t : clean) params += ";" + upper(t);
        return params;
    };
    out += "BEGIN:VCARD\r\nVERSION:2.1\r\n";
    put21(out, "N", joined(nameParts(e), escape21));
    put21(out, "FN", displayName(e));
    if (!e.nickname.empty()) put21(out, "NICKNAME", e.nickname);
    for (size_t i = 0; i < e.emails.size(); ++i) put21(out, i ? "EMAIL;INTERNET" : "EMAIL;PREF;INTERNET", e.emails[i]);
    for (const auto& phone : e.phones) put21(out, "TEL" + typeParams(phone.types), phone.number);
    for (const auto& a : e.addresses) put21(out, "ADR" + typeParams(a.types), joined(addressParts(a), escape21));
    if (!e.organization.empty() || !e.department.empty()) {
        std::string org = escape21(e.organization);
        if (!e.department.empty()) org += ";" + escape21(e.department);
        put21(out, "ORG", org);
    }
    if (!e.title.empty()) put21(out, "TITLE", e.title);
    if (!e.note.empty()) put21(out, "NOTE", e.note);
    if (e.birthday) {
        std::string date = dateText(*e.birthday, CVCard::V21);
        if (!date.empty()) put21(out, "BDAY", date);
    }
    for (const auto& url : e.urls) put21(out, "URL", url);
    for (const auto& der : e.certificates) {
        out += "KEY;X509;ENCODING=BASE64:\r\n";
        std::string b64 = base64Encode(der);
        for (size_t at = 0; at < b64.size(); at += 72) out += "  " + b64.substr(at, 72) + kCrlf;
        out += kCrlf;
    }
    out += "END:VCARD\r\n";
}

}  // namespace

bool CVCard::Parse(std::string_view bytes, std::vector<Entry>& out, std::vector<Problem>& problems,
                   std::string& error) {
    std::string storage;
    std::string_view text;
    Context context;
    if (!textOfFile(bytes, storage, text, context.utf8File, error)) return false;

    std::vector<Entry> cards;
    std::vector<Problem> found;
    std::vector<Property> props;
    bool inCard = false, skipping = false;
    int card = 0;  // the latest BEGIN:VCARD, counted from 1
    size_t begin = 0;
    Property p;
    // A damaged card is left out whole and reading goes on after its END:VCARD.
    auto damaged = [&](std::string why) {
        std::string name, scratch;
        for (const char* field : {"FN", "EMAIL"})
            for (const Property& q : props)
                if (name.empty() && q.name == field && textOf(q, context, true, name, scratch)) cleanLine(name);
        found.push_back({card, std::move(name), std::move(why)});
        inCard = false;
        props.clear();
    };
    LineCursor cursor(text);
    while (cursor.valid()) {
        const size_t number = cursor.number();
        std::string_view first = cursor.line();
        if (trim(first).empty()) {
            cursor.advance();
            continue;
        }
        if (!inCard) {
            // Outside a card only its start matters, and a stray end; the rest of a damaged card,
            // its END:VCARD among it, is passed over.
            bool parsed = parseContentLine(first, number, p);
            if (parsed && isCardLine(p, "BEGIN")) {
                inCard = true;
                skipping = false;
                ++card;
                begin = number;
                props.clear();
                context.version = V21;
            } else if (parsed && isCardLine(p, "END")) {
                if (!skipping) found.push_back({0, "", lineError(number, "END:VCARD without BEGIN:VCARD")});
                skipping = false;
            }
            cursor.advance();
            continue;
        }

        // One content line: folded lines, quoted-printable soft line breaks, 2.1 base64 runs.
        std::string logical(first);
        size_t last = 0;  // where the latest physical line starts in it
        ColonFinder colon;
        int qp = -1;  // not known until the parameters are complete
        cursor.advance();
        while (cursor.valid()) {
            if (qp < 0 && colon.find(logical)) {
                qp = parseContentLine(logical, number, p) && p.quotedPrintable() ? 1 : 0;
            }
            std::string_view next = cursor.line();
            if (qp == 1) {
                // A soft line break, maybe with blanks after it; only this line's blanks are looked at.
                size_t end = logical.size(), floor = std::max(last, colon.found + 1);
                while (end > floor && isBlank(logical[end - 1])) --end;
                if (end > floor && logical[end - 1] == '=') {
                    logical.resize(end - 1);
                    last = logical.size();
                    logical += next;
                    cursor.advance();
                    continue;
                }
            }
            if (next.empty() || !isBlank(next[0])) break;
            // 2.1 folds the way mail headers do: the blank stays.
            last = logical.size();
            logical += context.version == V21 ? next : next.substr(1);
            cursor.advance();
        }
        if (!parseContentLine(logical, number, p)) {
            damaged(lineError(number, "a content line without \":\""));
            skipping = true;  // up to its END:VCARD
            continue;
        }
        if (context.version == V21 && p.base64()) {
            // 2.1 base64 runs on to a blank line; a writer that leaves that out starts the next property.
            while (cursor.valid()) {
                std::string_view next = cursor.line();
                if (trim(next).empty()) {
                    cursor.advance();
                    break;
                }
                if (next.find(':') != std::string_view::npos) break;
                p.value += next;
                cursor.advance();
            }
        }

        if (isCardLine(p, "BEGIN")) {
            // The card before lost its end; this one is read on its own.
            damaged(lineError(number, "BEGIN:VCARD inside another vCard"));
            inCard = true;
            ++card;
            begin = number;
            context.version = V21;
        } else if (p.name == "VERSION") {
            context.version = versionOf(p.value);
        } else if (isCardLine(p, "END")) {
            Entry entry;
            std::string why;
            if (!interpret(props, context, entry, why)) {
                damaged(std::move(why));
            } else if (!hasName(entry)) {
                damaged(lineError(begin, "a vCard without FN, N or EMAIL"));
            } else {
                cards.push_back(std::move(entry));
                inCard = false;
            }
        } else if (isRead(p.name)) {
            props.push_back(std::move(p));
        }
    }
    if (inCard) damaged(lineError(begin, "a vCard without END:VCARD"));
    if (card == 0) {
        error = "no vCard in the file";
        return false;
    }
    out.insert(out.end(), std::make_move_iterator(cards.begin()), std::make_move_iterator(cards.end()));
    problems.insert(problems.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    return true;
}

bool CVCard::Parse(std::string_view bytes, std::vector<Entry>& out, std::string& error) {
    std::vector<Entry> cards;
    std::vector<Problem> problems;
    if (!Parse(bytes, cards, problems, error)) return false;
    if (!problems.empty()) {
        error = problems.front().error;
        return false;
    }
    out.insert(out.end(), std::make_move_iterator(cards.begin()), std::make_move_iterator(cards.end()));
    return true;
}

std::string CVCard::Write(const std::vector<Entry>& entries, Version version) {
    std::string out;
    for (const Entry& e : entries) {
        if (version == V21)
            write21(e, out);
        else
            writeModern(e, version, out);
    }
    return out;
}
