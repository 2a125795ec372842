// The little the board needs of the operating system beyond standard C++:
// files mapped shared between processes, whole-line appends, a lock that
// processes take in turn, and the process's own number. One implementation
// per system (os_posix.cpp, os_windows.cpp), so the host's platform and the
// Windows build's desktop layer run the same board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
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

}  // namespace board::os
