// The scripted operator: reading scripts, playing each statement against
// real dialogs, and every way a run can fail, with its message.
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "operator/operators.h"
#include "operator_script.h"
#include "platform_fixture.h"
#include "resource.h"

namespace {

using wince::script::Statement;

std::function<BOOL(HWND, UINT, WPARAM, LPARAM)> g_handler;
BOOL CALLBACK TestDlgProc(HWND h, UINT m, WPARAM w, LPARAM l) { return g_handler ? g_handler(h, m, w, l) : FALSE; }

// --- Reading -------------------------------------------------------------------

TEST(ScriptParse, EachStatement) {
    const auto s = wince::script::parse(
        "# a comment\n"
        "\n"
        "wait dialog \"Update Tool v1.4\"\n"
        "wait text 1004 \"Erasing *\"   # trailing comment\n"
        "press 1002\n"
        "press \"Update IMAGE\"\n"
        "close\n"
        "choose \"\\Storage Card\\nk.bin\"\n"
        "accept\n"
        "cancel\n"
        "dismiss\n"
        "dismiss \"Registry Succesfully Saved\"\n"
        "dismiss \"Say \"\"hi\"\"\" \"Registry\"\r\n"
        "timeout 2.5\n",
        "t");
    ASSERT_EQ(s.size(), 12u);
    EXPECT_EQ(s[0].kind, Statement::WaitDialog);
    EXPECT_EQ(s[0].text, u"Update Tool v1.4");
    EXPECT_EQ(s[0].line, 3);
    EXPECT_EQ(s[1].kind, Statement::WaitText);
    EXPECT_EQ(s[1].controlId, 1004);
    EXPECT_EQ(s[1].text, u"Erasing *");
    EXPECT_EQ(s[1].source, "wait text 1004 \"Erasing *\"   # trailing comment");
    EXPECT_EQ(s[2].kind, Statement::Press);
    EXPECT_EQ(s[2].controlId, 1002);
    EXPECT_FALSE(s[2].hasText);
    EXPECT_TRUE(s[3].hasText);
    EXPECT_EQ(s[3].text, u"Update IMAGE");
    EXPECT_EQ(s[4].kind, Statement::Close);
    EXPECT_EQ(s[5].kind, Statement::Choose);
    EXPECT_EQ(s[5].text, u"\\Storage Card\\nk.bin");  // backslashes are plain characters
    EXPECT_EQ(s[6].kind, Statement::Accept);
    EXPECT_EQ(s[7].kind, Statement::Cancel);
    EXPECT_EQ(s[8].kind, Statement::Dismiss);
    EXPECT_FALSE(s[8].hasText);
    EXPECT_TRUE(s[9].hasText);
    EXPECT_FALSE(s[9].hasCaption);
    EXPECT_EQ(s[10].text, u"Say \"hi\"");
    EXPECT_EQ(s[10].caption, u"Registry");
    EXPECT_EQ(s[11].kind, Statement::Timeout);
    EXPECT_DOUBLE_EQ(s[11].seconds, 2.5);
}

TEST(ScriptParse, MistakesNameTheLine) {
    const struct {
        const char *line;
        const char *message;
    } cases[] = {
        {"presss 1", "unknown statement `presss`"},
        {"press", "`press` takes"},
        {"press abc", "`press` takes"},
        {"press 70000", "`press` takes"},
        {"wait dialog Updating", "`wait` takes"},
        {"wait text \"1004\" \"x\"", "`wait` takes"},
        {"wait window \"x\"", "`wait` takes"},
        {"choose \\nk.bin", "`choose` takes"},
        {"dismiss a", "`dismiss` takes"},
        {"dismiss \"a\" \"b\" \"c\"", "`dismiss` takes"},
        {"timeout 0", "`timeout` takes"},
        {"timeout soon", "`timeout` takes"},
        {"close now", "`close` takes nothing more"},
        {"dismiss \"open", "no closing quote"},
        {"\"text\"", "not a quoted text"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        try {
            wince::script::parse(std::string("close\n") + c.line + "\n", "demo.txt");
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error &e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("script demo.txt line 2: ", 0), 0u) << what;
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
        }
    }
}

TEST(ScriptParse, WildcardMatchesWholeTexts) {
    const struct {
        const char16_t *pattern, *text;
        bool match;
    } cases[] = {
        {u"Erasing*", u"Erasing Flash Sector at 9ca00000", true},
        {u"*9ca40000", u"Erasing Flash Sector at 9ca40000", true},
        {u"Section: * Len: *(*)", u"Section: 9ca00000  Len: 00001000(4096)", true},
        {u"Erasing", u"Erasing Flash Sector", false},
        {u"*", u"", true},
        {u"", u"", true},
        {u"a*b*c", u"aXbYbZc", true},
        {u"a*b*c", u"aXbYbZ", false},
        {u"**x", u"yyx", true},
        {u"x", u"X", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wince::script::wildcardMatch(c.pattern, c.text), c.match)
            << wince::toUtf8(c.pattern) << " / " << wince::toUtf8(c.text);
}

// --- Playing --------------------------------------------------------------------

class Script : public ptest::BootedBoard {
  protected:
    void play(const std::string &script) {
        op_ = wince::makeScriptOperatorFromText(script, "t");
        boot(op_);
        vtest::writeFile(board_->files() / "image.bin", "B000FF\n");
    }
    void TearDown() override {
        g_handler = nullptr;
        BootedBoard::TearDown();
    }
    int run(int number, HWND owner = nullptr) {
        return DialogBoxIndirectParamW(ptest::programInstance(), ptest::programDialog(number), owner, TestDlgProc, 0);
    }
    // A stand-in for the main dialog: buttons show message boxes, close ends it.
    void mainLike() {
        g_handler = [](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
            if (msg != WM_COMMAND) return msg == WM_INITDIALOG;
            if (LOWORD(w) == IDC_SAVE_REGISTRY) MessageBoxW(dlg, u"Registry Succesfully Saved", u"Registry", MB_OK);
            if (LOWORD(w) == IDC_REBOOT) MessageBoxW(dlg, u"Rebooting", u"Board", MB_OK);
            if (LOWORD(w) == IDCANCEL) EndDialog(dlg, 0);
            return TRUE;
        };
    }
    std::string fatalOf(const std::function<void()> &body) {
        try {
            body();
        } catch (const ptest::Fatal &e) {
            return e.what();
        }
        return "(no failure)";
    }
    std::optional<std::u16string> openFile(DWORD flags = 0) {
        ptest::FileOpenRequest request(nullptr, flags);
        if (!GetOpenFileNameW(&request.ofn)) return std::nullopt;
        return std::u16string(request.file);
    }
    std::shared_ptr<wince::Operator> op_;
};

TEST_F(Script, PressDismissAndCloseAMainDialog) {
    play(
        "wait dialog \"Update Tool v1.4\"\n"
        "press \"Save Registry to Flash\"\n"
        "dismiss \"Registry Succesfully Saved\" \"Registry\"\n"
        "press 1003\n"
        "dismiss\n"
        "close\n");
    mainLike();
    run(IDD_MAIN);
    op_->onProgramEnd();  // every line was played
    auto presses = events("press");
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(presses[0]["id"], IDC_SAVE_REGISTRY);
    EXPECT_EQ(presses[1]["id"], IDC_REBOOT);
    EXPECT_EQ(events("messagebox").size(), 2u);
    EXPECT_EQ(events("close").size(), 1u);
}

TEST_F(Script, AbortPressedOnSeeingATextLandsRightThere) {
    play(
        "wait dialog \"Updating IMAGE\"\n"
        "wait text 1004 \"Erasing * 9ca40000\"\n"
        "press \"Abort\"\n");
    std::atomic<int> abortRequested{0};
    std::vector<int> seenAfterEachText;
    std::thread worker;
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) {
            worker = std::thread([&, dlg] {
                for (const char16_t *a : {u"9ca00000", u"9ca40000", u"9ca80000"}) {
                    SetDlgItemTextW(dlg, IDC_STEP_TEXT, (std::u16string(u"Erasing Flash Sector at ") + a).c_str());
                    seenAfterEachText.push_back(abortRequested);
                }
                EndDialog(dlg, 0);
            });
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) abortRequested = 1;
        return TRUE;
    };
    run(IDD_UPDATE);
    worker.join();
    EXPECT_EQ(seenAfterEachText, (std::vector<int>{0, 1, 1}));
    op_->onProgramEnd();
}

