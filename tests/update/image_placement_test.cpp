// Where an image lands: the translation of its start address, and which
// blocks an image that starts part-way into a block has erased.
#include <gtest/gtest.h>

#include <windows.h>

#include "image_helpers.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;

TEST(ImagePlacement, TheStartIsTranslatedByAnUnsignedComparisonWith0xBCA00000) {
    // Starts on both sides of 0xBCA00000 and of the sign bit. Those outside
    // the window are refused, but the image line shows where they would go.
    const std::vector<std::pair<uint32_t, std::u16string>> cases = {
        {0x00080000, u"Image: 1ca00000"}, {0x7FFFFFFC, u"Image: 9c97fffc"}, {0x80080000, u"Image: 9ca00000"},
        {0xBC9FFFFC, u"Image: d937fffc"}, {0xBCA00000, u"Image: 9ca00000"}, {0xFFFFFFFC, u"Image: dffffffc"},
    };
    for (const auto &[start, shown] : cases) {
        SCOPED_TRACE(std::to_string(start));
        TempBoard board(kReturningReboot);
        const auto path = put(board, "nk.bin", consecutive(start, {0x100}));
        auto op = std::make_shared<RecordingOperator>();
        op->choice = path;
        runUpdateTool(board, op, u"/u");
        ASSERT_FALSE(op->views().empty());
        EXPECT_EQ(op->views().back().imageText.substr(0, shown.size()), shown);
    }
}

TEST(ImagePlacement, TheBlockInWhichAnUnalignedStartFallsKeepsItsOldData) {
    TempBoard board(kReturningReboot);
    // Old data below the image's start in block 0, and in block 1.
    seedOld(board, kBase, 0x1000);
    seedOld(board, kBase + kBlock, 0x2000);
    const std::string before = flashContents(board);
    // The range [9ca01000, 9ca41000) holds only block 1's first address.
    const json image = {
        {"start", 0x80081000u},
        {"length", kBlock},
        {"records", {{{"address", 0x80081000u}, {"size", 0x100}}, {{"address", 0x800C0000u}, {"size", 0x800}}}}};
    const auto path = put(board, "nk.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    runUpdateTool(board, op, u"/u");
    ASSERT_TRUE(op->boxes().empty()) << wince::toUtf8(op->boxes()[0].text);

    const std::string after = flashContents(board);
    EXPECT_TRUE(at(after, kBase, 0x1000) == at(before, kBase, 0x1000)) << "block 0 was erased";
    for (const auto &[address, data] : records(image)) EXPECT_EQ(at(after, address, data.size()), data);
    EXPECT_TRUE(blank(after, kBase + kBlock + 0x800, kBase + 2 * kBlock)) << "block 1 was not erased";
    std::vector<std::u16string> erases;
    for (const auto &v : op->views())
        if (v.stepText.rfind(u"Erasing", 0) == 0 && (erases.empty() || erases.back() != v.stepText))
            erases.push_back(v.stepText);
    EXPECT_EQ(erases, std::vector<std::u16string>{u"Erasing Flash Sector at 9ca40000"});
    EXPECT_TRUE(after.compare(0, kBase - kArrayBase, before, 0, kBase - kArrayBase) == 0);
    EXPECT_TRUE(after.compare(kBase + 2 * kBlock - kArrayBase, std::string::npos, before,
                              kBase + 2 * kBlock - kArrayBase, std::string::npos) == 0);
}

}  // namespace
