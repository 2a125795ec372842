// The little the board needs of the operating system beyond standard C++:
// files mapped shared between processes, whole-line appends, a lock that
// processes take in turn, and the process's own number. One implementation
// per system (os_posix.cpp, os_windows.cpp), so the host's platform and the
// Windows build's desktop layer run the same board. The board's file system
// on Linux adds the calls at the end of this file.
#pragma once

#ifdef __linux__
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace board::os {

// A file mapped read-write and shared: every process that maps it sees the
// same bytes. Throws BoardError when the file cannot be mapped.
class Mapping {
  public:
    enum class Open {
        Existing,  // the file must exist and hold exactly `size` bytes
        Create,    // made if absent and grown (with zeros) to `size` bytes
    };
    Mapping(const std::filesystem::path &file, size_t size, Open how);
    ~Mapping();
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    void *data() const { return data_; }

  private:
    void *data_ = nullptr;
    size_t size_ = 0;
};

// Appends `bytes` to `file` (made if absent) in one write, so lines that
// several processes append never mix. Throws BoardError on failure.
void appendAll(const std::filesystem::path &file, std::string_view bytes);

// A file that lines are appended to as by appendAll, by any thread: each
// line lands whole at the end of the file then under the name, also when
// another process appends too, or the file was emptied, removed or replaced
// since the last line. (On Linux the file stays open between lines while it
// is still the one under the name; on Windows each line opens it, so that
// an open file never holds up its removal.)
class AppendFile {
  public:
    explicit AppendFile(std::filesystem::path file);
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;
    void append(std::string_view bytes);  // throws BoardError

  private:
    std::filesystem::path file_;
    std::mutex mutex_;
    intptr_t handle_ = -1;
    uint64_t volume_ = 0;  // the identity of the open file
    uint64_t id_ = 0;
};

// A file (made if absent) kept open for writing records at given offsets.
// Writing a batch again at the same place gives the same file, so a batch
// whose writer died before noting it down is simply written once more.
class RecordFile {
  public:
    explicit RecordFile(const std::filesystem::path &file);  // throws BoardError
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;
    bool writeAt(uint64_t offset, const void *data, size_t size);

  private:
    intptr_t handle_;
};

// A lock that lives in memory shared between processes (a Mapping): one
// holder at a time among all threads of all processes. A holder that dies
// with it leaves it to the next taker. The storage has the same size and
// place on every system, so a board folder made on one serves the other.
struct alignas(8) SharedLock {
    unsigned char bytes[48];
};
void initSharedLock(SharedLock &lock);  // once, before any process maps it
void lockShared(SharedLock &lock);      // throws BoardError if the lock is broken
void unlockShared(SharedLock &lock);

uint32_t processId();
// How many forks made this process from the one that started the program:
// what a process keeps of the system (descriptors it reads reports from,
// thread numbers) is its parent's while this has not changed since.
uint32_t forkCount();

// An exclusive lock on `file` (made if absent) among processes, held for the
// object's life. Throws BoardError when it cannot be taken.
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path &file);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

  private:
    intptr_t handle_;
};

// What tells one version of a file from another: replacing or rewriting the
// file changes it.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file = 0;
    uint64_t size = 0;
    int64_t modified = 0;
    bool operator==(const FileIdentity &) const = default;
};
// The identity of the file now under `name`; false when there is none.
bool identityOf(const std::filesystem::path &name, FileIdentity &identity);
// The whole text of a file and the identity of what was read, from one
// opening; false when the file cannot be opened.
bool readWithIdentity(const std::filesystem::path &name, std::string &text, FileIdentity &identity);

// Where the host reports changes to files (not every system or file system
// does): a mark of the version of `file` about to be read, 0 when no reports
// will come; and whether nothing has made, removed, renamed or written the
// file since the mark was taken. On a "false" the caller looks at the file.
uint64_t changeMark(const std::filesystem::path &file);
bool unchangedSince(const std::filesystem::path &file, uint64_t mark);

// Puts `from` in the place of `to` at once: a reader opens either the old or
// the new file. Throws BoardError on failure.
void replaceFile(const std::filesystem::path &from, const std::filesystem::path &to);

#ifdef __linux__
// --- The board's file system on Linux ------------------------------------
// filesystem.cpp and host_reports.cpp hand host descriptors and statuses to
// the host platform (board/filesystem.h) and are built on Linux alone: the
// Windows build has no board file system of its own (windows/CMakeLists.txt
// leaves them out), so these calls have no Windows side. They lie on the hot
// paths of AutoCopy and of the kept folder names, so they are inline: the
// same system calls as before, named here. host_reports.cpp keeps its own
// inotify and statfs calls: the host's change reports are its whole work,
// the Linux side of changeMark() and of the kept folder names, and nothing
// else in board/ asks for them.

