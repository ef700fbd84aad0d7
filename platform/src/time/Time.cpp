// FILETIME, SYSTEMTIME and the date and time pictures of GetDateFormatA and GetTimeFormatA.
// "Local" is the time zone of the process (TZ).
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <winbase.h>
#include <winnls.h>

namespace {

constexpr int64_t kEpochDelta = 11644473600LL;  // seconds from 1601-01-01 to 1970-01-01
constexpr int64_t kTicks = 10000000LL;

uint64_t ticksOf(const FILETIME& ft) { return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }

FILETIME fromTicks(uint64_t t) { return FILETIME{static_cast<DWORD>(t & 0xFFFFFFFF), static_cast<DWORD>(t >> 32)}; }

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yy + (m <= 2));
}

void toSystemTime(uint64_t ticks, SYSTEMTIME& st) {
    int64_t seconds = static_cast<int64_t>(ticks / kTicks) - kEpochDelta;
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    int y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    st.wHour = static_cast<WORD>(rest / 3600);
    st.wMinute = static_cast<WORD>(rest / 60 % 60);
    st.wSecond = static_cast<WORD>(rest % 60);
    st.wMilliseconds = static_cast<WORD>(ticks / 10000 % 1000);
}

// Expands a picture: runs of one letter are fields, 'quoted' text stands for itself.
std::string expand(const char* picture, const SYSTEMTIME& st, bool date) {
    std::string out;
    char buf[16];
    for (const char* p = picture; *p;) {
        if (*p == '\'') {
            ++p;
            while (*p && *p != '\'') out.push_back(*p++);
            if (*p) ++p;
            continue;
        }
        char c = *p;
        int n = 0;
        while (p[n] == c) ++n;
        p += n;
        auto num = [&](int v, int width) {
            std::snprintf(buf, sizeof buf, "%0*d", width, v);
            out += buf;
        };
        if (date && c == 'y') {
            if (n >= 3) {
                num(st.wYear, 4);
            } else {
                num(st.wYear % 100, n == 2 ? 2 : 1);
            }
        } else if (date && c == 'M') {
            num(st.wMonth, n >= 2 ? 2 : 1);
        } else if (date && c == 'd') {
            num(st.wDay, n >= 2 ? 2 : 1);
        } else if (!date && c == 'H') {
            num(st.wHour, n >= 2 ? 2 : 1);
        } else if (!date && c == 'h') {
            int h = st.wHour % 12;
            num(h ? h : 12, n >= 2 ? 2 : 1);
        } else if (!date && c == 'm') {
            num(st.wMinute, n >= 2 ? 2 : 1);
        } else if (!date && c == 's') {
            num(st.wSecond, n >= 2 ? 2 : 1);
        } else if (!date && c == 't') {
            out += st.wHour < 12 ? (n >= 2 ? "AM" : "A") : (n >= 2 ? "PM" : "P");
        } else {
            out.append(static_cast<size_t>(n), c);
        }
    }
    return out;
}

int copyOut(const std::string& text, LPSTR out, int size) {
    int need = static_cast<int>(text.size()) + 1;
    if (size == 0) return need;
    if (!out || size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text.c_str(), static_cast<size_t>(need));
    return need;
}

SYSTEMTIME nowSystem(bool local) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    int64_t secs = tv.tv_sec;
    if (local) {
        struct tm tmv {};
        time_t t = tv.tv_sec;
        localtime_r(&t, &tmv);
        secs += tmv.tm_gmtoff;
    }
    SYSTEMTIME st{};
    toSystemTime(static_cast<uint64_t>(secs + kEpochDelta) * kTicks + static_cast<uint64_t>(tv.tv_usec) * 10, st);
    return st;
}

}  // namespace

extern "C" {

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localTime) {
    if (!fileTime || !localTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks = ticksOf(*fileTime);
    time_t t = static_cast<time_t>(static_cast<int64_t>(ticks / kTicks) - kEpochDelta);
    struct tm tmv {};
    if (!localtime_r(&t, &tmv)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *localTime = fromTicks(ticks + static_cast<uint64_t>(static_cast<int64_t>(tmv.tm_gmtoff) * kTicks));
    return TRUE;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    if (!fileTime || !systemTime || (fileTime->dwHighDateTime & 0x80000000)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    toSystemTime(ticksOf(*fileTime), *systemTime);
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME fileTime) {
    if (!st || !fileTime || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 || st->wDay > 31 || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999 || st->wYear < 1601) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t days = daysFromCivil(st->wYear, st->wMonth, st->wDay);
    int64_t seconds = days * 86400 + st->wHour * 3600 + st->wMinute * 60 + st->wSecond + kEpochDelta;
    *fileTime = fromTicks(static_cast<uint64_t>(seconds) * kTicks + st->wMilliseconds * 10000ULL);
    return TRUE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME st) {
    if (st) *st = nowSystem(true);
}

void WINAPI GetSystemTime(LPSYSTEMTIME st) {
    if (st) *st = nowSystem(false);
}

int WINAPI GetDateFormatA(LCID, DWORD, const SYSTEMTIME* date, LPCSTR format, LPSTR out, int size) {
    if (size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SYSTEMTIME st = date ? *date : nowSystem(true);
    return copyOut(expand(format ? format : "yyyy/M/d", st, true), out, size);
}

int WINAPI GetTimeFormatA(LCID, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR out, int size) {
    if (size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SYSTEMTIME st = time ? *time : nowSystem(true);
    std::string picture = format ? format : "H:mm:ss";
    if (flags & TIME_FORCE24HOURFORMAT) {
        for (char& c : picture)
            if (c == 'h') c = 'H';
    }
    return copyOut(expand(picture.c_str(), st, false), out, size);
}

}  // extern "C"
