// What the fuzz targets share: one board per fuzzing process, made in a
// temporary folder on first use and removed when the process ends, and a
// way to stop with a clear finding.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "board/board.h"

namespace fuzz {

// A broken invariant: libFuzzer keeps the input that led here.
[[noreturn]] inline void finding(const std::string &what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline std::filesystem::path &boardDirStore() {
    static std::filesystem::path dir;
    return dir;
}

inline void removeBoard() {
    std::error_code ec;
    if (!boardDirStore().empty()) std::filesystem::remove_all(boardDirStore(), ec);
}

// Where the boards go: in memory when the host offers a memory file system.
// A fuzzing board rewrites its files thousands of times a second, and on a
// disk the journal's flushes (a file emptied and written again is forced out
// when closed) and the write-back of the mapped flash cost more than the
// programs under test.
inline std::filesystem::path boardsFolder() {
    std::error_code ec;
    const std::filesystem::path memory = "/dev/shm";
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory(memory, ec) &&
        ::access("/dev/shm", W_OK) == 0)
        return memory;
    return std::filesystem::temp_directory_path();
}

// Makes the process's board (once) with these settings.
inline const std::filesystem::path &board(const nlohmann::json &settings = nlohmann::json::object()) {
    auto &dir = boardDirStore();
    if (dir.empty()) {
        std::string templ = (boardsFolder() / "vboard-fuzz-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) finding("cannot make a temporary board folder");
        dir = templ;
        board::Board::create(dir, settings);
        std::atexit(removeBoard);
    }
    return dir;
}

inline void writeBytes(const std::filesystem::path &file, const uint8_t *data, size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out) finding("cannot write " + file.string());
}

// Keeps the board's event log from growing without end over millions of
// inputs; every entry is appended at the end of the file, so emptying it now
// and then is safe.
inline void trimEventLog(unsigned &count) {
    if (++count % 512 != 0) return;
    std::ofstream(boardDirStore() / "events.jsonl", std::ios::trunc);
}

}  // namespace fuzz
