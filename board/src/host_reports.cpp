// The host's change reports (inotify) behind the kept folders and the state
// files' marks. Its inotify and statfs calls stay here rather than in os.h:
// they are this file's whole work, on Linux alone (see the end of os.h).
#include "host_reports.h"

#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "board/names.h"
#include "os.h"

namespace board {

HostFd::~HostFd() {
    if (fd_ >= 0) os::closeFd(fd_);
}

namespace {

// One spelling for all the names that are equal without regard to case.
std::string caseKey(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    bool ascii = true;
    for (unsigned char c : name) ascii = ascii && c < 0x80;
    if (ascii) {
        for (char c : name) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
        return out;
    }
    for (char32_t c : folded(name)) encode(c, out);
    return out;
}

bool counted(std::string_view name) { return name != "." && name != ".." && !name.starts_with(kCopyTempPrefix); }

// File systems whose every change passes through this host's kernel, and
// so reaches inotify. A network or FUSE folder may change behind its back.
bool reportsEveryChange(const struct statfs &fs) {
    switch (static_cast<unsigned long>(fs.f_type)) {
    case TMPFS_MAGIC:
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

// A folder kept for its names is told of its entries coming and going and
// of its own move; a folder of state files also of writes to them.
constexpr uint32_t kNamesMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr uint32_t kFilesMask = kNamesMask | IN_MODIFY;

// Nesting of ReportsTakenOnce on this thread, and whether the reports were
// taken inside the outermost one already.
thread_local int t_onceDepth = 0;
thread_local bool t_taken = false;

using Id = std::pair<dev_t, ino_t>;

// A host file path as its folder and its name, without the parsing of a
// std::filesystem::path: this runs on every look at a state file.
std::pair<std::string_view, std::string_view> folderAndName(const std::filesystem::path &file) {
    const std::string_view all = file.native();
    const size_t slash = all.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), all};
    return {all.substr(0, slash == 0 ? 1 : slash), all.substr(slash + 1)};
}

class HostReports {
  public:
    std::optional<KeptFolder> openFolder(const std::filesystem::path &root, const std::string &path,
                                         const std::string &name) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready()) return openUnkept(path);
        takeReports();
        // A folder kept open answers while the path still leads to it. The
        // descriptor holds the folder, so no other can come under its
        // identity meanwhile. A move of the folder or of a folder on the way
        // was reported, so the path holds no link that leads to it.
        if (auto p = byPath_.find(path); p != byPath_.end()) {
            Watch &w = watches_.at(p->second);
            struct stat st = {};
            if (os::status(path.c_str(), st) && S_ISDIR(st.st_mode) && Id{st.st_dev, st.st_ino} == w.id)
                return KeptFolder{w.fd, w.byKey.count(caseKey(name)) > 0};
            forgetPath(w);
        }
        const int fd = os::openWithoutLinks(path.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return std::nullopt;
        auto shared = std::make_shared<const HostFd>(fd);
        struct stat st = {};
        if (!os::statusOf(fd, st)) return KeptFolder{shared, std::nullopt};
        const int wd = keep(fd, Id{st.st_dev, st.st_ino});
        if (wd < 0) return KeptFolder{shared, std::nullopt};
        const bool holds = watches_.at(wd).byKey.count(caseKey(name)) > 0;
        if (watchWay(root, path)) {
            Watch &w = watches_.at(wd);
            if (!w.path.empty()) byPath_.erase(w.path);  // kept under another path before
            w.fd = shared;
            w.path = path;
            byPath_[w.path] = wd;
        }
        return KeptFolder{shared, holds};
    }

