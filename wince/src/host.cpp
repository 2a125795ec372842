#include "wince/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <cerrno>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "board/boot.h"
#include "board/filesystem.h"
#include "board/names.h"
#include "board/volumes.h"
#include "threads_internal.h"

namespace wince {

namespace {
std::unique_ptr<board::Board> g_board;
std::shared_ptr<Operator> g_operator;
FatalHandler g_fatalHandler = nullptr;
thread_local DWORD t_lastError = 0;
// How often a program looks whether its board was stopped.
constexpr auto kStopPoll = std::chrono::milliseconds(50);
int g_runningFd = -1;
bool g_poweredUp = false;  // this process started the board

bool lockRunning(short type, int cmd) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    while (::fcntl(g_runningFd, cmd, &fl) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Every process running on a board holds a shared lock on its running.lock.
// The first one to boot on an idle board finds no other holder: for the board
// that is a start from power-off, so its hardware is powered up first.
void joinRunningBoard(board::Board &board) {
    g_runningFd = ::open((board.dir() / "running.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (g_runningFd < 0)
        throw board::BoardError("cannot open " + (board.dir() / "running.lock").string() + ": " + std::strerror(errno));
    if (lockRunning(F_WRLCK, F_OFD_SETLK)) {
        board.powerUp();
        g_poweredUp = true;
        board::removeHalfMadeCopies(board);  // copies cut off by the last power-off
        lockRunning(F_RDLCK, F_OFD_SETLK);   // downgrade: let others join
    } else if (!lockRunning(F_RDLCK, F_OFD_SETLKW)) {
        throw board::BoardError("cannot join the running board " + board.dir().string());
    }
}
}  // namespace

void boot(const std::filesystem::path &boardDir, std::shared_ptr<Operator> op, const std::string &programName) {
    board::EventLog::setProgram(programName);
    g_board = board::Board::open(boardDir);
    // Without it no program could hold a named object ("NorFlash"), and each
    // would blame what it was doing; a board in this state is damaged.
    std::error_code ec;
    if (!std::filesystem::is_directory(g_board->objectsDir(), ec))
        throw board::BoardError("the board at " + boardDir.string() + " is damaged: its folder " +
                                g_board->objectsDir().string() + " (the programs' named objects) is missing");
    board::noteBoot(*g_board);  // a stop before this boot is not ours
    joinRunningBoard(*g_board);
    board::requireBooted(*g_board);  // a board that did not boot runs no program
    g_operator = std::move(op);
    if (g_poweredUp && g_operator)
        if (auto last = board::lastBoot(*g_board)) g_operator->onBoardStart(last->line());
}

void endOnBoardStop() {
    board::Board *board = g_board.get();
    if (board == nullptr) fatal("the platform layer is not booted on a board");
    std::thread([board] {
        for (;;) {
            std::this_thread::sleep_for(kStopPoll);
            bool stopped = false;
            try {
                stopped = board::stopRequested(*board);
            } catch (const std::exception &) {
                continue;  // a stop file being written: look again
            }
            if (!stopped) continue;
            // The board is switched off: the program gets no say, whatever
            // it was doing (a flash command half done stays half done).
            if (!claimProgramEnd()) return;  // it is ending on its own
            if (g_fatalHandler != nullptr) g_fatalHandler("the board was stopped");
            try {
                board->log().append({{"event", "exit"}, {"code", 0}, {"board_stop", true}});
            } catch (const std::exception &) {
            }
            std::fflush(stdout);
            ::_exit(0);
        }
    }).detach();
}

bool claimProgramEnd() {
    static std::atomic<bool> claimed{false};
    return !claimed.exchange(true);
}

void shutdown() {
    g_operator.reset();
    g_board.reset();
    if (g_runningFd >= 0) ::close(g_runningFd);
    g_runningFd = -1;
}

bool booted() { return g_board != nullptr; }

board::Board &currentBoard() {
    if (!g_board) fatal("the platform layer is not booted on a board");
    return *g_board;
}

Operator &currentOperator() {
    if (!g_operator) fatal("no operator is at the board");
    return *g_operator;
}

void setFatalHandler(FatalHandler handler) { g_fatalHandler = handler; }

namespace {
// Fixed storage: read from a signal handler too.
char g_prefix[64] = "vboard";
}  // namespace

const char *messagePrefix() { return g_prefix; }
void setMessagePrefix(const std::string &prefix) { std::snprintf(g_prefix, sizeof g_prefix, "%s", prefix.c_str()); }

namespace {
[[noreturn]] void stop(const std::string &message, int code) {
    if (g_fatalHandler != nullptr) g_fatalHandler(message);
    std::fprintf(stderr, "%s: %s\n", messagePrefix(), message.c_str());
    std::fflush(stderr);
    ::_exit(code);
}
}  // namespace

void fatal(const std::string &message) { stop(message, kRunStoppedExitCode); }
void forgetLastError() { t_lastError = 0; }
void boardFailed(const std::string &message) { stop(message, kBoardErrorExitCode); }

std::string toUtf8(const std::u16string &s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        board::encode(static_cast<char32_t>(c), out);  // never a lone surrogate here
    }
    return out;
}

std::u16string toUtf16(const std::string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        uint32_t c = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0 && i + 1 < s.size()) {
            c = ((b & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if ((b & 0xF0) == 0xE0 && i + 2 < s.size()) {
            c = ((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if ((b & 0xF8) == 0xF0 && i + 3 < s.size()) {
            c = ((b & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            len = 4;
        }
        i += len;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace wince

DWORD WINAPI GetLastError(void) { return wince::t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { wince::t_lastError = dwErrCode; }
