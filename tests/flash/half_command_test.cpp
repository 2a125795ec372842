// A write whose halves differ is a driver fault as soon as either device
// would take its half as a command, also while the other one is busy.
#include <gtest/gtest.h>

#include "board/flash.h"
#include "flash_fixture.h"

namespace {

using board::FlashPair;
using nlohmann::json;

using flashtest::both;
using flashtest::kBlock;

TEST(FlashHalfCommands, OneIdleDeviceTakingItsHalfIsEnoughForADriverFault) {
    // The high device of block 3 never finishes an erase; the low one does.
    vtest::TempBoard board(json{{"flash",
                                 {{"timing", {{"erase_ns", 20000}, {"access_ns", 100}}},
                                  {"faults", {{"stuck_busy", {{{"block", 3}, {"device", 1}}}}}}}}});
    FlashPair flash(board.dir());
    flash.write32(3 * kBlock, both(0x20));
    flash.write32(3 * kBlock, both(0xD0));
    uint32_t status = 0;
    for (int i = 0; i < 100000 && (status & 0x80) == 0; ++i) status = flash.read32(3 * kBlock);
    ASSERT_EQ(status & 0x00800080, 0x80u) << "low ready, high busy";
    ASSERT_EQ(flash.driverFaults(), 0u);

    flash.write32(3 * kBlock, 0x007000FF);  // read array to the idle low device, status to the busy high one
    EXPECT_EQ(flash.driverFaults(), 1u);
    EXPECT_EQ(board.events("flash_fault").size(), 1u);
}

}  // namespace