    std::optional<bool> holdsNow(int folder, const std::string &name) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready()) return std::nullopt;
        takeReports(true);
        struct stat st = {};
        if (!os::statusOf(folder, st)) return std::nullopt;
        auto known = byId_.find(Id{st.st_dev, st.st_ino});
        if (known == byId_.end()) return std::nullopt;
        return watches_.at(known->second).byKey.count(caseKey(name)) > 0;
    }

    uint64_t mark(const std::filesystem::path &file) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready()) return 0;
        const auto [folder, name] = folderAndName(file);
        const std::string dir(folder);
        int wd = -1;
        if (auto d = fileDirs_.find(dir); d != fileDirs_.end()) {
            wd = d->second;
        } else {
            // (Another spelling of a folder watched already gets the same
            // watch, and starts its marks afresh.)
            struct statfs fs = {};
            if (::statfs(dir.c_str(), &fs) != 0 || !reportsEveryChange(fs)) return 0;
            wd = ::inotify_add_watch(fd_, dir.c_str(), kFilesMask | IN_MASK_ADD | IN_ONLYDIR);
            if (wd < 0) return 0;
            Watch &w = watches_[wd];
            if (!w.dir.empty()) fileDirs_.erase(w.dir);
            w.files.clear();
            w.filesWatched = true;
            w.dir = dir;
            fileDirs_[dir] = wd;
        }
        auto &marks = watches_.at(wd).files;
        auto it = marks.find(name);
        if (it == marks.end()) it = marks.emplace(std::string(name), ++lastMark_).first;
        return it->second;
    }

    bool unchanged(const std::filesystem::path &file, uint64_t mark) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (mark == 0 || !ready()) return false;
        takeReports();
        const auto [folder, name] = folderAndName(file);
        auto d = fileDirs_.find(folder);
        if (d == fileDirs_.end()) return false;
        const auto &marks = watches_.at(d->second).files;
        auto it = marks.find(name);
        return it != marks.end() && it->second == mark;
    }

    void forgetFolders() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ >= 0 && !forked()) forgetKept();
    }

  private:
    struct Watch {
        Id id{};  // known for a kept folder
        // Kept folder: case key -> the names of the folder with that key.
        bool names = false;
        std::map<std::string, std::set<std::string>> byKey;
        std::shared_ptr<const HostFd> fd;  // kept open, as reached by `path`
        std::string path;
        // A folder on the way to a folder kept open: told of its moves.
        bool onTheWay = false;
        // Folder of state files: name -> the mark of its present version.
        bool filesWatched = false;
        std::string dir;
        std::map<std::string, uint64_t, std::less<>> files;
    };

    std::optional<KeptFolder> openUnkept(const std::string &path) {
        const int fd = os::openWithoutLinks(path.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return std::nullopt;
        return KeptFolder{std::make_shared<const HostFd>(fd), std::nullopt};
    }

    // The reports go to one descriptor per process. A child made by fork
    // starts its own, and leaves the parent's reports to the parent.
    bool forked() const { return os::forkCount() != forks_; }
    bool ready() {
        if (fd_ >= 0 && !forked()) return true;
        if (fd_ >= 0) os::closeFd(fd_);
        watches_.clear();
        byId_.clear();
        byPath_.clear();
        fileDirs_.clear();
        keptCount_ = 0;
        forks_ = os::forkCount();
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        return fd_ >= 0;
    }

    // Lets go of what a watch keeps of its folder (names and descriptor).
    void dropKept(Watch &w) {
        if (w.names) --keptCount_;
        w.names = false;
        w.byKey.clear();
        if (!w.path.empty()) byPath_.erase(w.path);
        w.path.clear();
        w.fd.reset();
        if (w.id != Id{}) byId_.erase(w.id);
        w.id = Id{};
    }
    // The same, and the watch too unless state files need it.
    void unkeep(int wd, Watch &w) {
        dropKept(w);
        if (!w.filesWatched) {
            ::inotify_rm_watch(fd_, wd);
            watches_.erase(wd);
        }
    }

    void forgetKept() {
        for (auto it = watches_.begin(); it != watches_.end();) {
            const int wd = it->first;
            Watch &w = it->second;
            ++it;  // unkeep may erase the entry
            w.onTheWay = false;
            if (w.names || !w.filesWatched) unkeep(wd, w);
        }
    }

    // Watches the folders from `root` down to the one at `path` for their
    // moves: while none moves, the path leads where it led. False when one
    // cannot be watched: the folder is then not kept open.
    bool watchWay(const std::filesystem::path &root, const std::filesystem::path &path) {
        const std::filesystem::path relative = path.lexically_relative(root);
        if (relative.empty() || *relative.begin() == "..") return false;
        std::filesystem::path at = root;
        auto next = relative.begin();
        for (;;) {
            const int wd =
                ::inotify_add_watch(fd_, at.c_str(), IN_MOVE_SELF | IN_DELETE_SELF | IN_MASK_ADD | IN_ONLYDIR);
            if (wd < 0) return false;
            watches_[wd].onTheWay = true;
            if (next == relative.end() || *next == ".") return true;
            at /= *next++;
            if (at == path) return true;  // the folder's own watch tells of its moves
        }
    }

    void forgetPath(Watch &w) {
        byPath_.erase(w.path);
        w.path.clear();
        w.fd.reset();
    }

    void forgetPaths() {
        for (auto &[wd, w] : watches_) {
            if (!w.path.empty()) forgetPath(w);
        }
    }

    // Every watch and all that was learned through them: reports were lost.
    void forgetAll() {
        for (auto &[wd, w] : watches_) ::inotify_rm_watch(fd_, wd);
        watches_.clear();
        byId_.clear();
        byPath_.clear();
        fileDirs_.clear();
        keptCount_ = 0;
    }

    // Starts keeping a folder: the watch comes first, so that any change
    // the reading misses is reported after it. The watch's number, or -1.
    int keep(int folderFd, const Id &id) {
        if (auto known = byId_.find(id); known != byId_.end()) return known->second;
        struct statfs fs = {};
        if (::fstatfs(folderFd, &fs) != 0 || !reportsEveryChange(fs)) return -1;
        if (keptCount_ >= kMaxFolders) forgetKept();  // a bounded number of folders
        // Through the descriptor: the very folder, wherever it is now.
        const std::string self = "/proc/self/fd/" + std::to_string(folderFd);
        const int wd = ::inotify_add_watch(fd_, self.c_str(), kNamesMask | IN_MASK_ADD | IN_ONLYDIR);
        if (wd < 0) return -1;
        Watch &w = watches_[wd];
        // The same watch for another identity: a folder gone whose end was
        // not read yet. Start afresh.
        if (w.names) dropKept(w);
        const int readFd = os::reopenFolder(folderFd);
        if (readFd < 0) {
            unkeep(wd, w);
            return -1;
        }
        os::HostFolder reader(readFd);
        std::string name;
        unsigned char type = DT_UNKNOWN;
        while (reader.next(name, type)) add(w, name);
        os::closeFd(readFd);
        w.names = true;
        w.id = id;
        byId_[id] = wd;
        ++keptCount_;
        return wd;
    }

    static void add(Watch &w, const std::string &name) {
        if (!counted(name)) return;
        w.byKey[caseKey(name)].insert(name);
    }
    static void remove(Watch &w, const std::string &name) {
        const std::string key = caseKey(name);
        auto it = w.byKey.find(key);
        if (it == w.byKey.end() || it->second.erase(name) == 0) return;
        if (it->second.empty()) w.byKey.erase(it);
    }

    // Applies every change reported so far. Adding and removing a name are
    // idempotent, so a change both read and reported ends right. `now`: also
    // inside a ReportsTakenOnce.
    void takeReports(bool now = false) {
        if (t_onceDepth > 0 && !now) {
            if (t_taken) return;
            t_taken = true;
        }
        alignas(struct inotify_event) char buf[16 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return;  // nothing more (EAGAIN)
            // A read takes every report that fits: room left for the
            // longest one means none was waiting.
            const bool all = sizeof buf - static_cast<size_t>(n) >= sizeof(struct inotify_event) + NAME_MAX + 1;
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const struct inotify_event *>(buf + at);
                at += static_cast<ssize_t>(sizeof *e + e->len);
                apply(*e);
            }
            if (all) return;
        }
    }

    void apply(const struct inotify_event &e) {
        if (e.mask & IN_Q_OVERFLOW) {
            forgetAll();  // reports were lost: look at everything again
            return;
        }
        auto it = watches_.find(e.wd);
        if (it == watches_.end()) return;
        Watch &w = it->second;
        if (e.mask & IN_IGNORED) {  // the folder is gone, or its file system
            if (w.id != Id{}) byId_.erase(w.id);
            if (!w.path.empty()) byPath_.erase(w.path);
            if (w.filesWatched) fileDirs_.erase(w.dir);
            if (w.names) --keptCount_;
            const bool onTheWay = w.onTheWay;
            watches_.erase(it);
            if (onTheWay) forgetPaths();
            return;
        }
        if (e.mask & (IN_MOVE_SELF | IN_DELETE_SELF)) {
            // Its names stay right; the paths that led to it may not, nor
            // those that led through it.
            if (!w.path.empty()) forgetPath(w);
            if (w.onTheWay) forgetPaths();
            if (w.filesWatched) {
                fileDirs_.erase(w.dir);
                w.files.clear();
                w.filesWatched = false;
                if (!w.names && !w.onTheWay) {
                    ::inotify_rm_watch(fd_, e.wd);
                    watches_.erase(it);
                }
            }
            return;
        }
        const std::string name = e.len > 0 ? std::string(e.name) : std::string();
        if (w.names) {
            if (e.mask & (IN_CREATE | IN_MOVED_TO)) add(w, name);
            if (e.mask & (IN_DELETE | IN_MOVED_FROM)) remove(w, name);
        }
        if (w.filesWatched) {
            if (auto f = w.files.find(name); f != w.files.end()) f->second = ++lastMark_;
        }
    }

    static constexpr size_t kMaxFolders = 64;
    std::mutex mutex_;
    int fd_ = -1;
    uint32_t forks_ = 0;  // the process's forks when the descriptor was made
    std::map<int, Watch> watches_;
    std::map<Id, int> byId_;                            // kept folders
    std::map<std::string, int> byPath_;                 // kept folders open, by the path that led to them
    std::map<std::string, int, std::less<>> fileDirs_;  // folders of state files, by path
    size_t keptCount_ = 0;
    uint64_t lastMark_ = 0;
};

HostReports &hostReports() {
    static HostReports *reports = new HostReports;  // never destroyed: used until the process ends
    return *reports;
}

}  // namespace

std::optional<KeptFolder> openKeptFolder(const std::filesystem::path &root, const std::string &hostPath,
                                         const std::string &name) {
    return hostReports().openFolder(root, hostPath, name);
}

std::optional<bool> keptFolderHoldsNow(int folder, const std::string &name) {
    return hostReports().holdsNow(folder, name);
}

uint64_t fileChangeMark(const std::filesystem::path &file) { return hostReports().mark(file); }

bool fileUnchangedSince(const std::filesystem::path &file, uint64_t mark) {
    return hostReports().unchanged(file, mark);
}

void forgetKeptFolderNames() { hostReports().forgetFolders(); }

ReportsTakenOnce::ReportsTakenOnce() {
    if (t_onceDepth++ == 0) t_taken = false;
}

ReportsTakenOnce::~ReportsTakenOnce() {
    if (--t_onceDepth == 0) t_taken = false;
}

}  // namespace board
