// A buffer program begun while an erase error stands is refused: nothing is
// programmed, and the program error bit joins the erase error bit.
#include <gtest/gtest.h>

#include "board/flash.h"
#include "test_support.h"

namespace {

using board::FlashPair;
using nlohmann::json;

constexpr uint32_t kBlock = FlashPair::kBlockSize;
constexpr uint32_t kReady = 0x00800080;

uint32_t both(uint32_t command) { return command | (command << 16); }

uint32_t waitReady(FlashPair &flash, uint32_t address) {
    uint32_t status = 0;
    for (int i = 0; i < 100000 && (status & kReady) != kReady; ++i) status = flash.read32(address);
    return status;
}

TEST(FlashRefusedProgram, AnEraseErrorStandingRefusesTheNextBufferProgram) {
    vtest::TempBoard board(
        json{{"flash", {{"timing", {{"erase_ns", 20000}, {"program_ns", 2000}}}, {"faults", {{"erase_fails", {5}}}}}}});
    FlashPair flash(board.dir());
    flash.write32(5 * kBlock, both(0x20));
    flash.write32(5 * kBlock, both(0xD0));
    ASSERT_EQ(waitReady(flash, 5 * kBlock), kReady | both(0x20)) << "the erase fails with bit 5 alone";

    const uint32_t at = 6 * kBlock + 0x40;
    flash.write32(at, both(0xE8));
    flash.write32(at, both(0));
    flash.write32(at, 0x12345678);
    flash.write32(at, both(0xD0));
    EXPECT_EQ(waitReady(flash, at), kReady | both(0x30));
    EXPECT_EQ(flash.readArray(at, 4), std::vector<uint8_t>(4, 0xFF));

    // Cleared, the same program goes through.
    flash.write32(at, both(0x50));
    flash.write32(at, both(0xE8));
    flash.write32(at, both(0));
    flash.write32(at, 0x12345678);
    flash.write32(at, both(0xD0));
    EXPECT_EQ(waitReady(flash, at), kReady);
    EXPECT_EQ(flash.readArray(at, 4), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
}

}  // namespace
