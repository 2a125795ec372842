// What a new board holds for the report: the boot loader in block 0 and a
// default image that boots, with its build time; the image's table reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <unistd.h>

#include "board/board.h"
#include "board/boot.h"
#include "board/image_contents.h"
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

TEST(BootContents, TheDefaultImageBootsAndShowsItsBuildTime) {
    TempBoard board(json{{"image", {{"build_time", "2007-03-05T14:03:09.25Z"}}}});
    // The image's file, not one of the board's own.
    EXPECT_FALSE(std::filesystem::exists(board.files() / "Windows" / "default.fdf"));
    auto opened = board::Board::open(board.dir());
    opened->powerUp();
    const auto boot = board::lastBoot(*opened);
    ASSERT_TRUE(boot.has_value());
    EXPECT_TRUE(boot->ok) << boot->reason;
    EXPECT_EQ(boot->text, "Jumping to image at 0x9ca00000");
    EXPECT_EQ(boot->buildTime, "2007-03-05T14:03:09Z");
    EXPECT_EQ(boot->modules, 5u);
    const auto kept = board::creationTime(*opened, "\\windows\\DEFAULT.FDF");
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(*kept, 128175769890000000ull + 2500000);
    EXPECT_EQ(board.events("boot").size(), 1u);
}

// A table laid out by hand in a window of its own: the reader's checks, each
// broken in turn at the byte offsets of the documented layout.
class Window : public board::ImageBytes {
  public:
    static constexpr uint32_t kBase = board::kImageWindowBase;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(0x2000, 0xFF);
    bool read(uint32_t at, void *out, uint32_t n) const override {
        if (at < kBase || uint64_t{at} - kBase + n > bytes.size()) return false;
        std::memcpy(out, bytes.data() + (at - kBase), n);
        return true;
    }
    void put32(uint32_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
    }
};

constexpr uint32_t kTable = 0x200;  // offset of the table in the window

Window sampleWindow() {
    Window w;
    board::ContentsLayout l;
    l.imageStart = 0x80080000;
    l.tableAddress = 0x80080000 + kTable;
    l.physLast = 0x80080000 + 0x1000;
    l.modules = {{"nk.exe", 0x2045, 128175769890000000ull, 0x1000, 0, {}}};
    l.files = {{"default.fdf", 0x45, 125963423990000000ull, 5, 5, "[F]\r\n"}};
    const auto table = board::contentsTableBytes(l);
    std::copy(table.begin(), table.end(), w.bytes.begin() + kTable);
    const auto pointer = board::contentsPointerBytes(l.tableAddress);
    std::copy(pointer.begin(), pointer.end(), w.bytes.begin() + 0x40);
    return w;
}

TEST(BootContents, TableReaderFindsEntriesAndRefusesDamage) {
    const Window good = sampleWindow();
    const auto c = board::readImageContents(good, Window::kBase);
    ASSERT_TRUE(c.ok()) << c.problem;
    ASSERT_EQ(c.modules.size(), 1u);
    ASSERT_EQ(c.files.size(), 1u);
    EXPECT_EQ(c.modules[0].name, "nk.exe");
    EXPECT_EQ(c.modules[0].size, 0x1000u);
    EXPECT_EQ(c.files[0].name, "default.fdf");
    EXPECT_EQ(c.files[0].size, 5u);
    EXPECT_EQ(c.header.physFirst, 0x80080000u);
    EXPECT_EQ(c.header.physLast, 0x80081000u);
    EXPECT_EQ(c.buildTime(), 125963423990000000ull);  // default.fdf's, not nk.exe's
    EXPECT_EQ(board::iso8601FromFileTime(*c.buildTime()), "2000-02-29T23:59:59Z");

    struct Case {
        const char *what;
        void (*damage)(Window &);
        const char *reason;
    };
    const Case cases[] = {
        {"signature missing", [](Window &w) { w.bytes[0x40] = 'X'; }, "no signature"},
        {"table outside the window", [](Window &w) { w.put32(0x44, 0x70000000); }, "outside the image window"},
        {"table past the window's end", [](Window &w) { w.put32(0x44, 0x8207FFF0); }, "outside the image window"},
        {"table not held", [](Window &w) { w.put32(0x44, 0x80080000 + 0x1FD0); }, "does not hold the table"},
        {"physical range reversed",
         [](Window &w) { w.put32(kTable + 8, 0x80081000), w.put32(kTable + 12, 0x80080000); }, "reversed"},
        {"physical range past the window", [](Window &w) { w.put32(kTable + 12, 0x90000000); },
         "does not lie in the image window"},
        {"table outside the physical range", [](Window &w) { w.put32(kTable + 8, 0x80080800); },
         "outside the image's physical range"},
        {"no module", [](Window &w) { w.put32(kTable + 16, 0); }, "no module"},
        {"module count past the image", [](Window &w) { w.put32(kTable + 16, 0x80); }, "run past the image"},
        {"counts that wrap", [](Window &w) { w.put32(kTable + 16, 0xFFFFFFFF), w.put32(kTable + 48, 0xFFFFFFFF); },
         "run past the image"},
        {"file count past the image", [](Window &w) { w.put32(kTable + 48, 0x10000); }, "run past the image"},
        {"name outside the image", [](Window &w) { w.put32(kTable + 84 + 16, 0x80090000); }, "lies outside the image"},
        {"name without its end",
         [](Window &w) {
             std::fill(w.bytes.begin() + 0xF80, w.bytes.begin() + 0x1000, 'A');
             w.put32(kTable + 84 + 32 + 20, 0x80080F80);
         },
         "file 1: its name at 0x80080f80 has no end inside the image"},
        {"name longer than any name",
         [](Window &w) { std::fill(w.bytes.begin() + kTable + 84 + 32 + 28, w.bytes.begin() + 0xF00, 'A'); },
         "module 1: its name at 0x80080290 has no end within 260 bytes"},
        {"empty name", [](Window &w) { w.bytes[0x300] = 0, w.put32(kTable + 84 + 16, 0x80080300); }, "is empty"},
    };
    for (const auto &k : cases) {
        Window w = sampleWindow();
        k.damage(w);
        const auto d = board::readImageContents(w, Window::kBase);
        EXPECT_FALSE(d.ok()) << k.what;
        EXPECT_NE(d.problem.find(k.reason), std::string::npos) << k.what << ": " << d.problem;
    }
}

TEST(BootContents, ABoardWithoutAnImageRunsNoProgram) {
    TempBoard board;
    const std::vector<uint8_t> erased(board::FlashPair::kBlockSize, 0xFF);
    board::FlashPair(board.dir()).writeArray(board::kImageWindowBase - board::kKernelFlashBase, erased);
    auto opened = board::Board::open(board.dir());
    opened->powerUp();
    const auto boot = board::lastBoot(*opened);
    ASSERT_TRUE(boot.has_value());
    EXPECT_FALSE(boot->ok);
    EXPECT_EQ(boot->text, "Image in flash is not valid.");
    EXPECT_THROW(board::requireBooted(*opened), board::BoardNotBooted);
    // Nothing of an image shows in \Windows.
    EXPECT_FALSE(board::resolveBoardPath(*opened, "\\Windows\\default.fdf").has_value());
    opened->changeSettings([&] {
        auto s = opened->settings();
        s["boot"]["without_image"] = true;
        return s;
    }());
    EXPECT_NO_THROW(board::requireBooted(*board::Board::open(board.dir())));
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
