#include "board/board.h"

#include <fstream>
#include <system_error>

namespace board {

namespace fs = std::filesystem;

nlohmann::json defaultSettings() {
    return nlohmann::json::parse(R"({
  "board_id": 1,
  "bsp_version": { "major": 3, "minor": 12 },
  "clock": { "start_tick": 0 },
  "hal": {
    "reboot": "restart",
    "clear_registry_fails": false,
    "board_info_fails": false
  },
  "registry": { "save_fails": false }
})");
}

namespace {

nlohmann::json readSettings(const fs::path &file) {
    std::ifstream in(file);
    if (!in) throw BoardError("no virtual board at " + file.parent_path().string() + " (missing board.json)");
    nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw BoardError("the board settings " + file.string() + " are not valid JSON");
    return j;
}

void writeFile(const fs::path &file, const std::string &text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw BoardError("cannot write " + file.string());
}

}  // namespace

void Board::create(const fs::path &dir, const nlohmann::json &overrides) {
    if (fs::exists(dir / "board.json")) throw BoardError("a board already exists at " + dir.string());
    std::error_code ec;
    fs::create_directories(dir / "files", ec);
    fs::create_directories(dir / "objects", ec);
    fs::create_directories(dir / "registry", ec);
    if (ec) throw BoardError("cannot make the board folder " + dir.string() + ": " + ec.message());
    nlohmann::json settings = defaultSettings();
    settings.merge_patch(overrides);
    writeFile(dir / "board.json", settings.dump(2) + "\n");
    writeFile(dir / "registry" / "live.reg", "[HKEY_LOCAL_MACHINE]\n");
    writeFile(dir / "events.jsonl", "");
    // Each part of the hardware lays down its own files here.
}

std::unique_ptr<Board> Board::open(const fs::path &dir) {
    return std::unique_ptr<Board>(new Board(dir));
}

Board::Board(fs::path dir) : dir_(std::move(dir)) {
    settings_ = readSettings(dir_ / "board.json");
    clock_ = std::make_unique<Clock>(dir_ / "clock", setting<uint32_t>("/clock/start_tick", 0));
    log_ = std::make_unique<EventLog>(dir_ / "events.jsonl", *clock_);
}

Board::~Board() = default;

void Board::saveSettings(const nlohmann::json &settings) {
    writeFile(dir_ / "board.json", settings.dump(2) + "\n");
    settings_ = settings;
}

void Board::powerUp() {
    // Each part of the hardware resets itself here.
}

bool Board::saveRegistry() {
    if (setting<bool>("/registry/save_fails", false)) return false;
    std::error_code ec;
    fs::copy_file(liveRegistry(), storedRegistry(), fs::copy_options::overwrite_existing, ec);
    return !ec;
}

bool Board::clearRegistry() {
    if (setting<bool>("/hal/clear_registry_fails", false)) return false;
    std::error_code ec;
    fs::remove(storedRegistry(), ec);
    return !ec;
}

}  // namespace board
