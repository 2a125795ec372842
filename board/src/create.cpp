// Making a new board folder: the host's tools do this, programs never do.
#include <system_error>

#include "board/board.h"
#include "board/bootloader.h"
#include "board/flash.h"

namespace board {

namespace fs = std::filesystem;

namespace {

// Removes what a failed create made: the folders it had to make, or, in a
// folder that was there (and empty), everything in it.
class Undo {
  public:
    explicit Undo(const fs::path &dir) : dir_(dir) {
        std::error_code ec;
        fs::path made = dir;
        for (fs::path p = dir; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
            made = p;
            if (p == p.parent_path()) break;
        }
        if (!fs::exists(made, ec)) top_ = made;
    }
    ~Undo() {
        if (done_) return;
        std::error_code ec;
        if (!top_.empty()) {
            fs::remove_all(top_, ec);
            return;
        }
        for (const auto &entry : fs::directory_iterator(dir_, ec)) fs::remove_all(entry.path(), ec);
    }
    void keep() { done_ = true; }

  private:
    fs::path dir_;
    fs::path top_;  // the first folder create makes, if any
    bool done_ = false;
};

}  // namespace

void Board::create(const fs::path &dir, const nlohmann::json &overrides) {
    std::error_code ec;
    if (fs::exists(dir / "board.json", ec)) throw BoardError("a board already exists at " + dir.string());
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) throw BoardError(dir.string() + " is not a folder");
        if (!fs::is_empty(dir, ec))
            throw BoardError(dir.string() + " already holds other files; a board needs a new or empty folder");
    }
    nlohmann::json settings = defaultSettings();
    settings.merge_patch(overrides);
    checkSettings(settings);

    Undo undo(dir);
    fs::create_directories(dir / "files", ec);
    if (!ec) fs::create_directories(dir / "objects", ec);
    if (!ec) fs::create_directories(dir / "registry", ec);
    if (ec) throw BoardError("cannot make the board folder " + dir.string() + ": " + ec.message());
    writeBoardFile(dir / "board.json", settings.dump(2) + "\n");
    writeBoardFile(dir / "registry" / "live.reg", "[HKEY_LOCAL_MACHINE]\n");
    writeBoardFile(dir / "events.jsonl", "");
    // Each part of the hardware lays down its own files here.
    FlashPair::create(dir);
    createBootContents(dir);
    undo.keep();
}

}  // namespace board