TEST_F(Script, FileOpenStatements) {
    play(
        "choose \"\\image.bin\"\n"
        "accept\n"
        "cancel\n"
        "timeout 5\n"
        "choose \"image.bin\"\n");
    EXPECT_EQ(openFile(OFN_FILEMUSTEXIST), u"\\image.bin");
    EXPECT_EQ(openFile(), u"\\pre.bin");
    EXPECT_EQ(openFile(), std::nullopt);
    EXPECT_EQ(openFile(OFN_FILEMUSTEXIST), u"\\image.bin");
    op_->onProgramEnd();
}

TEST_F(Script, BoxThatComesBeforeItsDialogWasSeenSatisfiesTheWait) {
    // The box comes up while the dialog is being set up, before the script
    // could see the dialog in front.
    play(
        "wait dialog \"Updating IMAGE\"\n"
        "dismiss \"Cannot Open Image File\" \"ERROR\"\n");
    g_handler = [](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) {
            MessageBoxW(dlg, u"Cannot Open Image File", u"ERROR", MB_OK);
            EndDialog(dlg, 0);
        }
        return FALSE;
    };
    run(IDD_UPDATE);
    op_->onProgramEnd();
}

TEST_F(Script, UnexpectedMessageBoxStopsTheRun) {
    play("press 1002\n");
    EXPECT_EQ(fatalOf([] { MessageBoxW(nullptr, u"Registry Succesfully Saved", u"Registry", MB_OK); }),
              "script line 1: the program shows message box \"Registry Succesfully Saved\" (caption \"Registry\") "
              "but the script expects `press 1002`");
}

