// The desktop layer: the calls that only the board's platform has, made on
// a board folder from a Windows process. The folder is named by the
// VBOARD_DIR environment variable (a Windows path), as the host's runner
// names it with --board.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace desktop {

// The board folder and its settings, read once. Ends the process with a
// one-line message when there is no board.
class BoardFolder {
  public:
    static BoardFolder &get();

    const std::filesystem::path &dir() const { return dir_; }
    const nlohmann::json &settings() const { return settings_; }
    template <typename T> T setting(const std::string &pointer, T fallback) const {
        const auto ptr = nlohmann::json::json_pointer(pointer);
        if (!settings_.contains(ptr)) return fallback;
        return settings_.at(ptr).get<T>();
    }

    // Appends one line to the board's event log, stamped as the host's lines.
    void log(nlohmann::json event) const;

  private:
    BoardFolder();
    std::filesystem::path dir_;
    nlohmann::json settings_;
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
