#include "filesystem_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "board/board.h"

namespace board::store {

namespace fs = std::filesystem;

FileLock::FileLock(const fs::path &file) {
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw BoardError("cannot open " + file.string() + ": " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            throw BoardError("cannot lock " + file.string() + ": " + std::strerror(errno));
        }
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
}

namespace {

struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const Identity &) const = default;
};

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
    struct stat named = {};
    if (::stat(file.c_str(), &named) != 0) return emptyObject();
    {
        const Identity id{named.st_dev, named.st_ino, named.st_size,
                          static_cast<int64_t>(named.st_mtim.tv_sec) * 1000000000 + named.st_mtim.tv_nsec};
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        auto it = g_cache.find(file.string());
        if (it != g_cache.end() && it->second.identity == id) return it->second.value;
    }
    // Then open, and take the identity from the open file, so that the text
    // read and the identity cached belong to the same file.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return emptyObject();
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return emptyObject();
    }
    const Identity id{st.st_dev, st.st_ino, st.st_size,
                      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        auto it = g_cache.find(file.string());
        if (it != g_cache.end() && it->second.identity == id) {
            ::close(fd);
            return it->second.value;
        }
    }
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
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
    const fs::path tmp = file.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw BoardError("cannot write " + file.string() + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            throw BoardError("cannot write " + file.string() + ": " + std::strerror(errno));
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw BoardError("cannot replace " + file.string() + ": " + std::strerror(err));
    }
}

void writeJson(const fs::path &file, const nlohmann::json &value) { writeText(file, value.dump(2) + "\n"); }

}  // namespace board::store
