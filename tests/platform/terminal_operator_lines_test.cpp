// The terminal operator's own lines: a dialog drawn once more as it closes
// with how long it was open, a press shown at once, a dialog that waits with
// nothing shown yet, bars named and with their unit, and the files the
// file-open dialog would list.
#include <gtest/gtest.h>

#include "platform_fixture.h"

namespace {

class TerminalLines : public ptest::BootedBoard, protected ptest::TerminalOnPipes {
  protected:
    void SetUp() override {
        boot(std::make_shared<ptest::TestOperator>());
        startTerminal();
    }
    void TearDown() override {
        stopTerminal();
        ptest::BootedBoard::TearDown();
    }
    // The update dialog: a text and a bar for the step, a text and a bar for
    // the whole image, as the program lays them out.
    static wince::DialogView update(const std::u16string &stepText, int stepPos, int stepMax, int totalPos,
                                    int totalMax) {
        wince::DialogView v;
        v.hwnd = reinterpret_cast<HWND>(0x200);
        v.caption = u"Updating IMAGE";
        wince::ControlView abort, step, stepBar, image, totalBar;
        abort.id = 2, abort.className = u"BUTTON", abort.text = u"Abort", abort.y = 71;
        totalBar.id = 1003, totalBar.className = u"msctls_progress32", totalBar.y = 52;
        totalBar.rangeMax = totalMax, totalBar.pos = totalPos;
        stepBar.id = 1002, stepBar.className = u"msctls_progress32", stepBar.y = 20;
        stepBar.rangeMax = stepMax, stepBar.pos = stepPos;
        step.id = 1004, step.className = u"STATIC", step.text = stepText, step.y = 7;
        image.id = 1005, image.className = u"STATIC", image.y = 39;
        image.text = stepText.empty() ? u"" : u"Image: 9ca00000  Len: 00600000(6291456)";
        v.controls = {abort, totalBar, stepBar, step, image};
        return v;
    }
};

TEST_F(TerminalLines, AClosingDialogIsDrawnAsItEndedWithHowLongItWasOpen) {
    op_->onDialogOpened(update(u"", 0, 100, 0, 100));
    op_->onDialog(update(u"Erasing Flash Sector at 9ca00000", 256, 6144, 0, 6144));
    output();
    // Progress lines are held back for a second; the end must not be.
    op_->onDialog(update(u"Section: 9ca00000  Len: 00001000(4096)", 1, 4, 512, 6144));
    wince::currentBoard().clock().advanceNs(25'400'000'000ull);
    op_->onDialogClosed(update(u"Section: 00000000  Len: 00000000(0)", 0, 1, 6144, 6144));
    const std::string end = output();
    EXPECT_NE(end.find("Section: 00000000  Len: 00000000(0)\n"), std::string::npos) << end;
    EXPECT_NE(end.find("bar 2 [##############################] 6144/6144 KB\n"), std::string::npos) << end;
    EXPECT_NE(end.find("  (closed \"Updating IMAGE\" after 25.4 s of board time)\n"), std::string::npos) << end;
    EXPECT_EQ(end.find("(closed"), end.rfind("(closed")) << "one line per close";

    // Closed from its first screen: drawn whole.
    op_->onDialogOpened(update(u"", 0, 100, 0, 100));
    op_->onDialogClosed(update(u"", 0, 100, 0, 100));
    const std::string whole = output();
    EXPECT_NE(whole.find("== Updating IMAGE =="), std::string::npos) << whole;
    EXPECT_NE(whole.find("after 0.0 s of board time"), std::string::npos) << whole;
}

TEST_F(TerminalLines, BarsAreNamedFromTheTopAndShowTheirUnit) {
    op_->onDialog(update(u"Erasing Flash Sector at 9ca00000", 256, 6144, 0, 6144));
    const std::string screen = output();
    const size_t one = screen.find("bar 1 [#");
    const size_t two = screen.find("bar 2 [.");
    ASSERT_NE(one, std::string::npos) << screen;
    ASSERT_NE(two, std::string::npos) << screen;
    EXPECT_LT(one, two);
    EXPECT_NE(screen.find("] 256/6144 KB\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("] 0/6144 KB\n"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("waits"), std::string::npos) << screen;
}

TEST_F(TerminalLines, APressIsShownAtOnce) {
    op_->onDialog(update(u"Erasing Flash Sector at 9ca00000", 256, 6144, 0, 6144));
    output();
    type("1\n");
    const auto action = op_->onDialog(update(u"Erasing Flash Sector at 9ca00000", 256, 6144, 0, 6144));
    EXPECT_EQ(action.kind, wince::Action::Press);
    EXPECT_EQ(output(), "  (pressed \"Abort\")\n");
}

TEST_F(TerminalLines, ADialogThatWaitsSaysSo) {
    op_->onDialog(update(u"", 0, 100, 0, 100));
    const std::string waiting = output();
    EXPECT_NE(waiting.find("== Updating IMAGE =="), std::string::npos) << waiting;
    EXPECT_NE(waiting.find("(the dialog waits: no text yet, bars at zero)"), std::string::npos) << waiting;
    EXPECT_NE(waiting.find("[1] Abort"), std::string::npos) << waiting;
}

TEST_F(TerminalLines, FileOpenListsTheFolderFilesTheFilterLetThrough) {
    const auto files = board_->files();
    for (const char *name : {"nk.bin", "Other.BIN", "readme.txt"}) vtest::writeFile(files / name, "B000FF\n");
    std::filesystem::create_directories(files / "folder.bin");
    wince::FileOpenView request;
    request.filters = {{u"IMAGE files", u"*.bin"}};
    request.initialDir = u"\\";
    type("-\n");
    SetLastError(1234);
    op_->onFileOpen(request);
    EXPECT_EQ(GetLastError(), 1234u) << "the listing leaves the program's last error alone";
    const std::string prompt = output();
    EXPECT_NE(prompt.find("Files:  \\Other.BIN  \\nk.bin\n"), std::string::npos) << prompt;

    request.filters = {{u"Text", u"*.doc;*.txt"}};
    type("-\n");
    op_->onFileOpen(request);
    EXPECT_NE(output().find("Files:  \\readme.txt\n"), std::string::npos);

    request.filters = {{u"Nothing", u"*.nb0"}};
    type("-\n");
    op_->onFileOpen(request);
    EXPECT_NE(output().find("(no files here match the filter)"), std::string::npos);
}

}  // namespace
