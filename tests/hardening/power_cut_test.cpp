// The board loses power in the middle of an image update: the update tool is
// killed at many points (while checking, during an erase, in a buffer load,
// while a buffer programs, between chunks). Once the old image is erased the
// board does not boot, and the boot loader's download brings it back.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "board/boot.h"
#include "hardening_support.h"
#include "image.h"
#include "resource.h"

namespace {

using hardening::Background;
using nlohmann::json;
using vtest::TempBoard;

constexpr uint32_t kImage = 0xA00000;  // physical start of the image flash
constexpr uint32_t kBlock = board::FlashPair::kBlockSize;
constexpr uint32_t kImageBlocks = 3;

// Slow devices and a slow bus, paced in real time, give each phase of an
// update a window wide enough to be hit from outside.
const json kSettings = {
    {"hal", {{"reboot", "return"}}},
    {"flash", {{"timing", {{"erase_ns", 200000000}, {"program_ns", 2000000}, {"access_ns", 200000}}}}}};

// Three blocks: a small record, one of two chunks and a bit, a small one,
// and the table of contents last.
const json kImageDescription = {{"start", 0x80080000u},
                                {"length", kImageBlocks *kBlock},
                                {"records",
                                 {{{"address", 0x80080000u}, {"size", 0x200}},
                                  {{"address", 0x800C0000u}, {"size", 0x4800}},
                                  {{"address", 0x80100000u}, {"size", 0x100}}}},
                                {"contents",
                                 {{"built", "2026-12-08 14:03:09"},
                                  {"modules", {{{"name", "nk.exe"}, {"size", 0x4800}}}},
                                  {"files", {{{"name", "default.fdf"}, {"text", "[Files]\r\nnk.exe\r\n"}}}}}}};

const std::string kUpdateScript = "accept\n";
const std::string kReportScript = "wait dialog \"Update Tool v1.4\"\npress " + std::to_string(IDC_BSP_VERSION) +
                                  "\ndismiss\nwait dialog \"Update Tool v1.4\"\nclose\n";

// A board that holds an older image, with the new one in "\nk.bin".
void prepare(const TempBoard &board) {
    board::FlashPair flash(board.dir());
    std::vector<uint8_t> old(kImageBlocks * kBlock);
    for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(0xA5 ^ (i * 7));
    const auto bootable = board::defaultImage(128175769890000000ull);
    std::copy(bootable.begin(), bootable.end(), old.begin());
    flash.writeArray(kImage, old);
    vtest::writeFile(board.files() / "nk.bin", binimage::build(kImageDescription));
}

// Where a cut came, from the last writes of the trace.
std::string phaseOf(const std::vector<board::BusAccess> &trace) {
    std::string phase = "before any command";
    for (const auto &a : trace) {
        if (!a.write) continue;
        if (a.value == 0x00200020 || (a.value == 0x00D000D0 && phase == "erase")) phase = "erase";
        else if (a.value == 0x00E800E8) phase = "buffer load";
        else if (a.value == 0x00D000D0) phase = "buffer program";
        else if (a.value == 0x00FF00FF) phase = "read array (checks, verify, between chunks)";
    }
    return phase;
}

struct Reference {
    std::vector<board::BusAccess> trace;
    std::string flash;
};

// One uncut update, traced: the points to cut at are picked from it.
Reference referenceRun() {
    TempBoard board(kSettings);
    prepare(board);
    board::FlashPair flash(board.dir());
    flash.setTracing(true);
    Background tool("image-update-tool", {"/u", "\\nk.bin"},
                    hardening::boardEnv(board, board.writeScratch("u.txt", kUpdateScript).string(), false));
    const auto r = tool.wait();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    return {flash.trace(), vtest::readFile(flash.arrayFile())};
}

// Bus access counts to cut at: during the check, just after the first and
// the last erase confirm, inside the first and the last buffer load and while
// each programs, and in the read-back between the chunks of the second
// record. A cut in a middle erase or a middle buffer takes the paths these
// take (and costs a paced run each), so there is none.
std::vector<uint64_t> cutPoints(const std::vector<board::BusAccess> &trace) {
    std::vector<uint64_t> points = {1};
    std::vector<size_t> erases, loads;
    size_t betweenChunks = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        const auto &a = trace[i];
        if (!a.write) continue;
        if (a.value == 0x00200020) erases.push_back(i);
        if (a.value == 0x00E800E8) loads.push_back(i);
        if (a.value == 0x00FF00FF && a.address == kImage + kBlock && betweenChunks == 0 && !loads.empty() &&
            trace[loads.back()].address >= kImage + kBlock)
            betweenChunks = i;
    }
    if (!erases.empty()) {
        points.push_back(erases.front() + 3);
        points.push_back(erases.back() + 3);
    }
    if (!loads.empty())
        for (size_t k : {loads.front(), loads.back()}) {
            points.push_back(k + 6);   // among the data words
            points.push_back(k + 22);  // while the buffer programs
        }
    if (betweenChunks != 0) {
        points.push_back(betweenChunks + 1);
        points.push_back(betweenChunks + 2000);
    }
    return points;
}

