#include "board/board.h"
#include "board/boot.h"
#include "board/bootloader.h"
#include "board/flash.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <system_error>

#include "os.h"

namespace board {

namespace fs = std::filesystem;

// Every setting a board has is here, with its default: the known keys and
// the type of each value are taken from this list (a whole number, true or
// false, a text, a list), so a new setting needs only its line here.
nlohmann::json defaultSettings() {
    using nlohmann::json;
    return {
        {"board_id", 1u},
        {"bsp_version", {{"major", 3u}, {"minor", 12u}}},
        {"bootloader", {{"version", kDefaultBootloaderVersion}, {"banner_offset", kDefaultBannerOffset}}},
        {"image", {{"build_time", kDefaultBuildTime}}},
        {"boot", {{"without_image", false}}},
        {"clock", {{"start_tick", 0u}}},
        {"hal", {{"reboot", "restart"}, {"clear_registry_fails", false}, {"board_info_fails", false}}},
        {"registry", {{"save_fails", false}}},
        {"memory", {{"virtual_copy_fails", false}}},
        {"platform", {{"read_msg_queue_result", 1}}},
        {"flash",
         {{"exact_polling", false},
          {"timing", {{"erase_ns", 1000000000u}, {"program_ns", 218000u}, {"access_ns", 120u}}},
          {"faults",
           {{"locked", json::array()},
            {"low_voltage", json::array()},
            {"erase_fails", json::array()},
            {"program_fails", json::array()},
            {"stuck_busy", json::array()},
            {"stuck_at_0", json::array()}}}}},
    };
}

namespace {

nlohmann::json readSettings(const fs::path &file) {
    std::ifstream in(file);
    if (!in) throw BoardError("no virtual board at " + file.parent_path().string() + " (missing board.json)");
    nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (j.is_discarded()) throw BoardError("the board settings " + file.string() + " are not valid JSON");
    if (!j.is_object())
        throw BoardError("the board settings " + file.string() + " hold " + j.dump() +
                         ", not an object of settings ({\"KEY\": VALUE, ...})");
    return j;
}

// Settings whose texts are one of a few words.
const std::pair<const char *, std::vector<std::string>> kChoices[] = {
    {"/hal/reboot", {"restart", "return"}},
};

// Why `value` cannot stand where the default is `def`, or "" when it can.
// Numbers are whole and fit 32 bits, but times in ns ("..._ns") 64; a
// number whose default is signed is a non-zero 32-bit value.
std::string badValue(const std::string &pointer, const nlohmann::json &def, const nlohmann::json &value) {
    std::string want;
    if (def.is_boolean()) {
        if (value.is_boolean()) return {};
        want = "true or false";
    } else if (def.is_string()) {
        if (value.is_string()) {
            for (const auto &[key, words] : kChoices) {
                if (pointer != key || std::find(words.begin(), words.end(), value.get<std::string>()) != words.end())
                    continue;
                want = "one of";
                for (const auto &w : words) want += " \"" + w + "\"";
                break;
            }
            if (want.empty()) return {};
        } else {
            want = "a text";
        }
    } else if (def.is_number_integer() && !def.is_number_unsigned()) {
        // A signed default: a BOOL-like answer, any 32-bit value but 0.
        if (value.is_number_integer() && value.get<int64_t>() != 0 && value.get<int64_t>() >= INT32_MIN &&
            value.get<int64_t>() <= INT32_MAX)
            return {};
        want = "a non-zero whole number that fits 32 bits signed";
    } else if (def.is_number()) {
        const bool wide = pointer.size() > 3 && pointer.compare(pointer.size() - 3, 3, "_ns") == 0;
        const bool whole = value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
        if (whole && (wide || value.get<uint64_t>() <= 0xFFFFFFFFu)) return {};
        want = wide ? "a whole number of ns" : "a whole number below 2^32";
    } else if (def.is_array()) {
        if (value.is_array()) return {};
        want = "a list";
    } else {
        if (value.is_object()) return {};
        want = "a section {...}";
    }
    return "must be " + want + ", not " + value.dump();
}

// Calls f(pointer, default) for every setting of `defaults` (the leaves).
template <typename F> void forEachSetting(const nlohmann::json &defaults, const std::string &at, F &&f) {
    for (auto it = defaults.begin(); it != defaults.end(); ++it) {
        const std::string pointer = at + "/" + it.key();
        if (it.value().is_object()) forEachSetting(it.value(), pointer, f);
        else f(pointer, it.value());
    }
}

// The settings read while programs run are checked once, when the board is
// opened: a value of the wrong type then stops the board at boot with a clear
// message, instead of throwing later inside a program's worker thread. Keys
// the board does not know are passed over here (a hand-edited file still
// opens); `vboard create` and `set` refuse them (checkSettings).
void checkSettingTypes(const nlohmann::json &settings, const fs::path &file) {
    forEachSetting(defaultSettings(), "", [&](const std::string &pointer, const nlohmann::json &def) {
        const auto ptr = nlohmann::json::json_pointer(pointer);
        // Lists are checked entry by entry by the part that reads them.
        if (def.is_array() || !settings.contains(ptr)) return;
        const std::string why = badValue(pointer, def, settings.at(ptr));
        if (!why.empty()) throw BoardError("the board setting " + pointer + " in " + file.string() + " " + why);
    });
}

void checkAgainst(const nlohmann::json &given, const nlohmann::json &defaults, const std::string &at) {
    for (auto it = given.begin(); it != given.end(); ++it) {
        const std::string pointer = at + "/" + it.key();
        if (!defaults.contains(it.key())) {
            std::string known;
            for (auto k = defaults.begin(); k != defaults.end(); ++k) known += (known.empty() ? "" : ", ") + k.key();
            throw BoardError("unknown board setting " + pointer + " (known" + (at.empty() ? "" : " in " + at) + ": " +
                             known + ")");
        }
        const nlohmann::json &def = defaults.at(it.key());
        const std::string why = badValue(pointer, def, it.value());
        if (!why.empty()) throw BoardError("the board setting " + pointer + " " + why);
        if (def.is_object()) checkAgainst(it.value(), def, pointer);
    }
}

}  // namespace

void checkSettings(const nlohmann::json &settings) {
    if (!settings.is_object()) throw BoardError("board settings must be a JSON object, not " + settings.dump());
    checkAgainst(settings, defaultSettings(), "");
}

void writeBoardFile(const fs::path &file, const std::string &text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw BoardError("cannot write " + file.string() + ": " + std::strerror(errno));
}

std::unique_ptr<Board> Board::open(const fs::path &dir) { return std::unique_ptr<Board>(new Board(dir)); }

Board::Board(fs::path dir) : dir_(std::move(dir)), filesRoot_(dir_ / "files") {
    settings_ = readSettings(dir_ / "board.json");
    checkSettingTypes(settings_, dir_ / "board.json");
    clock_ = std::make_unique<Clock>(dir_ / "clock", setting<uint32_t>("/clock/start_tick", 0));
    log_ = std::make_unique<EventLog>(dir_ / "events.jsonl", *clock_);
}

Board::~Board() = default;

const fs::path &Board::stateFile(std::string_view name) const {
    std::lock_guard<std::mutex> lock(stateFilesMutex_);
    auto it = stateFiles_.find(name);
    if (it == stateFiles_.end()) it = stateFiles_.emplace(std::string(name), dir_ / name).first;
    return it->second;
}

void Board::saveSettings(const nlohmann::json &settings) {
    // Whole or not at all: a program starting now reads the old or the new.
    const fs::path file = dir_ / "board.json";
    const fs::path next = dir_ / "board.json.new";
    writeBoardFile(next, settings.dump(2) + "\n");
    os::replaceFile(next, file);
    settings_ = settings;
}

void Board::changeSettings(const nlohmann::json &settings) {
    checkSettings(settings);
    const fs::path file = dir_ / "board.json";
    std::string before;
    {
        std::ifstream in(file, std::ios::binary);
        before.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const nlohmann::json beforeSettings = settings_;
    saveSettings(settings);
    try {
        // What a program starting now would open.
        Board::open(dir_);
        FlashPair flash(dir_);
    } catch (const BoardError &) {
        // Back byte for byte, as the person left it.
        const fs::path next = dir_ / "board.json.new";
        writeBoardFile(next, before);
        os::replaceFile(next, file);
        settings_ = beforeSettings;
        throw;
    }
}

void Board::powerUp() {
    // Each part of the hardware resets itself here; then the boot loader
    // looks at the image in flash.
    FlashPair(dir_).powerUp();
    bootBoard(*this);
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
