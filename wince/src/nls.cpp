// Time conversion and the board's one locale, US English: date and time
// pictures, month and day names, and the 8-bit code pages.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "format.h"

namespace {

constexpr DWORD kErrorInvalidFlags = 1004;

// FILETIME counts 100 ns since 1601-01-01 (a Monday).
constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kTicksPerDay = 86400LL * 1000 * kTicksPerMs;
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;  // the platform refuses the top bit

// Days from 1601-01-01 to the given civil date, and back (proleptic
// Gregorian; the era arithmetic of the usual days-from-civil method with
// its origin moved to 1601, itself the start of a 400-year cycle).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t fromEpoch0 = era * 146097 + static_cast<int64_t>(doe);  // days from 0000-03-01
    return fromEpoch0 - 584694;                                           // 1601-01-01 is day 584694 of that count
}

void civilFromDays(int64_t days, int64_t &y, unsigned &m, unsigned &d) {
    const int64_t z = days + 584694;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool isLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(unsigned y, unsigned m) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// Every date a FILETIME can hold, up to its last one in 30828.
bool validDate(const SYSTEMTIME &t) {
    return t.wYear >= 1601 && t.wYear <= 30828 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
           t.wDay <= daysInMonth(t.wYear, t.wMonth);
}

bool validTime(const SYSTEMTIME &t) {
    return t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

WORD dayOfWeek(const SYSTEMTIME &t) {
    // 1601-01-01 was a Monday (1).
    return static_cast<WORD>((daysFromCivil(t.wYear, t.wMonth, t.wDay) + 1) % 7);
}

// The board keeps UTC and has no time zone: "now" is the host's UTC time.
SYSTEMTIME now() {
    const auto since1970 =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const uint64_t ticks = static_cast<uint64_t>(since1970) * 10 + 116444736000000000ull;
    FILETIME ft = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME st = {};
    FileTimeToSystemTime(&ft, &st);
    return st;
}

// --- US English locale ------------------------------------------------------

const char16_t *const kMonthNames[12] = {u"January", u"February", u"March",     u"April",   u"May",      u"June",
                                         u"July",    u"August",   u"September", u"October", u"November", u"December"};
const char16_t *const kMonthAbbrev[12] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                          u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
const char16_t *const kDayNames[7] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                      u"Thursday", u"Friday", u"Saturday"};
const char16_t *const kDayAbbrev[7] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};

const char16_t kShortDate[] = u"M/d/yyyy";
const char16_t kLongDate[] = u"dddd, MMMM dd, yyyy";
const char16_t kTimeFormat[] = u"h:mm:ss tt";
const char16_t kTime24[] = u"HH:mm:ss";

bool knownLocale(LCID locale) {
    // The system and user defaults, neutral, and US English itself.
    return locale == LOCALE_SYSTEM_DEFAULT || locale == LOCALE_USER_DEFAULT || locale == 0 || locale == 0x0409;
}

std::u16string number(unsigned value, size_t minDigits) {
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    while (s.size() < minDigits) s.insert(s.begin(), u'0');
    return s;
}

// Counts the run of one picture letter at f.
size_t runLength(const WCHAR *f) {
    size_t n = 1;
    while (f[n] == f[0]) ++n;
    return n;
}

// A quoted literal: 'text', with '' for a quote inside it or on its own.
// Returns the position after it.
const WCHAR *quoted(const WCHAR *f, std::u16string &out) {
    if (f[1] == u'\'') {
        out += u'\'';
        return f + 2;
    }
    ++f;  // opening quote
    while (*f != 0) {
        if (*f == u'\'') {
            if (f[1] == u'\'') {
                out += u'\'';
                f += 2;
                continue;
            }
            return f + 1;
        }
        out += *f++;
    }
    return f;  // an unclosed quote runs to the end
}

