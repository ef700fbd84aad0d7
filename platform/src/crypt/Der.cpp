#include "Der.h"

#include <cstdio>

namespace orvik::der {

bool Reader::next(Tlv& out) {
    if (p_ >= end_) return false;
    const uint8_t* q = p_;
    uint8_t tag = *q++;
    if ((tag & 0x1F) == 0x1F) return false;  // high tag numbers are not used in certificates
    if (q >= end_) return false;
    size_t length = *q++;
    if (length & 0x80) {
        size_t n = length & 0x7F;
        if (n == 0 || n > 4 || static_cast<size_t>(end_ - q) < n) return false;  // no indefinite lengths in DER
        length = 0;
        for (size_t i = 0; i < n; ++i) length = (length << 8) | *q++;
    }
    if (length > static_cast<size_t>(end_ - q)) return false;
    out.tag = tag;
    out.start = p_;
    out.value = q;
    out.length = length;
    p_ = q + length;
    return true;
}

bool Reader::nextIf(uint8_t tag, Tlv& out) {
    uint8_t t = 0;
    if (!peekTag(t) || t != tag) return false;
    return next(out);
}

bool Reader::peekTag(uint8_t& tag) const {
    if (p_ >= end_) return false;
    tag = *p_;
    return true;
}

std::string oidText(const uint8_t* value, size_t length) {
    if (!value || length == 0 || (value[length - 1] & 0x80)) return {};
    std::string out;
    uint64_t arc = 0;
    bool first = true;
    for (size_t i = 0; i < length; ++i) {
        if (arc > (UINT64_MAX >> 7)) return {};
        arc = (arc << 7) | (value[i] & 0x7F);
        if (value[i] & 0x80) continue;
        char buf[48];
        if (first) {
            uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
            std::snprintf(buf, sizeof buf, "%llu.%llu", static_cast<unsigned long long>(top),
                          static_cast<unsigned long long>(arc - top * 40));
            first = false;
        } else {
            std::snprintf(buf, sizeof buf, ".%llu", static_cast<unsigned long long>(arc));
        }
        out += buf;
        arc = 0;
    }
    return out;
}

std::string oidText(const Tlv& oid) { return oid.tag == Oid ? oidText(oid.value, oid.length) : std::string(); }

std::vector<uint8_t> oidBytes(const std::string& dotted) {
    std::vector<uint64_t> arcs;
    uint64_t arc = 0;
    bool digit = false;
    for (char c : dotted) {
        if (c >= '0' && c <= '9') {
            arc = arc * 10 + static_cast<uint64_t>(c - '0');
            digit = true;
        } else if (c == '.' && digit) {
            arcs.push_back(arc);
            arc = 0;
            digit = false;
        } else {
            return {};
        }
    }
    if (!digit) return {};
    arcs.push_back(arc);
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return {};
    std::vector<uint8_t> out;
    auto put = [&out](uint64_t v) {
        uint8_t tmp[10];
        int n = 0;
        do {
            tmp[n++] = static_cast<uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v);
        while (n--) out.push_back(static_cast<uint8_t>(tmp[n] | (n ? 0x80 : 0)));
    };
    put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    return out;
}

void appendHeader(std::vector<uint8_t>& out, uint8_t tag, size_t length) {
    out.push_back(tag);
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t tmp[8];
    int n = 0;
    for (size_t v = length; v; v >>= 8) tmp[n++] = static_cast<uint8_t>(v & 0xFF);
    out.push_back(static_cast<uint8_t>(0x80 | n));
    while (n--) out.push_back(tmp[n]);
}

void appendTlv(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* value, size_t length) {
    appendHeader(out, tag, length);
    out.insert(out.end(), value, value + length);
}

namespace {

bool digits(const uint8_t* p, int n, int& v) {
    v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    return true;
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

bool parseTime(const Tlv& time, int64_t& seconds) {
    // Besides the strict forms of RFC 5280, authorities still issue times without seconds, with
    // fractions of a second or with an offset from UTC ("-0800"); other readers take them all.
    const uint8_t* p = time.value;
    const uint8_t* end = time.value + time.length;
    int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0;
    auto take = [&p, end](int n, int& v) {
        if (end - p < n || !digits(p, n, v)) return false;
        p += n;
        return true;
    };
    if (time.tag == UtcTime) {
        if (!take(2, year)) return false;
        year += year < 50 ? 2000 : 1900;  // years 50-99 are 19xx
    } else if (time.tag == GeneralizedTime) {
        if (!take(4, year)) return false;
    } else {
        return false;
    }
    if (!take(2, mon) || !take(2, day) || !take(2, hour) || !take(2, min)) return false;
    if (p < end && *p >= '0' && *p <= '9' && !take(2, sec)) return false;
    if (time.tag == GeneralizedTime && p < end && (*p == '.' || *p == ',')) {
        // Fractions are dropped: FILETIME resolution is never asked of a certificate's dates.
        const uint8_t* first = ++p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        if (p == first) return false;
    }
    int offset = 0;
    if (p < end && *p == 'Z') {
        ++p;
    } else if (p < end && (*p == '+' || *p == '-')) {
        const int sign = *p++ == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!take(2, oh) || !take(2, om) || oh > 23 || om > 59) return false;
        offset = sign * (oh * 3600 + om * 60);
    } else {
        return false;
    }
    if (p != end) return false;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mon < 1 || mon > 12 || day < 1 || day > kDays[mon - 1] || hour > 23 || min > 59 || sec > 60) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (mon == 2 && day == 29 && !leap) return false;
    // Local time with an offset: UTC is the local time minus the offset.
    seconds = daysFromCivil(year, static_cast<unsigned>(mon), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
              min * 60 + sec - offset;
    return true;
}

}  // namespace orvik::der
