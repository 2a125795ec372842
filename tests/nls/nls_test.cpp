// Time conversion and the board's US English date and time formats.
#include <windows.h>

#include <gtest/gtest.h>

#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

FILETIME fileTime(uint64_t ticks) { return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }
uint64_t ticksOf(const FILETIME &ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

SYSTEMTIME at(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME t = {};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    t.wMilliseconds = ms;
    return t;
}

std::u16string date(const SYSTEMTIME &t, const WCHAR *picture, DWORD flags = 0, LCID locale = LOCALE_SYSTEM_DEFAULT) {
    WCHAR buffer[64];
    const int n = GetDateFormatW(locale, flags, &t, picture, buffer, 64);
    if (n == 0) return u"<error " + std::u16string(1, static_cast<char16_t>(u'0' + GetLastError() % 10)) + u">";
    EXPECT_EQ(n, static_cast<int>(wcslen(buffer)) + 1);
    return buffer;
}

std::u16string time(const SYSTEMTIME &t, const WCHAR *picture, DWORD flags = 0) {
    WCHAR buffer[64];
    const int n = GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, flags, &t, picture, buffer, 64);
    if (n == 0) return u"<error>";
    EXPECT_EQ(n, static_cast<int>(wcslen(buffer)) + 1);
    return buffer;
}

TEST(FileTime, KnownInstants) {
    struct Case {
        uint64_t ticks;
        SYSTEMTIME want;
        WORD dayOfWeek;
    };
    const Case cases[] = {
        {0, at(1601, 1, 1), 1},                      // the origin, a Monday
        {116444736000000000ull, at(1970, 1, 1), 4},  // a Thursday
        {116444736000000000ull + 9999999, at(1970, 1, 1, 0, 0, 0, 999), 4},
        {125911584000000000ull, at(2000, 1, 1), 6},
        {125962560000000000ull + 863999990000ull, at(2000, 2, 29, 23, 59, 59, 999), 2},
        {157520160000000000ull, at(2100, 3, 1), 1},                   // 2100 is no leap year
        {0x7FFFFFFFFFFFFFFFull, at(30828, 9, 14, 2, 48, 5, 477), 4},  // the last one accepted
    };
    for (const auto &c : cases) {
        const FILETIME ft = fileTime(c.ticks);
        SYSTEMTIME st = {};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << c.ticks;
        EXPECT_EQ(st.wYear, c.want.wYear) << c.ticks;
        EXPECT_EQ(st.wMonth, c.want.wMonth) << c.ticks;
        EXPECT_EQ(st.wDay, c.want.wDay) << c.ticks;
        EXPECT_EQ(st.wDayOfWeek, c.dayOfWeek) << c.ticks;
        EXPECT_EQ(st.wHour, c.want.wHour) << c.ticks;
        EXPECT_EQ(st.wMinute, c.want.wMinute) << c.ticks;
        EXPECT_EQ(st.wSecond, c.want.wSecond) << c.ticks;
        EXPECT_EQ(st.wMilliseconds, c.want.wMilliseconds) << c.ticks;
    }
}

TEST(FileTime, TopBitIsRefused) {
    for (uint64_t ticks : {0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull}) {
        const FILETIME ft = fileTime(ticks);
        SYSTEMTIME st = at(1999, 1, 1);
        SetLastError(0);
        EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(FileTime, AgreesWithTheHostCalendarOverTheWholeRange) {
    // The host's gmtime is an independent proleptic Gregorian calendar.
    std::mt19937_64 random(20070305);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t ticks = random() & 0x7FFFFFFFFFFFFFFFull;
        const FILETIME ft = fileTime(ticks);
        SYSTEMTIME st = {};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        const time_t secs = static_cast<time_t>(ticks / 10000000) - 11644473600LL;
        struct tm tm = {};
        ASSERT_NE(gmtime_r(&secs, &tm), nullptr);
        ASSERT_EQ(st.wYear, tm.tm_year + 1900) << ticks;
        ASSERT_EQ(st.wMonth, tm.tm_mon + 1) << ticks;
        ASSERT_EQ(st.wDay, tm.tm_mday) << ticks;
        ASSERT_EQ(st.wDayOfWeek, tm.tm_wday) << ticks;
        ASSERT_EQ(st.wHour, tm.tm_hour) << ticks;
        ASSERT_EQ(st.wMinute, tm.tm_min) << ticks;
        ASSERT_EQ(st.wSecond, tm.tm_sec) << ticks;
        ASSERT_EQ(st.wMilliseconds, ticks / 10000 % 1000) << ticks;

        // And back again, exact to the millisecond.
        FILETIME back = {};
        ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
        ASSERT_EQ(ticksOf(back), ticks - ticks % 10000);
    }
}

TEST(FileTime, InvalidCalendarFieldsAreRefused) {
    const SYSTEMTIME bad[] = {
        at(1600, 12, 31),
        at(2007, 0, 1),
        at(2007, 13, 1),
        at(2007, 4, 31),
        at(2007, 2, 29),
        at(1900, 2, 29),
        at(2007, 1, 0),
        at(2007, 1, 1, 24),
        at(2007, 1, 1, 0, 60),
        at(2007, 1, 1, 0, 0, 60),
        at(2007, 1, 1, 0, 0, 0, 1000),
        at(30828, 9, 14, 2, 48, 5, 478),  // one past the last FILETIME without the top bit
        at(30829, 1, 1),
    };
    for (const auto &t : bad) {
        FILETIME ft = {};
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&t, &ft)) << t.wYear << "-" << t.wMonth << "-" << t.wDay;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    const SYSTEMTIME leap = at(2000, 2, 29, 23, 59, 59, 999);
    FILETIME ft = {};
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));
}

