// What a new board holds for the report: the boot loader in block 0 and the
// image file with its build time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <unistd.h>

#include "board/board.h"
#include "board/bootloader.h"
#include "board/filesystem.h"
#include "board/flash.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using vtest::TempBoard;

std::string bytesAt(const TempBoard &board, uint32_t offset, size_t length) {
    const auto bytes = board::FlashPair(board.dir()).readArray(offset, length);
    return std::string(bytes.begin(), bytes.end());
}

TEST(BootContents, Block0HoldsTheLoaderWithBannerAndVersion) {
    TempBoard board(json{{"bootloader", {{"version", "7.1 test"}, {"banner_offset", 0x2345}}}});
    const std::string banner = board::kBootloaderBanner;
    EXPECT_EQ(bytesAt(board, 0x2345, banner.size() + 9), banner + std::string("7.1 test\0", 9));
    // Loader code before it, not erased flash.
    const std::string code = bytesAt(board, 0, 0x40);
    EXPECT_NE(code, std::string(0x40, '\xff'));
    // The banner stands once in the whole block.
    const std::string block0 = bytesAt(board, 0, board::FlashPair::kBlockSize);
    EXPECT_EQ(block0.find(banner), 0x2345u);
    EXPECT_EQ(block0.find(banner, 0x2346), std::string::npos);
    // Everything past the loader is erased, the next block too.
    const std::string rest = bytesAt(board, 0x4000, 2 * board::FlashPair::kBlockSize - 0x4000);
    EXPECT_EQ(rest.find_first_not_of('\xff'), std::string::npos);
}

TEST(BootContents, DefaultsPutTheBannerAwayFromOffset0) {
    TempBoard board;
    const std::string block0 = bytesAt(board, 0, 0x20000);
    const auto at = block0.find(board::kBootloaderBanner);
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(at, 0u);
    EXPECT_EQ(block0.substr(at + 41, std::string(board::kDefaultBootloaderVersion).size() + 1),
              std::string(board::kDefaultBootloaderVersion) + '\0');
}

TEST(BootContents, ImageFileKeepsItsBuildTime) {
    TempBoard board(json{{"image", {{"build_time", "2007-03-05T14:03:09.25Z"}}}});
    EXPECT_TRUE(std::filesystem::is_regular_file(board.files() / "Windows" / "default.fdf"));
    auto opened = board::Board::open(board.dir());
    const auto kept = board::creationTime(*opened, "\\windows\\DEFAULT.FDF");
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(*kept, 128175769890000000ull + 2500000);
}

TEST(BootContents, IsoTimes) {
    struct Case {
        const char *text;
        uint64_t fileTime;
    };
    const Case good[] = {
        {"1601-01-01T00:00:00Z", 0},
        {"1970-01-01T00:00:00Z", 116444736000000000ull},
        {"2007-03-05T14:03:09Z", 128175769890000000ull},
        {"2007-03-05t14:03:09.1234567z", 128175769890000000ull + 1234567},
        {"2007-03-05T14:03:09.123456789Z", 128175769890000000ull + 1234567},  // below 100 ns is dropped
        {"2000-02-29T23:59:59Z", 125963423990000000ull},
    };
    for (const auto &c : good) EXPECT_EQ(board::fileTimeFromIso8601(c.text), c.fileTime) << c.text;

    const char *bad[] = {
        "",
        "2007-03-05",
        "2007-03-05T14:03:09",  // no zone: it must say UTC
        "2007-03-05T14:03:09+01:00",
        "2007-03-05 14:03:09Z",
        "2007-02-29T00:00:00Z",
        "2007-13-01T00:00:00Z",
        "2007-03-05T24:00:00Z",
        "2007-03-05T14:60:00Z",
        "1600-12-31T23:59:59Z",
        "2007-03-05T14:03:09.Z",
        "2007-03-05T14:03:09Zjunk",
        "20o7-03-05T14:03:09Z",
    };
    for (const char *text : bad) EXPECT_THROW(board::fileTimeFromIso8601(text), board::BoardError) << text;
}

TEST(BootContents, BadSettingsStopTheBoardBeingMade) {
    const json bad[] = {
        {{"image", {{"build_time", "yesterday"}}}},
        {{"bootloader", {{"banner_offset", board::FlashPair::kBlockSize - 41}}}},
    };
    const auto dir = std::filesystem::temp_directory_path() / ("vboard-bad-" + std::to_string(::getpid()));
    for (const auto &settings : bad) {
        std::filesystem::remove_all(dir);
        try {
            board::Board::create(dir, settings);
            ADD_FAILURE() << "made a board with " << settings.dump();
        } catch (const board::BoardError &e) {
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(BootContents, VersionTextInTheBoardCodePage) {
    EXPECT_EQ(board::toBoardCodePage("plain 1.0"), "plain 1.0");
    EXPECT_EQ(board::toBoardCodePage("\u20ac \u00e9 \u2013 \u0178 \u00ff"), "\x80 \xe9 \x96 \x9f \xff");
    EXPECT_EQ(board::toBoardCodePage("\u4e2d \U0001F600 \u0085"), "? ? ?");  // nothing the page has
}

}  // namespace
