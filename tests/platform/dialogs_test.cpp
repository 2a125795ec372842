// The modal dialog loop: dialogs made from the program's templates, other
// threads changing them, the operator asked at the right moments, and what
// the event log records.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform_fixture.h"
#include "resource.h"

namespace {

using ptest::programDialog;
using ptest::programInstance;
using ptest::TestOperator;

// The dialog procedure of each test is a std::function behind this one.
std::function<BOOL(HWND, UINT, WPARAM, LPARAM)> g_handler;
BOOL CALLBACK TestDlgProc(HWND h, UINT m, WPARAM w, LPARAM l) { return g_handler ? g_handler(h, m, w, l) : FALSE; }

wince::Action press(int id) {
    wince::Action a;
    a.kind = wince::Action::Press;
    a.controlId = id;
    return a;
}
wince::Action closeIt() {
    wince::Action a;
    a.kind = wince::Action::Close;
    return a;
}

std::u16string textOf(HWND dialog, int id) {
    WCHAR buffer[256];
    GetDlgItemTextW(dialog, id, buffer, 256);
    return buffer;
}

class Dialogs : public ptest::BootedBoard {
  protected:
    void SetUp() override {
        op_ = std::make_shared<TestOperator>();
        boot(op_);
    }
    void TearDown() override {
        g_handler = nullptr;
        BootedBoard::TearDown();
    }
    int run(int number, HWND owner = nullptr, LPARAM init = 0) {
        return DialogBoxIndirectParamW(programInstance(), programDialog(number), owner, TestDlgProc, init);
    }
    std::shared_ptr<TestOperator> op_;
};

TEST_F(Dialogs, WorkerChangesTheDialogAndEndsItFromItsThread) {
    std::thread worker;
    std::atomic<LRESULT> previousPos{-1};
    std::u16string readBack;
    std::thread::id procThread, setTextThread;
    LPARAM initParam = 0;
    HWND focus = nullptr, abortButton = nullptr;
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM l) -> BOOL {
        if (msg == WM_INITDIALOG) {
            procThread = std::this_thread::get_id();
            initParam = l;
            focus = reinterpret_cast<HWND>(w);
            abortButton = GetDlgItem(dlg, IDCANCEL);
            worker = std::thread([&, dlg] {
                SetDlgItemTextW(dlg, IDC_STEP_TEXT, u"Erasing Flash Sector at 9ca00000");
                HWND bar = GetDlgItem(dlg, IDC_STEP_PROGRESS);
                SendMessageW(bar, PBM_SETRANGE32, 0, 512);
                SendMessageW(bar, PBM_SETPOS, 128, 0);
                previousPos = SendMessageW(bar, PBM_SETPOS, 256, 0);
                readBack = textOf(dlg, IDC_STEP_TEXT);
                SetWindowTextW(dlg, u"Renamed");
                EndDialog(dlg, 7);
            });
            return TRUE;
        }
        if (msg == WM_SETTEXT) setTextThread = std::this_thread::get_id();
        return FALSE;
    };
    EXPECT_EQ(run(IDD_UPDATE, nullptr, 1234), 7);
    worker.join();

    EXPECT_EQ(initParam, 1234);
    EXPECT_EQ(focus, abortButton) << "the first tab stop of the update dialog is its Abort button";
    EXPECT_NE(focus, nullptr);
    EXPECT_EQ(previousPos, 128);
    EXPECT_EQ(readBack, u"Erasing Flash Sector at 9ca00000");
    EXPECT_EQ(setTextThread, procThread) << "a message sent by the worker is carried out by the dialog's thread";

    auto opened = events("dialog_open");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0]["caption"], "Updating IMAGE");
    EXPECT_TRUE(opened[0]["owner"].is_null());
    auto closed = events("dialog_close");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0]["caption"], "Renamed");
    EXPECT_EQ(closed[0]["result"], 7);
    EXPECT_EQ(op_->opened, std::vector<std::string>{"Updating IMAGE"});
    EXPECT_EQ(op_->closed, std::vector<std::string>{"Renamed"});
}