TEST(DateFormat, Pictures) {
    const SYSTEMTIME march5 = at(2007, 3, 5, 14, 3, 9);  // a Monday
    const SYSTEMTIME dec31 = at(2009, 12, 31);           // a Thursday
    struct Case {
        int line;
        std::u16string got, want;
    };
    const Case cases[] = {
        {__LINE__, date(march5, u"dd MMM yyyy"), u"05 Mar 2007"},
        {__LINE__, date(dec31, u"dd MMM yyyy"), u"31 Dec 2009"},
        {__LINE__, date(march5, u"d dd ddd dddd"), u"5 05 Mon Monday"},
        {__LINE__, date(dec31, u"ddd dddd"), u"Thu Thursday"},
        {__LINE__, date(march5, u"M MM MMM MMMM"), u"3 03 Mar March"},
        {__LINE__, date(at(2005, 9, 1), u"MMMM MMM"), u"September Sep"},
        {__LINE__, date(at(2005, 9, 1), u"y yy yyyy"), u"5 05 2005"},
        {__LINE__, date(at(1601, 1, 1), u"yyyy/MM/dd ddd"), u"1601/01/01 Mon"},
        {__LINE__, date(at(30828, 9, 14), u"dd MMM yyyy ddd"), u"14 Sep 30828 Thu"},  // the last FILETIME's day
        {__LINE__, date(march5, u"'day' d 'of' MMMM"), u"day 5 of March"},
        {__LINE__, date(march5, u"'It''s' d"), u"It's 5"},
        {__LINE__, date(march5, u"''"), u"'"},
        {__LINE__, date(march5, u"d-h:m"), u"5-h:m"},  // time letters are plain text here
        {__LINE__, date(march5, nullptr), u"3/5/2007"},
        {__LINE__, date(march5, nullptr, DATE_LONGDATE), u"Monday, March 05, 2007"},
        {__LINE__, date(march5, u"dd MMM yyyy", 0, 0x0409), u"05 Mar 2007"},
        {__LINE__, date(march5, u"dd MMM yyyy", LOCALE_NOUSEROVERRIDE, LOCALE_USER_DEFAULT), u"05 Mar 2007"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want) << "case at line " << c.line;
}

TEST(DateFormat, TheGivenDayOfWeekIsNotTrusted) {
    SYSTEMTIME t = at(2007, 3, 5);
    t.wDayOfWeek = 5;
    EXPECT_EQ(date(t, u"dddd"), u"Monday");
}

TEST(TimeFormat, Pictures) {
    struct Case {
        int line;
        std::u16string got, want;
    };
    const SYSTEMTIME afternoon = at(2007, 3, 5, 13, 7, 8);
    const SYSTEMTIME midnight = at(2007, 3, 5, 0, 5, 9);
    const SYSTEMTIME noon = at(2007, 3, 5, 12, 0, 0);
    const DWORD force24 = LOCALE_NOUSEROVERRIDE | TIME_FORCE24HOURFORMAT;
    const Case cases[] = {
        {__LINE__, time(afternoon, nullptr), u"1:07:08 PM"},
        {__LINE__, time(midnight, nullptr), u"12:05:09 AM"},
        {__LINE__, time(noon, nullptr), u"12:00:00 PM"},
        {__LINE__, time(afternoon, nullptr, force24), u"13:07:08"},
        {__LINE__, time(midnight, nullptr, force24), u"00:05:09"},
        {__LINE__, time(at(2007, 3, 5, 23, 59, 59), nullptr, force24), u"23:59:59"},
        {__LINE__, time(afternoon, u"h hh H HH m mm s ss t tt"), u"1 01 13 13 7 07 8 08 P PM"},
        {__LINE__, time(midnight, u"h hh H HH"), u"12 12 0 00"},
        {__LINE__, time(afternoon, u"H'h'mm"), u"13h07"},
        {__LINE__, time(afternoon, u"hh:mm tt", TIME_FORCE24HOURFORMAT), u"13:07"},
        {__LINE__, time(afternoon, nullptr, TIME_NOSECONDS), u"1:07 PM"},
        {__LINE__, time(afternoon, nullptr, TIME_NOMINUTESORSECONDS), u"1 PM"},
        {__LINE__, time(afternoon, nullptr, TIME_NOTIMEMARKER), u"1:07:08"},
        {__LINE__, time(afternoon, u"d/M HH"), u"d/M 13"},  // date letters are plain text here
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want) << "case at line " << c.line;
}

TEST(LocaleFormat, CountsBuffersAndErrors) {
    const SYSTEMTIME t = at(2007, 3, 5, 14, 3, 9);
    WCHAR buffer[16];
    for (auto &w : buffer) w = u'#';

    // Only the count when cch is 0; nothing written.
    EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"dd MMM yyyy", nullptr, 0), 12);
    EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_FORCE24HOURFORMAT, &t, nullptr, buffer, 0), 9);
    EXPECT_EQ(buffer[0], u'#');

    // One short: nothing, ERROR_INSUFFICIENT_BUFFER.
    SetLastError(0);
    EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"dd MMM yyyy", buffer, 11), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_FORCE24HOURFORMAT, &t, nullptr, buffer, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Exactly enough.
    EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"dd MMM yyyy", buffer, 12), 12);
    EXPECT_EQ(std::u16string(buffer), u"05 Mar 2007");
    EXPECT_EQ(buffer[12], u'#');

    // Each failing call returns 0 and sets its own error.
    const SYSTEMTIME badDay = at(2007, 2, 29);
    const SYSTEMTIME badHour = at(2007, 3, 5, 24);
    const auto error = [](int result) { return result == 0 ? GetLastError() : 0xFFFFFFFFu; };
    struct Bad {
        int line;
        DWORD got, want;
    };
    const Bad bad[] = {
        {__LINE__, error(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &badDay, u"d", buffer, 16)), ERROR_INVALID_PARAMETER},
        {__LINE__, error(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &badHour, u"H", buffer, 16)),
         ERROR_INVALID_PARAMETER},
        {__LINE__, error(GetDateFormatW(0x0407, 0, &t, u"d", buffer, 16)), ERROR_INVALID_PARAMETER},
        {__LINE__, error(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"d", nullptr, 16)), ERROR_INVALID_PARAMETER},
        {__LINE__, error(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"H", buffer, -1)), ERROR_INVALID_PARAMETER},
        {__LINE__, error(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &t, u"d", buffer, 16)), 1004},
        {__LINE__, error(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0x100, &t, nullptr, buffer, 16)), 1004},
    };
    for (const auto &b : bad) EXPECT_EQ(b.got, b.want) << "case at line " << b.line;
}

