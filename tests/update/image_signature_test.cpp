// The image's signature is compared byte for byte, its line feed included.
#include <gtest/gtest.h>

#include <windows.h>

#include "image_helpers.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;

TEST(ImageSignature, ADifferenceInAnyOfItsSevenBytesRefusesTheImage) {
    const std::string good = binimage::build(consecutive(0x80080000, {0x100}));
    ASSERT_EQ(good.substr(0, 7), "B000FF\n");
    for (size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        TempBoard board(kReturningReboot);
        std::string bytes = good;
        bytes[i] = i == 6 ? '\r' : static_cast<char>(bytes[i] ^ 0x20);
        writeFile(board.files() / "x.bin", bytes);
        const std::string before = flashContents(board);
        auto op = std::make_shared<RecordingOperator>();
        op->choice = u"\\x.bin";
        runUpdateTool(board, op, u"/u");
        ASSERT_EQ(op->boxes().size(), 1u);
        EXPECT_EQ(op->boxes()[0].text, u"Not a WinCE Binary Image file!");
        EXPECT_EQ(op->boxes()[0].caption, u"ERRER");
        EXPECT_TRUE(flashContents(board) == before);
    }
}

}  // namespace
