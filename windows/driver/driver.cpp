// The person at the board in the Windows smoke test: starts a program,
// waits for its windows by caption, clicks through them with the messages a
// click sends (WM_COMMAND, BM_CLICK), types into the file-open dialog's file
// name box, checks what the program shows and saves each window it looks at
// as a bitmap. Every wait is for a state (a window there, gone, a progress
// bar moved), with a generous limit that only a hang reaches.
//   dialog-driver tool PROGRAM IMAGE SHOTDIR    the update tool's main dialog,
//                                               its BSP report and an update
//   dialog-driver agent PROGRAM FILE...         starts the agent and waits
//                                               until every FILE exists
// Prints one line per step; exits 0 only when every check held.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

// The update tool's control identifiers, as its resource header has them.
constexpr int kClearRegistry = 1000;
constexpr int kSaveRegistry = 1001;
constexpr int kUpdateImage = 1002;
constexpr int kBspVersion = 1004;
constexpr int kTotalProgress = 1003;
constexpr int kStepText = 1004;
// The file-open dialog's file name box: the combo box of the explorer style,
// the edit box of the old one; and the message box's text.
constexpr int kFileNameCombo = 0x47c;
constexpr int kFileNameEdit = 0x480;
constexpr int kMessageText = 0xffff;

constexpr DWORD kLimitMs = 60000;
// A window that has just appeared may not be fully painted yet.
constexpr DWORD kPaintSettleMs = 400;

int g_failures = 0;
// The program under test: ended with the driver when a check gives up, so
// nothing is left running.
HANDLE g_program = nullptr;

std::string narrow(const std::wstring &text) {
    std::string out;
    for (wchar_t c : text) {
        if (c == L'\t') out += "\\t";
        else if (c == L'\r') out += "\\r";
        else if (c == L'\n') out += "\\n";
        else out += c < 128 ? static_cast<char>(c) : '?';
    }
    return out;
}

void check(bool ok, const std::string &what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

[[noreturn]] void giveUp(const std::string &what) {
    std::printf("FAIL %s\n", what.c_str());
    std::fflush(stdout);
    if (g_program != nullptr) TerminateProcess(g_program, 1);
    ExitProcess(1);
}

struct Search {
    DWORD pid;
    const wchar_t *caption;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM context) {
    auto *search = reinterpret_cast<Search *>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid || !IsWindowVisible(window)) return TRUE;
    WCHAR caption[256];
    GetWindowTextW(window, caption, 256);
    if (std::wstring(caption) != search->caption) return TRUE;
    search->found = window;
    return FALSE;
}

// The visible top-level window of the process with that caption, or null.
HWND findWindow(DWORD pid, const wchar_t *caption) {
    Search search{pid, caption, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The text of a window of the program's process: GetWindowText does not ask
// another process's controls, WM_GETTEXT does.
std::wstring textOf(HWND window) {
    WCHAR text[1024] = {};
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, kLimitMs, &n))
        return {};
    return std::wstring(text, n < 1024 ? n : 1023);
}

// Fails the run at once when the program shows an error box instead.
void noErrorBox(DWORD pid) {
    for (const wchar_t *caption : {L"ERROR", L"ERRER"}) {
        if (HWND box = findWindow(pid, caption))
            giveUp("the program reported an error: " + narrow(textOf(GetDlgItem(box, kMessageText))));
    }
}

// Returns once the window's thread has taken every message sent before.
void waitIdle(HWND window) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kLimitMs, &result);
}

HWND waitWindow(HANDLE process, DWORD pid, const wchar_t *caption) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = findWindow(pid, caption)) {
            waitIdle(window);
            return window;
        }
        noErrorBox(pid);
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            giveUp("the program ended before showing " + narrow(caption));
        if (GetTickCount() - start > kLimitMs) giveUp("no window \"" + narrow(caption) + "\"");
        Sleep(10);
    }
}

// A click that reaches the dialog after a window is hidden but before it is
// destroyed is lost: wait until the window is really gone.
void waitGone(HWND window, const std::string &what) {
    const DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start > kLimitMs) giveUp(what + " did not close");
        Sleep(10);
    }
}

