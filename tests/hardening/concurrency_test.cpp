// Two image updates and a version report started at once on one board: the
// flash has one owner at a time and every run ends as it would alone.
#include <gtest/gtest.h>

#include <memory>

#include "hardening_support.h"
#include "image.h"
#include "resource.h"

namespace {

using hardening::Background;
using nlohmann::json;
using vtest::TempBoard;

constexpr uint32_t kImage = 0xA00000;
constexpr uint32_t kBlock = board::FlashPair::kBlockSize;

// Paced, slow enough that the three programs overlap.
const json kSettings = {
    {"hal", {{"reboot", "return"}}},
    {"boot", {{"without_image", true}}},  // the tool alone, on whatever image an update left
    {"flash", {{"timing", {{"erase_ns", 200000000}, {"program_ns", 1000000}, {"access_ns", 50000}}}}}};

const json kImageDescription = {{"start", 0x80080000u},
                                {"length", 3 * kBlock},
                                {"records",
                                 {{{"address", 0x80080000u}, {"size", 0x200}},
                                  {{"address", 0x800C0000u}, {"size", 0x800}},
                                  {{"address", 0x80100000u}, {"size", 0x100}}}}};

const std::string kReportScript = "wait dialog \"Update Tool v1.4\"\npress " + std::to_string(IDC_BSP_VERSION) +
                                  "\ndismiss\nwait dialog \"Update Tool v1.4\"\nclose\n";

TEST(Concurrency, TwoUpdatesAndAReportTakeTheFlashInTurn) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempBoard board(kSettings);
        const std::string image = binimage::build(kImageDescription);
        // Each update has its image file to itself: the tool opens it sharing
        // nothing, and the board keeps share modes between programs.
        vtest::writeFile(board.files() / "nk.bin", image);
        vtest::writeFile(board.files() / "nk2.bin", image);
        // Round 1 starts from an older image, so both updates erase.
        board::FlashPair flash(board.dir());
        if (round == 1) flash.writeArray(kImage, std::vector<uint8_t>(3 * kBlock, 0x3C));
        const std::string before = vtest::readFile(flash.arrayFile());
        flash.setTracing(true);

        const std::string update = board.writeScratch("update.txt", "accept\n").string();
        const std::string report = board.writeScratch("report.txt", kReportScript).string();
        std::vector<std::unique_ptr<Background>> runs;
        runs.push_back(std::make_unique<Background>("image-update-tool", std::vector<std::string>{"/u", "\\nk.bin"},
                                                    hardening::boardEnv(board, update, true)));
        runs.push_back(std::make_unique<Background>("image-update-tool", std::vector<std::string>{"/u", "\\nk2.bin"},
                                                    hardening::boardEnv(board, update, true)));
        runs.push_back(std::make_unique<Background>("image-update-tool", std::vector<std::string>{},
                                                    hardening::boardEnv(board, report, true)));
        for (auto &run : runs) {
            const auto r = run->wait(120);
            EXPECT_EQ(r.exitCode, 1) << r.err;
        }

        // One owner at a time: the command sequences follow one another.
        const auto trace = flash.trace();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(hardening::interleaving(trace), "");
        EXPECT_EQ(flash.driverFaults(), 0u);
        size_t erases = 0;
        for (const auto &a : trace) erases += a.write && a.value == 0x00200020;
        // Each update erased the blocks that were not blank when it came (a
        // new board's default image lies in the first).
        EXPECT_EQ(erases, round == 0 ? 4u : 6u);

        // Both updates ended well and asked for the reboot; the report is
        // the only message shown, and it read the boot flash right.
        EXPECT_EQ(board.events("reboot").size(), 2u);
        const auto boxes = board.events("messagebox");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0]["caption"], "BSP Verison");
        EXPECT_NE(boxes[0]["text"].get<std::string>().find("Bootloader:\t1.3.0 Built Mar 05 2007\r\n"),
                  std::string::npos);
        flash.setTracing(false);
        EXPECT_EQ(hardening::notInReadMode(flash, {0, kImage, kImage + kBlock}), std::vector<uint32_t>{});
        const std::string after = vtest::readFile(flash.arrayFile());
        EXPECT_EQ(hardening::imageProblem(after, image, kImage, kImage + 3 * kBlock), "");
        EXPECT_TRUE(after.compare(0, kImage, before, 0, kImage) == 0) << "the boot loader flash changed";
        EXPECT_TRUE(
            after.compare(kImage + 3 * kBlock, std::string::npos, before, kImage + 3 * kBlock, std::string::npos) == 0)
            << "flash above the image changed";
    }
}

// The trace check itself: a second owner's command inside a sequence is seen.
TEST(Concurrency, TheTraceCheckSeesACommandCuttingIn) {
    using A = board::BusAccess;
    const std::vector<A> whole = {
        {true, 0xA00000, 0x00FF00FF, 0},  {false, 0xA00000, 0xFFFFFFFF, 0}, {true, 0xA00000, 0x00E800E8, 0},
        {false, 0xA00000, 0x00800080, 0}, {true, 0xA00000, 0x00010001, 0},  {true, 0xA00000, 0x11112222, 0},
        {true, 0xA00004, 0x33334444, 0},  {true, 0xA00004, 0x00D000D0, 0},  {false, 0xA00008, 0x00000000, 0},
        {false, 0xA00008, 0x00800080, 0}, {true, 0xA40000, 0x00200020, 0},  {true, 0xA40000, 0x00D000D0, 0},
        {false, 0xA40000, 0x00800080, 0}};
    EXPECT_EQ(hardening::interleaving(whole), "");
    struct Case {
        size_t at;
        A extra;
    };
    const Case cases[] = {
        {1, {true, 0xA40000, 0x00200020, 0}},   // set-up but its confirm never comes next
        {3, {true, 0xB00000, 0x00FF00FF, 0}},   // read array before the count
        {5, {true, 0xA00000, 0x00FF00FF, 0}},   // inside the data
        {6, {false, 0xA00000, 0x00000000, 0}},  // a read inside the data
        {8, {true, 0xA00000, 0x00FF00FF, 0}},   // a write while the buffer programs
        {11, {true, 0xA00000, 0x00E800E8, 0}},  // between an erase set-up and confirm
        {12, {true, 0xA40000, 0x00FF00FF, 0}},  // while the erase runs
    };
    for (const auto &c : cases) {
        auto cut = whole;
        cut.insert(cut.begin() + static_cast<long>(c.at), c.extra);
        EXPECT_NE(hardening::interleaving(cut), "") << "inserted at " << c.at;
    }
}

}  // namespace
