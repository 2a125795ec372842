#include "board/board.h"
#include "board/flash.h"

#include <fstream>
#include <system_error>

namespace board {

namespace fs = std::filesystem;

nlohmann::json defaultSettings() {
    return nlohmann::json::parse(R"({
  "board_id": 1,
  "bsp_version": { "major": 3, "minor": 12 },
  "clock": { "start_tick": 0 },
  "flash": { "exact_polling": false },
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

// The settings read while programs run are checked once, when the board is
// opened: a value of the wrong type then stops the board at boot with a clear
// message, instead of throwing later inside a program's worker thread.
void checkSettingTypes(const nlohmann::json &settings, const fs::path &file) {
    enum Kind { Flag, Text, Number };
    static const std::pair<const char *, Kind> known[] = {
        {"/clock/start_tick", Number},        {"/board_id", Number},
        {"/bsp_version/major", Number},       {"/bsp_version/minor", Number},
        {"/hal/reboot", Text},                {"/hal/board_info_fails", Flag},
        {"/hal/clear_registry_fails", Flag},  {"/registry/save_fails", Flag},
        {"/memory/virtual_copy_fails", Flag}, {"/bootloader/version", Text},
        {"/bootloader/banner_offset", Number}, {"/image/build_time", Text},
        {"/flash/exact_polling", Flag},
    };
    for (const auto &[pointer, kind] : known) {
        const auto ptr = nlohmann::json::json_pointer(pointer);
        if (!settings.contains(ptr)) continue;
        const auto &v = settings.at(ptr);
        const bool ok = kind == Flag   ? v.is_boolean()
                        : kind == Text ? v.is_string()
                                       : v.is_number_unsigned() && v.get<uint64_t>() <= 0xFFFFFFFFu;
        if (!ok)
            throw BoardError("the board setting " + std::string(pointer) + " in " + file.string() + " must be " +
                             (kind == Flag ? "true or false" : kind == Text ? "a text" : "a whole number below 2^32") +
                             ", not " + v.dump());
    }
}

}  // namespace

void writeBoardFile(const fs::path &file, const std::string &text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw BoardError("cannot write " + file.string());
}

std::unique_ptr<Board> Board::open(const fs::path &dir) {
    return std::unique_ptr<Board>(new Board(dir));
}

Board::Board(fs::path dir) : dir_(std::move(dir)) {
    settings_ = readSettings(dir_ / "board.json");
    checkSettingTypes(settings_, dir_ / "board.json");
    clock_ = std::make_unique<Clock>(dir_ / "clock", setting<uint32_t>("/clock/start_tick", 0));
    log_ = std::make_unique<EventLog>(dir_ / "events.jsonl", *clock_);
}

Board::~Board() = default;

void Board::saveSettings(const nlohmann::json &settings) {
    writeBoardFile(dir_ / "board.json", settings.dump(2) + "\n");
    settings_ = settings;
}

void Board::powerUp() {
    // Each part of the hardware resets itself here.
    FlashPair(dir_).powerUp();
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
