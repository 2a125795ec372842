// The board's system layer on Linux.
#ifndef _WIN32

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "board/board.h"
#include "os.h"

namespace board::os {

namespace {

std::string reason() { return std::strerror(errno); }

pthread_mutex_t *posixMutex(SharedLock &lock) { return reinterpret_cast<pthread_mutex_t *>(lock.bytes); }
static_assert(sizeof(pthread_mutex_t) <= 40 && alignof(pthread_mutex_t) <= 8,
              "the bus lock's first 40 bytes hold the POSIX mutex");

}  // namespace

Mapping::Mapping(const std::filesystem::path &file, size_t size, Open how) : size_(size) {
    const int fd = ::open(file.c_str(), how == Open::Create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDWR | O_CLOEXEC, 0644);
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
    if (how == Open::Create && static_cast<size_t>(st.st_size) < size &&
        ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const std::string why = reason();
        ::close(fd);
        throw BoardError("cannot size " + file.string() + ": " + why);
    }
    void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
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
    ::close(fd);
    if (n != static_cast<ssize_t>(bytes.size())) throw BoardError("cannot write " + file.string());
}

Appender::Appender(const std::filesystem::path &file)
    : handle_(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
    if (handle_ < 0) throw BoardError("cannot open " + file.string() + ": " + reason());
}

Appender::~Appender() { ::close(static_cast<int>(handle_)); }

bool Appender::write(const void *data, size_t size) {
    return ::write(static_cast<int>(handle_), data, size) == static_cast<ssize_t>(size);
}

void initSharedLock(SharedLock &lock) {
    std::memset(lock.bytes, 0, sizeof lock.bytes);
    pthread_mutexattr_t attr;
    ::pthread_mutexattr_init(&attr);
    ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    ::pthread_mutex_init(posixMutex(lock), &attr);
    ::pthread_mutexattr_destroy(&attr);
}

void lockShared(SharedLock &lock) {
    const int rc = ::pthread_mutex_lock(posixMutex(lock));
    if (rc == EOWNERDEAD) {
        ::pthread_mutex_consistent(posixMutex(lock));
    } else if (rc != 0) {
        throw BoardError(std::string("cannot take a lock of the board: ") + std::strerror(rc));
    }
}

void unlockShared(SharedLock &lock) { ::pthread_mutex_unlock(posixMutex(lock)); }

uint32_t processId() { return static_cast<uint32_t>(::getpid()); }

FileLock::FileLock(const std::filesystem::path &file) : handle_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
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

}  // namespace board::os

#endif