std::u16string formatDate(const SYSTEMTIME &t, const WCHAR *f) {
    std::u16string out;
    const WORD weekday = dayOfWeek(t);
    while (*f != 0) {
        if (*f == u'\'') {
            f = quoted(f, out);
            continue;
        }
        const WCHAR c = *f;
        if (c != u'd' && c != u'M' && c != u'y' && c != u'g') {
            out += *f++;
            continue;
        }
        const size_t n = runLength(f);
        f += n;
        switch (c) {
        case u'd':
            if (n <= 2) out += number(t.wDay, n);
            else out += n == 3 ? kDayAbbrev[weekday] : kDayNames[weekday];
            break;
        case u'M':
            if (n <= 2) out += number(t.wMonth, n);
            else out += n == 3 ? kMonthAbbrev[t.wMonth - 1] : kMonthNames[t.wMonth - 1];
            break;
        case u'y':
            if (n <= 2) out += number(t.wYear % 100, n);
            else out += number(t.wYear, 1);
            break;
        default:  // g, gg: the era
            out += u"A.D.";
            break;
        }
    }
    return out;
}

std::u16string formatTime(const SYSTEMTIME &t, DWORD flags, const WCHAR *f) {
    std::u16string out;
    // Where the text stood after the last picture written: a left-out
    // picture takes the separator before it along ("h:mm" without seconds).
    size_t afterPicture = 0;
    const bool force24 = (flags & TIME_FORCE24HOURFORMAT) != 0;
    while (*f != 0) {
        if (*f == u'\'') {
            f = quoted(f, out);
            continue;
        }
        const WCHAR c = *f;
        if (c != u'h' && c != u'H' && c != u'm' && c != u's' && c != u't') {
            out += *f++;
            continue;
        }
        const size_t n = runLength(f);
        f += n;
        const bool leaveOut = (c == u'm' && (flags & TIME_NOMINUTESORSECONDS)) ||
                              (c == u's' && (flags & (TIME_NOMINUTESORSECONDS | TIME_NOSECONDS))) ||
                              (c == u't' && ((flags & TIME_NOTIMEMARKER) || force24));
        if (leaveOut) {
            out.resize(afterPicture);
            continue;
        }
        const size_t digits = n >= 2 ? 2 : 1;
        switch (c) {
        case u'h':
            if (force24) out += number(t.wHour, digits);
            else out += number(t.wHour % 12 == 0 ? 12 : t.wHour % 12, digits);
            break;
        case u'H':
            out += number(t.wHour, digits);
            break;
        case u'm':
            out += number(t.wMinute, digits);
            break;
        case u's':
            out += number(t.wSecond, digits);
            break;
        default:  // t: "A"/"P", tt: "AM"/"PM"
            out += t.wHour < 12 ? u"AM" : u"PM";
            if (n == 1) out.pop_back();
            break;
        }
        afterPicture = out.size();
    }
    return out;
}

// The common ending of the two formatters: the count with the NUL, the count
// only when cch is 0, and ERROR_INSUFFICIENT_BUFFER when it doesn't fit.
int deliver(const std::u16string &text, LPWSTR buffer, int cch) {
    const int needed = static_cast<int>(text.size()) + 1;
    if (cch == 0) return needed;
    if (cch < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    return needed;
}

}  // namespace

