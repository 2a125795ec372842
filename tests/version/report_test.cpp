// The BSP version report, in-process: ShowBspVersion on a board whose boot
// flash, settings and files each test sets up, with an operator that keeps
// the message boxes it is shown.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/bootloader.h"
#include "board/filesystem.h"
#include "board/flash.h"
#include "handles.h"
#include "test_support.h"
#include "update_tool.h"
#include "wince/host.h"

namespace {

using nlohmann::json;
using vtest::TempBoard;

constexpr uint32_t kView = 0x20000;
const std::string kBanner = board::kBootloaderBanner;

class KeepingOperator : public wince::Operator {
  public:
    std::vector<wince::MessageBoxView> boxes;
    wince::Action onDialog(const wince::DialogView &) override { return {}; }
    void onMessageBox(const wince::MessageBoxView &box) override { boxes.push_back(box); }
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override { return std::nullopt; }
};

// Shows the report on `board` and returns the one box it made.
wince::MessageBoxView showReport(const TempBoard &board) {
    auto op = std::make_shared<KeepingOperator>();
    wince::boot(board.dir(), op, "test");
    ShowBspVersion(NULL);
    wince::shutdown();
    EXPECT_EQ(op->boxes.size(), 1u);
    return op->boxes.empty() ? wince::MessageBoxView{} : op->boxes.front();
}

std::u16string line(const std::u16string &report, const std::u16string &label) {
    const auto at = report.find(label);
    if (at == std::u16string::npos) return u"<no " + label + u">";
    const auto start = at + label.size();
    return report.substr(start, report.find(u"\r\n", start) - start);
}

std::u16string bootloaderOf(const TempBoard &board) { return line(showReport(board).text, u"Bootloader:\t"); }

// Lays `pieces` (offset, bytes) into an erased view and writes it, with
// `beyond` right after the view.
void setBootFlash(const TempBoard &board, const std::vector<std::pair<uint32_t, std::string>> &pieces,
                  const std::string &beyond = "") {
    std::vector<uint8_t> view(kView, 0xFF);
    for (const auto &[offset, bytes] : pieces) std::copy(bytes.begin(), bytes.end(), view.begin() + offset);
    board::FlashPair flash(board.dir());
    flash.writeArray(0, view);
    if (!beyond.empty()) flash.writeArray(kView, std::vector<uint8_t>(beyond.begin(), beyond.end()));
}

std::string withNul(const std::string &s) { return std::string(s.data(), s.size() + 1); }

TEST(BootloaderSearch, WhereverTheBannerStands) {
    struct Case {
        const char *name;
        std::vector<std::pair<uint32_t, std::string>> pieces;
        std::u16string want;
    };
    const std::string partial = kBanner.substr(0, 24);  // "Microsoft Windows CE Eth"
    const std::vector<Case> cases = {
        {"at offset 0", {{0, withNul(kBanner + "1.0")}}, u"1.0"},
        {"after a doubled M", {{0x100, withNul("M" + kBanner + "2.0")}}, u"2.0"},
        {"after a partial marker", {{0x100, withNul(partial + kBanner + "3.0")}}, u"3.0"},
        {"after a partial marker broken by an M", {{0x100, withNul(kBanner.substr(0, 40) + kBanner + "3.1")}}, u"3.1"},
        {"after a partial marker and other bytes", {{0x100, withNul(partial + "xyz" + kBanner + "3.2")}}, u"3.2"},
        {"across the 64 KB mid-point", {{0x10000 - 20, withNul(kBanner + "4.0")}}, u"4.0"},
        {"text across the mid-point", {{0x10000 - 43, withNul(kBanner + "4.1 long")}}, u"4.1 long"},
        {"first of two", {{0x200, withNul(kBanner + "first")}, {0x400, withNul(kBanner + "second")}}, u"first"},
        {"with an empty text", {{0x300, withNul(kBanner)}}, u""},
        {"banner without its space", {{0x300, withNul(kBanner.substr(0, 40) + "5.0")}}, u"UNKNOWN"},
        {"nowhere", {}, u"UNKNOWN"},
        {"only partial markers", {{0x10, partial}, {0x1000, kBanner.substr(0, 40)}}, u"UNKNOWN"},
    };
    for (const auto &c : cases) {
        TempBoard board;
        setBootFlash(board, c.pieces);
        EXPECT_EQ(bootloaderOf(board), c.want) << c.name;
    }
}

TEST(BootloaderSearch, NeverReadsPastTheView) {
    {
        // The marker ends at the view's last byte: its text lies outside.
        TempBoard board;
        setBootFlash(board, {{kView - static_cast<uint32_t>(kBanner.size()), kBanner}}, withNul("9.9"));
        EXPECT_EQ(bootloaderOf(board), u"UNKNOWN");
    }
    {
        // A text that runs into the view's end is cut there.
        TempBoard board;
        setBootFlash(board, {{kView - static_cast<uint32_t>(kBanner.size()) - 5, kBanner + "ABCDE"}}, withNul("FGH"));
        EXPECT_EQ(bootloaderOf(board), u"ABCDE");
    }
    {
        // Block 0 beyond the view is not searched.
        TempBoard board(json{{"bootloader", {{"banner_offset", 0x30000}}}});
        EXPECT_EQ(bootloaderOf(board), u"UNKNOWN");
    }
}

TEST(BootloaderSearch, TheBoardsOwnLoaderAndItsCodePage) {
    {
        TempBoard board;
        EXPECT_EQ(bootloaderOf(board), wince::toUtf16(board::kDefaultBootloaderVersion));
    }
    {
        TempBoard board(json{{"bootloader", {{"version", "2.0 \u2013 caf\u00e9 \u20ac"}, {"banner_offset", 77}}}});
        EXPECT_EQ(bootloaderOf(board), u"2.0 \u2013 caf\u00e9 \u20ac");
    }
}

TEST(BootloaderSearch, ALongTextIsCutToFitTheReport) {
    const std::string text(400, 'v');
    TempBoard board;
    setBootFlash(board, {{0x800, withNul(kBanner + text)}});
    const auto box = showReport(board);
    EXPECT_EQ(box.text.size(), 255u);
    const std::u16string version = line(box.text, u"Bootloader:\t");
    EXPECT_GT(version.size(), 100u);
    EXPECT_EQ(version, std::u16string(version.size(), u'v'));
    // The rest of the report stays whole.
    EXPECT_EQ(line(box.text, u"BSP ID:\t"), u"VORELLI");
    EXPECT_EQ(line(box.text, u"BSP Version:\t"), u"3.12");
    EXPECT_EQ(line(box.text, u"IMAGE built:\t"), u"05 Mar 2007 14:03:09 (GMT)");
}

TEST(BoardInfo, NameAndVersion) {
    struct Case {
        json settings;
        std::u16string id, version;
    };
    const std::vector<Case> cases = {
        {{{"board_id", 1}, {"bsp_version", {{"major", 3}, {"minor", 12}}}}, u"VORELLI", u"3.12"},
        {{{"board_id", 2}, {"bsp_version", {{"major", 3}, {"minor", 12}}}}, u"UNKNOWN", u"3.12"},
        {{{"board_id", 0}, {"bsp_version", {{"major", 0}, {"minor", 7}}}}, u"UNKNOWN", u"0.7"},
        {{{"board_id", 1}, {"bsp_version", {{"major", 4294967295u}, {"minor", 10}}}}, u"VORELLI", u"-1.10"},
        // The control code fails: nothing undefined is shown.
        {{{"board_id", 1}, {"hal", {{"board_info_fails", true}}}}, u"UNKNOWN", u"0.0"},
    };
    for (const auto &c : cases) {
        TempBoard board(c.settings);
        const auto report = showReport(board).text;
        EXPECT_EQ(line(report, u"BSP ID:\t"), c.id) << c.settings.dump();
        EXPECT_EQ(line(report, u"BSP Version:\t"), c.version) << c.settings.dump();
    }
}

class ForeignTimeZone : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *tz = std::getenv("TZ");
        saved_ = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
        // Nine hours east, and with summer time: any local conversion would show.
        ::setenv("TZ", "XST-9XDT,M3.2.0,M11.1.0", 1);
        ::tzset();
    }
    void TearDown() override {
        if (saved_) ::setenv("TZ", saved_->c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }
    std::optional<std::string> saved_;
};

