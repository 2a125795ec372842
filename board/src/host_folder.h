// Reading a host folder's entries straight from its descriptor.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace board {

// Opens a host path only if no component of it is a link (or a magic link
// of /proc).
inline int openWithoutLinks(const char *path, int flags) {
    struct open_how how = {};
    how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

// The entries of a host folder as the system gives them, with their types
// where it knows them: cheaper than a look at each one. Read straight from
// the folder's descriptor, without the extra calls of a directory stream.
class HostFolder {
  public:
    explicit HostFolder(const std::filesystem::path &dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
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

}  // namespace board
