// The report as the person at the board sees it: the real program, its
// "BSP Version" button pressed by a scripted operator.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "resource.h"
#include "test_support.h"
#include "wince/host.h"

namespace {

using nlohmann::json;
using vtest::TempBoard;

const std::string kScript =
    "wait dialog \"Update Tool v1.4\"\n"
    "press " +
    std::to_string(IDC_BSP_VERSION) +
    "\n"
    "dismiss\n"
    "wait dialog \"Update Tool v1.4\"\n"
    "close\n";

vtest::RunResult runTool(const TempBoard &board) {
    const auto script = board.writeScratch("script.txt", kScript);
    // A board far from UTC, with summer time: the image time must not move.
    return vtest::run(
        "image-update-tool", {},
        {{"VBOARD_DIR", board.dir().string()}, {"VBOARD_SCRIPT", script.string()}, {"TZ", "XST-9XDT,M3.2.0,M11.1.0"}});
}

class Operatorless : public wince::Operator {
  public:
    wince::Action onDialog(const wince::DialogView &) override { return {}; }
    void onMessageBox(const wince::MessageBoxView &) override {}
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override { return std::nullopt; }
};

TEST(ReportProgram, ShowsTheExactReportOwnedByTheMainDialog) {
    TempBoard board(json{{"board_id", 1},
                         {"bsp_version", {{"major", 3}, {"minor", 12}}},
                         {"bootloader", {{"version", "1.3.0 Built Mar 05 2007"}}},
                         {"image", {{"build_time", "2010-07-04T01:02:03Z"}}}});
    const auto run = runTool(board);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto boxes = board.events("messagebox");
    ASSERT_EQ(boxes.size(), 1u) << run.err;
    EXPECT_EQ(boxes[0]["text"],
              "Bootloader:\t1.3.0 Built Mar 05 2007\r\n\r\nBSP ID:\tVORELLI\r\nBSP Version:\t3.12\r\n\r\n"
              "IMAGE built:\t04 Jul 2010 01:02:03 (GMT)");
    EXPECT_EQ(boxes[0]["caption"], "BSP Verison");
    EXPECT_EQ(boxes[0]["owner"], "Update Tool v1.4");
    EXPECT_EQ(boxes[0]["type"], 0);
}

TEST(ReportProgram, WaitsForAnUpdateInProgress) {
    TempBoard board;
    // This test process plays the other program: it holds "NorFlash".
    wince::boot(board.dir(), std::make_shared<Operatorless>(), "holder");
    HANDLE lock = CreateMutexW(NULL, FALSE, u"NorFlash");
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(WaitForSingleObject(lock, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));

    auto tool = std::async(std::launch::async, [&board] { return runTool(board); });
    // Once the button is pressed the report waits for the lock...
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (board.events("press").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(board.events("press").empty()) << "the tool never pressed the button";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(board.events("messagebox").empty()) << "the report did not wait for NorFlash";

    // ...and comes as soon as it is released.
    ReleaseMutex(lock);
    CloseHandle(lock);
    const auto run = tool.get();
    wince::shutdown();
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto boxes = board.events("messagebox");
    ASSERT_EQ(boxes.size(), 1u) << run.err;
    EXPECT_EQ(boxes[0]["caption"], "BSP Verison");
    EXPECT_NE(boxes[0]["text"].get<std::string>().find("Bootloader:\t1.3.0 Built Mar 05 2007\r\n"), std::string::npos);
}

}  // namespace