TEST_F(ForeignTimeZone, ImageTimeIsShownInUtcAnd24Hours) {
    struct Case {
        const char *built;
        std::u16string want;
    };
    const Case cases[] = {
        {"2007-03-05T14:03:09Z", u"05 Mar 2007 14:03:09 (GMT)"},
        {"2010-07-04T01:02:03Z", u"04 Jul 2010 01:02:03 (GMT)"},
        {"1999-12-31T23:59:59.999Z", u"31 Dec 1999 23:59:59 (GMT)"},
        {"2024-02-29T00:00:00Z", u"29 Feb 2024 00:00:00 (GMT)"},
    };
    for (const auto &c : cases) {
        TempBoard board(json{{"image", {{"build_time", c.built}}}});
        EXPECT_EQ(line(showReport(board).text, u"IMAGE built:\t"), c.want) << c.built;
    }
}

// A board whose image flash holds no image, set to run programs anyway:
// "\Windows" shows no image file.
void withoutImage(const TempBoard &b) {
    board::FlashPair(b.dir()).writeArray(0xA00000, std::vector<uint8_t>(board::FlashPair::kBlockSize, 0xFF));
    auto opened = board::Board::open(b.dir());
    auto settings = opened->settings();
    settings["boot"]["without_image"] = true;
    opened->changeSettings(settings);
}