// The status of `path`, links followed (status) or not (linkStatus); of
// `name` in the open folder `folder`; of an open file. False on failure.
inline bool status(const char *path, struct stat &st) { return ::stat(path, &st) == 0; }
inline bool linkStatus(const char *path, struct stat &st) { return ::lstat(path, &st) == 0; }
inline bool statusAt(int folder, const char *name, struct stat &st, bool followLinks) {
    return ::fstatat(folder, name, &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}
inline bool statusOf(int fd, struct stat &st) { return ::fstat(fd, &st) == 0; }

// Opens a host path only if no component of it is a link (or a magic link
// of /proc). -1 on failure.
inline int openWithoutLinks(const char *path, int flags) {
    struct open_how how = {};
    how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}
// A folder opened for reading and for calls relative to it; -1 on failure.
inline int openFolder(const char *path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }
// The open folder `folder` once more, with a reading position of its own.
inline int reopenFolder(int folder) { return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }
inline void closeFd(int fd) { ::close(fd); }

// Files made in an open folder, for a copy that nobody may see half made.
// A file without a name in `folder`, for writing; -1 (errno set) where the
// host cannot make one.
inline int openUnnamedFile(int folder, mode_t mode) {
    return ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}
// A new file `name` in `folder`, for writing; -1 with errno EEXIST if the
// name is taken.
inline int createFileAt(int folder, const char *name, mode_t mode) {
    return ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
}
inline bool removeAt(int folder, const char *name) { return ::unlinkat(folder, name, 0) == 0; }
// Puts `from` in the place of `to` in `folder` at once.
inline bool renameAt(int folder, const char *from, const char *to) { return ::renameat(folder, from, folder, to) == 0; }
// Gives the unnamed file open as `fd` the name `name` in `folder`, if that
// name is free (errno EEXIST if not).
bool linkUnnamed(int fd, int folder, const std::string &name);
// Puts `from` in the place of `to` in `folder` only if `to` is free (errno
// EEXIST if not).
bool renameNoReplaceAt(int folder, const char *from, const char *to);
// An exclusive lock on the open file or folder `fd` for as long as it is
// open (or until unlockWhole), against every other opening of it; waits.
// False when the host has no such locks there.
bool lockWhole(int fd);
void unlockWhole(int fd);

// The entries of a host folder as the system gives them, with their types
// (DT_REG, DT_DIR, DT_LNK, or DT_UNKNOWN) where it knows them: cheaper than a
// look at each one. Read straight from the folder's descriptor, without the
// extra calls of a directory stream.
class HostFolder {
  public:
    explicit HostFolder(const std::filesystem::path &dir) : fd_(openFolder(dir.c_str())) {}
    // Reads a folder already open, from where its descriptor stands, and
    // leaves the descriptor open.
    explicit HostFolder(int fd) : fd_(fd), owned_(false) {}
    ~HostFolder() {
        if (fd_ >= 0 && owned_) ::close(fd_);
    }
    HostFolder(const HostFolder &) = delete;
    HostFolder &operator=(const HostFolder &) = delete;

    // The next entry other than "." and ".."; false at the end.
    bool next(std::string &name, unsigned char &type) {
        while (fd_ >= 0) {
            if (pos_ >= len_) {
                if (!buf_)
                    buf_ = std::make_unique_for_overwrite<char[]>(kBufferSize);  // on the heap: small thread stacks
                const long n = ::syscall(SYS_getdents64, fd_, buf_.get(), kBufferSize);
                if (n <= 0) return false;
                len_ = static_cast<size_t>(n);
                pos_ = 0;
            }
            struct Record {
                uint64_t ino;
                int64_t off;
                unsigned short reclen;
                unsigned char type;
                char name[1];
            };
            const auto *e = reinterpret_cast<const Record *>(buf_.get() + pos_);
            pos_ += e->reclen;
            if (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0) continue;
            name = e->name;
            type = e->type;
            return true;
        }
        return false;
    }

  private:
    static constexpr size_t kBufferSize = 32 * 1024;
    int fd_;
    bool owned_ = true;
    std::unique_ptr<char[]> buf_;
    size_t len_ = 0;
    size_t pos_ = 0;
};
#endif  // __linux__

}  // namespace board::os
