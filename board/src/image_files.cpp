// The running image's modules and files as host files in <board>/rom, with
// their sizes and the times of the table, read-only. "\Windows" shows them
// beside the board's own files (a file of its own with the same name is seen
// instead). A file's bytes are the image's at its load offset; a module, and
// a compressed file, read as zeros of their size (the board runs no code and
// expands nothing).
#include <algorithm>
#include <chrono>
#include <fstream>
#include <system_error>

#include "board/boot.h"

namespace board {

namespace fs = std::filesystem;

namespace {

std::string folded(const std::string &name) {
    std::string out = name;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
    return out;
}

// A name the board can show in one folder: no separators, no way up, no
// control characters.
bool usableName(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

fs::file_time_type hostTime(uint64_t fileTime) {
    using namespace std::chrono;
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    const auto since1970 = seconds(static_cast<int64_t>(fileTime / 10000000) - kSecondsFrom1601To1970) +
                           nanoseconds(static_cast<int64_t>(fileTime % 10000000) * 100);
    return fs::file_time_type::clock::from_sys(sys_time<nanoseconds>(since1970));
}

void layDown(const fs::path &dir, const ImageEntry &e, const ImageBytes &flash) {
    const fs::path file = dir / e.name;
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        const bool stored = !e.module && !(e.attributes & kAttributeCompressed);
        // Bytes the window holds, in pieces; the rest of the size is zeros.
        std::vector<char> chunk(1 << 16);
        uint64_t done = 0;
        const uint32_t from = flashAddressOf(e.loadOffset);
        while (stored && done < e.size) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), e.size - done));
            if (!flash.read(static_cast<uint32_t>(from + done), chunk.data(), n)) break;
            out.write(chunk.data(), n);
            done += n;
        }
    }
    std::error_code ec;
    fs::resize_file(file, e.size, ec);
    fs::last_write_time(file, hostTime(e.time), ec);
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, ec);
}

}  // namespace

fs::path imageFilesDir(const Board &board) { return board.dir() / "rom"; }

void removeImageFiles(const Board &board) {
    std::error_code ec;
    fs::remove_all(imageFilesDir(board), ec);
}

void layDownImageFiles(const Board &board, const ImageContents &contents, const ImageBytes &flash) {
    removeImageFiles(board);
    const fs::path dir = imageFilesDir(board);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw BoardError("cannot make " + dir.string() + ": " + ec.message());
    std::vector<std::string> seen;
    for (const auto *list : {&contents.modules, &contents.files}) {
        for (const auto &e : *list) {
            if (!usableName(e.name)) continue;
            const std::string key = folded(e.name);
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;  // the first one counts
            seen.push_back(key);
            layDown(dir, e, flash);
        }
    }
}

std::optional<fs::path> imageFile(const Board &board, const std::string &name) {
    std::error_code ec;
    const std::string key = folded(name);
    for (const auto &entry : fs::directory_iterator(imageFilesDir(board), ec))
        if (folded(entry.path().filename().string()) == key) return entry.path();
    return std::nullopt;
}

bool isImageFile(const Board &board, const fs::path &host) { return host.parent_path() == imageFilesDir(board); }

}  // namespace board
