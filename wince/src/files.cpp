// Files of the board's file system: open, read, write, seek, size, times,
// attributes, delete, folders and copies. Paths go through the board's file
// system (case-blind names, mounted volumes, no way out of the board); a
// file handle holds a host file descriptor.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "files_internal.h"
#include "handles.h"
#include "wince/host.h"

namespace wince {

std::optional<std::string> boardPathArg(LPCWSTR path) {
    if (path == nullptr) return fail(ERROR_INVALID_PARAMETER, std::nullopt);
    const std::u16string text(path);
    if (text.size() >= MAX_PATH) return fail(ERROR_FILENAME_EXCED_RANGE, std::nullopt);
    return toUtf8(text);
}

DWORD lookupError(board::PathStatus status) {
    switch (status) {
    case board::PathStatus::Missing:
        return ERROR_FILE_NOT_FOUND;
    case board::PathStatus::FolderNotFound:
        return ERROR_PATH_NOT_FOUND;
    case board::PathStatus::Invalid:
        return kErrorInvalidName;
    case board::PathStatus::Found:
        break;
    }
    return ERROR_SUCCESS;
}

DWORD errorFromErrno(int err) {
    switch (err) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
        return kErrorDiskFull;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EIO:
        return ERROR_WRITE_FAULT;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

FILETIME toFileTime(uint64_t value) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

namespace {

// Who has which file open, for the share modes: the platform refuses an
// open whose access another open does not share, or whose share mode does
// not allow another open's access, whichever program of the board made the
// other open. Each open marks what it does and what it does not share with
// shared locks on bytes far past any end of a file: locks of the open file
// description, which belong to the open itself (not to a process or a
// thread), and go with it when it is closed or its program ends. The look
// at the others' marks and the making of its own are one step under an
// exclusive lock on the file that the claims alone take.
enum ShareMark { kOpened, kReading, kWriting, kSharesNoReading, kSharesNoWriting };
constexpr off_t kShareMarks = static_cast<off_t>(1) << 62;

struct flock shareMark(ShareMark which, short type) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = kShareMarks + which;
    fl.l_len = 1;
    return fl;
}

// Whether an open other than `fd`'s own holds the mark.
bool markedByAnother(int fd, ShareMark which) {
    struct flock fl = shareMark(which, F_WRLCK);
    return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

// The file open as `fd` opened once more for its marks alone (the marks are
// shared locks, which need a descriptor that reads); -1 where it cannot be.
int openForMarks(int fd) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// An open registered for its share mode, until destroyed.
class OpenClaim {
  public:
    OpenClaim() = default;
    OpenClaim(const OpenClaim &) = delete;
    OpenClaim &operator=(const OpenClaim &) = delete;
    ~OpenClaim() { release(); }

    // `fd`: the file, open in any mode. False (error set) when another open
    // is in the way. A file the host does not let the board read is left
    // to the host's own rules.
    bool claim(int fd, DWORD access, DWORD share) {
        release();
        // A descriptor that reads carries the marks itself (they go when it
        // is closed); one that only writes needs a reading one beside it.
        const int mode = ::fcntl(fd, F_GETFL);
        borrowed_ = mode >= 0 && (mode & O_ACCMODE) != O_WRONLY;
        marks_ = borrowed_ ? fd : openForMarks(fd);
        if (marks_ < 0) return true;
        while (::flock(marks_, LOCK_EX) != 0) {
            if (errno != EINTR) break;
        }
        const bool inTheWay = ((access & GENERIC_READ) && markedByAnother(marks_, kSharesNoReading)) ||
                              ((access & GENERIC_WRITE) && markedByAnother(marks_, kSharesNoWriting)) ||
                              (!(share & FILE_SHARE_READ) && markedByAnother(marks_, kReading)) ||
                              (!(share & FILE_SHARE_WRITE) && markedByAnother(marks_, kWriting));
        if (!inTheWay) {
            mark(kOpened);
            if (access & GENERIC_READ) mark(kReading);
            if (access & GENERIC_WRITE) mark(kWriting);
            if (!(share & FILE_SHARE_READ)) mark(kSharesNoReading);
            if (!(share & FILE_SHARE_WRITE)) mark(kSharesNoWriting);
        }
        ::flock(marks_, LOCK_UN);
        if (inTheWay) {
            release();
            return fail(ERROR_SHARING_VIOLATION, false);
        }
        return true;
    }
    void release() {
        if (marks_ >= 0 && borrowed_) {
            struct flock fl = shareMark(kOpened, F_UNLCK);
            fl.l_len = kSharesNoWriting + 1;
            ::fcntl(marks_, F_OFD_SETLK, &fl);
        } else if (marks_ >= 0) {
            ::close(marks_);  // its marks go with it
        }
        marks_ = -1;
    }

  private:
    void mark(ShareMark which) {
        struct flock fl = shareMark(which, F_RDLCK);
        ::fcntl(marks_, F_OFD_SETLK, &fl);
    }
    int marks_ = -1;
    bool borrowed_ = false;  // the file's own descriptor, closed by its owner
};

// Whether any program of the board has the file open as `fd` open.
bool isOpen(int fd) {
    const int marks = openForMarks(fd);
    if (marks < 0) return false;
    const bool open = markedByAnother(marks, kOpened);
    ::close(marks);
    return open;
}

// A host file descriptor, closed with its owner.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd &operator=(Fd &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

class FileObject : public KernelObject {
  public:
    FileObject(int fd, DWORD access, std::string boardPath) : fd_(fd), access_(access), path_(std::move(boardPath)) {}
    int fd() const { return fd_.get(); }
    DWORD access() const { return access_; }
    const std::string &boardPath() const { return path_; }
    OpenClaim &claim() { return claim_; }

  private:
    Fd fd_;
    DWORD access_;
    std::string path_;
    OpenClaim claim_;
};

int openFlags(DWORD access) {
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) return O_RDWR;
    if (access & GENERIC_WRITE) return O_WRONLY;
    return O_RDONLY;
}

// Opens a regular file, and nothing else: a FIFO or a device that came in
// under the name since the look-up would block the open or never end a
// read. Anything not a regular file fails with EISDIR (a folder) or EACCES.
// The descriptor stays non-blocking, which means nothing for a regular file.
int openRegular(const std::filesystem::path &host, int flags, mode_t mode, struct stat &st) {
    const int fd = ::open(host.c_str(), flags | O_NONBLOCK, mode);
    if (fd < 0) return -1;
    int err = 0;
    if (::fstat(fd, &st) != 0) err = errno;
    else if (!S_ISREG(st.st_mode)) err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Whole-buffer read and write that ride over interrupted calls.
ssize_t readAll(int fd, void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd, static_cast<char *>(buf) + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

ssize_t writeAll(int fd, const void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, static_cast<const char *>(buf) + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(done);
}

// Copies the bytes of one open file into another; the kernel does it where
// it can. `size` is the source's size when it was opened: once that much is
// across, the copy is whole without a last call to find the end.
bool copyBytes(int from, int to, off_t size) {
    off_t done = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (n > 0) {
            done += n;
            if (size > 0 && done >= size) return true;
            continue;
        }
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
        break;  // not across these file systems: copy by hand
    }
    // On the heap: a program's thread may have a small stack.
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t r = readAll(from, buf.data(), buf.size());
        if (r < 0) return false;
        if (r == 0) return true;
        if (writeAll(to, buf.data(), static_cast<size_t>(r)) != r) return false;
    }
}

}  // namespace
}  // namespace wince