TEST(PowerCut, AnUpdateCutAnywhereLeavesABoardThatUpdatesAgain) {
    const Reference ref = referenceRun();
    ASSERT_FALSE(ref.trace.empty());
    const auto points = cutPoints(ref.trace);
    ASSERT_EQ(points.size(), 9u);
    const std::string good = ref.flash;

    std::set<std::string> phases;
    int cut = 0, bricked = 0;
    for (uint64_t point : points) {
        SCOPED_TRACE("cut at bus access " + std::to_string(point));
        TempBoard board(kSettings);
        prepare(board);
        const std::string before = vtest::readFile(board.dir() / "flash.bin");
        {
            board::FlashPair flash(board.dir());
            flash.setTracing(true);
            Background tool("image-update-tool", {"/u", "\\nk.bin"},
                            hardening::boardEnv(board, board.writeScratch("u.txt", kUpdateScript).string(), true));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (tool.running() && flash.busAccesses() < point && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            tool.kill();
            const auto r = tool.wait();
            if (r.exitCode == 128 + 9) {
                ++cut;
                phases.insert(phaseOf(flash.trace()));
            }
            flash.setTracing(false);
        }

        // The folder survived the cut whole.
        EXPECT_EQ(hardening::folderProblem(board), "");

        // The next start powers the board up: its loader starts the old
        // image if the cut left it whole, and else stays in the loader, and
        // no program runs.
        const std::string cutFlash = vtest::readFile(board.dir() / "flash.bin");
        const bool oldWhole = cutFlash.compare(kImage, kBlock, before, kImage, kBlock) == 0;
        const bool newWhole = cutFlash.compare(kImage, kImageBlocks * kBlock, good, kImage, kImageBlocks * kBlock) == 0;
        const auto first = vtest::runOnBoard(board, "image-update-tool", kReportScript, {}, 60);
        const auto boots = board.events("boot");
        ASSERT_FALSE(boots.empty());
        if (boots.back()["ok"] == true) {
            EXPECT_TRUE(oldWhole || newWhole) << "an image half written boots: " << boots.back().dump();
            EXPECT_EQ(first.exitCode, 1) << first.err;
        } else {
            ++bricked;
            EXPECT_EQ(first.exitCode, 72) << first.err;
            EXPECT_EQ(boots.back()["text"], "Image in flash is not valid.");
            RecordProperty("boot_after_cut_" + std::to_string(point), boots.back()["reason"].get<std::string>());
        }
        // The loader's download writes the new image and boots it.
        const auto download =
            vtest::run("vboard", {"download", board.dir().string(), (board.files() / "nk.bin").string()});
        EXPECT_EQ(download.exitCode, 0) << download.out << download.err;
        EXPECT_NE(download.out.find("boot: Jumping to image at 0x9ca00000 (built 2026-12-08T14:03:09Z"),
                  std::string::npos)
            << download.out;

        // The report reads the boot flash (its mutex was not left held) and
        // the devices answer in read mode wherever the cut came.
        const size_t shown = board.events("messagebox").size();
        const auto report = vtest::runOnBoard(board, "image-update-tool", kReportScript, {}, 60);
        EXPECT_EQ(report.exitCode, 1) << report.err;
        const auto boxes = board.events("messagebox");
        ASSERT_EQ(boxes.size(), shown + 1) << report.err;
        EXPECT_NE(boxes.back()["text"].get<std::string>().find("Bootloader:\t1.3.0 Built Mar 05 2007\r\n"),
                  std::string::npos);
        EXPECT_NE(boxes.back()["text"].get<std::string>().find("IMAGE built:\t08 Dec 2026 14:03:09 (GMT)"),
                  std::string::npos);
        {
            board::FlashPair flash(board.dir());
            EXPECT_EQ(hardening::notInReadMode(flash, {0, kImage, kImage + kBlock, kImage + 2 * kBlock + 0xFC}),
                      std::vector<uint32_t>{});
        }

        // A second update of the same image goes through and leaves exactly
        // what an uncut update leaves.
        const auto again = vtest::runOnBoard(board, "image-update-tool", kUpdateScript, {"/u", "\\nk.bin"}, 60);
        EXPECT_EQ(again.exitCode, 1) << again.err;
        EXPECT_EQ(board.events("messagebox").size(), shown + 1) << "the second update showed an error";
        const std::string after = vtest::readFile(board.dir() / "flash.bin");
        EXPECT_TRUE(after == good) << "the flash differs from an uncut update";
        EXPECT_TRUE(after.compare(0, kImage, before, 0, kImage) == 0) << "the boot loader flash changed";
    }
    // Most cuts must land before the end, and in each kind of phase.
    EXPECT_GE(cut, static_cast<int>(points.size()) - 2);
    // The cuts between the first erase and the table's last word leave a
    // board that does not boot.
    EXPECT_GE(bricked, 4);
    RecordProperty("cuts_that_brick", std::to_string(bricked));
    for (const char *phase : {"erase", "buffer load", "buffer program", "read array (checks, verify, between chunks)"})
        EXPECT_TRUE(phases.count(phase)) << "no cut came during " << phase;
    std::string seen;
    for (auto &p : phases) seen += p + "; ";
    RecordProperty("phases_cut", seen);
}

}  // namespace
