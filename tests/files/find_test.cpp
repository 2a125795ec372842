// Enumeration of board folders.
#include "board/filesystem.h"
#include "board/volumes.h"
#include "board_fixture.h"

namespace fs = std::filesystem;

namespace {

class Find : public OnBoard {
  protected:
    void SetUp() override {
        OnBoard::SetUp();
        for (const char *name : {"Setup.EXE", "tool.exe", "tool.exe.txt", "tool.exel", "readme", "a.lnk", "b.LNK"})
            put(files() / "dir" / name, name);
        fs::create_directories(files() / "dir" / "Folder.exe");
        fs::create_directories(files() / "dir" / "Sub");
        put(files() / "Windows" / "NK.EXE", "the board's own");
    }
    // Names the pattern gives, in the order given; "!" and the error code
    // when FindFirstFileW fails.
    std::vector<std::string> names(const std::string &pattern) {
        std::vector<std::string> out;
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(W(pattern).c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return {"!" + std::to_string(GetLastError())};
        do out.push_back(wince::toUtf8(fd.cFileName));
        while (FindNextFileW(h, &fd));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        FindClose(h);
        return out;
    }
    using Names = std::vector<std::string>;
};

TEST_F(Find, PatternsAndCase) {
    struct Case {
        std::string pattern;
        Names want;
    };
    const Case cases[] = {
        {"\\dir\\*",
         {"Folder.exe", "Setup.EXE", "Sub", "a.lnk", "b.LNK", "readme", "tool.exe", "tool.exe.txt", "tool.exel"}},
        {"\\dir\\*.*",
         {"Folder.exe", "Setup.EXE", "Sub", "a.lnk", "b.LNK", "readme", "tool.exe", "tool.exe.txt", "tool.exel"}},
        {"\\dir\\*.exe", {"Folder.exe", "Setup.EXE", "tool.exe"}},
        {"\\DIR\\*.LNK", {"a.lnk", "b.LNK"}},
        {"\\dir\\tool.???", {"tool.exe"}},
        {"\\dir\\?.lnk", {"a.lnk", "b.LNK"}},
        {"\\dir\\*e*e*", {"Folder.exe", "Setup.EXE", "readme", "tool.exe", "tool.exe.txt", "tool.exel"}},
        {"\\dir\\README", {"readme"}},
        {"\\dir\\*.bat", {"!" + std::to_string(ERROR_FILE_NOT_FOUND)}},
        {"\\nodir\\*", {"!" + std::to_string(ERROR_PATH_NOT_FOUND)}},
        {"\\dir\\readme\\*", {"!" + std::to_string(ERROR_PATH_NOT_FOUND)}},
        {"\\dir\\", {"!" + std::to_string(ERROR_FILE_NOT_FOUND)}},
        // The running image's files beside the board's own, which stand in for theirs.
        {"\\windows\\*", {"NK.EXE", "coredll.dll", "default.fdf", "device.exe", "filesys.exe", "gwes.exe"}},
        {"\\Windows\\*.exe", {"NK.EXE", "device.exe", "filesys.exe", "gwes.exe"}},
    };
    for (const auto &c : cases) EXPECT_EQ(names(c.pattern), c.want) << c.pattern;
}

TEST_F(Find, RecordsCarryAttributesAndSizes) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(u"\\dir\\S*", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(wince::toUtf8(fd.cFileName), "Setup.EXE");
    EXPECT_EQ(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(fd.nFileSizeLow, 9u);
    ASSERT_TRUE(FindNextFileW(h, &fd));
    EXPECT_EQ(wince::toUtf8(fd.cFileName), "Sub");
    EXPECT_EQ(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(FindNextFileW(h, &fd));
    FindClose(h);

    board::setCreationTime(board(), "\\DIR\\setup.exe", 1234567);
    h = FindFirstFileW(u"\\dir\\setup.exe", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fd.ftCreationTime.dwLowDateTime, 1234567u);
    EXPECT_EQ(fd.ftCreationTime.dwHighDateTime, 0u);
    FindClose(h);
}

TEST_F(Find, NeverTheDotEntriesAndNeverUnspellableNames) {
    put(files() / "odd" / "back\\slash", "x");  // a host name no board path can spell
    put(files() / "odd" / "bad\xFFutf8", "x");  // a host name that is not text
    put(files() / "odd" / "ok", "x");
    EXPECT_EQ(names("\\odd\\*"), Names{"ok"});
    EXPECT_EQ(names("\\odd\\.*"), Names{"!" + std::to_string(ERROR_FILE_NOT_FOUND)});
    EXPECT_EQ(names("\\odd\\."), Names{"!" + std::to_string(ERROR_FILE_NOT_FOUND)});
}

TEST_F(Find, TheRootListsMountedVolumes) {
    const fs::path card = board_.dir() / "card";
    fs::create_directories(card / "AutoRun");
    board::mountVolume(board(), "Storage Card", card);
    put(files() / "storage CARD" / "own.txt", "x");  // made by the host after the mount, hidden by it
    const auto root = names("\\*");
    EXPECT_EQ(std::count(root.begin(), root.end(), "Storage Card"), 1);
    EXPECT_EQ(std::count(root.begin(), root.end(), "storage CARD"), 0);
    EXPECT_EQ(names("\\storage card\\*"), Names{"AutoRun"});
    board::unmountVolume(board(), "Storage Card");
    EXPECT_EQ(names("\\storage card\\*"), Names{"own.txt"}) << "the board's own folder shows again";
}

TEST_F(Find, AVolumeIsFoundWhereItIsMountedNow) {
    // Two boards in one process, each with its own "Card", and a card
    // mounted again elsewhere: every look must use the table as it is now.
    const fs::path card1 = board_.dir() / "card1", card2 = board_.dir() / "card2", card3 = board_.dir() / "card3";
    put(card1 / "one.txt", "1");
    put(card2 / "two.txt", "2");
    put(card3 / "three.txt", "3");
    const fs::path otherDir = board_.dir() / "other-board";
    board::Board::create(otherDir);
    auto other = board::Board::open(otherDir);
    board::mountVolume(board(), "Card", card1);
    board::mountVolume(*other, "CARD", card3);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(names("\\card\\*"), Names{"one.txt"});
        EXPECT_EQ(board::findVolume(*other, "card")->hostDir, fs::canonical(card3));
    }
    board::unmountVolume(board(), "Card");
    EXPECT_EQ(names("\\card\\*"), Names{"!" + std::to_string(ERROR_PATH_NOT_FOUND)});
    board::mountVolume(board(), "Card", card2);
    EXPECT_EQ(names("\\card\\*"), Names{"two.txt"});
    EXPECT_EQ(board::findVolume(*other, "card")->hostDir, fs::canonical(card3));
    EXPECT_FALSE(board::findVolume(*other, "card1"));
}

TEST_F(Find, EntriesThatGoAwayAreSkipped) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(u"\\dir\\*.lnk", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(wince::toUtf8(fd.cFileName), "a.lnk");
    fs::remove(files() / "dir" / "b.LNK");
    EXPECT_FALSE(FindNextFileW(h, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    FindClose(h);
}

TEST(BoardNames, CaseFoldingAndPatterns) {
    EXPECT_TRUE(board::namesEqual("Storage Card", "STORAGE card"));
    EXPECT_TRUE(board::namesEqual("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"));  // Été / éTÉ
    EXPECT_TRUE(board::namesEqual("\xD0\x9F\xD1\x80", "\xD0\xBF\xD0\xA0"));    // Пр / пР
    EXPECT_FALSE(board::namesEqual("a", "b"));
    EXPECT_FALSE(board::namesEqual("ab", "a"));
    EXPECT_FALSE(board::namesEqual("\xFF", "\xFE")) << "bytes that are not UTF-8 still differ";
    EXPECT_TRUE(board::nameMatches("x", "*"));
    EXPECT_TRUE(board::nameMatches("x", "*.*"));
    EXPECT_TRUE(board::nameMatches("", "*"));
    EXPECT_FALSE(board::nameMatches("", "?"));
    EXPECT_TRUE(board::nameMatches("abcabd", "*abd"));
    EXPECT_FALSE(board::nameMatches("abcab", "*abd"));
}

// The key a path's kept creation time is filed under: the same for every
// spelling of one path, whatever the case, separators, dots or letters
// beyond ASCII.
TEST(BoardNames, NormalizedPaths) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "\\"},
        {"\\", "\\"},
        {".", "\\"},
        {"/./\\", "\\"},
        {"/Windows\\\\.\\Default.FDF\\", "\\windows\\default.fdf"},
        {"\\..\\A\\..", "\\a"},
        {"..a\\a..\\...", "\\..a\\a..\\..."},
        {std::string("\\A\0B", 4), "\\ab"},
        {std::string("\\.\0\\x", 5), "\\x"},
        {"\\\xC3\x89T\xC3\xA9\\Stra\xC3\x9F"
         "E",
         "\\\xC3\xA9t\xC3\xA9\\stra\xC3\x9F"
         "e"},                                                   // ÉTé\\StraßE
        {"\\\xD0\x9F\xD1\x80 X\\Y", "\\\xD0\xBF\xD1\x80 x\\y"},  // Пр X
        {"\\\xCE\x91\xCE\x92", "\\\xCE\xB1\xCE\xB2"},            // ΑΒ
    };
    for (const auto &[path, want] : cases) EXPECT_EQ(board::normalizedBoardPath(path), want) << path;
}

}  // namespace
