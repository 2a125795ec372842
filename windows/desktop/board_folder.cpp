#include "desktop.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "board/volumes.h"

namespace desktop {

namespace fs = std::filesystem;

void fail(const std::string &message) {
    std::fprintf(stderr, "vboard: %s\n", message.c_str());
    std::fflush(stderr);
    ExitProcess(2);
}

std::string toUtf8(const std::wstring &text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring toWide(const std::string &text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring windowsPath(const std::string &hostPath) {
    if (hostPath.empty() || hostPath[0] != '/') return toWide(hostPath);
    // Wine exports the conversion from kernel32; Windows itself has no Unix
    // paths, so there the name is kept as it is.
    using Convert = WCHAR *(CDECL *)(const char *);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "wine_get_dos_file_name") : nullptr;
    if (proc == nullptr) return toWide(hostPath);
    Convert convert;
    static_assert(sizeof convert == sizeof proc);
    std::memcpy(&convert, &proc, sizeof proc);
    WCHAR *dos = convert(hostPath.c_str());
    if (dos == nullptr) return toWide(hostPath);
    std::wstring out(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return out;
}

BoardFolder &BoardFolder::get() {
    static BoardFolder folder;
    return folder;
}

BoardFolder::BoardFolder() {
    WCHAR name[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"VBOARD_DIR", name, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) fail("VBOARD_DIR does not name a board folder");
    WCHAR module[MAX_PATH];
    const DWORD m = GetModuleFileNameW(nullptr, module, MAX_PATH);
    board::EventLog::setProgram(toUtf8(fs::path(std::wstring(module, m)).stem().wstring()));
    // The programs' tick is the real one here, so the board's clock keeps
    // pace with it: a device that is busy, or a status read it holds, takes
    // its time for real, as on the board.
    board::Clock::setPaced(true);
    try {
        board_ = board::Board::open(fs::path(std::wstring(name, n)));
        board::noteBoot(*board_);  // a stop before this start is not ours
        joinRunningBoard();
    } catch (const board::BoardError &e) {
        fail(e.what());
    }
}

// Every program running on the board holds a shared lock on running.lock;
// one that finds no other holder starts the board from power-off. Byte 1
// lets one program at a time through this door, so no program powers the
// hardware up under another one's feet.
void BoardFolder::joinRunningBoard() {
    const fs::path file = dir() / "running.lock";
    running_ =
        CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (running_ == INVALID_HANDLE_VALUE) fail("cannot open " + toUtf8(file.wstring()));
    OVERLAPPED running{};
    OVERLAPPED door{};
    door.Offset = 1;
    if (!LockFileEx(running_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &door)) fail("cannot join the board");
    if (LockFileEx(running_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &running)) {
        board_->powerUp();
        UnlockFileEx(running_, 0, 1, 0, &running);
    }
    const BOOL joined = LockFileEx(running_, 0, 0, 1, 0, &running);
    UnlockFileEx(running_, 0, 1, 0, &door);
    if (!joined) fail("cannot join the board");
}

void BoardFolder::endOnBoardStop() {
    std::thread([this] {
        for (;;) {
            Sleep(50);
            bool stopped = false;
            try {
                stopped = board::stopRequested(*board_);
            } catch (const std::exception &) {
                continue;  // a stop file being written: look again
            }
            if (!stopped) continue;
            // Switched off: the program gets no say, whatever it waits on.
            try {
                board_->log().append({{"event", "exit"}, {"code", 0}, {"board_stop", true}});
            } catch (const std::exception &) {
            }
            TerminateProcess(GetCurrentProcess(), 0);
        }
    }).detach();
}

void BoardFolder::log(nlohmann::json event) const {
    try {
        board_->log().append(std::move(event));
    } catch (const board::BoardError &e) {
        fail(e.what());
    }
}

}  // namespace desktop
