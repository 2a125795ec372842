// The little the board needs of the operating system beyond standard C++:
// files mapped shared between processes, whole-line appends, a lock that
// processes take in turn, and the process's own number. One implementation
// per system (os_posix.cpp, os_windows.cpp), so the host's platform and the
// Windows build's desktop layer run the same board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
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

// Puts `from` in the place of `to` at once: a reader opens either the old or
// the new file. Throws BoardError on failure.
void replaceFile(const std::filesystem::path &from, const std::filesystem::path &to);

}  // namespace board::os
