// A stop of the board (`vboard stop`) ends every program on it at once, as a
// power-off would: the update tool in the middle of an update, or waiting in
// its main dialog for a person who never comes.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "board/volumes.h"
#include "hardening_support.h"
#include "image.h"
#include "resource.h"

namespace {

using hardening::Background;
using nlohmann::json;
using vtest::TempBoard;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kImage = 0xA00000;
constexpr uint32_t kBlock = board::FlashPair::kBlockSize;

// Slow devices paced in real time: the update takes seconds of wall time.
const json kSettings = {
    {"hal", {{"reboot", "return"}}},
    {"boot", {{"without_image", true}}},  // the tool alone, on whatever image an update left
    {"flash", {{"timing", {{"erase_ns", 200000000}, {"program_ns", 2000000}, {"access_ns", 200000}}}}}};

const json kImageDescription = {{"start", 0x80080000u},
                                {"length", 3 * kBlock},
                                {"records",
                                 {{{"address", 0x80080000u}, {"size", 0x200}},
                                  {{"address", 0x800C0000u}, {"size", 0x4800}},
                                  {{"address", 0x80100000u}, {"size", 0x100}}}}};

void stopBoard(const TempBoard &board) { board::requestStop(*board::Board::open(board.dir())); }

// Waits up to `limit` for the program to end; the wall time it took.
double endsWithin(Background &program, std::chrono::seconds limit) {
    const auto start = Clock::now();
    while (program.running() && Clock::now() - start < limit) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The program's last word in the event log: its exit, marked as a stop.
void expectStoppedExit(const TempBoard &board) {
    const auto exits = board.events("exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0]["code"], 0);
    EXPECT_EQ(exits[0].value("board_stop", false), true);
}

TEST(BoardStop, EndsAnUpdateInTheMiddleAndTheFlashStaysAsLeft) {
    TempBoard board(kSettings);
    const std::string image = binimage::build(kImageDescription);
    vtest::writeFile(board.files() / "nk.bin", image);
    board::FlashPair flash(board.dir());
    Background tool("image-update-tool", {"/u", "\\nk.bin"},
                    hardening::boardEnv(board, board.writeScratch("u.txt", "accept\n").string(), true));
    // Into the erases (each takes 0.2 s of wall time here).
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (tool.running() && flash.busAccesses() < 40 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_TRUE(tool.running()) << "the update ended before the stop";

    stopBoard(board);
    const double took = endsWithin(tool, std::chrono::seconds(10));
    ASSERT_FALSE(tool.running()) << "the update went on after the stop";
    const auto r = tool.wait();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    RecordProperty("seconds_to_end", std::to_string(took));
    expectStoppedExit(board);
    EXPECT_TRUE(board.events("messagebox").empty()) << "a stopped program shows nothing";

    // Nothing reaches the devices any more.
    const uint64_t accesses = flash.busAccesses();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(flash.busAccesses(), accesses);
    EXPECT_EQ(hardening::folderProblem(board), "");

    // The board starts again, as after a power cut, and the update goes through.
    const auto again = vtest::runOnBoard(board, "image-update-tool", "accept\n", {"/u", "\\nk.bin"}, 120);
    EXPECT_EQ(again.exitCode, 1) << again.err;
    EXPECT_TRUE(board.events("messagebox").empty()) << "the second update showed an error";
    EXPECT_EQ(hardening::imageProblem(vtest::readFile(flash.arrayFile()), image, kImage, kImage + 3 * kBlock), "");
}

TEST(BoardStop, EndsTheToolWaitingInItsMainDialog) {
    TempBoard board;
    // The script waits for a text the dialog never shows: only a stop ends it.
    const std::string script = "timeout 120\nwait dialog \"Update Tool v1.4\"\nwait text " +
                               std::to_string(IDC_BSP_VERSION) + " \"never shown\"\n";
    Background tool("image-update-tool", {},
                    hardening::boardEnv(board, board.writeScratch("main.txt", script).string(), false));
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (tool.running() && board.events("dialog_open").empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(tool.running());
    ASSERT_FALSE(board.events("dialog_open").empty());

    stopBoard(board);
    endsWithin(tool, std::chrono::seconds(10));
    ASSERT_FALSE(tool.running()) << "the tool stayed in its dialog after the stop";
    const auto r = tool.wait();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    expectStoppedExit(board);

    // A stop before a program starts is not its own.
    const auto next = vtest::runOnBoard(board, "image-update-tool", "", {"/r"}, 60);
    EXPECT_EQ(board.events("reboot").size(), 1u) << next.err;
}

}  // namespace
