// The board's system layer on Linux.
#ifndef _WIN32

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "board/board.h"
#include "host_reports.h"
#include "os.h"

namespace board::os {

namespace {

std::string reason() { return std::strerror(errno); }

// The Linux threads' lock word: the number of the thread holding it, or 0.
// It lies in the first 40 bytes, which are the Linux processes' part.
std::atomic<uint32_t> &lockWord(SharedLock &lock) { return *reinterpret_cast<std::atomic<uint32_t> *>(lock.bytes); }
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the lock word is shared between processes");

// Forks of this process so far, counted in each child.
std::atomic<uint32_t> g_forks{0};
const int g_forkWatch = ::pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1); });

// A number of the calling thread or process, asked of the system once per
// thread and again in a forked child, whose threads are new threads.
template <uint32_t (*Ask)()> uint32_t askedOncePerThread() {
    struct Kept {
        uint32_t forks = UINT32_MAX;
        uint32_t value = 0;
    };
    thread_local Kept kept;
    const uint32_t forks = g_forks.load(std::memory_order_relaxed);
    if (kept.forks != forks) {
        kept.value = Ask();
        kept.forks = forks;
    }
    return kept.value;
}

uint32_t askThread() { return static_cast<uint32_t>(::gettid()); }
uint32_t askProcess() { return static_cast<uint32_t>(::getpid()); }

uint32_t selfThread() { return askedOncePerThread<askThread>(); }

// Whether thread `id` (of any process) has ended: gone, or a zombie whose
// parent has not reaped it yet.
bool threadGone(uint32_t id) {
    const std::string name = "/proc/" + std::to_string(id) + "/stat";
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ESRCH;
    char text[512];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return false;
    text[n] = 0;
    // "pid (name) S ...": the name may hold anything, the state follows its last ')'.
    const char *close = std::strrchr(text, ')');
    if (close == nullptr || close[1] != ' ') return false;
    return close[2] == 'Z' || close[2] == 'X';
}

}  // namespace

Mapping::Mapping(const std::filesystem::path &file, size_t size, Open how) : size_(size) {
    int fd = ::open(file.c_str(), how == Open::Create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDWR | O_CLOEXEC, 0644);
    // A board on a read-only mount (or whose files this user may not write)
    // still serves those who only read it: they get a private copy of the
    // page, and whoever writes meets the refusal at the board's first real
    // write (the event log).
    bool privateCopy = false;
    const int refused = fd < 0 ? errno : 0;
    if (refused == EROFS || refused == EACCES) {
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) errno = refused;
        privateCopy = fd >= 0;
    }
    if (fd < 0) throw BoardError("cannot open " + file.string() + ": " + reason());
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const std::string why = reason();
        ::close(fd);
        throw BoardError("cannot open " + file.string() + ": " + why);
    }
    if (how == Open::Existing && static_cast<size_t>(st.st_size) != size) {
        ::close(fd);
        throw BoardError(file.string() + " is not the size it must be (" + std::to_string(size) + " bytes)");
    }
    if (privateCopy && static_cast<size_t>(st.st_size) < size) {
        ::close(fd);
        throw BoardError("cannot open " + file.string() + ": " + std::strerror(refused));
    }
    if (how == Open::Create && static_cast<size_t>(st.st_size) < size &&
        ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const std::string why = reason();
        ::close(fd);
        throw BoardError("cannot size " + file.string() + ": " + why);
    }
    void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, privateCopy ? MAP_PRIVATE : MAP_SHARED, fd, 0);
    const std::string why = reason();
    ::close(fd);
    if (p == MAP_FAILED) throw BoardError("cannot map " + file.string() + ": " + why);
    data_ = p;
}

Mapping::~Mapping() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

void appendAll(const std::filesystem::path &file, std::string_view bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw BoardError("cannot write " + file.string() + ": " + reason());
    // One write() to an O_APPEND file lands whole at the end.
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    const std::string why = n < 0 ? reason() : "only part of it was written (the disk is full)";
    ::close(fd);
    if (n != static_cast<ssize_t>(bytes.size())) throw BoardError("cannot write " + file.string() + ": " + why);
}

AppendFile::AppendFile(std::filesystem::path file) : file_(std::move(file)) {}

