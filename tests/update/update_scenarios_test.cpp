// The image update driven as a person would drive it, on a virtual board.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include <windows.h>

#include "image.h"
#include "image_helpers.h"
#include "resource.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;
using nlohmann::json;

std::u16string u16(const std::string &s) { return wince::toUtf16(s); }
std::string u8(const std::u16string &s) { return wince::toUtf8(s); }

// Flash outside [from, to) must be as it was.
void expectUnchangedOutside(const std::string &before, const std::string &after, uint32_t from, uint32_t to) {
    ASSERT_EQ(before.size(), after.size());
    const size_t lo = from - 0x9C000000u, hi = to - 0x9C000000u;
    EXPECT_TRUE(before.compare(0, lo, after, 0, lo) == 0) << "flash changed below " << std::hex << from;
    EXPECT_TRUE(before.compare(hi, std::string::npos, after, hi, std::string::npos) == 0)
        << "flash changed above " << std::hex << to;
}

TEST(ImageUpdate, WritesEveryRecordFromTheMainDialogAndReturnsToIt) {
    TempBoard board(kReturningReboot);
    const json image = consecutive(0x80080000, {0x1000, 0x30000, 0x7000});
    const auto path = put(board, "nk.bin", image);
    const std::string before = flashContents(board);
    auto op = std::make_shared<RecordingOperator>();
    op->mainButton = IDC_UPDATE_IMAGE;
    op->choice = path;

    EXPECT_EQ(runUpdateTool(board, op, u""), 1);

    const std::string after = flashContents(board);
    for (const auto &[address, data] : records(image)) EXPECT_EQ(flashAt(after, address, data.size()), data);
    expectUnchangedOutside(before, after, kBase, kBase + kBlock);
    EXPECT_TRUE(op->boxes().empty());
    ASSERT_EQ(op->fileOpens().size(), 1u);
    const auto req = op->fileOpens()[0];
    EXPECT_EQ(req.ownerCaption, u"Updating IMAGE");
    ASSERT_EQ(req.filters.size(), 1u);
    EXPECT_EQ(req.filters[0].first, u"IMAGE files");
    EXPECT_EQ(req.filters[0].second, u"*.bin");
    EXPECT_EQ(req.filterIndex, 1u);
    EXPECT_EQ(req.initialDir, u"\\");
    EXPECT_EQ(req.initialFile, u"");
    EXPECT_EQ(req.maxFile, 260u);
    EXPECT_EQ(req.flags, 0x1800u);
    ASSERT_FALSE(op->views().empty());
    EXPECT_EQ(op->views().back().imageText, u"Image: 9ca00000  Len: 00038000(229376)");
    EXPECT_EQ(op->views().back().stepText, u"Section: 00000000  Len: 00000000(0)");
    EXPECT_TRUE(board.events("reboot").empty());
}

TEST(ImageUpdate, BothAddressTranslationsLandAtTheStartOfTheImageFlash) {
    for (uint32_t start : {0x80080000u, 0xBCA00000u}) {
        TempBoard board(kReturningReboot);
        const json image = consecutive(start, {0x2000});
        const auto path = put(board, "nk.bin", image);
        auto op = std::make_shared<RecordingOperator>();
        op->choice = path;
        runUpdateTool(board, op, u"/u " + path);
        const std::string after = flashContents(board);
        EXPECT_EQ(flashAt(after, kBase, 0x2000), records(image)[0].second) << std::hex << start;
        EXPECT_EQ(op->views().back().imageText, u"Image: 9ca00000  Len: 00002000(8192)") << std::hex << start;
    }
}

