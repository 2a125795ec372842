// Programming from every word offset within a write buffer, for lengths up
// to past one buffer: no burst may leave its 64-byte window, whatever the
// offset and length.
#include "flash.h"
#include "flash_fixture.h"

namespace {

using namespace flashtest;

class BurstOffsets : public BootedBoard {};

TEST_F(BurstOffsets, EveryOffsetAndLengthProgramsWithoutASequenceError) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const uint32_t area = kWindowPhys + 6 * kBlock;
    mayTouch(area, kBlock);
    uint32_t slot = 0;
    for (uint32_t offset = 0; offset < 64; offset += 4) {
        for (uint32_t length = 1; length <= 72; length += length < 8 ? 1 : 4) {
            SCOPED_TRACE("offset " + std::to_string(offset) + ", " + std::to_string(length) + " bytes");
            const uint32_t p = area + slot * 0x100 + offset;
            ++slot;
            const auto source = pattern(length, offset * 100 + length);
            ASSERT_TRUE(FlashProgram(source.data(), at(p), length));
            EXPECT_EQ(contents(p, length), source);
            // The word after the data, and the filled-up rest of a last
            // partial word, stay blank.
            const uint32_t covered = (length + 3) / 4 * 4;
            EXPECT_EQ(contents(p + length, covered - length + 4), std::vector<uint8_t>(covered - length + 4, 0xFF));
        }
    }
}

}  // namespace
