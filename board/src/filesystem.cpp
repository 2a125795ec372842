#include "board/filesystem.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "board/volumes.h"
#include "filesystem_store.h"

namespace board {

namespace fs = std::filesystem;

namespace {

// --- Names ---------------------------------------------------------------

// Code points of UTF-8 text; a byte that is not UTF-8 keeps a code point of
// its own (in the low surrogates, which UTF-8 never encodes), so such names
// still compare exactly.
std::u32string decode(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        char32_t c = 0;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            len = 4;
        }
        bool ok = len > 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) {
            const unsigned char cont = static_cast<unsigned char>(s[i + k]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        if (!ok) {
            out += static_cast<char32_t>(0xDC00 + b);
            ++i;
            continue;
        }
        out += c;
        i += len;
    }
    return out;
}

void encode(char32_t c, std::string &out) {
    if (c >= 0xDC80 && c <= 0xDCFF) {
        out += static_cast<char>(c - 0xDC00);  // a byte that was not UTF-8
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Lower case for the letters of the Latin, Greek and Cyrillic alphabets,
// which covers the names a board's file system will meet.
char32_t fold(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
    if (c == 0x178) return 0xFF;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}

std::u32string folded(std::string_view s) {
    std::u32string out = decode(s);
    for (auto &c : out) c = fold(c);
    return out;
}

bool globMatch(const std::u32string &name, const std::u32string &pattern) {
    size_t n = 0, p = 0;
    size_t starP = std::u32string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u32string::npos) {
            // Let the last star take one more character and try again.
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*') ++p;
    return p == pattern.size();
}

// --- Paths ---------------------------------------------------------------

struct Split {
    std::vector<std::string> parts;
    bool invalid = false;
};

Split splitBoardPath(const std::string &path) {
    Split out;
    std::string part;
    auto flush = [&] {
        if (part == "..") out.invalid = true;
        else if (!part.empty() && part != ".") out.parts.push_back(part);
        part.clear();
    };
    for (char c : path) {
        if (c == '\\' || c == '/') {
            flush();
        } else if (c == '\0') {
            out.invalid = true;
        } else {
            part += c;
        }
    }
    flush();
    return out;
}

bool within(const fs::path &p, const fs::path &root) {
    const std::string &ps = p.native();
    const std::string &rs = root.native();
    if (ps.size() < rs.size() || ps.compare(0, rs.size(), rs) != 0) return false;
    return ps.size() == rs.size() || ps[rs.size()] == '/' || rs == "/";
}

struct Entry {
    std::string name;
    mode_t mode = 0;  // of the entry itself, links not followed
};

// The name under which `dir` holds `name`: the exact name if there is one,
// else the first (in byte order) that equals it without regard to case.
std::optional<Entry> findEntry(const fs::path &dir, const std::string &name) {
    struct stat st = {};
    if (::lstat((dir / name).c_str(), &st) == 0) return Entry{name, st.st_mode};
    std::optional<std::string> best;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string candidate = it->path().filename().string();
        if ((!best || candidate < *best) && namesEqual(candidate, name)) best = std::move(candidate);
    }
    if (!best || ::lstat((dir / *best).c_str(), &st) != 0) return std::nullopt;
    return Entry{*best, st.st_mode};
}

// A link as the board sees it: followed, but only while it stays under
// `root`. Gives the target and its mode.
std::optional<std::pair<fs::path, mode_t>> followLink(const fs::path &p, const fs::path &root) {
    std::error_code ec;
    fs::path target = fs::canonical(p, ec);
    struct stat st = {};
    if (ec || !within(target, root) || ::stat(target.c_str(), &st) != 0) return std::nullopt;
    return std::make_pair(std::move(target), st.st_mode);
}

// The host folder behind a root, symbolic links resolved. Resolving costs a
// look at every component, so the answer is kept while it still names a
// folder.
std::optional<fs::path> canonicalRoot(const fs::path &dir) {
    static std::mutex mutex;
    static std::map<std::string, fs::path> known;
    struct stat st = {};
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = known.find(dir.native());
        if (it != known.end() && ::stat(it->second.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return it->second;
    }
    std::error_code ec;
    fs::path resolved = fs::canonical(dir, ec);
    if (ec || !fs::is_directory(resolved, ec)) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex);
    // Cards come and go for as long as a program runs: keep only the few
    // roots in use lately, or the cache grows with every folder ever mounted.
    if (known.size() >= 16) known.clear();
    known[dir.native()] = resolved;
    return resolved;
}

fs::path filetimesFile(const Board &board) { return board.dir() / "filetimes.json"; }

}  // namespace

bool namesEqual(std::string_view a, std::string_view b) {
    // Plain ASCII names, the common case, compare without decoding.
    bool ascii = true;
    for (unsigned char c : a) ascii = ascii && c < 0x80;
    for (unsigned char c : b) ascii = ascii && c < 0x80;
    if (!ascii) return folded(a) == folded(b);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 0x20);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 0x20);
        if (x != y) return false;
    }
    return true;
}

bool nameMatches(std::string_view name, std::string_view pattern) {
    if (pattern == "*.*") pattern = "*";
    return globMatch(folded(name), folded(pattern));
}

std::string normalizedBoardPath(const std::string &boardPathUtf8) {
    const Split split = splitBoardPath(boardPathUtf8);
    if (split.parts.empty()) return "\\";
    std::string out;
    for (auto &part : split.parts) {
        out += '\\';
        for (char32_t c : folded(part)) encode(c, out);
    }
    return out;
}

