// Where an Abort takes effect: after the whole erase phase, between chunks,
// and after a record. What follows the point is never shown or written.
#include <gtest/gtest.h>

#include <windows.h>

#include "image_helpers.h"
#include "resource.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;

bool isSection(const UpdateView &v) { return v.stepText.rfind(u"Section:", 0) == 0; }

TEST(AbortPoints, AbortAtTheEndOfARecordStopsBeforeTheNextOneIsRead) {
    // One chunk of 4 KB, then a second record in the same block; Abort when
    // the first record's last chunk is counted.
    TempBoard board(kReturningReboot);
    const json image = consecutive(0x80080000, {0x1000, 0x1000});
    const auto path = put(board, "nk.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    op->onUpdate = [](const UpdateView &v) {
        return v.totalPos == 4 ? wince::Action{wince::Action::Press, IDCANCEL} : wince::Action{};
    };
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    std::vector<std::u16string> sections;
    for (const auto &v : op->views())
        if (isSection(v) && (sections.empty() || sections.back() != v.stepText)) sections.push_back(v.stepText);
    EXPECT_EQ(sections, std::vector<std::u16string>{u"Section: 9ca00000  Len: 00001000(4096)"});
    const std::string flash = flashContents(board);
    EXPECT_EQ(at(flash, kBase, 0x1000), records(image)[0].second);
    EXPECT_TRUE(blank(flash, kBase + 0x1000, kBase + kBlock));
}

TEST(AbortPoints, AbortAtTheEndOfTheLastRecordStillEndsWithoutTheTerminatorsLine) {
    TempBoard board(kReturningReboot);
    const json image = consecutive(0x80080000, {0x800});
    const auto path = put(board, "nk.bin", image);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    op->onUpdate = [](const UpdateView &v) {
        return v.totalPos == 2 ? wince::Action{wince::Action::Press, IDCANCEL} : wince::Action{};
    };
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    ASSERT_FALSE(op->views().empty());
    EXPECT_EQ(op->views().back().stepText, u"Section: 9ca00000  Len: 00000800(2048)");
    EXPECT_EQ(at(flashContents(board), kBase, 0x800), records(image)[0].second);
}

TEST(AbortPoints, AbortDuringTheEraseShowsNoRecordAndLeavesTheTotalBarAtZero) {
    TempBoard board(kReturningReboot);
    seedOld(board, kBase, 2 * kBlock);
    const auto path = put(board, "nk.bin", consecutive(0x80080000, {0x100}, 2 * kBlock));
    auto op = std::make_shared<RecordingOperator>();
    op->choice = path;
    op->onUpdate = [](const UpdateView &v) {
        return v.stepText == u"Erasing Flash Sector at 9ca00000" ? wince::Action{wince::Action::Press, IDCANCEL}
                                                                 : wince::Action{};
    };
    runUpdateTool(board, op, u"/u");
    EXPECT_TRUE(op->boxes().empty());
    for (const auto &v : op->views()) EXPECT_FALSE(isSection(v)) << wince::toUtf8(v.stepText);
    ASSERT_FALSE(op->views().empty());
    // The total bar got its range before the worker looked at the flag.
    EXPECT_EQ(op->views().back().totalMax, 512);
    EXPECT_EQ(op->views().back().totalPos, 0);
    EXPECT_TRUE(blank(flashContents(board), kBase, kBase + 2 * kBlock));
}

}  // namespace