// Carried out in WM_INITDIALOG: a table of progress-bar messages and what
// the platform's control answers to each.
TEST_F(Dialogs, ProgressBarAnswersAsThePlatformsControl) {
    struct Row {
        UINT msg;
        WPARAM w;
        LPARAM l;
        LRESULT result;
        int posAfter;
    };
    const Row rows[] = {
        {PBM_GETPOS, 0, 0, 0, 0},
        {PBM_GETRANGE, TRUE, 0, 0, 0},
        {PBM_GETRANGE, FALSE, 0, 100, 0},
        {PBM_SETPOS, 40, 0, 0, 40},
        {PBM_SETPOS, 150, 0, 40, 100},  // kept inside the range
        {PBM_SETPOS, static_cast<WPARAM>(-5), 0, 100, 0},
        {PBM_SETRANGE32, 0, 1, MAKELONG(0, 100), 0},
        {PBM_SETPOS, 256, 0, 0, 1},  // an erase bar counting past its range stops at its end
        {PBM_SETRANGE, 0, MAKELPARAM(10, 20), MAKELONG(0, 1), 10},  // the position is pulled into a new range
        {PBM_DELTAPOS, 5, 0, 10, 15},
        {PBM_DELTAPOS, 100, 0, 15, 20},
        {PBM_SETSTEP, 4, 0, 10, 20},  // the default step is 10
        {PBM_SETPOS, 18, 0, 20, 18},
        {PBM_STEPIT, 0, 0, 18, 12},  // 22 is past 20: a step wraps to the start
        {PBM_STEPIT, 0, 0, 12, 16},
        {PBM_SETRANGE32, 10, 70000, MAKELONG(10, 20), 16},
        {PBM_SETPOS, 65536, 0, 16, 65536},  // 32-bit positions
        {PBM_GETRANGE, FALSE, 0, 70000, 65536},
    };
    std::vector<std::pair<LRESULT, int>> seen;
    PBRANGE range = {-1, -1};
    WCHAR title[4];
    LRESULT copied = 0;
    g_handler = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
        if (msg != WM_INITDIALOG) return FALSE;
        HWND bar = GetDlgItem(dlg, IDC_STEP_PROGRESS);
        for (const auto &r : rows) {
            const LRESULT result = SendMessageW(bar, r.msg, r.w, r.l);
            seen.emplace_back(result, static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)));
        }
        SendMessageW(bar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
        copied = SendMessageW(bar, WM_GETTEXT, 4, reinterpret_cast<LPARAM>(title));
        EndDialog(dlg, 0);
        return TRUE;
    };
    run(IDD_UPDATE);
    ASSERT_EQ(seen.size(), std::size(rows));
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(static_cast<DWORD>(seen[i].first), static_cast<DWORD>(rows[i].result));
        EXPECT_EQ(seen[i].second, rows[i].posAfter);
    }
    EXPECT_EQ(range.iLow, 10);
    EXPECT_EQ(range.iHigh, 70000);
    EXPECT_EQ(copied, 3);  // "Progress1" cut to the buffer
    EXPECT_EQ(std::u16string(title), u"Pro");
}

TEST_F(Dialogs, ActionTakenOnATextLandsBeforeTheSenderGoesOn) {
    // The operator presses Abort whenever it sees a new step text; the
    // worker checks that each press happened before its SetDlgItemTextW returned.
    std::atomic<int> presses{0};
    std::vector<int> pressesSeenByWorker;
    std::thread worker;
    std::u16string lastActedOn;
    op_->dialog = [&](const wince::DialogView &v) {
        const auto *text = v.find(IDC_STEP_TEXT);
        if (text && !text->text.empty() && text->text != lastActedOn) {
            lastActedOn = text->text;
            return press(IDCANCEL);
        }
        return wince::Action{};
    };
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) {
            worker = std::thread([&, dlg] {
                for (int i = 1; i <= 20; ++i) {
                    SetDlgItemTextW(dlg, IDC_STEP_TEXT, wince::toUtf16("step " + std::to_string(i)).c_str());
                    pressesSeenByWorker.push_back(presses.load());
                }
                EndDialog(dlg, 0);
            });
            return TRUE;
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) ++presses;
        return msg == WM_COMMAND;
    };
    run(IDD_UPDATE);
    worker.join();
    ASSERT_EQ(pressesSeenByWorker.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(pressesSeenByWorker[static_cast<size_t>(i)], i + 1);
    EXPECT_EQ(events("press").size(), 20u);
}

