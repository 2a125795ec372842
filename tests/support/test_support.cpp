#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "board/board.h"

extern char **environ;

namespace vtest {

namespace fs = std::filesystem;

fs::path binDir() { return VBOARD_BIN_DIR; }
fs::path sourceDir() { return VBOARD_SOURCE_DIR; }

// Boards hold a 64 MB flash array: keep test boards in memory when the host
// has a memory file system.
fs::path boardsRoot() {
    std::error_code ec;
    if (std::getenv("TMPDIR") == nullptr && fs::is_directory("/dev/shm", ec)) return "/dev/shm";
    return fs::temp_directory_path();
}

TempBoard::TempBoard(const nlohmann::json &settings) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = boardsRoot() / ("vboard-test-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            dir_ = candidate;
            break;
        }
    }
    if (dir_.empty()) throw std::runtime_error("cannot make a temporary board folder");
    board::Board::create(dir_, settings);
}

TempBoard::~TempBoard() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::vector<nlohmann::json> TempBoard::events() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(dir_ / "events.jsonl");
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    return out;
}

std::vector<nlohmann::json> TempBoard::events(const std::string &kind) const {
    std::vector<nlohmann::json> out;
    for (auto &e : events())
        if (e.value("event", "") == kind) out.push_back(e);
    return out;
}

fs::path TempBoard::writeScratch(const std::string &name, const std::string &text) const {
    fs::create_directories(dir_ / "scratch");
    fs::path file = dir_ / "scratch" / name;
    writeFile(file, text);
    return file;
}

std::string readFile(const fs::path &file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::string bytes(static_cast<size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::vector<std::string> lines(const fs::path &file) {
    std::vector<std::string> out;
    std::string line;
    for (char c : readFile(file)) {
        if (c == '\n') {
            out.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    EXPECT_TRUE(line.empty()) << "the last line is cut: " << line;
    return out;
}

int processThreads() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

void writeFile(const fs::path &file, const std::string &bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

Background::Background(const std::string &program, const std::vector<std::string> &args,
                       const std::map<std::string, std::string> &env)
    : exe_(program.find('/') == std::string::npos ? (binDir() / program).string() : program) {
    char outName[] = "/tmp/vtest-out-XXXXXX";
    char errName[] = "/tmp/vtest-err-XXXXXX";
    const int outFd = ::mkstemp(outName);
    const int errFd = ::mkstemp(errName);
    outName_ = outName;
    errName_ = errName;

    std::vector<std::string> argStore{exe_};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> merged;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        const auto eq = kv.find('=');
        if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (auto &[k, v] : env) merged[k] = v;
    std::vector<std::string> envStore;
    for (auto &[k, v] : merged) envStore.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    if (::posix_spawn(&pid_, exe_.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(outFd);
    ::close(errFd);
}

Background::~Background() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    ::unlink(outName_.c_str());
    ::unlink(errName_.c_str());
}

bool Background::running() {
    if (pid_ <= 0 || reaped_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

void Background::kill() {
    if (running()) ::kill(pid_, SIGKILL);
}

RunResult Background::wait(int timeoutSeconds) {
    RunResult result;
    if (pid_ <= 0) {
        result.err = "cannot start " + exe_;
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            reaped_ = true;
            result.err = "timed out after " + std::to_string(timeoutSeconds) + " s\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status_)) result.exitCode = WEXITSTATUS(status_);
    else if (WIFSIGNALED(status_)) result.exitCode = 128 + WTERMSIG(status_);
    result.out = readFile(outName_);
    result.err += readFile(errName_);
    return result;
}

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env, int timeoutSeconds) {
    return Background(program, args, env).wait(timeoutSeconds);
}

RunResult runOnBoard(const TempBoard &board, const std::string &program, const std::string &script,
                     const std::vector<std::string> &args, int timeoutSeconds) {
    const fs::path scriptFile = board.writeScratch("script.txt", script);
    return run(program, args, {{"VBOARD_DIR", board.dir().string()}, {"VBOARD_SCRIPT", scriptFile.string()}},
               timeoutSeconds);
}

}  // namespace vtest
