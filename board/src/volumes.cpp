#include "board/volumes.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "board/filesystem.h"
#include "filesystem_store.h"
#include "os.h"

namespace board {

namespace fs = std::filesystem;

namespace {

const fs::path &stateLock(const Board &board) { return board.stateFile("state.lock"); }
const fs::path &volumesFile(const Board &board) { return board.stateFile("volumes.json"); }
const fs::path &journalFile(const Board &board) { return board.stateFile("volume-changes.jsonl"); }
const fs::path &keysFile(const Board &board) { return board.stateFile("keys.json"); }
const fs::path &stopFile(const Board &board) { return board.stateFile("stop"); }

std::vector<Volume> volumesOf(const nlohmann::json &table) {
    std::vector<Volume> out;
    for (auto it = table.begin(); it != table.end(); ++it)
        if (it.value().is_string()) out.push_back(Volume{it.key(), fs::path(it.value().get<std::string>())});
    return out;  // a JSON object keeps its keys sorted
}

// A volume name becomes a folder name of the board: it must be one that the
// board's FAT volumes could carry.
void checkVolumeName(const std::string &name) {
    if (name.empty()) throw BoardError("a volume needs a name");
    if (name.size() > 255) throw BoardError("the volume name \"" + name + "\" is too long");
    if (name == "." || name == "..") throw BoardError("\"" + name + "\" cannot name a volume");
    for (unsigned char c : name) {
        if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr)
            throw BoardError("the volume name \"" + name + "\" holds a character a folder name cannot");
    }
    if (name.back() == ' ' || name.back() == '.')
        throw BoardError("the volume name \"" + name + "\" ends in a space or a dot");
}

void appendChange(const Board &board, const std::string &name, bool attached) {
    const std::string line = nlohmann::json{{"name", name}, {"attached", attached}}.dump() + "\n";
    // One append of a whole line: a reader never sees half of one.
    os::appendAll(journalFile(board), line);
}

uint64_t fileSize(const fs::path &file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : size;
}

uint64_t readStopCount(const Board &board) {
    const std::string text = store::readText(stopFile(board));
    try {
        return text.empty() ? 0 : std::stoull(text);
    } catch (const std::exception &) {
        throw BoardError("the board file " + stopFile(board).string() + " does not hold a count");
    }
}

std::mutex g_bootMutex;
std::map<std::string, uint64_t> g_stopCountAtBoot;

}  // namespace

std::vector<Volume> mountedVolumes(const Board &board) { return volumesOf(*store::readJsonObject(volumesFile(board))); }

std::optional<Volume> findVolume(const Board &board, const std::string &name) {
    // Every file call asks this with a table that has not changed: the
    // volumes of the table seen last are kept, made once.
    static std::mutex mutex;
    static std::shared_ptr<const nlohmann::json> seen;
    static std::vector<Volume> volumes;
    auto table = store::readJsonObject(volumesFile(board));
    std::lock_guard<std::mutex> lock(mutex);
    if (table != seen) {
        volumes = volumesOf(*table);
        seen = std::move(table);
    }
    for (const auto &v : volumes)
        if (namesEqual(v.name, name)) return v;
    return std::nullopt;
}

void removeHalfMadeCopiesUnder(const fs::path &dir) {
    const auto prefix = fs::path(std::string(kCopyTempPrefix)).native();
    std::error_code ec;
    // Links are not followed: what they lead to is not this folder's.
    for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        if (it->path().filename().native().compare(0, prefix.size(), prefix) == 0 &&
            it->symlink_status(sec).type() == fs::file_type::regular)
            fs::remove(it->path(), sec);
    }
}

std::string mountVolume(const Board &board, const std::string &name, const fs::path &hostDir) {
    checkVolumeName(name);
    std::error_code ec;
    const fs::path dir = fs::canonical(hostDir, ec);
    if (ec || !fs::is_directory(dir)) throw BoardError("no folder at " + hostDir.string() + " to mount");
    store::FileLock lock(stateLock(board));
    nlohmann::json table = *store::readJsonObject(volumesFile(board));
    const std::vector<Volume> mounted = volumesOf(table);
    for (auto &v : mounted)
        if (namesEqual(v.name, name)) throw BoardError("a volume \\" + v.name + " is already mounted");
    // The names the root of the board holds now, each of which the volume
    // would hide.
    std::vector<std::string> taken;
    for (fs::directory_iterator it(board.filesRoot(), ec), end; !ec && it != end; it.increment(ec)) {
        try {
            taken.push_back(it->path().filename().string());
        } catch (const std::exception &) {
            // a host name without a spelling here: no volume name equals it
        }
    }
    auto isFree = [&](const std::string &n) {
        auto same = [&](const std::string &t) { return namesEqual(t, n); };
        return std::none_of(taken.begin(), taken.end(), same) &&
               std::none_of(mounted.begin(), mounted.end(), [&](const Volume &v) { return same(v.name); });
    };
    std::string given = name;
    for (unsigned n = 2; !isFree(given); ++n) {
        given = name + std::to_string(n);
        if (given.size() > 255) throw BoardError("no free name for the volume \\" + name);
    }
    removeHalfMadeCopiesUnder(dir);
    table[given] = dir.string();
    store::writeJson(volumesFile(board), table);
    appendChange(board, given, true);
    return given;
}

