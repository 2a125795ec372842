// The host side of the platform layer: which board this process runs on and
// who operates it. Not a platform header: only the host main, tools and
// tests include it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

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

// Starts the platform layer of this process on the board in `boardDir`.
void boot(const std::filesystem::path &boardDir, std::shared_ptr<Operator> op, const std::string &programName);
// Ends it (closes the board). Safe to call when not booted.
void shutdown();
bool booted();

board::Board &currentBoard();
Operator &currentOperator();

// Exit codes of a program stopped by the platform rather than ending itself.
constexpr int kRunStoppedExitCode = 70;  // see fatal()
constexpr int kBoardErrorExitCode = 71;  // see boardFailed()

// Stops the program with a clear one-line message, as the board would stop a
// program that did something it must not (an access violation, say), or as a
// script stops a run that went off its course. By default the process ends
// with exit code 70; tests may install their own handler.
[[noreturn]] void fatal(const std::string &message);
// The same for a fault of the board itself rather than of the program or its
// operator (its settings, flash or named objects cannot be used): exit code 71.
[[noreturn]] void boardFailed(const std::string &message);
using FatalHandler = void (*)(const std::string &message);
void setFatalHandler(FatalHandler handler);

std::string toUtf8(const std::u16string &s);
std::u16string toUtf16(const std::string &s);

}  // namespace wince
