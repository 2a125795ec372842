// A status read held by a device that stays busy ends at each 100 ms
// checkpoint of the millisecond tick the operation is timed from, one after
// the other: a driver's time limit never overshoots by a skipped step.
#include <gtest/gtest.h>

#include "board/board.h"
#include "board/clock.h"
#include "board/flash.h"
#include "test_support.h"

namespace {

using board::FlashPair;
using nlohmann::json;

constexpr uint64_t kAccess = 100;
constexpr uint64_t kTick = 1000000;
constexpr uint64_t kStep = 100 * kTick;

TEST(FlashHoldCheckpoints, EachHeldReadOfALongEraseEndsAtTheNextStep) {
    vtest::TempBoard board(json{{"flash", {{"timing", {{"erase_ns", 10 * kStep}, {"access_ns", kAccess}}}}}});
    FlashPair flash(board.dir());
    auto open = board::Board::open(board.dir());
    const uint32_t block = FlashPair::kBlockSize;
    flash.write32(block, 0x00200020);
    flash.write32(block, 0x00D000D0);
    const uint64_t confirm = open->clock().nowNs();
    const uint64_t from = confirm - confirm % kTick;
    EXPECT_EQ(flash.read32(block), 0u) << "a first look: busy";
    for (uint64_t step = 1; step <= 10; ++step) {
        SCOPED_TRACE(step);
        ASSERT_EQ(flash.read32(block), 0u);
        const uint64_t now = open->clock().nowNs();
        EXPECT_GE(now, from + step * kStep);
        EXPECT_LT(now, from + step * kStep + kAccess) << "held past the checkpoint";
    }
    EXPECT_EQ(flash.read32(block), 0x00800080u);
    EXPECT_EQ(open->clock().nowNs(), confirm + 10 * kStep) << "the last hold ends with the erase";
}

}  // namespace