// Saves what the screen shows of the window as a 24-bit bitmap.
void capture(HWND window, const std::wstring &file) {
    // Drawn active, as the board shows the dialog in front: Wine activates a
    // window only once its desktop has the X focus, which can come a little
    // after the first window appears.
    for (int i = 0; i < 30 && GetForegroundWindow() != window; ++i) {
        SetForegroundWindow(window);
        Sleep(100);
    }
    Sleep(kPaintSettleMs);
    waitIdle(window);
    RECT r;
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD imageBytes = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER head{};
    head.bfType = 0x4d42;
    head.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    head.bfSize = head.bfOffBits + imageBytes;
    HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const bool ok = out != INVALID_HANDLE_VALUE && WriteFile(out, &head, sizeof head, &written, nullptr) &&
                    WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
                    WriteFile(out, bits, imageBytes, &written, nullptr);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    check(ok, "saved " + narrow(file));
}

// Wine's message box measures tabbed text narrower than its text control
// then draws it, so the last word of the widest line wraps onto a line of its
// own, which the board's box does not do: widen the box and its text by
// `extra` pixels before the picture (the OK button stays centred).
void widenMessageBox(HWND box, int extra) {
    RECT r;
    GetWindowRect(box, &r);
    SetWindowPos(box, nullptr, 0, 0, r.right - r.left + extra, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    const int ids[] = {kMessageText, IDOK};
    for (int id : ids) {
        HWND item = GetDlgItem(box, id);
        if (item == nullptr) continue;
        GetWindowRect(item, &r);
        MapWindowPoints(nullptr, box, reinterpret_cast<POINT *>(&r), 2);
        if (id == IDOK) SetWindowPos(item, nullptr, r.left + extra / 2, r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        else SetWindowPos(item, nullptr, 0, 0, r.right - r.left + extra, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    }
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void command(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

PROCESS_INFORMATION start(const std::wstring &program) {
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        giveUp("cannot start " + narrow(program));
    check(true, "started " + narrow(program));
    g_program = process.hProcess;
    return process;
}

bool contains(const std::wstring &text, const std::wstring &part) { return text.find(part) != std::wstring::npos; }

int runTool(const std::wstring &program, const std::wstring &image, const std::wstring &shots) {
    const PROCESS_INFORMATION tool = start(program);
    const DWORD pid = tool.dwProcessId;

    HWND main = waitWindow(tool.hProcess, pid, L"Update Tool v1.4");
    check(textOf(GetDlgItem(main, kSaveRegistry)) == L"Save Registry to Flash",
          "main dialog buttons from the template");

    // The BSP version report, by a button click.
    PostMessageW(GetDlgItem(main, kBspVersion), BM_CLICK, 0, 0);
    HWND report = waitWindow(tool.hProcess, pid, L"BSP Verison");
    const std::wstring text = textOf(GetDlgItem(report, kMessageText));
    std::printf("     report: %s\n", narrow(text).c_str());
    check(contains(text, L"Bootloader:\t") && !contains(text, L"Bootloader:\tUNKNOWN"),
          "bootloader version read from the boot flash");
    check(contains(text, L"BSP ID:\tVORELLI\r\nBSP Version:\t3.12"), "board identifier and BSP version from the board");
    check(contains(text, L"IMAGE built:\t") && contains(text, L"(GMT)"), "image build time line");
    widenMessageBox(report, 48);
    capture(report, shots + L"\\bsp-version.bmp");
    command(report, IDOK);
    waitGone(report, "the BSP report");
    // Pictured once a box of its own has closed: the main dialog is then the
    // active window, as on the board (Wine leaves the first window of a
    // program started from another one inactive).
    capture(main, shots + L"\\main-dialog.bmp");

    // Clearing the stored registry goes to the board's adaptation layer.
    command(main, kClearRegistry);
    HWND cleared = waitWindow(tool.hProcess, pid, L"Registry");
    check(textOf(GetDlgItem(cleared, kMessageText)) == L"Registry Succesfully Cleared",
          "registry cleared on the board");
    PostMessageW(GetDlgItem(cleared, IDOK), BM_CLICK, 0, 0);
    waitGone(cleared, "the registry box");
    // Saving it flushes the registry into the board's store.
    command(main, kSaveRegistry);
    HWND saved = waitWindow(tool.hProcess, pid, L"Registry");
    check(textOf(GetDlgItem(saved, kMessageText)) == L"Registry Succesfully Saved", "registry saved on the board");
    PostMessageW(GetDlgItem(saved, IDOK), BM_CLICK, 0, 0);
    waitGone(saved, "the registry box");

    // An update: the file-open dialog, then the update dialog.
    command(main, kUpdateImage);
    HWND open = waitWindow(tool.hProcess, pid, L"Open");
    HWND name = GetDlgItem(open, kFileNameCombo);
    if (name == nullptr) name = GetDlgItem(open, kFileNameEdit);
    if (name == nullptr) giveUp("the file-open dialog has no file name box");
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(image.c_str()));
    check(textOf(name) == image, "typed the image's name into the file-open dialog");
    // As after typing: the caret behind the name, where it hides no letter
    // (its edit may sit inside a combo box inside the name box).
    HWND edit = FindWindowExW(name, nullptr, L"Edit", nullptr);
    if (edit == nullptr) {
        if (HWND combo = FindWindowExW(name, nullptr, L"ComboBox", nullptr))
            edit = FindWindowExW(combo, nullptr, L"Edit", nullptr);
    }
    if (edit == nullptr) edit = name;
    SendMessageW(edit, EM_SETSEL, image.size(), image.size());
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    RedrawWindow(name, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    capture(open, shots + L"\\file-open.bmp");
    command(open, IDOK);

    HWND update = waitWindow(tool.hProcess, pid, L"Updating IMAGE");
    HWND total = GetDlgItem(update, kTotalProgress);
    std::set<LRESULT> seen;
    bool captured = false;
    const DWORD begun = GetTickCount();
    // Watch the total bar until the dialog goes; take the picture once the
    // bar is a quarter along, so both bars show.
    while (IsWindow(update)) {
        noErrorBox(pid);
        DWORD_PTR pos = 0, high = 0;
        if (SendMessageTimeoutW(total, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &pos) &&
            SendMessageTimeoutW(total, PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, 1000, &high)) {
            seen.insert(static_cast<LRESULT>(pos));
            if (!captured && pos * 4 >= high && pos * 4 < high * 3) {
                std::printf("     step: %s, total %u of %u\n", narrow(textOf(GetDlgItem(update, kStepText))).c_str(),
                            static_cast<unsigned>(pos), static_cast<unsigned>(high));
                capture(update, shots + L"\\update-dialog.bmp");
                captured = true;
            }
        }
        if (GetTickCount() - begun > 5 * kLimitMs) giveUp("the update did not end");
        Sleep(5);
    }
    check(captured, "update dialog captured mid-update");
    check(seen.size() >= 3, "total progress bar moved (" + std::to_string(seen.size()) + " positions seen)");
    noErrorBox(pid);

    command(main, IDCANCEL);
    if (WaitForSingleObject(tool.hProcess, kLimitMs) != WAIT_OBJECT_0) giveUp("the update tool did not end");
    DWORD code = 0;
    GetExitCodeProcess(tool.hProcess, &code);
    check(code == 1, "the update tool ended with 1 (got " + std::to_string(code) + ")");
    CloseHandle(tool.hThread);
    CloseHandle(tool.hProcess);
    return g_failures == 0 ? 0 : 1;
}

int runAgent(const std::wstring &program, const std::vector<std::wstring> &files) {
    const PROCESS_INFORMATION agent = start(program);
    const DWORD begun = GetTickCount();
    for (const std::wstring &file : files) {
        while (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (WaitForSingleObject(agent.hProcess, 0) == WAIT_OBJECT_0) giveUp("the agent ended");
            if (GetTickCount() - begun > kLimitMs) giveUp("no " + narrow(file) + " from the agent");
            Sleep(20);
        }
        check(true, "found " + narrow(file));
    }
    // The agent watches for good; its work here is done.
    TerminateProcess(agent.hProcess, 0);
    WaitForSingleObject(agent.hProcess, kLimitMs);
    CloseHandle(agent.hThread);
    CloseHandle(agent.hProcess);
    return g_failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == L"tool") return runTool(args[1], args[2], args[3]);
    if (args.size() >= 3 && args[0] == L"agent")
        return runAgent(args[1], std::vector<std::wstring>(args.begin() + 2, args.end()));
    std::fputs("usage: dialog-driver tool PROGRAM IMAGE SHOTDIR | agent PROGRAM FILE...\n", stderr);
    return 2;
}