TEST(ImageUpdate, ProgressBarsCountKilobytesWithARangeOfAtLeastOne) {
    // (image length, record length) and the ranges they must give: whole KB,
    // never below 1. The terminating record (length 0) gets 1 as well.
    struct Case {
        uint32_t imageLength, recordLength;
        int imageRange, recordRange;
    };
    for (const Case &c : std::vector<Case>{
             {1000, 1000, 1, 1}, {1500, 1000, 1, 1}, {2047, 4, 1, 1}, {2048, 2044, 2, 1}, {40000, 40000, 39, 39}}) {
        SCOPED_TRACE(std::to_string(c.imageLength) + "/" + std::to_string(c.recordLength));
        TempBoard board(kReturningReboot);
        const auto path = put(board, "small.bin", consecutive(0x80080000, {c.recordLength}, c.imageLength));
        auto op = std::make_shared<RecordingOperator>();
        op->choice = path;
        runUpdateTool(board, op, u"/u");
        ASSERT_TRUE(op->boxes().empty());
        const auto views = op->views();
        const std::u16string section = u16("Section: 9ca00000  Len: ") + [&] {
            char text[40];
            std::snprintf(text, sizeof text, "%.8x(%d)", c.recordLength, static_cast<int>(c.recordLength));
            return u16(text);
        }();
        int eraseRange = -1, recordRange = -1;
        for (const auto &v : views) {
            if (v.stepText == u"Erasing Flash Sector at 9ca00000") eraseRange = v.stepMax;
            if (v.stepText == section) recordRange = v.stepMax;  // the last view has the record's range
        }
        EXPECT_EQ(eraseRange, c.imageRange);
        EXPECT_EQ(recordRange, c.recordRange);
        ASSERT_FALSE(views.empty());
        EXPECT_EQ(views.back().totalMax, c.imageRange);
        EXPECT_EQ(views.back().totalPos, static_cast<int>(c.recordLength >> 10));
        EXPECT_EQ(views.back().stepText, u"Section: 00000000  Len: 00000000(0)");
        EXPECT_EQ(views.back().stepMax, 1);
        // The erase counts 256 KB, past the image's range; the bar, as the
        // platform's control does, stands at its end.
        const auto afterErase = std::find_if(views.begin(), views.end(),
                                             [](const UpdateView &v) { return v.totalMax > 0 && v.stepPos > 0; });
        ASSERT_NE(afterErase, views.end());
        EXPECT_EQ(afterErase->stepPos, c.imageRange);
    }
}

