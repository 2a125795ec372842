// A virtual board: a folder on the host that holds the board's settings,
// flash contents, file system, stored registry and event log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "board/clock.h"
#include "board/event_log.h"

namespace board {

// Every host-side failure (missing board, unreadable settings) is reported as
// one of these, with a message fit for a person.
class BoardError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Settings a fresh board starts with: every setting a board has, with its
// default; `vboard create --set` and tests override single keys.
nlohmann::json defaultSettings();

// Checks settings given by a person (`vboard create --set`, `vboard set`):
// every key must be one of defaultSettings(), its value of the same type
// (and one of the allowed words where there are few). Throws BoardError
// naming the first setting that is not.
void checkSettings(const nlohmann::json &settings);

// Writes a whole text file of a board folder (settings, registry, log).
void writeBoardFile(const std::filesystem::path &file, const std::string &text);

class Board {
  public:
    // Makes a new board folder. Refuses a DIR that holds a board or other
    // files, and settings checkSettings refuses; on any failure it leaves
    // nothing behind.
    static void create(const std::filesystem::path &dir, const nlohmann::json &overrides = nlohmann::json::object());
    static std::unique_ptr<Board> open(const std::filesystem::path &dir);

    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    const std::filesystem::path &dir() const { return dir_; }
    const nlohmann::json &settings() const { return settings_; }
    // Reads one setting by JSON pointer ("/hal/reboot"), or fallback if absent.
    template <typename T> T setting(const std::string &pointer, T fallback) const {
        const auto ptr = nlohmann::json::json_pointer(pointer);
        if (!settings_.contains(ptr)) return fallback;
        return settings_.at(ptr).get<T>();
    }
    // Writes the settings as they are (board.json is replaced whole).
    void saveSettings(const nlohmann::json &settings);
    // A person's change: checked (checkSettings), saved, and put back as it
    // was if the board then cannot open (a fault list naming a block beyond
    // the flash, say). Throws BoardError naming the problem.
    void changeSettings(const nlohmann::json &settings);

    Clock &clock() { return *clock_; }
    EventLog &log() { return *log_; }

    // Host folder behind the board's own root folder "\".
    const std::filesystem::path &filesRoot() const { return filesRoot_; }
    // dir() / name, made once: the board's state files are named on every
    // file call, and a path is dear to build.
    const std::filesystem::path &stateFile(std::string_view name) const;
    // Host folder for named kernel objects shared by all processes on the board.
    std::filesystem::path objectsDir() const { return dir_ / "objects"; }

    // A board start: the hardware comes up as after power-on (the flash
    // devices in read-array mode, status ready). Called when the first
    // program boots on a board that nothing else is running on, and on reboot.
    void powerUp();

    // --- Registry persistence -------------------------------------------
    // The live registry is a text file; saving copies it into the store
    // kept in flash, clearing removes the store.
    std::filesystem::path liveRegistry() const { return dir_ / "registry" / "live.reg"; }
    std::filesystem::path storedRegistry() const { return dir_ / "registry" / "stored.reg"; }
    bool saveRegistry();   // false when the settings make it fail
    bool clearRegistry();  // false when the settings make it fail

  private:
    explicit Board(std::filesystem::path dir);
    std::filesystem::path dir_;
    std::filesystem::path filesRoot_;
    mutable std::mutex stateFilesMutex_;
    mutable std::map<std::string, std::filesystem::path, std::less<>> stateFiles_;  // never shrinks
    nlohmann::json settings_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<EventLog> log_;
};

}  // namespace board
