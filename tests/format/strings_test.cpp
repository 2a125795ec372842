// Wide string helpers for 16-bit WCHAR.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Strings, LengthCopyAndCompare) {
    EXPECT_EQ(wcslen(u""), 0u);
    EXPECT_EQ(wcslen(u"\u20acuro"), 4u);
    EXPECT_EQ(lstrlenW(u"abc"), 3);
    EXPECT_EQ(lstrlenW(nullptr), 0);

    WCHAR buffer[8];
    EXPECT_EQ(wcscpy(buffer, u"copy"), buffer);
    EXPECT_EQ(std::u16string(buffer), u"copy");
    EXPECT_EQ(lstrcpyW(buffer, u"again"), buffer);
    EXPECT_EQ(std::u16string(buffer), u"again");

    // Characters compare as unsigned 16-bit values.
    EXPECT_LT(wcscmp(u"A", u"\uFFFF"), 0);
    EXPECT_GT(wcscmp(u"abc", u"ab"), 0);
    EXPECT_LT(wcscmp(u"ab", u"abc"), 0);
    EXPECT_EQ(wcscmp(u"same", u"same"), 0);
    EXPECT_EQ(lstrcmpW(u"same", u"same"), 0);
    EXPECT_LT(lstrcmpW(u"Same", u"same"), 0);
    EXPECT_LT(lstrcmpW(nullptr, u""), 0);
    EXPECT_GT(lstrcmpW(u"", nullptr), 0);
}

TEST(Strings, WcsncpyPadsOrLeavesTheNulOut) {
    WCHAR buffer[6];
    for (auto &w : buffer) w = u'#';
    wcsncpy(buffer, u"ab", 5);
    EXPECT_EQ(std::u16string(buffer, 6), std::u16string(u"ab\0\0\0#", 6));

    for (auto &w : buffer) w = u'#';
    wcsncpy(buffer, u"abcdefgh", 4);
    EXPECT_EQ(std::u16string(buffer, 6), u"abcd##");  // no NUL when the source is long
}

TEST(Strings, LstrcpynAlwaysTerminates) {
    struct Case {
        int max;
        std::u16string want;
    };
    for (const Case &c : {Case{10, u"source"}, Case{7, u"source"}, Case{6, u"sourc"}, Case{2, u"s"}, Case{1, u""}}) {
        WCHAR buffer[12];
        for (auto &w : buffer) w = u'#';
        EXPECT_EQ(lstrcpynW(buffer, u"source", c.max), buffer);
        EXPECT_EQ(std::u16string(buffer), c.want) << "max " << c.max;
        for (size_t i = c.want.size() + 1; i < 12; ++i) EXPECT_EQ(buffer[i], u'#') << "max " << c.max;
    }
    WCHAR untouched[2] = {u'#', u'#'};
    lstrcpynW(untouched, u"x", 0);
    EXPECT_EQ(untouched[0], u'#');
}

TEST(Strings, WcschrFindsCharactersAndTheEnd) {
    const WCHAR *text = u"a\\b\\c";
    EXPECT_EQ(wcschr(text, u'\\'), text + 1);
    EXPECT_EQ(wcschr(text, u'z'), nullptr);
    EXPECT_EQ(wcschr(text, u'\0'), text + 5);
    WCHAR mutableText[] = u"xyz";
    WCHAR *found = wcschr(mutableText, u'y');
    ASSERT_NE(found, nullptr);
    *found = u'Y';
    EXPECT_EQ(std::u16string(mutableText), u"xYz");
}

TEST(Strings, LstrcmpiIgnoresCase) {
    struct Case {
        const WCHAR *a;
        const WCHAR *b;
        int sign;
    };
    const Case cases[] = {
        {u"AutoRun", u"AUTORUN", 0},
        {u"\\Windows\\Default.FDF", u"\\windows\\default.fdf", 0},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", 0},  // Latin-1
        {u"\u0161\u017e", u"\u0160\u017d", 0},    // Latin Extended-A
        {u"\u03b1\u03c9", u"\u0391\u03a9", 0},    // Greek
        {u"\u0434\u0451", u"\u0414\u0401", 0},    // Cyrillic
        {u"\u00ff", u"\u0178", 0},
        {u"abc", u"ABD", -1},
        {u"abd", u"ABC", 1},
        {u"ab", u"ABC", -1},
        {u"\u00f7", u"\u00d7", 1},  // division and multiplication signs are no case pair
    };
    for (const auto &c : cases) {
        const int r = lstrcmpiW(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << "case " << (&c - cases);
    }
}

}  // namespace
