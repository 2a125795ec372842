// The erase phase's bar: 256 KB for every block of the image range, erased
// or passed over as blank.
#include <gtest/gtest.h>

#include <windows.h>

#include "image_helpers.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;

TEST(EraseProgress, EachBlockOfTheRangeCounts256Kb) {
    for (bool old : {false, true}) {
        SCOPED_TRACE(old ? "old data in every block" : "blank blocks");
        TempBoard board(kReturningReboot);
        if (old) seedOld(board, kBase, 3 * kBlock);
        const auto path = put(board, "nk.bin", consecutive(0x80080000, {0x100}, 3 * kBlock));
        auto op = std::make_shared<RecordingOperator>();
        op->choice = path;
        runUpdateTool(board, op, u"/u");
        ASSERT_TRUE(op->boxes().empty());
        std::vector<int> positions;
        for (const auto &v : op->views()) {
            if (v.stepText.rfind(u"Erasing", 0) != 0) continue;
            EXPECT_EQ(v.stepMax, 768);
            if (positions.empty() || positions.back() != v.stepPos) positions.push_back(v.stepPos);
        }
        EXPECT_EQ(positions, (std::vector<int>{0, 256, 512, 768}));
    }
}

}  // namespace