TEST(LocaleFormat, NoTimeGivenMeansNow) {
    WCHAR buffer[64];
    EXPECT_GT(GetDateFormatW(LOCALE_USER_DEFAULT, 0, nullptr, u"yyyy", buffer, 64), 0);
    const int year = std::stoi(std::string(buffer, buffer + wcslen(buffer)));
    EXPECT_GE(year, 2024);
    EXPECT_GT(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, buffer, 64), 0);
}

TEST(MultiByte, TheBoardCodePageMatchesTheFormatter) {
    // Every byte converts as the formatter's "%S" converts it.
    for (int b = 1; b < 256; ++b) {
        const char in[2] = {static_cast<char>(b), 0};
        WCHAR viaFormat[4];
        swprintf(viaFormat, u"%S", in);
        WCHAR viaCodePage[4] = {};
        ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, in, -1, viaCodePage, 4), 2) << b;
        EXPECT_EQ(viaCodePage[0], viaFormat[0]) << b;
        EXPECT_EQ(viaCodePage[1], 0) << b;
    }
    WCHAR out[8];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80\xe9", 2, out, 8), 2);
    EXPECT_EQ(out[0], 0x20AC);
    EXPECT_EQ(out[1], 0x00E9);
}

TEST(MultiByte, Utf8) {
    struct Case {
        std::string in;
        std::u16string want;
    };
    const Case cases[] = {
        {"plain", u"plain"},
        {"\xc3\xa9\xe2\x82\xac", u"\u00e9\u20ac"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},  // a surrogate pair
        {"a\xffz", u"a\uFFFDz"},
        {"a\xe2\x82z", u"a\uFFFDz"},    // cut short
        {"\xc0\xaf", u"\uFFFD\uFFFD"},  // overlong
        {"\xed\xa0\x80", u"\uFFFD"},    // an encoded surrogate
    };
    for (const auto &c : cases) {
        WCHAR out[16];
        const int n = MultiByteToWideChar(CP_UTF8, 0, c.in.data(), static_cast<int>(c.in.size()), out, 16);
        EXPECT_EQ(std::u16string(out, n > 0 ? n : 0), c.want) << c.in;
    }
}

TEST(MultiByte, CountsAndErrors) {
    WCHAR out[4];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, nullptr, 0), 7);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(932, 0, "a", -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 0, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