TEST_F(Dialogs, PressAndCloseArriveAsThePlatformSendsThem) {
    struct Command {
        WPARAM w;
        LPARAM l;
    };
    std::vector<Command> commands;
    HWND dialog = nullptr;
    int asked = 0;
    op_->dialog = [&](const wince::DialogView &) {
        ++asked;
        return asked == 1 ? press(IDC_BSP_VERSION) : asked == 2 ? press(9999) : closeIt();
    };
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM l) -> BOOL {
        dialog = dlg;
        if (msg != WM_COMMAND) return msg == WM_INITDIALOG;
        commands.push_back({w, l});
        if (LOWORD(w) == IDCANCEL) EndDialog(dlg, 3);
        return TRUE;
    };
    EXPECT_EQ(run(IDD_MAIN), 3);
    ASSERT_EQ(commands.size(), 2u);  // the press of a control that isn't there does nothing
    EXPECT_EQ(commands[0].w, MAKEWPARAM(IDC_BSP_VERSION, 0));
    EXPECT_NE(commands[0].l, 0);
    EXPECT_EQ(commands[1].w, MAKEWPARAM(IDCANCEL, 0));
    EXPECT_EQ(commands[1].l, 0) << "the main dialog has no IDCANCEL control";

    auto presses = events("press");
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0]["id"], IDC_BSP_VERSION);
    EXPECT_EQ(presses[0]["text"], "BSP Version");
    EXPECT_EQ(presses[0]["dialog"], "Update Tool v1.4");
    auto closes = events("close");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0]["dialog"], "Update Tool v1.4");
    EXPECT_EQ(events("dialog_close").at(0)["result"], 3);
}

TEST_F(Dialogs, CloseOfTheUpdateDialogComesFromItsAbortButton) {
    LPARAM from = 0;
    HWND abortButton = nullptr;
    op_->dialog = [&](const wince::DialogView &) { return closeIt(); };
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM l) -> BOOL {
        if (msg == WM_INITDIALOG) abortButton = GetDlgItem(dlg, IDCANCEL);
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) {
            from = l;
            EndDialog(dlg, 0);
        }
        return msg != WM_CLOSE;  // the dialog manager turns a close into IDCANCEL
    };
    run(IDD_UPDATE);
    EXPECT_EQ(from, reinterpret_cast<LPARAM>(abortButton));
}

TEST_F(Dialogs, PostedCloseFromAnotherThreadCancelsTheDialog) {
    std::thread worker;
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) worker = std::thread([dlg] { PostMessageW(dlg, WM_CLOSE, 0, 0); });
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) EndDialog(dlg, 5);
        return msg == WM_INITDIALOG || msg == WM_COMMAND;
    };
    EXPECT_EQ(run(IDD_UPDATE), 5);
    worker.join();
}

TEST_F(Dialogs, TheOperatorIsAskedWhenIdleAndSeesTheControls) {
    wince::DialogView seen;
    int idle = 0;
    op_->dialog = [&](const wince::DialogView &v) {
        seen = v;
        return ++idle == 5 ? closeIt() : wince::Action{};
    };
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) EndDialog(dlg, 0);
        return msg != WM_CLOSE;
    };
    run(IDD_UPDATE);
    EXPECT_EQ(idle, 5);
    EXPECT_EQ(seen.caption, u"Updating IMAGE");
    ASSERT_EQ(seen.controls.size(), 5u);
    const auto *bar = seen.find(IDC_TOTAL_PROGRESS);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->className, u"msctls_progress32");
    EXPECT_EQ(bar->text, u"Progress2");
    EXPECT_EQ(bar->rangeMax, 100);
    EXPECT_EQ(bar->y, 52);
    EXPECT_EQ(bar->cy, 14);
    EXPECT_EQ(seen.find(IDCANCEL)->className, u"BUTTON");
    EXPECT_EQ(seen.find(IDC_IMAGE_TEXT)->className, u"STATIC");
}

