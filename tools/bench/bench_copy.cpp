// Copy throughput of the agent's AutoCopy on a virtual board, against `cp -r`
// of the same tree on the same disk. Prints both and their ratio; a
// measurement, never a pass or fail.
//
//   bench_copy [--dir BASE] [--files N] [--size BYTES] [--folders N] [--runs N] [--cpu N]
//              [--card-case same|other]
//
// Both sides run on one CPU (the one the bench starts on, or --cpu): left
// free, the system tends to start `cp` on another CPU than the one the
// bench runs on, and on a virtual machine one CPU can be much slower than
// another, which would decide the ratio.
//
// The tree has N files of BYTES each spread over FOLDERS folders (the
// folders already exist on the board, since AutoCopy makes none; with
// --card-case other the card spells them in capitals, "FOLDER0" for the
// board's "folder0", as a card written elsewhere may). The sides
// take turns, RUNS times each, into a fresh destination, each after a sync;
// the best run of each counts, so that both copy from a warm cache. Each
// run's times are printed too, and the median of the runs' ratios.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "autorun.h"
#include "board/board.h"
#include "board/volumes.h"
#include "wince/host.h"

namespace fs = std::filesystem;

namespace {

struct Options {
    fs::path base = fs::temp_directory_path();
    int files = 2000;
    size_t size = 32 * 1024;
    int folders = 40;
    int runs = 5;
    int cpu = -1;            // the one the bench starts on
    bool otherCase = false;  // the card's folder names in capitals
};

bool parse(int argc, char **argv, Options &o) try {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--dir") o.base = value;
        else if (flag == "--files") o.files = std::stoi(value);
        else if (flag == "--size") o.size = std::stoul(value);
        else if (flag == "--folders") o.folders = std::stoi(value);
        else if (flag == "--runs") o.runs = std::stoi(value);
        else if (flag == "--cpu") o.cpu = std::stoi(value);
        else if (flag == "--card-case" && (value == "same" || value == "other")) o.otherCase = value == "other";
        else return false;
    }
    return (argc % 2) == 1 && o.files > 0 && o.folders > 0 && o.runs > 0 && o.cpu >= -1 && o.cpu < CPU_SETSIZE;
} catch (const std::exception &) {
    return false;  // a number that is none
}

std::string folderName(int i) { return "folder" + std::to_string(i); }
std::string cardFolderName(int i, bool otherCase) { return (otherCase ? "FOLDER" : "folder") + std::to_string(i); }

// Gives each run a destination never used before: the board's files folder
// is moved aside (not deleted) and made anew with its folders, as cp -r makes
// a new tree. Nothing is deleted until the end: a file system may slow down
// file creation for a while after many deletions (ext4 without a journal
// skips inodes freed in the last seconds), which would charge one side for
// the other's clean-up.
void freshFolders(const fs::path &root, int folders, int run) {
    fs::rename(root, root.parent_path() / ("files-run" + std::to_string(run)));
    for (int f = 0; f < folders; ++f) fs::create_directories(root / folderName(f));
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double timeCpR(const fs::path &from, const fs::path &to) {
    fs::remove_all(to);
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("cp", "cp", "-r", from.c_str(), to.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double t = seconds(std::chrono::steady_clock::now() - start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("cp -r failed");
    return t;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: bench_copy [--dir BASE] [--files N] [--size BYTES] [--folders N] [--runs N] [--cpu N]"
                     " [--card-case same|other]\n");
        return 2;
    }
    // The cp child inherits the bench's CPU.
    const int cpu = o.cpu >= 0 ? o.cpu : ::sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    if (cpu >= 0) CPU_SET(cpu, &one);
    if (cpu < 0 || ::sched_setaffinity(0, sizeof one, &one) != 0) {
        std::fprintf(stderr, "bench_copy: cannot run on CPU %d\n", cpu);
        return 2;
    }
    const fs::path work = o.base / ("bench-copy-" + std::to_string(::getpid()));
    try {
        const fs::path boardDir = work / "board";
        const fs::path card = work / "card";
        board::Board::create(boardDir);
        const std::string bytes(o.size, 'x');
        for (int f = 0; f < o.folders; ++f) {
            fs::create_directories(card / "AutoCopy" / cardFolderName(f, o.otherCase));
            fs::create_directories(boardDir / "files" / folderName(f));
        }
        for (int i = 0; i < o.files; ++i) {
            std::ofstream out(
                card / "AutoCopy" / cardFolderName(i % o.folders, o.otherCase) / ("file" + std::to_string(i) + ".bin"),
                std::ios::binary);
            out << bytes;
        }

        wince::boot(boardDir, nullptr, "bench_copy");
        board::mountVolume(wince::currentBoard(), "Storage Card", card);

        double agentBest = 1e30, cpBest = 1e30;
        std::vector<double> runRatios;
        for (int r = 0; r < o.runs; ++r) {
            freshFolders(boardDir / "files", o.folders, r);
            ::sync();
            const auto start = std::chrono::steady_clock::now();
            AutoCopyVolume(u"\\Storage Card");
            const double agent = seconds(std::chrono::steady_clock::now() - start);
            const double cp = timeCpR(card / "AutoCopy", work / ("cp-dest" + std::to_string(r)));
            std::printf("run %d: AutoCopy %.3f s, cp -r %.3f s\n", r + 1, agent, cp);
            agentBest = std::min(agentBest, agent);
            cpBest = std::min(cpBest, cp);
            runRatios.push_back(agent / cp);
        }
        // Check that the agent really copied everything.
        size_t copied = 0;
        for (auto &e : fs::recursive_directory_iterator(boardDir / "files"))
            if (e.is_regular_file() && e.file_size() == o.size) ++copied;
        wince::shutdown();
        fs::remove_all(work);

        const double megabytes = static_cast<double>(o.size) * o.files / (1024.0 * 1024.0);
        std::printf("tree: %d files of %zu bytes in %d folders (%.1f MB), best of %d runs, both sides on CPU %d\n",
                    o.files, o.size, o.folders, megabytes, o.runs, cpu);
        std::printf("AutoCopy: %.3f s, %.1f MB/s, %.0f files/s (%zu files copied)\n", agentBest, megabytes / agentBest,
                    o.files / agentBest, copied);
        std::printf("cp -r:    %.3f s, %.1f MB/s, %.0f files/s\n", cpBest, megabytes / cpBest, o.files / cpBest);
        // A disk that writes back now and then slows whichever side it falls
        // in: the middle of the runs' own ratios shows how far that went.
        std::sort(runRatios.begin(), runRatios.end());
        std::printf("median of the runs' ratios: %.2f\n", runRatios[runRatios.size() / 2]);
        std::printf("ratio AutoCopy/cp time: %.2f\n", agentBest / cpBest);
        return copied == static_cast<size_t>(o.files) ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_copy: %s\n", e.what());
        std::error_code ec;
        fs::remove_all(work, ec);
        return 1;
    }
}
