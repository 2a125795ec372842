#include "filesystem_store.h"

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
    Identity identity;
    std::shared_ptr<const nlohmann::json> value;
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
    // A look at the name answers most calls from the cache.
    Identity named;
    if (!os::identityOf(file, named)) return emptyObject();
    {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        auto it = g_cache.find(file.string());
        if (it != g_cache.end() && it->second.identity == named) return it->second.value;
    }
    // Then read, with the identity taken from the open file, so that the text
    // read and the identity cached belong to the same file.
    std::string text;
    Identity id;
    if (!os::readWithIdentity(file, text, id)) return emptyObject();
    {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        auto it = g_cache.find(file.string());
        if (it != g_cache.end() && it->second.identity == id) return it->second.value;
    }
    auto value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        throw BoardError("the board file " + file.string() + " is not a JSON object");
    auto shared = std::make_shared<const nlohmann::json>(std::move(value));
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    g_cache[file.string()] = CachedJson{id, shared};
    return shared;
}

void writeText(const fs::path &file, const std::string &text) {
    static std::atomic<unsigned> counter{0};
    const fs::path tmp =
        file.string() + ".tmp-" + std::to_string(os::processId()) + "-" + std::to_string(counter++);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(tmp, ec);
            throw BoardError("cannot write " + file.string());
        }
    }
    os::replaceFile(tmp, file);
}

void writeJson(const fs::path &file, const nlohmann::json &value) { writeText(file, value.dump(2) + "\n"); }

}  // namespace board::store