BoardPathLookup lookupBoardPath(const Board &board, const std::string &boardPathUtf8) {
    BoardPathLookup out;
    const Split split = splitBoardPath(boardPathUtf8);
    if (split.invalid) return out;
    size_t first = 0;
    if (!split.parts.empty()) {
        if (auto volume = findVolume(board, split.parts[0])) {
            const auto root = canonicalRoot(volume->hostDir);
            if (!root) {
                // The card's folder went away under the board.
                out.status = PathStatus::FolderNotFound;
                return out;
            }
            out.root = *root;
            first = 1;
        }
    }
    if (first == 0) {
        const auto root = canonicalRoot(board.filesRoot());
        if (!root) throw BoardError("the board's files folder " + board.filesRoot().string() + " is missing");
        out.root = *root;
    }
    fs::path cur = out.root;
    for (size_t i = first; i < split.parts.size(); ++i) {
        const bool last = i + 1 == split.parts.size();
        const auto entry = findEntry(cur, split.parts[i]);
        if (!entry) {
            out.status = last ? PathStatus::Missing : PathStatus::FolderNotFound;
            if (last) out.host = cur / split.parts[i];
            return out;
        }
        mode_t mode = entry->mode;
        if (S_ISLNK(mode)) {
            auto target = followLink(cur / entry->name, out.root);
            if (!target) return out;  // a link that leads out of the board, or nowhere: Invalid
            cur = std::move(target->first);
            mode = target->second;
        } else {
            cur /= entry->name;
        }
        if (!last && !S_ISDIR(mode)) {
            out.status = PathStatus::FolderNotFound;
            return out;
        }
    }
    out.status = PathStatus::Found;
    out.host = cur;
    out.isRoot = split.parts.size() == first;
    return out;
}

std::optional<fs::path> resolveBoardPath(const Board &board, const std::string &boardPathUtf8) {
    auto lookup = lookupBoardPath(board, boardPathUtf8);
    if (lookup.status != PathStatus::Found) return std::nullopt;
    return lookup.host;
}

std::optional<std::vector<BoardEntry>> listBoardFolder(const Board &board, const std::string &folderUtf8) {
    const auto lookup = lookupBoardPath(board, folderUtf8);
    std::error_code ec;
    if (lookup.status != PathStatus::Found || !fs::is_directory(lookup.host, ec)) return std::nullopt;
    const bool boardRoot = lookup.isRoot && normalizedBoardPath(folderUtf8) == "\\";
    std::vector<Volume> volumes;
    if (boardRoot) volumes = mountedVolumes(board);

    std::vector<BoardEntry> out;
    for (fs::directory_iterator it(lookup.host, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.find('\\') != std::string::npos) continue;  // no board path can spell it
        if (std::any_of(volumes.begin(), volumes.end(), [&](const Volume &v) { return namesEqual(v.name, name); }))
            continue;  // the mounted volume stands in its place
        std::error_code sec;
        if (it->is_symlink(sec)) {
            auto target = followLink(it->path(), lookup.root);
            if (!target) continue;  // leads out, or nowhere
            out.push_back(BoardEntry{std::move(name), std::move(target->first), S_ISDIR(target->second)});
        } else {
            const bool dir = it->is_directory(sec);
            if (sec) continue;  // gone already
            out.push_back(BoardEntry{std::move(name), it->path(), dir});
        }
    }
    for (auto &v : volumes) out.push_back(BoardEntry{v.name, v.hostDir, true});
    std::sort(out.begin(), out.end(), [](const BoardEntry &a, const BoardEntry &b) { return a.name < b.name; });
    return out;
}

uint64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    const int64_t ticks = (seconds + kSecondsFrom1601To1970) * 10000000 + nanoseconds / 100;
    return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

void setCreationTime(const Board &board, const std::string &boardPathUtf8, uint64_t fileTime) {
    store::FileLock lock(board.dir() / "state.lock");
    nlohmann::json times = *store::readJsonObject(filetimesFile(board));
    times[normalizedBoardPath(boardPathUtf8)] = fileTime;
    store::writeJson(filetimesFile(board), times);
}

void forgetCreationTime(const Board &board, const std::string &boardPathUtf8) {
    const std::string key = normalizedBoardPath(boardPathUtf8);
    if (!store::readJsonObject(filetimesFile(board))->contains(key)) return;
    store::FileLock lock(board.dir() / "state.lock");
    nlohmann::json times = *store::readJsonObject(filetimesFile(board));
    if (times.erase(key) > 0) store::writeJson(filetimesFile(board), times);
}

std::optional<uint64_t> keptCreationTime(const Board &board, const std::string &boardPathUtf8) {
    const auto times = store::readJsonObject(filetimesFile(board));
    auto it = times->find(normalizedBoardPath(boardPathUtf8));
    if (it != times->end() && it->is_number_unsigned()) return it->get<uint64_t>();
    return std::nullopt;
}

std::optional<uint64_t> creationTime(const Board &board, const std::string &boardPathUtf8) {
    const auto host = resolveBoardPath(board, boardPathUtf8);
    if (!host) return std::nullopt;
    if (auto kept = keptCreationTime(board, boardPathUtf8)) return kept;
    struct stat st = {};
    if (::stat(host->c_str(), &st) != 0) return std::nullopt;
    return fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

}  // namespace board
