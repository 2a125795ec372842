// The scripted operator end to end: the update tool started as a process on
// a board with a script file, as `vboard run` starts it.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

constexpr int kFatalExit = 70;

TEST(ScriptedProgram, MainDialogOpenedAndClosed) {
    vtest::TempBoard board;
    auto r = vtest::runOnBoard(board, "image-update-tool",
                               "wait dialog \"Update Tool v1.4\"\n"
                               "close\n");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    auto opened = board.events("dialog_open");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0]["caption"], "Update Tool v1.4");
    EXPECT_TRUE(opened[0]["owner"].is_null());
    EXPECT_EQ(board.events("close").size(), 1u);
    auto closed = board.events("dialog_close");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0]["result"], 0);
}

TEST(ScriptedProgram, UnexpectedMessageBoxEndsTheRunWithItsLine) {
    vtest::TempBoard board;
    auto r = vtest::runOnBoard(board, "image-update-tool", "press 1002\n", {"/f"});
    EXPECT_EQ(r.exitCode, kFatalExit);
    EXPECT_NE(r.err.find("script line 1: the program shows message box \"Registry"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(caption \"Registry\") but the script expects `press 1002`"), std::string::npos) << r.err;
    auto boxes = board.events("messagebox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0]["owner"].is_null());
}

TEST(ScriptedProgram, LinesLeftWhenTheProgramEnds) {
    vtest::TempBoard board;
    auto r = vtest::runOnBoard(board, "image-update-tool",
                               "close\n"
                               "press 1001\n");
    EXPECT_EQ(r.exitCode, kFatalExit);
    EXPECT_NE(r.err.find("script line 2: the program ended but the script still expects `press 1001`"),
              std::string::npos)
        << r.err;
}

TEST(ScriptedProgram, MistakeInTheScriptStopsBeforeTheProgramStarts) {
    vtest::TempBoard board;
    auto r = vtest::runOnBoard(board, "image-update-tool", "presss 1001\n");
    EXPECT_EQ(r.exitCode, kFatalExit);
    EXPECT_NE(r.err.find("script script.txt line 1: unknown statement `presss`"), std::string::npos) << r.err;
    EXPECT_TRUE(board.events("dialog_open").empty());
}

}  // namespace