TEST_F(Dialogs, DialogEndedWhileBeingSetUpIsNeverShown) {
    g_handler = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) EndDialog(dlg, 0);
        return FALSE;
    };
    EXPECT_EQ(run(IDD_UPDATE), 0);
    EXPECT_EQ(op_->dialogCalls, 0);
    EXPECT_TRUE(events("dialog_open").empty());
    EXPECT_TRUE(events("dialog_close").empty());
}

TEST_F(Dialogs, MessageBoxFromAWorkerIsInFrontOfTheDialog) {
    std::thread worker;
    int callsAtBox = -1, callsAfterWait = -2;
    op_->box = [&](const wince::MessageBoxView &) {
        {
            std::lock_guard<std::mutex> lock(op_->mutex);
            callsAtBox = op_->dialogCalls;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // several idle turns of the dialog
        std::lock_guard<std::mutex> lock(op_->mutex);
        callsAfterWait = op_->dialogCalls;
    };
    g_handler = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) {
            worker = std::thread([dlg] {
                MessageBoxW(dlg, u"Error writing to Flash!", u"ERROR", MB_OK);
                EndDialog(dlg, 0);
            });
        }
        return msg == WM_INITDIALOG;
    };
    run(IDD_UPDATE);
    worker.join();
    EXPECT_EQ(callsAtBox, callsAfterWait) << "the dialog's loop asked the operator while a message box was in front";
    auto boxes = events("messagebox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["text"], "Error writing to Flash!");
    EXPECT_EQ(boxes[0]["caption"], "ERROR");
    EXPECT_EQ(boxes[0]["owner"], "Updating IMAGE");
    EXPECT_EQ(boxes[0]["type"], 0);
}

TEST_F(Dialogs, MessageBoxOnTheDialogsThreadStillCarriesOutSentMessages) {
    std::thread worker;
    std::atomic<bool> sentDone{false};
    bool doneWhileBoxShown = false;
    op_->box = [&](const wince::MessageBoxView &) {
        for (int i = 0; i < 500 && !sentDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        doneWhileBoxShown = sentDone;
    };
    op_->dialog = [&](const wince::DialogView &) { return worker.joinable() ? closeIt() : press(IDC_REBOOT); };
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
        if (msg == WM_COMMAND && LOWORD(w) == IDC_REBOOT) {
            worker = std::thread([&, dlg] {
                SetDlgItemTextW(dlg, IDC_REBOOT, u"Rebooting");
                sentDone = true;
            });
            MessageBoxW(dlg, u"Sure?", u"Reboot", MB_OK);
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) EndDialog(dlg, 0);
        return msg != WM_CLOSE;
    };
    run(IDD_MAIN);
    worker.join();
    EXPECT_TRUE(doneWhileBoxShown);
}

TEST_F(Dialogs, NestedDialogIsInFrontOfItsOwner) {
    std::vector<std::u16string> fronts;
    op_->dialog = [&](const wince::DialogView &v) {
        fronts.push_back(v.caption);
        if (v.caption == u"Update Tool v1.4") return fronts.size() == 1 ? press(IDC_UPDATE_IMAGE) : closeIt();
        return closeIt();
    };
    g_handler = [&](HWND dlg, UINT msg, WPARAM w, LPARAM) -> BOOL {
        if (msg != WM_COMMAND) return msg == WM_INITDIALOG;
        if (LOWORD(w) == IDC_UPDATE_IMAGE) run(IDD_UPDATE, dlg);
        if (LOWORD(w) == IDCANCEL) EndDialog(dlg, 0);
        return TRUE;
    };
    run(IDD_MAIN);
    ASSERT_EQ(fronts.size(), 3u);
    EXPECT_EQ(fronts[1], u"Updating IMAGE");
    EXPECT_EQ(fronts[2], u"Update Tool v1.4");
    auto opened = events("dialog_open");
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1]["caption"], "Updating IMAGE");
    EXPECT_EQ(opened[1]["owner"], "Update Tool v1.4");
}

