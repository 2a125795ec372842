// "\Windows" lists the running image's files beside the board's own.
#include "board/boot.h"
#include "board/filesystem.h"

namespace board {

void addImageEntries(const Board &board, std::vector<BoardEntry> &entries) {
    std::error_code ec;
    for (const auto &file : std::filesystem::directory_iterator(imageFilesDir(board), ec)) {
        const std::string name = file.path().filename().string();
        bool shadowed = false;
        for (const auto &e : entries) shadowed = shadowed || namesEqual(e.name, name);
        if (!shadowed) entries.push_back(BoardEntry{name, file.path(), false, nullptr});
    }
}

}  // namespace board