AppendFile::~AppendFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void AppendFile::append(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The open file is used while it is still the one under the name; once
    // that was removed or replaced, the name is opened (or made) afresh.
    struct stat st {};
    const bool same = handle_ >= 0 && ::stat(file_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == volume_ &&
                      static_cast<uint64_t>(st.st_ino) == id_;
    if (!same) {
        if (handle_ >= 0) ::close(static_cast<int>(handle_));
        handle_ = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (handle_ < 0) throw BoardError("cannot write " + file_.string() + ": " + reason());
        if (::fstat(static_cast<int>(handle_), &st) != 0) {
            const std::string why = reason();
            ::close(static_cast<int>(handle_));
            handle_ = -1;
            throw BoardError("cannot write " + file_.string() + ": " + why);
        }
        volume_ = static_cast<uint64_t>(st.st_dev);
        id_ = static_cast<uint64_t>(st.st_ino);
    }
    // One write() to an O_APPEND file lands whole at the end.
    const ssize_t n = ::write(static_cast<int>(handle_), bytes.data(), bytes.size());
    if (n != static_cast<ssize_t>(bytes.size()))
        throw BoardError("cannot write " + file_.string() + ": " +
                         (n < 0 ? reason() : "only part of it was written (the disk is full)"));
}

RecordFile::RecordFile(const std::filesystem::path &file)
    : handle_(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) {
    if (handle_ < 0) throw BoardError("cannot open " + file.string() + ": " + reason());
}

RecordFile::~RecordFile() { ::close(static_cast<int>(handle_)); }

bool RecordFile::writeAt(uint64_t offset, const void *data, size_t size) {
    const auto *bytes = static_cast<const char *>(data);
    while (size != 0) {
        const ssize_t n = ::pwrite(static_cast<int>(handle_), bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

void initSharedLock(SharedLock &lock) { std::memset(lock.bytes, 0, sizeof lock.bytes); }

// A spin lock, as on Windows: a bus access holds it for well under a
// microsecond, and a robust kernel mutex costs more than the access itself.
// A holder that died with it is found out by asking the system after a
// while of waiting; the state is as its last complete access left it.
void lockShared(SharedLock &lock) {
    std::atomic<uint32_t> &word = lockWord(lock);
    const uint32_t self = selfThread();
    uint32_t owner = 0;
    if (word.compare_exchange_strong(owner, self, std::memory_order_acquire, std::memory_order_relaxed)) return;
    for (unsigned tries = 1;; ++tries) {
        if (owner == self) throw BoardError("a lock of the board was taken twice by one thread");
        if (tries % 64 == 0) ::sched_yield();
        if (tries % 4096 == 0 && owner != 0 && threadGone(owner) &&
            word.compare_exchange_strong(owner, self, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        owner = word.load(std::memory_order_relaxed);
        if (owner == 0 && word.compare_exchange_weak(owner, self, std::memory_order_acquire, std::memory_order_relaxed))
            return;
    }
}

void unlockShared(SharedLock &lock) { lockWord(lock).store(0, std::memory_order_release); }

uint32_t processId() { return askedOncePerThread<askProcess>(); }

uint32_t forkCount() { return g_forks.load(std::memory_order_relaxed); }

FileLock::FileLock(const std::filesystem::path &file)
    : handle_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (handle_ < 0) throw BoardError("cannot open " + file.string() + ": " + reason());
    while (::flock(static_cast<int>(handle_), LOCK_EX) != 0) {
        if (errno != EINTR) {
            const std::string why = reason();
            ::close(static_cast<int>(handle_));
            throw BoardError("cannot lock " + file.string() + ": " + why);
        }
    }
}

FileLock::~FileLock() { ::close(static_cast<int>(handle_)); }  // closing drops the lock

namespace {
FileIdentity identityFrom(const struct stat &st) {
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        static_cast<uint64_t>(st.st_size),
                        static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}
}  // namespace

uint64_t changeMark(const std::filesystem::path &file) { return fileChangeMark(file); }

bool unchangedSince(const std::filesystem::path &file, uint64_t mark) { return fileUnchangedSince(file, mark); }

bool identityOf(const std::filesystem::path &name, FileIdentity &identity) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return false;
    identity = identityFrom(st);
    return true;
}

bool readWithIdentity(const std::filesystem::path &name, std::string &text, FileIdentity &identity) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    identity = identityFrom(st);
    text.clear();
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

void replaceFile(const std::filesystem::path &from, const std::filesystem::path &to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const std::string why = reason();
        ::unlink(from.c_str());
        throw BoardError("cannot replace " + to.string() + ": " + why);
    }
}

#ifdef __linux__
bool renameNoReplaceAt(int folder, const char *from, const char *to) {
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without that rename: a second name, then the first goes.
    if (::linkat(folder, from, folder, to, 0) != 0) return false;
    ::unlinkat(folder, from, 0);
    return true;
}

bool lockWhole(int fd) {
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return true;
}

void unlockWhole(int fd) { ::flock(fd, LOCK_UN); }

// Linking a descriptor straight needs a privilege older hosts ask for; its
// entry under /proc needs none.
bool linkUnnamed(int fd, int folder, const std::string &name) {
    if (::linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT && errno != EPERM) return false;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}
#endif

}  // namespace board::os

#endif
