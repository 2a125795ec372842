// The host side of the platform layer: which board this process runs on and
// who operates it. Not a platform header: only the host main, tools and
// tests include it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "wince/operator.h"

namespace wince {

// The resources of a program, as the resource compiler made them (.res).
// A program's HINSTANCE points at its ModuleResources.
struct ModuleResources {
    const unsigned char *data;
    size_t size;
    const char *name;
};

// The host's start-up code (wince/main): boots the program on the board that
// VBOARD_DIR names, with the operator `makeOperator` gives, and calls the
// program's WinMain. The process's main() lies above the platform (see
// operator/main), so that the platform never names an operator: the one it
// gets is chosen there. Returns the exit code of a run that could not start
// or was stopped; a program that ran ends the process itself.
using OperatorMaker = std::function<std::shared_ptr<Operator>()>;
int runProgram(int argc, char **argv, const OperatorMaker &makeOperator);

// Starts the platform layer of this process on the board in `boardDir`.
void boot(const std::filesystem::path &boardDir, std::shared_ptr<Operator> op, const std::string &programName);
// Ends the process as soon as the board is stopped (`vboard stop`), as a
// power-off would: whatever the program is doing, it does no more. The
// event log gets the program's "exit" with code 0 and "board_stop", and the
// process ends with code 0. For programs started as processes on the board.
void endOnBoardStop();
// True for the first caller only: the one that ends the program, either the
// program itself returning or the board's stop. The other must not go on.
bool claimProgramEnd();
// Ends it (closes the board). Safe to call when not booted.
void shutdown();
bool booted();

board::Board &currentBoard();
Operator &currentOperator();

// Called when the board reboots under the program, as the process ends
// (after the hardware powered up): for what must not outlive the program,
// such as a terminal left in raw mode.
std::vector<void (*)(board::Board &)> &powerUpHooks();

// Exit codes of a program stopped by the platform rather than ending itself.
constexpr int kRunStoppedExitCode = 70;  // see fatal()
constexpr int kBoardErrorExitCode = 71;  // see boardFailed()
constexpr int kNotBootedExitCode = 72;   // the board's last boot failed: no program runs

// Stops the program with a clear one-line message, as the board would stop a
// program that did something it must not (an access violation, say), or as a
// script stops a run that went off its course. By default the process ends
// with exit code 70; tests may install their own handler.
[[noreturn]] void fatal(const std::string &message);
// What the platform's own messages on standard error start with: "vboard"
// in a `vboard run`, the program's name in a program started by hand.
const char *messagePrefix();
void setMessagePrefix(const std::string &prefix);
// The same for a fault of the board itself rather than of the program or its
// operator (its settings, flash or named objects cannot be used): exit code 71.
[[noreturn]] void boardFailed(const std::string &message);
using FatalHandler = void (*)(const std::string &message);
void setFatalHandler(FatalHandler handler);

// The room the program's local heap has, in bytes (by default no limit but
// the host's): LocalAlloc fails once the blocks still held would pass it, as
// on a board short of memory.
void setLocalHeapLimit(size_t bytes);
// Bytes of the blocks LocalAlloc gave and LocalFree has not taken back.
size_t localHeapHeld();

// Waits up to `timeout` until every thread the program started (and every
// helper the platform started for it) has ended, what it held included.
// True when none is left. For harnesses that judge a program's run after
// it returned.
bool waitForProgramThreads(std::chrono::milliseconds timeout);

std::string toUtf8(const std::u16string &s);
std::u16string toUtf16(const std::string &s);

}  // namespace wince
