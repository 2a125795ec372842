// The desktop layer: the calls that only the board's platform has, made on
// a board folder from a Windows process, with the board's own code. The folder is named by the
// VBOARD_DIR environment variable (a Windows path), as the host's runner
// names it with --board.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "board/board.h"

namespace desktop {

// The board the program runs on, opened once from the folder VBOARD_DIR
// names, with the board's own code: settings, clock, event log, registry.
// Ends the process with a one-line message when there is no usable board.
// The first program to start on an idle board powers its hardware up, as
// on the host.
class BoardFolder {
  public:
    static BoardFolder &get();

    board::Board &board() const { return *board_; }
    const std::filesystem::path &dir() const { return board_->dir(); }
    const nlohmann::json &settings() const { return board_->settings(); }
    template <typename T> T setting(const std::string &pointer, T fallback) const {
        return board_->setting<T>(pointer, fallback);
    }

    // Ends the process as soon as the board is stopped (`vboard stop`), as
    // a power-off would, whatever the program waits on or does.
    void endOnBoardStop();

    // Appends one line to the board's event log.
    void log(nlohmann::json event) const;

  private:
    BoardFolder();
    void joinRunningBoard();
    std::unique_ptr<board::Board> board_;
    HANDLE running_ = INVALID_HANDLE_VALUE;
};

// Stops the process with a message fit for a person: the desktop layer's
// own failures (no board, an unreadable flash file) are not the program's.
[[noreturn]] void fail(const std::string &message);

// The Windows path of a host folder named in the board folder: under Wine a
// Unix path is turned into the drive path Wine shows for it.
std::wstring windowsPath(const std::string &hostPath);

std::string toUtf8(const std::wstring &text);
std::wstring toWide(const std::string &text);

// The exit code of a board that restarts, as on the host.
constexpr int kRebootExitCode = 64;

}  // namespace desktop
