#include "folder_names.h"

#include <linux/magic.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "board/filesystem.h"
#include "board/names.h"
#include "host_folder.h"

namespace board {

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

bool counted(std::string_view name) {
    return name != "." && name != ".." && !name.starts_with(kCopyTempPrefix);
}

// File systems whose every change passes through this host's kernel, and
// so reaches inotify. A network or FUSE folder may change behind its back.
bool reportsEveryChange(int fd) {
    struct statfs fs = {};
    if (::fstatfs(fd, &fs) != 0) return false;
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

class FolderNames {
  public:
    std::optional<bool> holds(int folderFd, const std::string &name) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready()) return std::nullopt;
        applyReports();
        struct stat st = {};
        if (::fstat(folderFd, &st) != 0) return std::nullopt;
        const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
        auto it = byId_.find(id);
        if (it == byId_.end()) {
            if (!keep(folderFd, id)) return std::nullopt;
            it = byId_.find(id);
        }
        return it->second.byKey.count(caseKey(name)) > 0;
    }

    void forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ >= 0 && !forked_) forgetAll();
    }

  private:
    struct Folder {
        int watch = -1;
        // Case key -> the names of the folder with that key.
        std::map<std::string, std::set<std::string>> byKey;
    };

    // The reports go to one descriptor per process. A child made by fork
    // starts its own, and leaves the parent's reports to the parent.
    bool ready() {
        if (fd_ >= 0 && !forked_) return true;
        if (fd_ >= 0) ::close(fd_);
        byId_.clear();
        byWatch_.clear();
        forked_ = false;
        static std::once_flag once;
        std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, [] { forked_ = true; }); });
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        return fd_ >= 0;
    }

    void forgetAll() {
        for (auto &[id, folder] : byId_) ::inotify_rm_watch(fd_, folder.watch);
        byId_.clear();
        byWatch_.clear();
    }

    // Starts keeping a folder: the watch comes first, so that any change
    // the reading misses is reported after it.
    bool keep(int folderFd, const std::pair<dev_t, ino_t> &id) {
        if (!reportsEveryChange(folderFd)) return false;
        if (byId_.size() >= kMaxFolders) forgetAll();  // a bounded number of watches
        // Through the descriptor: the very folder, wherever it is now.
        const std::string self = "/proc/self/fd/" + std::to_string(folderFd);
        const int watch = ::inotify_add_watch(fd_, self.c_str(),
                                              IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
        if (watch < 0) return false;
        // The same folder kept under another watch before: drop that.
        if (auto old = byWatch_.find(watch); old != byWatch_.end()) {
            byId_.erase(old->second);
            byWatch_.erase(old);
        }
        Folder folder;
        folder.watch = watch;
        const int readFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (readFd < 0) {
            ::inotify_rm_watch(fd_, watch);
            return false;
        }
        HostFolder reader(readFd);
        std::string name;
        unsigned char type = DT_UNKNOWN;
        while (reader.next(name, type)) add(folder, name);
        ::close(readFd);
        byWatch_[watch] = id;
        byId_[id] = std::move(folder);
        return true;
    }

    static void add(Folder &folder, const std::string &name) {
        if (!counted(name)) return;
        folder.byKey[caseKey(name)].insert(name);
    }
    static void remove(Folder &folder, const std::string &name) {
        const std::string key = caseKey(name);
        auto it = folder.byKey.find(key);
        if (it == folder.byKey.end() || it->second.erase(name) == 0) return;
        if (it->second.empty()) folder.byKey.erase(it);
    }

    // Applies every change reported so far. Adding and removing a name are
    // idempotent, so a change both read and reported ends right.
    void applyReports() {
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
                if (e->mask & IN_Q_OVERFLOW) {
                    forgetAll();  // reports were lost: read every folder again
                    continue;
                }
                auto w = byWatch_.find(e->wd);
                if (w == byWatch_.end()) continue;
                if (e->mask & IN_IGNORED) {  // the folder is gone, or its file system
                    byId_.erase(w->second);
                    byWatch_.erase(w);
                    continue;
                }
                Folder &folder = byId_[w->second];
                const std::string name = e->len > 0 ? std::string(e->name) : std::string();
                if (e->mask & (IN_CREATE | IN_MOVED_TO)) add(folder, name);
                if (e->mask & (IN_DELETE | IN_MOVED_FROM)) remove(folder, name);
            }
            if (all) return;
        }
    }

    static constexpr size_t kMaxFolders = 64;
    std::mutex mutex_;
    int fd_ = -1;
    static inline volatile sig_atomic_t forked_ = 0;  // set in the child of a fork
    std::map<std::pair<dev_t, ino_t>, Folder> byId_;
    std::map<int, std::pair<dev_t, ino_t>> byWatch_;
};

FolderNames &folderNames() {
    static FolderNames *names = new FolderNames;  // never destroyed: used until the process ends
    return *names;
}

}  // namespace

std::optional<bool> folderHoldsName(int folderFd, const std::string &name) { return folderNames().holds(folderFd, name); }

void forgetKeptFolderNames() { folderNames().forget(); }

}  // namespace board
