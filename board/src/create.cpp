// Making a new board folder: the host's tools do this, programs never do.
#include <system_error>

#include "board/board.h"
#include "board/bootloader.h"
#include "board/flash.h"

namespace board {

namespace fs = std::filesystem;

void Board::create(const fs::path &dir, const nlohmann::json &overrides) {
    if (fs::exists(dir / "board.json")) throw BoardError("a board already exists at " + dir.string());
    std::error_code ec;
    fs::create_directories(dir / "files", ec);
    fs::create_directories(dir / "objects", ec);
    fs::create_directories(dir / "registry", ec);
    if (ec) throw BoardError("cannot make the board folder " + dir.string() + ": " + ec.message());
    nlohmann::json settings = defaultSettings();
    settings.merge_patch(overrides);
    writeBoardFile(dir / "board.json", settings.dump(2) + "\n");
    writeBoardFile(dir / "registry" / "live.reg", "[HKEY_LOCAL_MACHINE]\n");
    writeBoardFile(dir / "events.jsonl", "");
    // Each part of the hardware lays down its own files here.
    FlashPair::create(dir);
    createBootContents(dir);
}

}  // namespace board
