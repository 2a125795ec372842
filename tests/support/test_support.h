// Helpers shared by the test programs: temporary boards and programs run on
// them as the board would run them.
#pragma once

#include <sys/types.h>

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

// A program of the build (`image-update-tool`, `vboard`, ..., or a path)
// started with the given arguments and environment and not waited for: to
// be raced, cut off or ended from outside. Its output goes to temporary
// files, read back by wait().
class Background {
  public:
    Background(const std::string &program, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env);
    ~Background();  // kills the program if it still runs
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // SIGKILL: the board loses power under the program.
    void kill();
    // Waits (up to timeoutSeconds, then kills it) and gives how it ended.
    RunResult wait(int timeoutSeconds = 120);

  private:
    std::string exe_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::string outName_, errName_;
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
// The lines of a text file without their '\n'; a last line cut short of its
// '\n' fails the test.
std::vector<std::string> lines(const std::filesystem::path &file);
void writeFile(const std::filesystem::path &file, const std::string &bytes);

// The threads this process runs now (-1 when the system does not say).
int processThreads();

}  // namespace vtest
