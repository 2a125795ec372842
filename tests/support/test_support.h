// Helpers shared by the test programs: temporary boards and programs run on
// them as the board would run them.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vtest {

std::filesystem::path binDir();
std::filesystem::path sourceDir();

// A fresh board in a temporary folder, removed again at the end.
class TempBoard {
  public:
    explicit TempBoard(const nlohmann::json &settings = nlohmann::json::object());
    ~TempBoard();
    TempBoard(const TempBoard &) = delete;
    TempBoard &operator=(const TempBoard &) = delete;

    const std::filesystem::path &dir() const { return dir_; }
    std::filesystem::path files() const { return dir_ / "files"; }
    // The event log, one JSON object per entry.
    std::vector<nlohmann::json> events() const;
    // Entries of one kind ("messagebox", "reboot", ...).
    std::vector<nlohmann::json> events(const std::string &kind) const;
    // Writes a text file (a script, say) into the board's scratch folder.
    std::filesystem::path writeScratch(const std::string &name, const std::string &text) const;

  private:
    std::filesystem::path dir_;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program of the build (`image-update-tool`, `autorun-agent`, `vboard`,
// ...) with the given arguments and environment, waits for it and collects
// its output. timeoutSeconds guards against a hang.
RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env = {}, int timeoutSeconds = 120);

// Boots `program` on `board` with a scripted operator playing `script`.
RunResult runOnBoard(const TempBoard &board, const std::string &program, const std::string &script,
                     const std::vector<std::string> &args = {}, int timeoutSeconds = 120);

std::string readFile(const std::filesystem::path &file);
void writeFile(const std::filesystem::path &file, const std::string &bytes);

}  // namespace vtest