void unmountVolume(const Board &board, const std::string &name) {
    store::FileLock lock(stateLock(board));
    nlohmann::json table = *store::readJsonObject(volumesFile(board));
    for (auto &v : volumesOf(table)) {
        if (!namesEqual(v.name, name)) continue;
        table.erase(v.name);
        store::writeJson(volumesFile(board), table);
        appendChange(board, v.name, false);
        return;
    }
    throw BoardError("no volume \\" + name + " is mounted");
}

VolumeSnapshot volumeSnapshot(const Board &board) {
    // Under the lock no mount can fall between the table and the journal end.
    store::FileLock lock(stateLock(board));
    VolumeSnapshot snap;
    snap.volumes = volumesOf(*store::readJsonObject(volumesFile(board)));
    snap.journalEnd = fileSize(journalFile(board));
    return snap;
}

std::vector<VolumeChange> volumeChangesSince(const Board &board, uint64_t &offset) {
    std::vector<VolumeChange> out;
    const fs::path file = journalFile(board);
    if (fileSize(file) <= offset) return out;
    std::ifstream in(file, std::ios::binary);
    if (!in.seekg(static_cast<std::streamoff>(offset))) return out;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Only whole lines count; a line still being written waits for the next look.
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        auto j = nlohmann::json::parse(text.substr(start, nl - start), nullptr, false);
        if (j.is_object() && j.contains("name") && j["name"].is_string())
            out.push_back(VolumeChange{j["name"].get<std::string>(), j.value("attached", false)});
    }
    offset += start;
    return out;
}

bool isKnownKey(const std::string &key) { return key == "shift" || key == "ctrl" || key == "alt"; }

bool keyHeld(const Board &board, const std::string &key) {
    const auto keys = store::readJsonObject(keysFile(board));
    auto it = keys->find(key);
    return it != keys->end() && it->is_boolean() && it->get<bool>();
}

void setKeyHeld(const Board &board, const std::string &key, bool held) {
    if (!isKnownKey(key)) throw BoardError("the board has no key \"" + key + "\" (it has shift, ctrl and alt)");
    store::FileLock lock(stateLock(board));
    nlohmann::json keys = *store::readJsonObject(keysFile(board));
    const bool wasHeld = keys.contains(key) && keys[key].is_boolean() && keys[key].get<bool>();
    keys[key] = held;
    if (held && !wasHeld) {
        auto &presses = keys["presses"];
        if (!presses.is_object()) presses = nlohmann::json::object();
        const uint64_t n =
            presses.contains(key) && presses[key].is_number_unsigned() ? presses[key].get<uint64_t>() : 0;
        presses[key] = n + 1;
    }
    store::writeJson(keysFile(board), keys);
}

uint64_t keyPresses(const Board &board, const std::string &key) {
    const auto keys = store::readJsonObject(keysFile(board));
    auto presses = keys->find("presses");
    if (presses == keys->end() || !presses->is_object()) return 0;
    auto it = presses->find(key);
    return it != presses->end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

void requestStop(const Board &board) {
    store::FileLock lock(stateLock(board));
    store::writeText(stopFile(board), std::to_string(readStopCount(board) + 1) + "\n");
}

void noteBoot(const Board &board) {
    const uint64_t count = readStopCount(board);
    std::lock_guard<std::mutex> lock(g_bootMutex);
    g_stopCountAtBoot[board.dir().string()] = count;
}

bool stopRequested(const Board &board) {
    const uint64_t count = readStopCount(board);
    std::lock_guard<std::mutex> lock(g_bootMutex);
    // A process that never noted its boot starts counting now.
    auto [it, inserted] = g_stopCountAtBoot.emplace(board.dir().string(), count);
    return !inserted && count > it->second;
}

}  // namespace board
