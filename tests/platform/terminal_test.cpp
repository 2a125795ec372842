// The terminal operator played through pipes: what it draws for a person
// and how it reads the choices.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform_fixture.h"

namespace {

class Terminal : public ::testing::Test, protected ptest::TerminalOnPipes {
  protected:
    void SetUp() override {
        wince::setFatalHandler([](const std::string &m) { throw ptest::Fatal(m); });
        startTerminal();
    }
    void TearDown() override {
        stopTerminal();
        wince::setFatalHandler(nullptr);
    }
    static wince::DialogView mainDialog() {
        wince::DialogView v;
        v.hwnd = reinterpret_cast<HWND>(0x100);
        v.caption = u"Update Tool v1.4";
        const char16_t *texts[] = {u"Save Registry to Flash", u"Clear Registry on Flash", u"Update IMAGE",
                                   u"BSP Version", u"Reboot"};
        const int ids[] = {1001, 1000, 1002, 1004, 1003};
        for (int i = 0; i < 5; ++i) {
            wince::ControlView c;
            c.id = ids[i];
            c.className = u"BUTTON";
            c.text = texts[i];
            c.y = 7 + 19 * i;
            v.controls.push_back(c);
        }
        return v;
    }
    static wince::DialogView updateDialog(int stepPos, const std::u16string &stepText) {
        wince::DialogView v;
        v.hwnd = reinterpret_cast<HWND>(0x200);
        v.caption = u"Updating IMAGE";
        wince::ControlView abort;
        abort.id = 2, abort.className = u"BUTTON", abort.text = u"Abort", abort.y = 71;
        wince::ControlView bar;
        bar.id = 1002, bar.className = u"msctls_progress32", bar.text = u"Progress1", bar.y = 20;
        bar.rangeMax = 1024, bar.pos = stepPos;
        wince::ControlView text;
        text.id = 1004, text.className = u"STATIC", text.text = stepText, text.y = 7;
        v.controls = {abort, bar, text};
        return v;
    }
};

TEST_F(Terminal, DrawsTheDialogAsPlainTextAndPressesByKey) {
    EXPECT_EQ(op_->onDialog(mainDialog()).kind, wince::Action::None);  // nothing typed yet
    const std::string screen = output();
    EXPECT_NE(screen.find("== Update Tool v1.4 =="), std::string::npos) << screen;
    EXPECT_NE(screen.find("[1] Save Registry to Flash"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[5] Reboot"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('\x1b'), std::string::npos) << "no escape codes when the output is not a terminal";

    type("3\n");
    auto a = op_->onDialog(mainDialog());
    EXPECT_EQ(a.kind, wince::Action::Press);
    EXPECT_EQ(a.controlId, 1002);
    EXPECT_EQ(output(), "  (pressed \"Update IMAGE\")\n")
        << "an unchanged dialog is not drawn again; the press is noted";

    for (const char *close : {"q\n", "esc\n"}) {
        type(close);
        EXPECT_EQ(op_->onDialog(mainDialog()).kind, wince::Action::Close) << close;
    }
    type("9\n");  // no such button: ignored
    EXPECT_EQ(op_->onDialog(mainDialog()).kind, wince::Action::None);
}

TEST_F(Terminal, PlainOutputShowsChangedTextsAndLimitsProgressLines) {
    op_->onDialog(updateDialog(0, u""));
    const std::string first = output();
    EXPECT_NE(first.find("== Updating IMAGE =="), std::string::npos) << first;
    EXPECT_NE(first.find("[..............................] 0/1024"), std::string::npos) << first;
    EXPECT_NE(first.find("[1] Abort"), std::string::npos) << first;

    op_->onDialog(updateDialog(256, u"Erasing Flash Sector at 9ca00000"));
    const std::string second = output();
    EXPECT_NE(second.find("Erasing Flash Sector at 9ca00000\n"), std::string::npos) << second;
    EXPECT_EQ(second.find("256/1024"), std::string::npos) << "progress is written at most once a second";
    EXPECT_EQ(second.find("=="), std::string::npos) << "the same dialog is not written out again";

    // Closed with a bar short of its end: said to be the program's exact count.
    op_->onDialogClosed(updateDialog(256, u"Erasing Flash Sector at 9ca00000"));
    EXPECT_NE(output().find("(the bars stand where the program left them: exact counts, not cut off)"),
              std::string::npos);
    op_->onDialogClosed(updateDialog(1024, u"done"));
    EXPECT_EQ(output().find("the bars stand"), std::string::npos) << "full bars need no word";
}

TEST_F(Terminal, EnterDismissesAMessageBox) {
    wince::MessageBoxView box;
    box.text = u"Registry Succesfully Saved";
    box.caption = u"Registry";
    type("\n");
    op_->onMessageBox(box);
    const std::string screen = output();
    EXPECT_NE(screen.find("== Registry =="), std::string::npos) << screen;
    EXPECT_NE(screen.find("Registry Succesfully Saved"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[Enter] OK"), std::string::npos) << screen;
}

TEST_F(Terminal, FileOpenOffersThePrefilledNameAndCancel) {
    wince::FileOpenView request;
    request.filters = {{u"IMAGE files", u"*.bin"}};
    request.initialDir = u"\\";
    request.initialFile = u"\\nk.bin";
    type("\n");
    EXPECT_EQ(op_->onFileOpen(request), u"\\nk.bin");
    EXPECT_NE(output().find("File name [\\nk.bin]: "), std::string::npos);
    type("\\Storage Card\\other.bin\n");
    EXPECT_EQ(op_->onFileOpen(request), u"\\Storage Card\\other.bin");
    type("-\n");
    EXPECT_EQ(op_->onFileOpen(request), std::nullopt);

    request.refusedPath = u"\\missing.bin";
    request.refusal = "no such file on the board";
    type("-\n");
    op_->onFileOpen(request);
    EXPECT_NE(output().find("Cannot take \\missing.bin: no such file on the board"), std::string::npos);
}

TEST_F(Terminal, EndOfInputIsAClearStopOnceNoWorkerChangesTheDialog) {
    endInput();
    // A dialog another thread keeps changing (an update under way) is left
    // to finish: the person has gone, not the power.
    for (int pos = 0; pos < 30; ++pos) {
        EXPECT_EQ(op_->onDialog(updateDialog(pos, u"Writing")).kind, wince::Action::None);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The dialog that stays as it is ends the run (after a moment for a first change).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    try {
        while (std::chrono::steady_clock::now() < until) {
            EXPECT_EQ(op_->onDialog(mainDialog()).kind, wince::Action::None);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "no stop";
    } catch (const ptest::Fatal &e) {
        EXPECT_EQ(std::string(e.what()),
                  "the terminal's input ended while the program shows dialog \"Update Tool v1.4\"");
    }
    wince::MessageBoxView box;
    box.text = u"x";
    EXPECT_THROW(op_->onMessageBox(box), ptest::Fatal);
    EXPECT_THROW(op_->onFileOpen(wince::FileOpenView{}), ptest::Fatal);
}

TEST_F(Terminal, LastLineWithoutItsEndIsStillRead) {
    type("2");
    endInput();
    auto a = op_->onDialog(mainDialog());
    EXPECT_EQ(a.kind, wince::Action::Press);
    EXPECT_EQ(a.controlId, 1000);
}

}  // namespace
