// A buffer program begun while an erase error stands is refused: nothing is
// programmed, and the program error bit joins the erase error bit.
#include <gtest/gtest.h>

#include "flash_fixture.h"

namespace {

using namespace flashtest;

TEST(FlashRefusedProgram, AnEraseErrorStandingRefusesTheNextBufferProgram) {
    Pair p(faults({{"erase_fails", {5}}}));
    auto &flash = p.flash;
    ASSERT_EQ(p.erase(5 * kBlock), kReady | both(0x20)) << "the erase fails with bit 5 alone";

    const uint32_t at = 6 * kBlock + 0x40;
    flash.write32(at, both(0xE8));
    flash.write32(at, both(0));
    flash.write32(at, 0x12345678);
    flash.write32(at, both(0xD0));
    EXPECT_EQ(p.waitReady(at), kReady | both(0x30));
    EXPECT_EQ(flash.readArray(at, 4), std::vector<uint8_t>(4, 0xFF));

    // Cleared, the same program goes through.
    flash.write32(at, both(0x50));
    flash.write32(at, both(0xE8));
    flash.write32(at, both(0));
    flash.write32(at, 0x12345678);
    flash.write32(at, both(0xD0));
    EXPECT_EQ(p.waitReady(at), kReady);
    EXPECT_EQ(flash.readArray(at, 4), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
}

}  // namespace