using wince::fail;

namespace wince {
namespace {

// CreateFileW, made again from the look-up on when another program made
// the name in another spelling meanwhile (at most `tries` times).
HANDLE createFile(const std::string &path, DWORD access, DWORD share, DWORD disposition, int tries) {
    auto &board = currentBoard();
    const auto lookup = board::lookupBoardPath(board, path);
    const bool exists = lookup.status == board::PathStatus::Found;
    if (!exists && lookup.status != board::PathStatus::Missing)
        return fail(lookupError(lookup.status), INVALID_HANDLE_VALUE);

    int flags = openFlags(access) | O_CLOEXEC | O_NOFOLLOW;
    bool truncate = false;
    if (exists) {
        if (disposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        // The running image's files are read-only.
        if (lookup.inImage && (truncate || (access & GENERIC_WRITE)))
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        // Truncation needs a writable descriptor even for a read-only handle;
        // the handle's own access still governs what the program may do.
        if (truncate) flags = (flags & ~(O_RDONLY | O_WRONLY | O_RDWR)) | O_RDWR;
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        flags |= O_CREAT | O_EXCL;
    }
    struct stat st = {};
    int fd = -1;
    if (exists) {
        fd = openRegular(lookup.host, flags, 0644, st);
    } else {
        // A new name: looked for in every spelling and made in one step.
        Fd folder(::open(lookup.host.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.ok()) return fail(errorFromErrno(errno), INVALID_HANDLE_VALUE);
        board::NameMaking making(folder.get());
        if (making.held(lookup.host.filename().string())) {
            if (tries <= 1) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
            return createFile(path, access, share, disposition, tries - 1);
        }
        fd = openRegular(lookup.host, flags, 0644, st);
    }
    if (fd < 0) return fail(errno == ELOOP ? ERROR_ACCESS_DENIED : errorFromErrno(errno), INVALID_HANDLE_VALUE);
    auto file = std::make_shared<FileObject>(fd, access, path);
    // A file the board shows as read-only is not written, whoever the host
    // lets write it.
    if (exists && (access & GENERIC_WRITE || truncate) && !(st.st_mode & S_IWUSR))
        return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (!file->claim().claim(fd, access, share)) return INVALID_HANDLE_VALUE;
    if (truncate && ::ftruncate(fd, 0) != 0) return fail(errorFromErrno(errno), INVALID_HANDLE_VALUE);
    if (!exists) board::forgetCreationTime(board, path);  // a new file: its time is its own
    const bool alreadyExisted = exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    HANDLE h = newHandle(file);
    SetLastError(alreadyExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

}  // namespace
}  // namespace wince

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE) {
    const auto path = wince::boardPathArg(lpFileName);
    if (!path) return INVALID_HANDLE_VALUE;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (dwCreationDisposition == TRUNCATE_EXISTING && !(dwDesiredAccess & GENERIC_WRITE))
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    return wince::createFile(*path, dwDesiredAccess, dwShareMode, dwCreationDisposition, 3);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    auto file = wince::objectAs<wince::FileObject>(hFile);
    if (!file) return FALSE;
    if (!(file->access() & GENERIC_READ)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    const ssize_t n = wince::readAll(file->fd(), lpBuffer, nNumberOfBytesToRead);
    if (n < 0) return fail(wince::errorFromErrno(errno), FALSE);
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED) {
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    auto file = wince::objectAs<wince::FileObject>(hFile);
    if (!file) return FALSE;
    if (!(file->access() & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    const ssize_t n = wince::writeAll(file->fd(), lpBuffer, nNumberOfBytesToWrite);
    if (n < 0) return fail(wince::errorFromErrno(errno), FALSE);
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = static_cast<DWORD>(n);
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    auto file = wince::objectAs<wince::FileObject>(hFile);
    if (!file) return INVALID_SET_FILE_POINTER;
    int whence = SEEK_SET;
    switch (dwMoveMethod) {
    case FILE_BEGIN:
        whence = SEEK_SET;
        break;
    case FILE_CURRENT:
        whence = SEEK_CUR;
        break;
    case FILE_END:
        whence = SEEK_END;
        break;
    default:
        return fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    // Without a high part the distance is a signed 32-bit value.
    int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh != nullptr) {
        const uint64_t high = static_cast<uint32_t>(*lpDistanceToMoveHigh);
        distance = static_cast<int64_t>((high << 32) | static_cast<uint32_t>(lDistanceToMove));
    }
    const off_t base = whence == SEEK_SET ? 0 : ::lseek(file->fd(), 0, whence);
    if (base < 0) return fail(wince::errorFromErrno(errno), INVALID_SET_FILE_POINTER);
    if (distance < 0 && -distance > base) return fail(wince::kErrorNegativeSeek, INVALID_SET_FILE_POINTER);
    const off_t pos = ::lseek(file->fd(), base + distance, SEEK_SET);
    if (pos < 0) return fail(wince::errorFromErrno(errno), INVALID_SET_FILE_POINTER);
    if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
    SetLastError(ERROR_SUCCESS);  // a low part of 0xFFFFFFFF is then not a failure
    return static_cast<DWORD>(pos);
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto file = wince::objectAs<wince::FileObject>(hFile);
    if (!file) return INVALID_FILE_SIZE;
    struct stat st = {};
    if (::fstat(file->fd(), &st) != 0) return fail(wince::errorFromErrno(errno), INVALID_FILE_SIZE);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                        LPFILETIME lpLastWriteTime) {
    auto file = wince::objectAs<wince::FileObject>(hFile);
    if (!file) return FALSE;
    struct stat st = {};
    if (::fstat(file->fd(), &st) != 0) return fail(wince::errorFromErrno(errno), FALSE);
    const uint64_t written = board::fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    if (lpCreationTime != nullptr) {
        const auto kept = board::keptCreationTime(wince::currentBoard(), file->boardPath());
        *lpCreationTime = wince::toFileTime(kept.value_or(written));
    }
    if (lpLastAccessTime != nullptr)
        *lpLastAccessTime = wince::toFileTime(board::fileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec));
    if (lpLastWriteTime != nullptr) *lpLastWriteTime = wince::toFileTime(written);
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    const auto path = wince::boardPathArg(lpFileName);
    if (!path) return INVALID_FILE_ATTRIBUTES;
    const auto lookup = board::lookupBoardPath(wince::currentBoard(), *path);
    if (lookup.status != board::PathStatus::Found)
        return fail(wince::lookupError(lookup.status), INVALID_FILE_ATTRIBUTES);
    struct stat st = {};
    if (::stat(lookup.host.c_str(), &st) != 0) return fail(wince::errorFromErrno(errno), INVALID_FILE_ATTRIBUTES);
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    const auto path = wince::boardPathArg(lpFileName);
    if (!path) return FALSE;
    auto &board = wince::currentBoard();
    const auto lookup = board::lookupBoardPath(board, *path);
    if (lookup.status != board::PathStatus::Found) return fail(wince::lookupError(lookup.status), FALSE);
    struct stat st = {};
    if (::stat(lookup.host.c_str(), &st) != 0) return fail(wince::errorFromErrno(errno), FALSE);
    if (S_ISDIR(st.st_mode) || lookup.inImage) return fail(ERROR_ACCESS_DENIED, FALSE);
    {
        struct stat opened = {};
        wince::Fd file(wince::openRegular(lookup.host, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0, opened));
        if (file.ok() && wince::isOpen(file.get())) return fail(ERROR_SHARING_VIOLATION, FALSE);
    }
    if (::unlink(lookup.host.c_str()) != 0) return fail(wince::errorFromErrno(errno), FALSE);
    board::forgetCreationTime(board, *path);
    return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    const auto path = wince::boardPathArg(lpPathName);
    if (!path) return FALSE;
    const auto lookup = board::lookupBoardPath(wince::currentBoard(), *path);
    if (lookup.status == board::PathStatus::Found) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (lookup.status != board::PathStatus::Missing) return fail(wince::lookupError(lookup.status), FALSE);
    wince::Fd folder(::open(lookup.host.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.ok()) return fail(wince::errorFromErrno(errno), FALSE);
    board::NameMaking making(folder.get());
    if (making.held(lookup.host.filename().string())) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (::mkdirat(folder.get(), lookup.host.filename().c_str(), 0755) != 0)
        return fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : wince::errorFromErrno(errno), FALSE);
    return TRUE;
}

BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    const auto from = wince::boardPathArg(lpExistingFileName);
    if (!from) return FALSE;
    const auto to = wince::boardPathArg(lpNewFileName);
    if (!to) return FALSE;
    auto &board = wince::currentBoard();
    // One look at what the host reported serves the whole copy.
    board::ReportsTakenOnce once;

    // The quick ways first (every name spelled as the host holds it, no
    // link); the full look-ups decide everything else.
    struct stat srcSt = {};
    wince::Fd in(board::openPlainFile(board, *from, O_RDONLY | O_CLOEXEC, srcSt));
    if (!in.ok()) {
        const auto src = board::lookupBoardPath(board, *from);
        if (src.status != board::PathStatus::Found) return fail(wince::lookupError(src.status), FALSE);
        wince::Fd opened(wince::openRegular(src.host, O_RDONLY | O_CLOEXEC, 0, srcSt));
        if (!opened.ok()) return fail(wince::errorFromErrno(errno), FALSE);
        in = std::move(opened);
    }
    wince::OpenClaim readClaim;
    if (!readClaim.claim(in.get(), GENERIC_READ, FILE_SHARE_READ)) return FALSE;

    // The destination's folder must exist: a copy makes no folders. The
    // copy is made in it under a name of its own, by calls relative to it.
    board::PlainLeaf dst;
    if (auto plain = board::openPlainLeaf(board, *to)) {
        dst = std::move(*plain);
    } else {
        const auto lookup = board::lookupBoardPath(board, *to);
        if (lookup.status != board::PathStatus::Found && lookup.status != board::PathStatus::Missing)
            return fail(wince::lookupError(lookup.status), FALSE);
        dst.folderHost = lookup.host.parent_path().native();
        dst.name = lookup.host.filename().string();
        dst.folder =
            std::make_shared<const board::HostFd>(::open(dst.folderHost.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dst.folder->get() < 0) return fail(wince::errorFromErrno(errno), FALSE);
        dst.exists = lookup.status == board::PathStatus::Found;
        // Found through a link: the status of the file it leads to.
        if (dst.exists && ::stat(lookup.host.c_str(), &dst.st) != 0) return fail(wince::errorFromErrno(errno), FALSE);
    }
    const int folder = dst.folder->get();
    // What refuses the copy at once; looked at again below, when it counts.
    if (dst.exists) {
        if (bFailIfExists) return fail(ERROR_FILE_EXISTS, FALSE);
        if (S_ISDIR(dst.st.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
        // A file copied onto itself would be emptied.
        if (dst.st.st_dev == srcSt.st_dev && dst.st.st_ino == srcSt.st_ino) return fail(ERROR_SHARING_VIOLATION, FALSE);
        if (!(dst.st.st_mode & S_IWUSR)) return fail(ERROR_ACCESS_DENIED, FALSE);  // read-only
    }

    // The copy is made beside the destination and then put in its place, so
    // a failed copy leaves the old file (or none) rather than half a file.
    board::HalfMadeFile out(folder, srcSt.st_mode & 0777, !dst.exists);
    if (out.fd() < 0) return fail(wince::errorFromErrno(errno), FALSE);
    if (!wince::copyBytes(in.get(), out.fd(), srcSt.st_size)) return fail(wince::errorFromErrno(errno), FALSE);
    // The copy keeps the source's last-write time, as the platform's does.
    const struct timespec times[2] = {srcSt.st_atim, srcSt.st_mtim};
    ::futimens(out.fd(), times);

    // What the folder holds under the name now, in any spelling, and the
    // putting in place: one step for every program of the board.
    board::NameMaking making(folder);
    const auto held = making.held(dst.name);
    wince::Fd old;  // the file replaced, open for its claim until then
    wince::OpenClaim writeClaim;
    std::string name = dst.name;
    if (held) {
        if (bFailIfExists) return fail(ERROR_FILE_EXISTS, FALSE);
        struct stat st = held->st;
        // A link is the file it leads to, if the board showed it as one.
        if (S_ISLNK(st.st_mode) && (!dst.exists || ::fstatat(folder, held->name.c_str(), &st, 0) != 0))
            return fail(ERROR_ACCESS_DENIED, FALSE);
        // A folder is not replaced, nor what the board does not show (a
        // FIFO, a device, a socket), nor a read-only file.
        if (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR)) return fail(ERROR_ACCESS_DENIED, FALSE);
        if (st.st_dev == srcSt.st_dev && st.st_ino == srcSt.st_ino) return fail(ERROR_SHARING_VIOLATION, FALSE);
        // Nobody may have it open in a way that does not share writing,
        // nor open it so until it is replaced.
        struct stat opened = {};
        old = wince::Fd(::openat(folder, held->name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!old.ok() || ::fstat(old.get(), &opened) != 0 || opened.st_ino != st.st_ino)
            return fail(ERROR_SHARING_VIOLATION, FALSE);  // changing under the copy
        if (!writeClaim.claim(old.get(), GENERIC_WRITE, 0)) return FALSE;
        name = held->name;
    }
    if (!out.putInPlace(name, held.has_value())) return fail(wince::errorFromErrno(errno), FALSE);
    board::forgetCreationTime(board, *to);
    return TRUE;
}