TEST(ImageUpdate, RecordsAreWrittenInChunksOf16KbAndEmptyRecordsWriteNothing) {
    TempBoard board(kReturningReboot);
    json image = {{"start", 0x80080000u},
                  {"length", 0x10000u},
                  {"records",
                   {{{"address", 0x80080000u}, {"size", 0}},
                    {{"address", 0x80080000u}, {"size", 40000}},
                    {{"address", 0x8008A000u}, {"size", 16}}}}};
    const auto path = put(board, "chunks.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    runUpdateTool(board, op, u"/u");

    std::vector<int> stepPositions;
    for (const auto &v : op->views())
        if (v.stepText == u"Section: 9ca00000  Len: 00009c40(40000)" && v.stepPos != 0) {
            EXPECT_EQ(v.stepMax, 39);
            if (stepPositions.empty() || stepPositions.back() != v.stepPos) stepPositions.push_back(v.stepPos);
        }
    EXPECT_EQ(stepPositions, (std::vector<int>{16, 32, 39}));
    const std::string after = flashAt(flashContents(board), kBase, 0x10000);
    const auto written = records(image);
    EXPECT_EQ(after.substr(0, 40000), written[1].second);
    EXPECT_EQ(after.substr(0xA000, 16), written[2].second);
    // The total bar stops short: 40016 of 65536 bytes.
    EXPECT_EQ(op->views().back().totalMax, 64);
    EXPECT_EQ(op->views().back().totalPos, 39);
}

TEST(ImageUpdate, AWrongChecksumIsWrittenUnchanged) {
    TempBoard board(kReturningReboot);
    json image = {{"start", 0x80080000u}, {"records", {{{"address", 0x80080000u}, {"size", 64}, {"checksum", "bad"}}}}};
    const auto path = put(board, "bad-sum.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    EXPECT_EQ(flashAt(flashContents(board), kBase, 64), records(image)[0].second);
}

TEST(ImageUpdate, ARawAddressThatTranslatesToZeroEndsTheImage) {
    TempBoard board(kReturningReboot);
    // 0xE3680000 + 0x1C980000 = 0: the image ends there; what follows (a
    // truncated record) is never read.
    json image = {{"start", 0x80080000u},
                  {"length", 0x1000u},
                  {"records", {{{"address", 0x80080000u}, {"size", 0x100}}}},
                  {"end", {{"address", 0xE3680000u}, {"length", 0x80000000u}}}};
    std::string bytes = binimage::build(image) + std::string("\x00\x00\x08\x80\xFF", 5);
    writeFile(board.files() / "z.bin", bytes);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = u"\\z.bin";
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    // The end record is shown as a section at 0, its length as a negative number.
    EXPECT_EQ(op->views().back().stepText, u"Section: 00000000  Len: 80000000(-2147483648)");
    EXPECT_EQ(flashAt(flashContents(board), kBase, 0x100), records(image)[0].second);
}

// The messages of a refused or failed update, and what is left in flash.
struct Refusal {
    const char *name;
    std::function<std::string()> bytes;
    const char *text;
    const char *caption;
};

TEST(ImageUpdate, ABrokenOrMisplacedImageIsRefusedBeforeAnythingIsErased) {
    const std::string good = binimage::build(consecutive(0x80080000, {0x1000, 0x41000}));
    const std::vector<Refusal> cases = {
        {"empty file", [] { return std::string(); }, "Not a WinCE Binary Image file!", "ERRER"},
        {"six bytes", [] { return std::string("B000FF"); }, "Not a WinCE Binary Image file!", "ERRER"},
        {"wrong signature", [&] { return "B000FE\n" + good.substr(7); }, "Not a WinCE Binary Image file!", "ERRER"},
        {"short header", [&] { return good.substr(0, 12); }, "Unexpected end of file!", "ERROR"},
        {"no records", [&] { return good.substr(0, 15); }, "Unexpected end of file!", "ERROR"},
        {"short record header", [&] { return good.substr(0, 15 + 8); }, "Unexpected end of file!", "ERROR"},
        {"short record data", [&] { return good.substr(0, good.size() - 100); }, "Unexpected end of file!", "ERROR"},
        {"no end record", [&] { return good.substr(0, good.size() - 12); }, "Unexpected end of file!", "ERROR"},
        {"record above the window",
         [] {
             return binimage::build({{"start", 0x80080000u},
                                     {"length", 0x1000u},
                                     {"records", {{{"address", 0x80080000u + 0x2000000u}, {"size", 16}}}}});
         },
         "Error writing to Flash!", "ERROR"},
        {"record ending at the window's last word",
         [] {
             return binimage::build({{"start", 0x80080000u},
                                     {"length", 0x1000u},
                                     {"records", {{{"address", 0x80080000u + 0x2000000u - 16}, {"size", 16}}}}});
         },
         "Error writing to Flash!", "ERROR"},
        {"image range beyond the window",
         [] {
             return binimage::build({{"start", 0x80080000u},
                                     {"length", 0x2000001u},
                                     {"records", {{{"address", 0x80080000u}, {"size", 16}}}}});
         },
         "Error writing to Flash!", "ERROR"},
        {"record below the image flash",
         [] {
             return binimage::build({{"start", 0x80080000u},
                                     {"length", 0x1000u},
                                     {"records", {{{"address", 0x80000000u}, {"size", 16}}}}});
         },
         "Error writing to Flash!", "ERROR"},
        {"unaligned record",
         [] {
             return binimage::build({{"start", 0x80080000u},
                                     {"length", 0x1000u},
                                     {"records", {{{"address", 0x80080002u}, {"size", 16}}}}});
         },
         "Error writing to Flash!", "ERROR"},
        {"record outside the header's range over old data",
         [] {
             return binimage::build({{"start", 0x80080000u},
                                     {"length", 0x1000u},
                                     {"records", {{{"address", 0x80080000u + kBlock}, {"size", 16}}}}});
         },
         "Error writing to Flash!", "ERROR"},
        {"record in the block where an unaligned start falls",
         [] {
             return binimage::build({{"start", 0x80081000u},
                                     {"length", 0x1000u},
                                     {"records", {{{"address", 0x80081000u}, {"size", 16}}}}});
         },
         "Error writing to Flash!", "ERROR"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempBoard board(kReturningReboot);
        seedOld(board, kBase, 2 * kBlock);  // a working image the update must not wipe
        writeFile(board.files() / "x.bin", c.bytes());
        const std::string before = flashContents(board);
        auto op = std::make_shared<RecordingOperator>();
        op->choice = u"\\x.bin";
        runUpdateTool(board, op, u"/u");
        ASSERT_EQ(op->boxes().size(), 1u);
        EXPECT_EQ(u8(op->boxes()[0].text), c.text);
        EXPECT_EQ(u8(op->boxes()[0].caption), c.caption);
        EXPECT_EQ(op->boxes()[0].ownerCaption, u"Updating IMAGE");
        EXPECT_TRUE(flashContents(board) == before) << "flash was changed";
        EXPECT_EQ(board.events("reboot").size(), 1u);
    }
}

TEST(ImageUpdate, AnImageMayFillTheWholeWindow) {
    TempBoard board(kReturningReboot);
    // The header's range ends at the window's end; the records leave room
    // for the status read after their last word.
    json image = {{"start", 0x80080000u},
                  {"length", 0x2000000u},
                  {"records", {{{"address", 0x80080000u + 0x2000000u - 0x104}, {"size", 0x100}}}}};
    const auto path = put(board, "full.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    EXPECT_EQ(flashAt(flashContents(board), kBase + 0x2000000u - 0x104, 0x100), records(image)[0].second);
}

TEST(ImageUpdate, ARecordOutsideTheErasedBlocksIsWrittenWhereTheFlashIsBlank) {
    TempBoard board(kReturningReboot);
    // The header's range covers one block; the second record lies in the next,
    // which is blank on this board, so the image is good.
    json image = {
        {"start", 0x80080000u},
        {"length", 0x1000u},
        {"records", {{{"address", 0x80080000u}, {"size", 16}}, {{"address", 0x80080000u + kBlock}, {"size", 32}}}}};
    const auto path = put(board, "x.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    EXPECT_EQ(flashAt(flashContents(board), kBase + kBlock, 32), records(image)[1].second);
}

TEST(ImageUpdate, CancellingTheFileOpenDialogChangesNothing) {
    {
        TempBoard board(kReturningReboot);
        const std::string before = flashContents(board);
        auto op = std::make_shared<RecordingOperator>();
        op->mainButton = IDC_UPDATE_IMAGE;  // then back in the main dialog: close
        EXPECT_EQ(runUpdateTool(board, op, u""), 1);
        EXPECT_EQ(op->fileOpens().size(), 1u);
        EXPECT_TRUE(op->views().empty());
        EXPECT_TRUE(flashContents(board) == before);
        EXPECT_TRUE(board.events("reboot").empty());
    }
    {
        TempBoard board(kReturningReboot);
        auto op = std::make_shared<RecordingOperator>();
        EXPECT_EQ(runUpdateTool(board, op, u"/u"), 1);
        EXPECT_EQ(board.events("reboot").size(), 1u);
    }
}

TEST(ImageUpdate, TheUpdateArgumentPrefillsTheFileName) {
    TempBoard board(kReturningReboot);
    const auto path = put(board, "nk.bin", consecutive(0x80080000, {64}));
    for (const auto &[commandLine, shown] : std::vector<std::pair<std::u16string, std::u16string>>{
             {u"/u " + path, path},
             {u"/u", u""},
             {u"/u ", u""},
             {u"/update", u"date"},
             {u"/u " + std::u16string(300, u'a'), std::u16string(259, u'a')}}) {
        auto op = std::make_shared<RecordingOperator>();  // cancels
        runUpdateTool(board, op, commandLine);
        ASSERT_EQ(op->fileOpens().size(), 1u);
        EXPECT_EQ(op->fileOpens()[0].initialFile, shown);
    }
}

// Abort at each of its points; the dialog closes without a message.
TEST(ImageUpdate, AbortDuringTheEraseFinishesTheEraseAndWritesNothing) {
    TempBoard board(kReturningReboot);
    seedOld(board, kBase, 3 * kBlock);
    const json image = consecutive(0x80080000, {3 * kBlock});
    const auto path = put(board, "nk.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    op->onUpdate = [](const UpdateView &v) {
        return v.stepText == u"Erasing Flash Sector at 9ca40000" ? wince::Action{wince::Action::Press, IDCANCEL}
                                                                 : wince::Action{};
    };
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    EXPECT_TRUE(blank(flashContents(board), kBase, kBase + 3 * kBlock));
    // Every block of the range was erased, then the worker stopped before
    // the first record: not one record line was shown.
    std::vector<std::u16string> erased;
    for (const auto &v : op->views()) {
        EXPECT_NE(v.stepText.rfind(u"Section:", 0), 0u) << u8(v.stepText);
        if (v.stepText.rfind(u"Erasing", 0) == 0 && (erased.empty() || erased.back() != v.stepText))
            erased.push_back(v.stepText);
    }
    EXPECT_EQ(erased,
              (std::vector<std::u16string>{u"Erasing Flash Sector at 9ca00000", u"Erasing Flash Sector at 9ca40000",
                                           u"Erasing Flash Sector at 9ca80000"}));
}

TEST(ImageUpdate, AbortBetweenChunksKeepsWhatWasWritten) {
    TempBoard board(kReturningReboot);
    const json image = consecutive(0x80080000, {4 * 16384});
    const auto path = put(board, "nk.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    op->onUpdate = [](const UpdateView &v) {
        return v.totalPos == 16 ? wince::Action{wince::Action::Press, IDCANCEL} : wince::Action{};
    };
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    const std::string flash = flashContents(board);
    EXPECT_EQ(flashAt(flash, kBase, 16384), records(image)[0].second.substr(0, 16384));
    EXPECT_TRUE(blank(flash, kBase + 16384, kBase + kBlock));
}

// Failures of the devices during an update, injected into the board.
struct DeviceFault {
    const char *name;
    json faults;
    bool seedOld;  // the image flash holds an old image first
    json image;
    const char *text;
};

TEST(ImageUpdate, DeviceFailuresAreToldAndTheUpdateStops) {
    const json twoBlocks = consecutive(0x80080000, {0x1000, 0x41000});
    const std::vector<DeviceFault> cases = {
        {"erase fails", {{"erase_fails", {40}}}, true, twoBlocks, "Error Erasing Flash Sector"},
        {"locked block", {{"locked", {41}}}, true, twoBlocks, "Error Erasing Flash Sector"},
        {"low voltage in one device",
         {{"low_voltage", {{{"block", 40}, {"device", 1}}}}},
         true,
         twoBlocks,
         "Error Erasing Flash Sector"},
        {"stuck bit",
         {{"stuck_at_0", {{{"address", 0xA00010}, {"bit", 3}}}}},
         true,
         twoBlocks,
         "Error Erasing Flash Sector"},
        {"program fails", {{"program_fails", {40}}}, false, twoBlocks, "Error writing to Flash!"},
        {"locked blank block", {{"locked", {41}}}, false, twoBlocks, "Error writing to Flash!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        json settings = kReturningReboot;
        settings["flash"]["faults"] = c.faults;
        TempBoard board(settings);
        if (c.seedOld) seedOld(board, kBase, 2 * kBlock);
        const auto path = put(board, "x.bin", c.image);
        const std::string before = flashContents(board);
        auto op = std::make_shared<RecordingOperator>();
        op->choice = path;
        runUpdateTool(board, op, u"/u");
        ASSERT_EQ(op->boxes().size(), 1u);
        EXPECT_EQ(u8(op->boxes()[0].text), c.text);
        EXPECT_EQ(u8(op->boxes()[0].caption), "ERROR");
        EXPECT_EQ(op->boxes()[0].ownerCaption, u"Updating IMAGE");
        expectUnchangedOutside(before, flashContents(board), kBase, kBase + 2 * kBlock);
        EXPECT_EQ(board.events("reboot").size(), 1u);
    }
}

TEST(ImageUpdate, TheFailureIsShownWhileTheFlashIsStillHeld) {
    TempBoard board(json{{"hal", {{"reboot", "return"}}}, {"flash", {{"faults", {{"program_fails", {40}}}}}}});
    const auto path = put(board, "x.bin", consecutive(0x80080000, {64}));
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    std::atomic<int> heldWhileShown{-1};
    op->onBox = [&](const wince::MessageBoxView &) {
        // Another thread of this process asks for the lock without waiting.
        std::thread probe([&] {
            HANDLE m = CreateMutexW(nullptr, FALSE, u"NorFlash");
            heldWhileShown = WaitForSingleObject(m, 0) == WAIT_TIMEOUT ? 1 : 0;
            CloseHandle(m);
        });
        probe.join();
    };
    runUpdateTool(board, op, u"/u");
    EXPECT_EQ(heldWhileShown.load(), 1);
    // The dialog closed only after the box was dismissed.
    const auto events = board.events();
    const auto box =
        std::find_if(events.begin(), events.end(), [](const json &e) { return e["event"] == "messagebox"; });
    const auto closed = std::find_if(events.begin(), events.end(), [](const json &e) {
        return e["event"] == "dialog_close" && e["caption"] == "Updating IMAGE";
    });
    ASSERT_NE(box, events.end());
    ASSERT_NE(closed, events.end());
    EXPECT_LT(box - events.begin(), closed - events.begin());
}

TEST(ImageUpdate, AnImageThatCannotBeOpenedIsTold) {
    TempBoard board(kReturningReboot);
    const auto path = put(board, "x.bin", consecutive(0x80080000, {64}));
    const std::string before = flashContents(board);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    HANDLE held = INVALID_HANDLE_VALUE;
    // Someone else has the file open without sharing it.
    op->onFileChosen = [&] { held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr); };
    std::thread closer;
    op->onBox = [&](const wince::MessageBoxView &) { CloseHandle(held); };
    runUpdateTool(board, op, u"/u");
    ASSERT_EQ(op->boxes().size(), 1u);
    EXPECT_EQ(op->boxes()[0].text, u"Cannot Open Image File");
    EXPECT_EQ(op->boxes()[0].caption, u"ERROR");
    EXPECT_TRUE(flashContents(board) == before);
}

// A second process holding "NorFlash": takes the board's lock the way the
// platform layer does, and lets go when told.
class FlashLockHolder {
  public:
    explicit FlashLockHolder(const TempBoard &board) {
        int ready[2], release[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(release), 0);
        const auto file = board.dir() / "objects" / "mutex-NorFlash.lock";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
            struct flock fl = {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            if (fd < 0 || ::fcntl(fd, F_OFD_SETLKW, &fl) != 0) ::_exit(1);
            char c = 1;
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release[0], &c, 1);
            ::_exit(0);
        }
        char c;
        EXPECT_EQ(::read(ready[0], &c, 1), 1);
        releaseFd_ = release[1];
        ::close(ready[0]);
        ::close(ready[1]);
        ::close(release[0]);
    }
    void release() {
        if (pid_ <= 0) return;
        char c = 1;
        (void)!::write(releaseFd_, &c, 1);
        ::close(releaseFd_);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    ~FlashLockHolder() { release(); }

  private:
    pid_t pid_ = 0;
    int releaseFd_ = -1;
};

TEST(ImageUpdate, AnotherProcessHoldingTheFlashDelaysTheUpdateUntilItLetsGo) {
    TempBoard board(kReturningReboot);
    const json image = consecutive(0x80080000, {0x1000});
    const auto path = put(board, "nk.bin", image);
    FlashLockHolder holder(board);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    const std::string held = flashAt(flashContents(board), kBase, 0x1000);  // the board's default image
    std::thread tool([&] { runUpdateTool(board, op, u"/u"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(flashAt(flashContents(board), kBase, 0x1000), held) << "the update went on while the flash was held";
    for (const auto &v : op->views()) EXPECT_TRUE(v.imageText.empty());
    holder.release();
    tool.join();
    EXPECT_EQ(flashAt(flashContents(board), kBase, 0x1000), records(image)[0].second);
}

TEST(ImageUpdate, AbortWhileWaitingForTheFlashStillErasesTheImageRange) {
    TempBoard board(kReturningReboot);
    seedOld(board, kBase, kBlock);
    const auto path = put(board, "nk.bin", consecutive(0x80080000, {0x1000}));
    FlashLockHolder holder(board);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    std::atomic<bool> aborted{false};
    op->onUpdate = [&](const UpdateView &) {
        if (aborted.exchange(true)) return wince::Action{};
        return wince::Action{wince::Action::Press, IDCANCEL};
    };
    std::thread tool([&] { runUpdateTool(board, op, u"/u"); });
    while (!aborted) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    holder.release();
    tool.join();
    EXPECT_TRUE(op->boxes().empty());
    EXPECT_TRUE(blank(flashContents(board), kBase, kBase + kBlock));
}

}  // namespace