TEST_F(Dialogs, WindowsOfAnEndedDialogAnswerNothing) {
    HWND dialog = nullptr, bar = nullptr;
    g_handler = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) {
            dialog = dlg;
            bar = GetDlgItem(dlg, IDC_STEP_PROGRESS);
            EndDialog(dlg, 0);
        }
        return FALSE;
    };
    run(IDD_UPDATE);
    SetLastError(0);
    EXPECT_EQ(SendMessageW(bar, PBM_SETPOS, 1, 0), 0);
    EXPECT_EQ(GetLastError(), 1400u);
    EXPECT_FALSE(SetDlgItemTextW(dialog, IDC_STEP_TEXT, u"late"));
    EXPECT_FALSE(EndDialog(dialog, 1));
    EXPECT_FALSE(PostMessageW(dialog, WM_CLOSE, 0, 0));
    EXPECT_EQ(GetDlgItem(dialog, IDC_STEP_TEXT), nullptr);
}

TEST_F(Dialogs, SenderIsLetGoWhenTheDialogEndsUnderIt) {
    // The worker ends the dialog and keeps sending: each send must come back.
    std::thread worker;
    std::promise<void> finished;
    g_handler = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
        if (msg == WM_INITDIALOG) {
            worker = std::thread([&, dlg] {
                HWND bar = GetDlgItem(dlg, IDC_STEP_PROGRESS);
                EndDialog(dlg, 0);
                for (int i = 0; i < 1000; ++i) SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(i % 100), 0);
                finished.set_value();
            });
        }
        return msg == WM_INITDIALOG;
    };
    run(IDD_UPDATE);
    EXPECT_EQ(finished.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    worker.join();
}

TEST_F(Dialogs, GetAndSetItemTexts) {
    UINT copied = 99;
    WCHAR small[5] = u"xxxx";
    WCHAR missing[4] = u"abc";
    UINT missingCount = 99;
    g_handler = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
        if (msg != WM_INITDIALOG) return FALSE;
        EXPECT_TRUE(SetDlgItemTextW(dlg, IDC_IMAGE_TEXT, u"Image: 9ca00000"));
        copied = GetDlgItemTextW(dlg, IDC_IMAGE_TEXT, small, 5);
        missingCount = GetDlgItemTextW(dlg, 4242, missing, 4);
        EXPECT_FALSE(SetDlgItemTextW(dlg, 4242, u"x"));
        EXPECT_TRUE(SetDlgItemTextW(dlg, IDC_STEP_TEXT, nullptr));
        EXPECT_EQ(SendMessageW(GetDlgItem(dlg, IDC_STEP_TEXT), WM_GETTEXTLENGTH, 0, 0), 0);
        EndDialog(dlg, 0);
        return TRUE;
    };
    run(IDD_UPDATE);
    EXPECT_EQ(copied, 4u);
    EXPECT_EQ(std::u16string(small), u"Imag");
    EXPECT_EQ(missingCount, 0u);
    EXPECT_EQ(missing[0], 0);
}

TEST_F(Dialogs, TemplatesTheDialogManagerCannotBuildFail) {
    g_handler = nullptr;
    ptest::TemplateBuilder unknownClass(WS_POPUP | WS_CAPTION, u"Odd");
    unknownClass.item(1, 0, u"x", WS_CHILD | WS_VISIBLE, u"NoSuchClass");
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, unknownClass.get(), nullptr, TestDlgProc, 0), -1);
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, nullptr, nullptr, TestDlgProc, 0), -1);
    // An owner that is not a window.
    EXPECT_EQ(run(IDD_MAIN, reinterpret_cast<HWND>(0x1234)), -1);
    auto failed = events("dialog_failed");
    ASSERT_EQ(failed.size(), 3u);
    EXPECT_NE(failed[0]["reason"].get<std::string>().find("NoSuchClass"), std::string::npos);
    EXPECT_EQ(op_->dialogCalls, 0);
}

// The progress bar class exists only once the common controls are set up;
// run in a fresh process so that no other test has done that yet.
TEST(DialogsWithoutCommonControls, ProgressBarsNeedInitCommonControls) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vtest::TempBoard board;
            wince::boot(board.dir(), std::make_shared<TestOperator>(), "platform-test");
            const int before =
                DialogBoxIndirectParamW(programInstance(), programDialog(IDD_UPDATE), nullptr, TestDlgProc, 0);
            const bool failedWithReason = !board.events("dialog_failed").empty() &&
                                          board.events("dialog_failed")[0]["reason"].get<std::string>().find(
                                              "InitCommonControls") != std::string::npos;
            wince::shutdown();
            std::_Exit(before == -1 && failedWithReason ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
