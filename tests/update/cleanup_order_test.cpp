// The worker's cleanup: the flash is back in read mode before "NorFlash" is
// let go, so the next holder of the lock never finds the devices in status
// mode. The board logs the release on the clock of the bus trace.
#include <gtest/gtest.h>

#include <windows.h>

#include "board/flash.h"
#include "image_helpers.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;

constexpr uint32_t kReadArray = 0x00FF00FF;
constexpr uint32_t kWindowPhys = kBase - kArrayBase;

// Runs an update with the bus traced; returns the trace and the board time
// of each release of "NorFlash".
struct Traced {
    std::vector<board::BusAccess> trace;
    std::vector<uint64_t> releases;
    std::vector<wince::MessageBoxView> boxes;
};

Traced tracedUpdate(const nlohmann::json &settings, const nlohmann::json &image) {
    TempBoard board(settings);
    const auto path = put(board, "nk.bin", image);
    board::FlashPair(board.dir()).setTracing(true);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    runUpdateTool(board, op, u"/u");
    Traced t;
    t.trace = board::FlashPair(board.dir()).trace();
    for (const auto &e : board.events("mutex_release"))
        if (e["name"] == "NorFlash") t.releases.push_back(e["t_ns"].get<uint64_t>());
    t.boxes = op->boxes();
    return t;
}

TEST(CleanupOrder, ReadModeIsRestoredBeforeTheFlashIsLetGo) {
    nlohmann::json failing = kReturningReboot;
    failing["flash"]["faults"]["program_fails"] = {40};
    struct Case {
        const char *name;
        nlohmann::json settings;
        size_t boxes;
    };
    for (const Case &c : {Case{"written", kReturningReboot, 0}, Case{"failed", failing, 1}}) {
        SCOPED_TRACE(c.name);
        const Traced t = tracedUpdate(c.settings, consecutive(0x80080000, {0x400}));
        EXPECT_EQ(t.boxes.size(), c.boxes);
        ASSERT_FALSE(t.trace.empty());
        ASSERT_EQ(t.releases.size(), 1u);
        const board::BusAccess &last = t.trace.back();
        EXPECT_TRUE(last.write);
        EXPECT_EQ(last.address, kWindowPhys);
        EXPECT_EQ(last.value, kReadArray);
        // Every access, the read mode command included, came before the release.
        EXPECT_GE(t.releases[0], last.timeNs);
    }
}

}  // namespace
