// The board's append-only event log: one JSON object per line. Each entry
// carries the board time ("t_ms"), the writing process and an "event" name.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace board {

class Clock;
namespace os {
class AppendFile;
}

class EventLog {
  public:
    EventLog(std::filesystem::path file, Clock &clock);
    ~EventLog();
    // Adds fields "t_ms", "pid" and "program" and appends one line atomically.
    void append(nlohmann::json event);
    // Every line, a line that is not JSON as a discarded value. Throws
    // BoardError when the log is there but not a file.
    std::vector<nlohmann::json> read() const;
    const std::filesystem::path &file() const { return file_; }

    // Name of the program this process runs, for the "program" field.
    static void setProgram(std::string name);

  private:
    std::filesystem::path file_;
    Clock &clock_;
    std::unique_ptr<os::AppendFile> out_;
    std::atomic<bool> startOnNewLine_{false};
};

}  // namespace board
