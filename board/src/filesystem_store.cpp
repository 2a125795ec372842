#include "filesystem_store.h"

#include <cerrno>
#include <cstring>
#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "board/board.h"

namespace board::store {

namespace fs = std::filesystem;

namespace {

using Identity = os::FileIdentity;

struct CachedJson {
    Identity identity;  // of the file read; none for a file that was absent
    std::shared_ptr<const nlohmann::json> value;
    uint64_t mark = 0;  // the host's mark of that version, if it reports changes
};

std::mutex g_cacheMutex;
std::map<std::string, CachedJson> g_cache;

std::shared_ptr<const nlohmann::json> emptyObject() {
    static const auto empty = std::make_shared<const nlohmann::json>(nlohmann::json::object());
    return empty;
}

}  // namespace

std::string readText(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::shared_ptr<const nlohmann::json> readJsonObject(const fs::path &file) {
    const std::string key = file.string();
    // Where the host reports changes, a version it reported none for since
    // it was read needs no look at all.
    {
        std::unique_lock<std::mutex> lock(g_cacheMutex);
        auto it = g_cache.find(key);
        if (it != g_cache.end() && it->second.mark != 0) {
            const CachedJson cached = it->second;
            lock.unlock();
            if (os::unchangedSince(file, cached.mark)) return cached.value;
        }
    }
    // The mark is taken before the look, so that any change after the look
    // shows in it.
    const uint64_t mark = os::changeMark(file);
    // A look at the name answers most other calls from the cache.
    Identity named;
    if (!os::identityOf(file, named)) {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        g_cache[key] = CachedJson{Identity{}, emptyObject(), mark};
        return emptyObject();
    }
    {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        auto it = g_cache.find(key);
        if (it != g_cache.end() && it->second.identity == named && it->second.identity != Identity{}) {
            it->second.mark = mark;
            return it->second.value;
        }
    }
    // Then read, with the identity taken from the open file, so that the text
    // read and the identity cached belong to the same file.
    std::string text;
    Identity id;
    if (!os::readWithIdentity(file, text, id)) return emptyObject();
    auto value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        throw BoardError("the board file " + file.string() + " is not a JSON object");
    auto shared = std::make_shared<const nlohmann::json>(std::move(value));
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    g_cache[key] = CachedJson{id, shared, mark};
    return shared;
}

void writeText(const fs::path &file, const std::string &text) {
    static std::atomic<unsigned> counter{0};
    const fs::path tmp = file.string() + ".tmp-" + std::to_string(os::processId()) + "-" + std::to_string(counter++);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            const std::string why = std::strerror(errno);
            std::error_code ec;
            fs::remove(tmp, ec);
            throw BoardError("cannot write " + file.string() + ": " + why);
        }
    }
    os::replaceFile(tmp, file);
    // This process's next read looks at the new file, even before the host
    // has reported the change.
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    g_cache.erase(file.string());
}

void writeJson(const fs::path &file, const nlohmann::json &value) { writeText(file, value.dump(2) + "\n"); }

}  // namespace board::store