TEST(ImageTime, FallBacks) {
    struct Case {
        const char *name;
        void (*spoil)(const TempBoard &);
    };
    const Case cases[] = {
        {"file missing", withoutImage},
        {"a folder of the board's own in its place",
         [](const TempBoard &b) { std::filesystem::create_directory(b.files() / "Windows" / "default.fdf"); }},
        {"a time the platform cannot convert",
         [](const TempBoard &b) {
             auto opened = board::Board::open(b.dir());
             board::setCreationTime(*opened, board::kImageFile, 0x8000000000000000ull);
         }},
    };
    for (const auto &c : cases) {
        TempBoard board;
        c.spoil(board);
        EXPECT_EQ(line(showReport(board).text, u"IMAGE built:\t"), u"UNKNOWN UNKNOWN (GMT)") << c.name;
    }
}

TEST(Report, ExactTextOfAFullCase) {
    TempBoard board(json{{"board_id", 1},
                         {"bsp_version", {{"major", 3}, {"minor", 12}}},
                         {"bootloader", {{"version", "1.3.0 Built Mar 05 2007"}}},
                         {"image", {{"build_time", "2007-03-05T14:03:09Z"}}}});
    const auto box = showReport(board);
    EXPECT_EQ(box.text,
              u"Bootloader:\t1.3.0 Built Mar 05 2007\r\n\r\nBSP ID:\tVORELLI\r\nBSP Version:\t3.12\r\n\r\n"
              u"IMAGE built:\t05 Mar 2007 14:03:09 (GMT)");
    EXPECT_EQ(box.caption, u"BSP Verison");
    EXPECT_EQ(box.type, 0u);
}

TEST(Report, NothingUndefinedWhenEverythingFails) {
    TempBoard board(json{{"hal", {{"board_info_fails", true}}}, {"memory", {{"virtual_copy_fails", true}}}});
    withoutImage(board);
    EXPECT_EQ(showReport(board).text,
              u"Bootloader:\tUNKNOWN\r\n\r\nBSP ID:\tUNKNOWN\r\nBSP Version:\t0.0\r\n\r\n"
              u"IMAGE built:\tUNKNOWN UNKNOWN (GMT)");
}

TEST(Report, UnmappableFlashShowsUnknown) {
    TempBoard board(json{{"memory", {{"virtual_copy_fails", true}}}});
    EXPECT_EQ(bootloaderOf(board), u"UNKNOWN");
}

TEST(Report, LeavesNoHandlesAndTheLockFree) {
    TempBoard board;
    auto op = std::make_shared<KeepingOperator>();
    wince::boot(board.dir(), op, "test");
    const size_t before = wince::openHandleCount();
    ShowBspVersion(NULL);
    ShowBspVersion(NULL);
    EXPECT_EQ(wince::openHandleCount(), before);
    EXPECT_EQ(op->boxes.size(), 2u);
    // Another taker gets "NorFlash" at once.
    HANDLE other = CreateMutexW(NULL, FALSE, u"NorFlash");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(WaitForSingleObject(other, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ReleaseMutex(other);
    CloseHandle(other);
    wince::shutdown();
}

}  // namespace
