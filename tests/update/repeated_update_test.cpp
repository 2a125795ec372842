// "Update IMAGE" pressed again in the same main dialog: each file-open
// starts empty, whatever the last update picked.
#include <gtest/gtest.h>

#include <windows.h>

#include "image_helpers.h"
#include "resource.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;

// Presses "Update IMAGE" `times` times, then closes the main dialog.
class RepeatingOperator : public RecordingOperator {
  public:
    explicit RepeatingOperator(int times) : left_(times) {}
    wince::Action onDialog(const wince::DialogView &front) override {
        if (front.caption != u"Update Tool v1.4") return RecordingOperator::onDialog(front);
        if (left_ > 0) {
            --left_;
            return {wince::Action::Press, IDC_UPDATE_IMAGE};
        }
        return {wince::Action::Close, 0};
    }

  private:
    int left_;  // only the dialog's thread asks
};

TEST(RepeatedUpdate, TheSecondFileOpenStartsEmpty) {
    TempBoard board(kReturningReboot);
    const json image = consecutive(0x80080000, {0x100});
    const auto path = put(board, "nk.bin", image);
    auto op = std::make_shared<RepeatingOperator>(2);
    op->choice = path;
    EXPECT_EQ(runUpdateTool(board, op, u""), 1);
    const auto opens = op->fileOpens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].initialFile, u"");
    EXPECT_EQ(opens[1].initialFile, u"") << "the second file-open showed the last choice";
    EXPECT_TRUE(op->boxes().empty());
    EXPECT_EQ(at(flashContents(board), kBase, 0x100), records(image)[0].second);
    EXPECT_TRUE(board.events("reboot").empty());
}

}  // namespace