BOOL WINAPI FileTimeToSystemTime(const FILETIME *lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (lpFileTime == nullptr || lpSystemTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t ticks = (static_cast<uint64_t>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
    if (ticks > kMaxFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = static_cast<int64_t>(ticks / kTicksPerDay);
    const uint64_t msOfDay = (ticks % kTicksPerDay) / kTicksPerMs;
    int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    lpSystemTime->wYear = static_cast<WORD>(y);
    lpSystemTime->wMonth = static_cast<WORD>(m);
    lpSystemTime->wDay = static_cast<WORD>(d);
    lpSystemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
    lpSystemTime->wHour = static_cast<WORD>(msOfDay / 3600000);
    lpSystemTime->wMinute = static_cast<WORD>(msOfDay / 60000 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(msOfDay % 1000);
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *lpSystemTime, LPFILETIME lpFileTime) {
    if (lpSystemTime == nullptr || lpFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME &t = *lpSystemTime;
    if (!validDate(t) || !validTime(t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t days = static_cast<uint64_t>(daysFromCivil(t.wYear, t.wMonth, t.wDay));
    const uint64_t ms = ((static_cast<uint64_t>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
    const uint64_t ticks = days * kTicksPerDay + ms * kTicksPerMs;
    if (ticks > kMaxFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}

int WINAPI GetDateFormatW(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpDate, LPCWSTR lpFormat, LPWSTR lpDateStr,
                          int cchDate) {
    if (!knownLocale(Locale) || cchDate < 0 || (cchDate > 0 && lpDateStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD known = LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP | DATE_SHORTDATE | DATE_LONGDATE;
    const DWORD kinds = dwFlags & (DATE_SHORTDATE | DATE_LONGDATE);
    if ((dwFlags & ~known) != 0 || kinds == (DATE_SHORTDATE | DATE_LONGDATE) || (lpFormat != nullptr && kinds != 0)) {
        SetLastError(kErrorInvalidFlags);
        return 0;
    }
    const SYSTEMTIME t = lpDate != nullptr ? *lpDate : now();
    if (!validDate(t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const WCHAR *picture = lpFormat != nullptr ? lpFormat : kinds == DATE_LONGDATE ? kLongDate : kShortDate;
    return deliver(formatDate(t, picture), lpDateStr, cchDate);
}

int WINAPI GetTimeFormatW(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpTime, LPCWSTR lpFormat, LPWSTR lpTimeStr,
                          int cchTime) {
    if (!knownLocale(Locale) || cchTime < 0 || (cchTime > 0 && lpTimeStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD known = LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP | TIME_NOMINUTESORSECONDS | TIME_NOSECONDS |
                        TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT;
    if ((dwFlags & ~known) != 0) {
        SetLastError(kErrorInvalidFlags);
        return 0;
    }
    const SYSTEMTIME t = lpTime != nullptr ? *lpTime : now();
    if (!validTime(t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The locale's own 24-hour form keeps two-digit hours.
    const WCHAR *picture = lpFormat;
    if (picture == nullptr) picture = (dwFlags & TIME_FORCE24HOURFORMAT) ? kTime24 : kTimeFormat;
    return deliver(formatTime(t, dwFlags, picture), lpTimeStr, cchTime);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    (void)dwFlags;  // composition flags change nothing for these code pages
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr) ||
        (CodePage != CP_ACP && CodePage != CP_OEMCP && CodePage != CP_UTF8 && CodePage != 1252)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // -1: the text and its NUL.
    const size_t length =
        cbMultiByte == -1 ? std::char_traits<char>::length(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const std::string bytes(lpMultiByteStr, length);
    std::u16string wide;
    if (CodePage == CP_UTF8) {
        // Malformed sequences become U+FFFD, as the platform's own converter makes them.
        for (size_t i = 0; i < bytes.size();) {
            const unsigned char b = static_cast<unsigned char>(bytes[i]);
            size_t need = 0;
            uint32_t c = 0, min = 0;
            if (b < 0x80) {
                c = b;
            } else if (b >= 0xC2 && b <= 0xDF) {
                need = 1, c = b & 0x1F, min = 0x80;
            } else if (b >= 0xE0 && b <= 0xEF) {
                need = 2, c = b & 0x0F, min = 0x800;
            } else if (b >= 0xF0 && b <= 0xF4) {
                need = 3, c = b & 0x07, min = 0x10000;
            } else {
                wide += u'\uFFFD';
                ++i;
                continue;
            }
            size_t k = 1;
            for (; k <= need && i + k < bytes.size(); ++k) {
                const unsigned char cont = static_cast<unsigned char>(bytes[i + k]);
                if ((cont & 0xC0) != 0x80) break;
                c = (c << 6) | (cont & 0x3F);
            }
            if (k <= need || c < min || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
                wide += u'\uFFFD';
                i += k;  // the bytes read so far belong to the broken sequence
                continue;
            }
            i += k;
            if (c >= 0x10000) {
                c -= 0x10000;
                wide += static_cast<char16_t>(0xD800 + (c >> 10));
                wide += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
            } else {
                wide += static_cast<char16_t>(c);
            }
        }
    } else {
        // The board has one 8-bit code page; its OEM page is the same table.
        for (char b : bytes) wide += wince::ansiToWide(static_cast<unsigned char>(b));
    }
    const int needed = static_cast<int>(wide.size());
    if (cchWideChar == 0) return needed;
    if (cchWideChar < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    wide.copy(lpWideCharStr, wide.size());
    return needed;
}
