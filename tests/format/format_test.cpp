// The platform's wide formatters, compared against the texts the board shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

template <typename... Args> std::u16string fmt(const WCHAR *format, Args... args) {
    WCHAR buffer[2048];
    const int n = swprintf(buffer, format, args...);
    EXPECT_EQ(n, static_cast<int>(wcslen(buffer)));
    return std::u16string(buffer);
}

struct Case {
    int line;
    std::u16string got;
    std::u16string want;
};

void check(const std::vector<Case> &cases) {
    for (const auto &c : cases) {
        EXPECT_EQ(c.got, c.want) << "case at line " << c.line;
    }
}

TEST(Format, StringsFollowThePlatformRule) {
    const WCHAR wide[] = u"wide";
    const char narrow[] = "narrow";
    check({
        {__LINE__, fmt(u"[%s]", wide), u"[wide]"},
        {__LINE__, fmt(u"[%S]", narrow), u"[narrow]"},
        {__LINE__, fmt(u"[%ls|%hs]", wide, narrow), u"[wide|narrow]"},
        {__LINE__, fmt(u"[%ws|%lS|%hS]", wide, wide, narrow), u"[wide|wide|narrow]"},
        {__LINE__, fmt(u"[%s|%S]", static_cast<const WCHAR *>(nullptr), static_cast<const char *>(nullptr)),
         u"[(null)|(null)]"},
        {__LINE__, fmt(u"[%6s]", wide), u"[  wide]"},
        {__LINE__, fmt(u"[%-6S]", "ab"), u"[ab    ]"},
        {__LINE__, fmt(u"[%.3s]", wide), u"[wid]"},
        {__LINE__, fmt(u"[%5.2S]", narrow), u"[   na]"},
        {__LINE__, fmt(u"[%*s|%-*s]", 3, u"x", 3, u"y"), u"[  x|y  ]"},
        {__LINE__, fmt(u"[%.*S]", 2, "abc"), u"[ab]"},
        {__LINE__, fmt(u"[%s]", u""), u"[]"},
    });
}

TEST(Format, NarrowTextGoesThroughTheBoardCodePage) {
    check({
        {__LINE__, fmt(u"%S", "plain ASCII ~"), u"plain ASCII ~"},
        // Windows-1252 in 0x80-0x9F, including its unassigned bytes.
        {__LINE__, fmt(u"%S", "\x80\x85\x8a\x99\x9f"), u"\u20ac\u2026\u0160\u2122\u0178"},
        {__LINE__, fmt(u"%S", "\x81\x8d\x8f\x90\x9d"), u"\u0081\u008d\u008f\u0090\u009d"},
        // Latin-1 above.
        {__LINE__, fmt(u"%S", "\xa0\xe9\xff"), u"\u00a0\u00e9\u00ff"},
        {__LINE__, fmt(u"%C%c%hc%lc", 'A', u'\u00e9', '\x80', u'\u20ac'), u"A\u00e9\u20ac\u20ac"},
    });
}

TEST(Format, Integers) {
    check({
        {__LINE__, fmt(u"%d %i", 42, -42), u"42 -42"},
        {__LINE__, fmt(u"%d", INT_MIN), u"-2147483648"},
        {__LINE__, fmt(u"%d", static_cast<int>(0x80000000u)), u"-2147483648"},
        {__LINE__, fmt(u"%u", 0xFFFFFFFFu), u"4294967295"},
        {__LINE__, fmt(u"%x %X", 0xBEEFu, 0xBEEFu), u"beef BEEF"},
        {__LINE__, fmt(u"%.8x", 0x1234u), u"00001234"},
        {__LINE__, fmt(u"%.8x", 0x9CA00000u), u"9ca00000"},
        {__LINE__, fmt(u"%.8x", 0u), u"00000000"},
        {__LINE__, fmt(u"%08X|%8x|%-8x|", 0xABu, 0xABu, 0xABu), u"000000AB|      ab|ab      |"},
        {__LINE__, fmt(u"%05d|%5d|%-5d|", -42, -42, -42), u"-0042|  -42|-42  |"},
        {__LINE__, fmt(u"%.3d|%6.3d|%06.3d", 7, 7, 7), u"007|   007|   007"},
        {__LINE__, fmt(u"%.0d|%.0x|", 0, 0u), u"||"},
        {__LINE__, fmt(u"%+d % d %+d", 5, 5, -5), u"+5  5 -5"},
        {__LINE__, fmt(u"%#x %#X %#x", 255u, 255u, 0u), u"0xff 0XFF 0"},
        {__LINE__, fmt(u"%lu %ld %lx", DWORD(4000000000u), LONG(-7), DWORD(0xCAFEu)), u"4000000000 -7 cafe"},
        {__LINE__, fmt(u"%hd %hu", 0x12345, 0x1FFFF), u"9029 65535"},
        {__LINE__, fmt(u"%I64d %lld %I64x", INT64_MIN, 1LL << 40, 0x123456789ABCDEFull),
         u"-9223372036854775808 1099511627776 123456789abcdef"},
        {__LINE__, fmt(u"%o", 8u), u"10"},
    });
}

