// The erase sequence of the flash model: the confirm must reach the block
// that the set-up named, or the devices refuse it as a broken sequence and
// erase nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "board/flash.h"
#include "flash_fixture.h"

namespace {

using board::FlashPair;
using nlohmann::json;
using namespace flashtest;

constexpr uint32_t kSequenceError = 0x00300030;  // bits 4 and 5 of both devices
constexpr uint32_t kOld = 0xA5A55A5A;

struct EraseCase {
    const char *name;
    uint32_t setup, confirm;  // bus addresses of the two writes
    uint32_t confirmValue;    // both halves, or one
    bool erases;              // the set-up's block is erased
};

TEST(FlashEraseSequence, TheConfirmMustReachTheSetUpsBlockInBothDevices) {
    const std::vector<EraseCase> cases = {
        {"confirm in the same block, other word", 2 * kBlock, 2 * kBlock + 0x1234 * 4, both(0xD0), true},
        {"confirm in the next block", 2 * kBlock, 3 * kBlock, both(0xD0), false},
        {"confirm in the block before", 2 * kBlock + 0x100, kBlock + 0x100, both(0xD0), false},
        {"confirm in the last word of the block before", 2 * kBlock, 2 * kBlock - 4, both(0xD0), false},
        {"confirm far away", 2 * kBlock, 200 * kBlock, both(0xD0), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vtest::TempBoard board(json{{"flash", {{"timing", {{"erase_ns", 20000}, {"access_ns", 100}}}}}});
        FlashPair flash(board.dir());
        // Old data at both ends of three blocks.
        std::vector<uint8_t> old(64);
        for (size_t i = 0; i < old.size(); i += 4) std::memcpy(&old[i], &kOld, 4);
        for (uint32_t b = 1; b <= 3; ++b) {
            flash.writeArray(b * kBlock, old);
            flash.writeArray(b * kBlock + kBlock - 64, old);
        }
        flash.writeArray(200 * kBlock, old);
        const auto before = flash.readArray(0, FlashPair::kSize);

        flash.write32(c.setup, both(0x20));
        flash.write32(c.confirm, c.confirmValue);
        uint32_t status = 0;
        for (int i = 0; i < 100000 && (status & kReady) != kReady; ++i) status = flash.read32(c.setup);
        ASSERT_EQ(status & kReady, kReady);
        EXPECT_EQ(status & kSequenceError, c.erases ? 0u : kSequenceError) << std::hex << status;

        const auto after = flash.readArray(0, FlashPair::kSize);
        const uint32_t erased = c.setup / kBlock * kBlock;
        for (uint32_t a = 0; a < FlashPair::kSize; a += 64) {
            const bool inErased = c.erases && a >= erased && a < erased + kBlock;
            if (inErased) {
                ASSERT_TRUE(std::all_of(after.begin() + a, after.begin() + a + 64, [](uint8_t v) { return v == 0xFF; }))
                    << "not erased at " << std::hex << a;
            } else {
                ASSERT_TRUE(std::equal(after.begin() + a, after.begin() + a + 64, before.begin() + a))
                    << "changed at " << std::hex << a;
            }
        }
    }
}

}  // namespace