TEST_F(Script, MessageBoxFromTheDialogsThreadStopsTheRunThroughTheDialog) {
    play(
        "press \"Reboot\"\n"
        "close\n");
    mainLike();
    EXPECT_EQ(fatalOf([&] { run(IDD_MAIN); }),
              "script line 2: the program shows message box \"Rebooting\" (caption \"Board\") "
              "but the script expects `close`");
}

TEST_F(Script, DismissChecksTextAndCaption) {
    play("dismiss \"Registry Save FAILED!\"\n");
    EXPECT_EQ(fatalOf([] { MessageBoxW(nullptr, u"Registry Succesfully Saved", u"Registry", MB_OK); }),
              "script line 1: the program shows message box \"Registry Succesfully Saved\" (caption \"Registry\") "
              "but the script expects `dismiss \"Registry Save FAILED!\"`");
}

TEST_F(Script, DismissChecksTheCaptionExactly) {
    play("dismiss \"Not a WinCE Binary Image file!\" \"ERROR\"\n");
    EXPECT_EQ(fatalOf([] { MessageBoxW(nullptr, u"Not a WinCE Binary Image file!", u"ERRER", MB_OK); }),
              "script line 1: the program shows message box \"Not a WinCE Binary Image file!\" (caption \"ERRER\") "
              "but the script expects `dismiss \"Not a WinCE Binary Image file!\" \"ERROR\"`");
}

TEST_F(Script, MessageBoxAfterTheLastLine) {
    play("# nothing to do\n");
    EXPECT_EQ(fatalOf([] { MessageBoxW(nullptr, u"late", u"X", MB_OK); }),
              "script: the program shows message box \"late\" (caption \"X\") but the script has ended");
}

TEST_F(Script, FileOpenWhenTheScriptExpectsSomethingElse) {
    play("dismiss\n");
    EXPECT_EQ(fatalOf([&] { openFile(); }),
              "script line 1: the program shows the file-open dialog (\"IMAGE files\" *.bin) "
              "but the script expects `dismiss`");
}

TEST_F(Script, ChosenFileThatDoesNotExistIsRefused) {
    play("choose \"\\missing.bin\"\n");
    EXPECT_EQ(fatalOf([&] { openFile(OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST); }),
              "script line 1: the file-open dialog refused \"\\missing.bin\": no such file on the board");
}