TEST(Format, LiteralsAndOddFormats) {
    check({
        {__LINE__, fmt(u"100%%"), u"100%"},
        {__LINE__, fmt(u"tab\there\r\n"), u"tab\there\r\n"},
        {__LINE__, fmt(u"%y|%"), u"y|"},  // unknown letter printed, lone % dropped
        {__LINE__, fmt(u"\u00e9%d\u20ac", 1), u"\u00e91\u20ac"},
    });
}

TEST(Format, TheToolsOwnFormats) {
    check({
        {__LINE__, fmt(u"Image: %.8x  Len: %.8x(%d)", 0x9CA00000u, 0x80000000u, static_cast<int>(0x80000000u)),
         u"Image: 9ca00000  Len: 80000000(-2147483648)"},
        {__LINE__, fmt(u"Erasing Flash Sector at %.8x", 0x9CA40000u), u"Erasing Flash Sector at 9ca40000"},
        {__LINE__, fmt(u"%s\\AutoRun\\%s", u"\\Storage Card", u"go.exe"), u"\\Storage Card\\AutoRun\\go.exe"},
        {__LINE__,
         fmt(u"Bootloader:\t%S\r\n\r\nBSP ID:\t%s\r\nBSP Version:\t%d.%d\r\n\r\nIMAGE built:\t%s %s (GMT)", "1.2",
             u"VORELLI", 3, 12, u"05 Mar 2007", u"14:03:09"),
         u"Bootloader:\t1.2\r\n\r\nBSP ID:\tVORELLI\r\nBSP Version:\t3.12\r\n\r\nIMAGE built:\t05 Mar 2007 14:03:09 "
         u"(GMT)"},
    });
}

TEST(Format, WsprintfStopsAt1024CharactersWithTheNul) {
    std::vector<WCHAR> buffer(1100, u'#');
    const std::u16string longText(2000, u'a');
    const int n = wsprintfW(buffer.data(), u"%s", longText.c_str());
    EXPECT_EQ(n, 1023);
    EXPECT_EQ(buffer[1022], u'a');
    EXPECT_EQ(buffer[1023], 0);
    EXPECT_EQ(buffer[1024], u'#');  // nothing beyond the platform's limit

    EXPECT_EQ(wsprintfW(buffer.data(), u"%d-%S", -3, "x"), 4);
    EXPECT_EQ(std::u16string(buffer.data()), u"-3-x");
}

TEST(Format, SnwprintfIsBoundedAsThePlatformIs) {
    struct Bounded {
        size_t count;
        int result;
        std::u16string stored;  // what lies in the buffer's first `count` places
        bool nul;               // whether a NUL follows the text
    };
    const std::vector<Bounded> cases = {
        {10, 5, u"hello", true},  // room to spare: text and NUL
        {6, 5, u"hello", true},   // room for exactly text and NUL
        {5, 5, u"hello", false},  // room for the text only: no NUL
        {3, -1, u"hel", false},   // cut: no NUL, -1
        {0, -1, u"", false},
    };
    for (const auto &c : cases) {
        WCHAR buffer[16];
        for (auto &w : buffer) w = u'#';
        EXPECT_EQ(_snwprintf(buffer, c.count, u"%S", "hello"), c.result) << "count " << c.count;
        EXPECT_EQ(std::u16string(buffer, c.stored.size()), c.stored) << "count " << c.count;
        const size_t after = c.stored.size();
        EXPECT_EQ(buffer[after], c.nul ? u'\0' : u'#') << "count " << c.count;
        for (size_t i = std::max(after + 1, c.count); i < 16; ++i) EXPECT_EQ(buffer[i], u'#') << "count " << c.count;
    }
}

TEST(Format, SwprintfReturnsTheLengthWithoutTheNul) {
    WCHAR buffer[64];
    EXPECT_EQ(swprintf(buffer, u"%s=%d", u"n", 12345), 7);
    EXPECT_EQ(std::u16string(buffer), u"n=12345");
    EXPECT_EQ(swprintf(buffer, u""), 0);
    EXPECT_EQ(buffer[0], 0);
}

}  // namespace
