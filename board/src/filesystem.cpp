#include "board/filesystem.h"
#include "board/boot.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "board/volumes.h"
#include "filesystem_store.h"
#include "board/names.h"
#include "host_reports.h"
#include "os.h"

namespace board {

namespace fs = std::filesystem;

namespace {

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

// Whether `name` is a copy still being made: never part of the board's view.
bool halfMade(std::string_view name) { return name.starts_with(kCopyTempPrefix); }

// A link as the board sees it: followed, but only while it stays under
// `root`. Gives the target and its mode.
std::optional<std::pair<fs::path, mode_t>> followLink(const fs::path &p, const fs::path &root) {
    std::error_code ec;
    fs::path target = fs::canonical(p, ec);
    struct stat st = {};
    if (ec || !within(target, root) || !os::status(target.c_str(), st)) return std::nullopt;
    return std::make_pair(std::move(target), st.st_mode);
}

// What a FAT volume could hold: a regular file or a real folder. A link is
// taken only when it leads to a file; a folder link could close a loop.
bool shownMode(mode_t mode) { return S_ISREG(mode) || S_ISDIR(mode); }
bool shownLinkTarget(mode_t mode) { return S_ISREG(mode); }

// The name under which `dir` holds `name`: the exact name if there is one,
// else the first (in byte order) that equals it without regard to case.
// Entries the board does not show (FIFOs, devices, sockets, copies being
// made) are passed over; links are returned for the caller to follow.
std::optional<Entry> findEntry(const fs::path &dir, const std::string &name) {
    if (halfMade(name)) return std::nullopt;
    struct stat st = {};
    if (os::linkStatus((dir / name).c_str(), st) && (shownMode(st.st_mode) || S_ISLNK(st.st_mode)))
        return Entry{name, st.st_mode};
    std::optional<Entry> best;
    os::HostFolder folder(dir);
    std::string candidate;
    unsigned char type = DT_UNKNOWN;
    while (folder.next(candidate, type)) {
        if ((best && candidate >= best->name) || candidate == name || !namesEqual(candidate, name)) continue;
        if (!os::linkStatus((dir / candidate).c_str(), st) || !(shownMode(st.st_mode) || S_ISLNK(st.st_mode))) continue;
        best = Entry{candidate, st.st_mode};
    }
    return best;
}

// The host folder behind a root, symbolic links resolved. Resolving costs a
// look at every component, so the answer is kept while it still names a
// folder. `recheck` false takes a kept answer without that look, for a
// caller whose own host call fails if the folder is gone or is a link now.
std::optional<fs::path> canonicalRoot(const fs::path &dir, bool recheck = true) {
    static std::mutex mutex;
    static std::map<std::string, fs::path> known;
    struct stat st = {};
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = known.find(dir.native());
        if (it != known.end() && (!recheck || (os::status(it->second.c_str(), st) && S_ISDIR(st.st_mode))))
            return it->second;
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

const fs::path &filetimesFile(const Board &board) { return board.stateFile("filetimes.json"); }

// A path the quick ways may take: its root, and the host path of each name
// under it, joined as given. nullopt for what only the full look-up answers.
struct PlainPath {
    fs::path root;
    std::vector<std::string> names;
};

std::optional<PlainPath> plainPath(const Board &board, const std::string &boardPathUtf8) {
    Split split = splitBoardPath(boardPathUtf8);
    if (split.invalid || split.parts.empty()) return std::nullopt;
    if (std::any_of(split.parts.begin(), split.parts.end(), [](const std::string &p) { return halfMade(p); }))
        return std::nullopt;
    PlainPath out;
    std::optional<fs::path> root;
    if (auto volume = findVolume(board, split.parts[0])) {
        root = canonicalRoot(volume->hostDir, false);
        split.parts.erase(split.parts.begin());
    } else {
        root = canonicalRoot(board.filesRoot(), false);
    }
    if (!root || split.parts.empty()) return std::nullopt;
    out.root = std::move(*root);
    out.names = std::move(split.parts);
    return out;
}

}  // namespace

int openPlainFile(const Board &board, const std::string &boardPathUtf8, int flags, struct stat &st) {
    const auto plain = plainPath(board, boardPathUtf8);
    if (!plain) return -1;
    std::string host = plain->root.native();
    for (const auto &name : plain->names) (host += '/') += name;
    // The last name is looked at before the open: opening a device could
    // have effects of its own, and the board never opens one.
    if (!os::linkStatus(host.c_str(), st) || !S_ISREG(st.st_mode)) return -1;
    const int fd = os::openWithoutLinks(host.c_str(), (flags & ~O_CREAT) | O_NONBLOCK);
    if (fd < 0) return -1;
    // Something else may have come in under the name since the look.
    if (!os::statusOf(fd, st) || !S_ISREG(st.st_mode)) {
        os::closeFd(fd);
        return -1;
    }
    return fd;
}

std::optional<PlainLeaf> openPlainLeaf(const Board &board, const std::string &boardPathUtf8) {
    auto plain = plainPath(board, boardPathUtf8);
    if (!plain) return std::nullopt;
    PlainLeaf out;
    out.name = std::move(plain->names.back());
    plain->names.pop_back();
    out.folderHost = plain->root.native();
    for (const auto &name : plain->names) (out.folderHost += '/') += name;
    // The root is resolved already, so a link anywhere on the way means a
    // link inside the board, which the full look-up must judge. Nothing but
    // a folder is opened.
    auto kept = openKeptFolder(plain->root, out.folderHost, out.name);
    if (!kept) {
        // A folder spelled otherwise than the host holds it (a card's "DST"
        // for the board's "dst"): the full look-up finds the folder, and its
        // kept names serve as well. Only the last name is left to look at.
        const size_t cut = boardPathUtf8.find_last_of("\\/");
        if (cut == std::string::npos || boardPathUtf8.compare(cut + 1, std::string::npos, out.name) != 0)
            return std::nullopt;
        const auto folder = lookupBoardPath(board, boardPathUtf8.substr(0, cut));
        struct stat st = {};
        if (folder.status != PathStatus::Found || folder.root != plain->root || !os::status(folder.host.c_str(), st) ||
            !S_ISDIR(st.st_mode))
            return std::nullopt;
        out.folderHost = folder.host.native();
        kept = openKeptFolder(plain->root, out.folderHost, out.name);
        if (!kept) return std::nullopt;
    }
    out.folder = std::move(kept->fd);
    const int folder = out.folder->get();
    // Known missing under every spelling: nothing more to look at.
    if (kept->holds == false) return out;
    if (os::statusAt(folder, out.name.c_str(), out.st, false)) {
        if (!shownMode(out.st.st_mode)) return std::nullopt;  // a link, a FIFO...: the look-up decides
        out.exists = true;
        return out;
    }
    if (errno != ENOENT || kept->holds == true) return std::nullopt;  // another spelling: the look-up decides
    // Missing as spelled: it must be missing under every spelling, too. (A
    // folder not kept was opened for this call alone, so reading it from
    // its descriptor moves no one else's place in it.)
    os::HostFolder entries(folder);
    std::string candidate;
    unsigned char type = DT_UNKNOWN;
    while (entries.next(candidate, type))
        if (!halfMade(candidate) && namesEqual(candidate, out.name)) return std::nullopt;
    return out;
}

std::string normalizedBoardPath(const std::string &boardPathUtf8) {
    // The names as splitBoardPath takes them, each folded; plain ASCII, the
    // common case, folds byte by byte.
    std::string out;
    out.reserve(boardPathUtf8.size() + 1);
    size_t start = 0;
    bool ascii = true;
    auto name = [&](size_t end) {
        const size_t at = out.size();
        out += '\\';
        for (size_t i = start; i < end; ++i) {
            const char c = boardPathUtf8[i];
            if (c == '\0') continue;
            out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
        }
        const std::string_view added(out.data() + at + 1, out.size() - at - 1);
        if (added.empty() || added == "." || added == "..") {
            out.resize(at);
        } else if (!ascii) {
            const std::string part(added);
            out.resize(at + 1);
            for (char32_t c : folded(part)) encode(c, out);
        }
    };
    for (size_t i = 0; i < boardPathUtf8.size(); ++i) {
        const char c = boardPathUtf8[i];
        if (c == '\\' || c == '/') {
            name(i);
            start = i + 1;
            ascii = true;
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
        }
    }
    name(boardPathUtf8.size());
    if (out.empty()) return "\\";
    return out;
}

BoardPathLookup lookupBoardPath(const Board &board, const std::string &boardPathUtf8) {
    BoardPathLookup out;
    const Split split = splitBoardPath(boardPathUtf8);
    if (split.invalid) return out;
    // The names of copies being made are the board's own: no program may
    // open or make one.
    if (std::any_of(split.parts.begin(), split.parts.end(), [](const std::string &p) { return halfMade(p); }))
        return out;
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
            // Under the board's own files, "\Windows" shows the running image's.
            if (last && first == 0 && i == 1 && namesEqual(split.parts[0], "Windows"))
                if (auto rom = imageFile(board, split.parts[i])) {
                    out.status = PathStatus::Found;
                    out.host = std::move(*rom);
                    out.inImage = true;
                }
            return out;
        }
        mode_t mode = entry->mode;
        if (S_ISLNK(mode)) {
            auto target = followLink(cur / entry->name, out.root);
            // A link that leads out of the board, nowhere, or to anything but
            // a file: Invalid.
            if (!target || !shownLinkTarget(target->second)) return out;
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
    auto dir = std::make_shared<const HostFd>(os::openFolder(lookup.host.c_str()));
    os::HostFolder folder(dir->get());
    std::string name;
    unsigned char type = DT_UNKNOWN;
    while (folder.next(name, type)) {
        if (name.find('\\') != std::string::npos) continue;  // no board path can spell it
        if (halfMade(name)) continue;
        if (std::any_of(volumes.begin(), volumes.end(), [&](const Volume &v) { return namesEqual(v.name, name); }))
            continue;  // the mounted volume stands in its place
        fs::path host = lookup.host / name;
        if (type == DT_UNKNOWN) {
            struct stat st = {};
            if (!os::statusAt(dir->get(), name.c_str(), st, false)) continue;  // gone already
            type = S_ISLNK(st.st_mode)   ? DT_LNK
                   : S_ISDIR(st.st_mode) ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                                         : DT_UNKNOWN;
        }
        if (type == DT_LNK) {
            auto target = followLink(host, lookup.root);
            if (!target || !shownLinkTarget(target->second)) continue;  // leads out, nowhere, or to a folder
            out.push_back(BoardEntry{name, std::move(target->first), false, nullptr});
        } else if (type == DT_REG || type == DT_DIR) {
            out.push_back(BoardEntry{name, std::move(host), type == DT_DIR, dir});
        }  // anything else no FAT volume holds
    }
    for (auto &v : volumes) out.push_back(BoardEntry{v.name, v.hostDir, true, nullptr});
    if (!lookup.isRoot && normalizedBoardPath(folderUtf8) == "\\windows") addImageEntries(board, out);
    std::sort(out.begin(), out.end(), [](const BoardEntry &a, const BoardEntry &b) { return a.name < b.name; });
    return out;
}

bool statBoardEntry(const BoardEntry &entry, struct stat &st) {
    if (entry.folder) return os::statusAt(entry.folder->get(), entry.name.c_str(), st, true);
    return os::status(entry.host.c_str(), st);
}

std::string copyTempName() {
    static std::atomic<unsigned> counter{0};
    // The process's own number, a forked child's included: a child goes on
    // from its parent's count.
    return std::string(kCopyTempPrefix) + std::to_string(os::processId()) + "-" + std::to_string(counter++);
}

HalfMadeFile::HalfMadeFile(int folder, mode_t mode, bool unnamed) : folder_(folder) {
    if (unnamed) {
        fd_ = os::openUnnamedFile(folder, mode);
        if (fd_ >= 0) return;
    }
    // A name left by a process of the same number that died is passed over.
    for (int attempt = 0; attempt < 8 && fd_ < 0; ++attempt) {
        named_ = copyTempName();
        fd_ = os::createFileAt(folder, named_.c_str(), mode);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) named_.clear();
}

HalfMadeFile::~HalfMadeFile() {
    if (fd_ < 0) return;
    const int err = errno;
    if (!named_.empty()) os::removeAt(folder_, named_.c_str());
    os::closeFd(fd_);
    errno = err;
}

bool HalfMadeFile::putInPlace(const std::string &name, bool replace) {
    if (fd_ < 0) return false;
    if (named_.empty()) {
        if (os::linkUnnamed(fd_, folder_, name)) return true;
        if (errno != EEXIST || !replace) return false;
        // Something came in under the name meanwhile: the copy replaces it
        // at once, by way of a name of its own.
        std::string own = copyTempName();
        if (!os::linkUnnamed(fd_, folder_, own)) return false;
        named_ = std::move(own);
    }
    if (replace ? !os::renameAt(folder_, named_.c_str(), name.c_str())
                : !os::renameNoReplaceAt(folder_, named_.c_str(), name.c_str()))
        return false;
    named_.clear();
    return true;
}

NameMaking::NameMaking(int folder) : folder_(folder), lock_(os::reopenFolder(folder)) {
    // Its own opening of the folder: a lock on a descriptor shared with
    // another thread would hold for that thread too. Without the lock (a
    // host that has none) the look and the making are as near as can be.
    if (lock_ >= 0 && !os::lockWhole(lock_)) {
        os::closeFd(lock_);
        lock_ = -1;
    }
}

NameMaking::~NameMaking() {
    if (lock_ >= 0) os::closeFd(lock_);  // closing lets go
}

std::optional<NameMaking::Held> NameMaking::held(const std::string &name) const {
    Held out;
    if (os::statusAt(folder_, name.c_str(), out.st, false)) {
        out.name = name;
        return out;
    }
    // Every name a program made before it let go of the folder has been
    // reported by now: the kept names answer for the other spellings.
    if (keptFolderHoldsNow(folder_, name) == false) return std::nullopt;
    std::optional<Held> best;
    const int readFd = os::reopenFolder(folder_);  // a reading position of its own
    {
        os::HostFolder entries(readFd);
        std::string candidate;
        unsigned char type = DT_UNKNOWN;
        while (entries.next(candidate, type)) {
            if (halfMade(candidate) || !namesEqual(candidate, name) || (best && candidate >= best->name)) continue;
            if (!os::statusAt(folder_, candidate.c_str(), out.st, false)) continue;  // gone already
            out.name = candidate;
            best = out;
        }
    }
    if (readFd >= 0) os::closeFd(readFd);
    return best;
}

void removeHalfMadeCopies(const Board &board) {
    removeHalfMadeCopiesUnder(board.filesRoot());
    for (const auto &v : mountedVolumes(board)) removeHalfMadeCopiesUnder(v.hostDir);
}

uint64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    const int64_t ticks = (seconds + kSecondsFrom1601To1970) * 10000000 + nanoseconds / 100;
    return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

void setCreationTime(const Board &board, const std::string &boardPathUtf8, uint64_t fileTime) {
    store::FileLock lock(board.stateFile("state.lock"));
    nlohmann::json times = *store::readJsonObject(filetimesFile(board));
    times[normalizedBoardPath(boardPathUtf8)] = fileTime;
    store::writeJson(filetimesFile(board), times);
}

void forgetCreationTime(const Board &board, const std::string &boardPathUtf8) {
    const std::string key = normalizedBoardPath(boardPathUtf8);
    if (!store::readJsonObject(filetimesFile(board))->contains(key)) return;
    store::FileLock lock(board.stateFile("state.lock"));
    nlohmann::json times = *store::readJsonObject(filetimesFile(board));
    if (times.erase(key) > 0) store::writeJson(filetimesFile(board), times);
}

KeptCreationTimes::KeptCreationTimes(const Board &board) : times_(store::readJsonObject(filetimesFile(board))) {}

std::optional<uint64_t> KeptCreationTimes::find(const std::string &boardPathUtf8) const {
    if (times_->empty()) return std::nullopt;
    auto it = times_->find(normalizedBoardPath(boardPathUtf8));
    if (it != times_->end() && it->is_number_unsigned()) return it->get<uint64_t>();
    return std::nullopt;
}

std::optional<uint64_t> keptCreationTime(const Board &board, const std::string &boardPathUtf8) {
    return KeptCreationTimes(board).find(boardPathUtf8);
}

std::optional<uint64_t> creationTime(const Board &board, const std::string &boardPathUtf8) {
    const auto host = resolveBoardPath(board, boardPathUtf8);
    if (!host) return std::nullopt;
    if (auto kept = keptCreationTime(board, boardPathUtf8)) return kept;
    struct stat st = {};
    if (!os::status(host->c_str(), st)) return std::nullopt;
    return fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

}  // namespace board