TEST_F(Script, AcceptNeedsAName) {
    play("accept\n");
    EXPECT_EQ(fatalOf([&] {
                  WCHAR file[260] = {};
                  OPENFILENAMEW ofn = {};
                  ofn.lStructSize = sizeof ofn;
                  ofn.lpstrFile = file;
                  ofn.nMaxFile = 260;
                  GetOpenFileNameW(&ofn);
              }),
              "script line 1: `accept` but the file-open dialog's name box is empty");
}

TEST_F(Script, WaitsThatSeeNoChangeTimeOut) {
    const struct {
        const char *script;
        const char *message;
    } cases[] = {
        {"timeout 0.2\nwait dialog \"Updating IMAGE\"\n",
         "script line 2: waited 0.2 s for dialog \"Updating IMAGE\"; the program shows dialog \"Update Tool v1.4\""},
        {"timeout 0.2\nwait text 1004 \"x\"\n",
         "script line 2: waited 0.2 s for control 1004 to show \"x\"; it shows \"BSP Version\" (dialog \"Update Tool "
         "v1.4\")"},
        {"timeout 0.2\nwait text 77 \"x\"\n",
         "script line 2: waited 0.2 s for control 77 to show \"x\"; dialog \"Update Tool v1.4\" has no control 77"},
        {"timeout 0.2\ndismiss\n",
         "script line 2: the script expects `dismiss` but the program shows dialog \"Update Tool v1.4\" and nothing "
         "changed for 0.2 s"},
        {"timeout 0.2\n",
         "script: the script has ended but the program still shows dialog \"Update Tool v1.4\" (nothing changed for "
         "0.2 s)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        play(c.script);
        mainLike();
        EXPECT_EQ(fatalOf([&] { run(IDD_MAIN); }), c.message);
        TearDown();
    }
}

TEST_F(Script, ChangesKeepAWaitAlive) {
    // The worker changes the dialog every 50 ms for about 0.6 s: longer than
    // the timeout in all, but never that long without a change.
    play(
        "timeout 0.3\n"
        "wait text 1004 \"done\"\n"
        "close\n");
    std::thread worker;
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) {
            worker = std::thread([dlg] {
                for (int i = 0; i < 12; ++i) {
                    SetDlgItemTextW(dlg, IDC_STEP_TEXT, wince::toUtf16("step " + std::to_string(i)).c_str());
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                SetDlgItemTextW(dlg, IDC_STEP_TEXT, u"done");
            });
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) EndDialog(dlg, 0);
        return msg != WM_CLOSE;
    };
    run(IDD_UPDATE);
    worker.join();
    op_->onProgramEnd();
}

TEST_F(Script, PressOfAControlThatIsNotThereOrNotAButton) {
    const struct {
        const char *script;
        int dialog;
        const char *message;
    } cases[] = {
        {"press 4242\n", IDD_MAIN, "script line 1: dialog \"Update Tool v1.4\" has no control 4242"},
        {"press \"Flash it\"\n", IDD_MAIN, "script line 1: dialog \"Update Tool v1.4\" has no button \"Flash it\""},
        {"press 1004\n", IDD_UPDATE, "script line 1: control 1004 of dialog \"Updating IMAGE\" is not a button"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        play(c.script);
        mainLike();
        EXPECT_EQ(fatalOf([&] { run(c.dialog); }), c.message);
        TearDown();
    }
}

TEST_F(Script, ProgramEndWithLinesLeft) {
    play(
        "timeout 1\n"
        "close\n"
        "timeout 2\n");
    EXPECT_EQ(fatalOf([&] { op_->onProgramEnd(); }),
              "script line 2: the program ended but the script still expects `close`");
}

TEST_F(Script, TrailingTimeoutsDoNotCountAsLinesLeft) {
    play(
        "dismiss\n"
        "timeout 2\n");
    MessageBoxW(nullptr, u"x", u"y", MB_OK);
    op_->onProgramEnd();
}

TEST_F(Script, ScriptFileThatCannotBeReadIsAClearError) {
    try {
        wince::makeScriptOperator("/nonexistent/script.txt");
        ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()), "cannot read the script /nonexistent/script.txt");
    }
}

}  // namespace
