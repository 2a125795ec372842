// The board's system layer on Windows (the Windows build's desktop layer).
#ifdef _WIN32

#include <windows.h>

#include <cstring>
#include <string>

#include "board/board.h"
#include "os.h"

namespace board::os {

namespace {

std::string reason() { return "error " + std::to_string(GetLastError()); }

// The Windows processes' lock word: the number of the process holding it,
// or 0. It lies after the part a Linux process's mutex takes.
volatile LONG *lockWord(SharedLock &lock) { return reinterpret_cast<volatile LONG *>(lock.bytes + 40); }

bool processGone(DWORD id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    const bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
}

}  // namespace

Mapping::Mapping(const std::filesystem::path &file, size_t size, Open how) : size_(size) {
    HANDLE handle =
        CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, how == Open::Create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw BoardError("cannot open " + file.string() + ": " + reason());
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(handle, &length)) {
        const std::string why = reason();
        CloseHandle(handle);
        throw BoardError("cannot open " + file.string() + ": " + why);
    }
    if (how == Open::Existing && static_cast<uint64_t>(length.QuadPart) != size) {
        CloseHandle(handle);
        throw BoardError(file.string() + " is not the size it must be (" + std::to_string(size) + " bytes)");
    }
    // A section larger than the file grows the file, with zeros.
    const uint64_t sectionSize = size;
    HANDLE section = CreateFileMappingW(handle, nullptr, PAGE_READWRITE, static_cast<DWORD>(sectionSize >> 32),
                                        static_cast<DWORD>(sectionSize), nullptr);
    const std::string why = reason();
    CloseHandle(handle);
    if (section == nullptr) throw BoardError("cannot map " + file.string() + ": " + why);
    data_ = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, size);
    const std::string viewWhy = reason();
    CloseHandle(section);  // the view keeps the section
    if (data_ == nullptr) throw BoardError("cannot map " + file.string() + ": " + viewWhy);
}

Mapping::~Mapping() {
    if (data_ != nullptr) UnmapViewOfFile(data_);
}

void appendAll(const std::filesystem::path &file, std::string_view bytes) {
    HANDLE handle = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw BoardError("cannot write " + file.string() + ": " + reason());
    // Append-only access writes each call whole at the end.
    DWORD written = 0;
    const BOOL ok = WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(handle);
    if (!ok || written != bytes.size()) throw BoardError("cannot write " + file.string());
}

AppendFile::AppendFile(std::filesystem::path file) : file_(std::move(file)) {}

AppendFile::~AppendFile() = default;

void AppendFile::append(std::string_view bytes) { appendAll(file_, bytes); }

RecordFile::RecordFile(const std::filesystem::path &file)
    : handle_(reinterpret_cast<intptr_t>(CreateFileW(file.c_str(), GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))) {
    if (reinterpret_cast<HANDLE>(handle_) == INVALID_HANDLE_VALUE)
        throw BoardError("cannot open " + file.string() + ": " + reason());
}

RecordFile::~RecordFile() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

bool RecordFile::writeAt(uint64_t offset, const void *data, size_t size) {
    const auto *bytes = static_cast<const char *>(data);
    while (size != 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), bytes, chunk, &written, &at) || written == 0) return false;
        bytes += written;
        size -= written;
        offset += written;
    }
    return true;
}

void initSharedLock(SharedLock &lock) { std::memset(lock.bytes, 0, sizeof lock.bytes); }

// A spin lock: a bus access holds it for well under a microsecond, and a
// kernel object would cost more than the access itself.
void lockShared(SharedLock &lock) {
    volatile LONG *word = lockWord(lock);
    const LONG self = static_cast<LONG>(GetCurrentProcessId());
    for (unsigned tries = 1;; ++tries) {
        const LONG owner = InterlockedCompareExchange(word, self, 0);
        if (owner == 0) return;
        if (tries % 64 == 0) SwitchToThread();
        // Now and then ask whether the holder still lives; a process that
        // died holding the lock left the state as its last access made it.
        if (tries % 65536 == 0 && owner != self && processGone(static_cast<DWORD>(owner)) &&
            InterlockedCompareExchange(word, self, owner) == owner)
            return;
    }
}

void unlockShared(SharedLock &lock) { InterlockedExchange(lockWord(lock), 0); }

uint32_t processId() { return GetCurrentProcessId(); }

uint32_t forkCount() { return 0; }  // no fork here

FileLock::FileLock(const std::filesystem::path &file)
    : handle_(reinterpret_cast<intptr_t>(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))) {
    HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    if (handle == INVALID_HANDLE_VALUE) throw BoardError("cannot open " + file.string() + ": " + reason());
    OVERLAPPED whole{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        const std::string why = reason();
        CloseHandle(handle);
        throw BoardError("cannot lock " + file.string() + ": " + why);
    }
}

FileLock::~FileLock() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }  // closing drops the lock

namespace {
bool identityFrom(HANDLE handle, FileIdentity &identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    identity =
        FileIdentity{info.dwVolumeSerialNumber, static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow,
                     static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow,
                     static_cast<int64_t>(static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                                          info.ftLastWriteTime.dwLowDateTime)};
    return true;
}

HANDLE openToRead(const std::filesystem::path &name, DWORD access) {
    return CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

// The board does not take the host's reports here: every read looks.
uint64_t changeMark(const std::filesystem::path &) { return 0; }

bool unchangedSince(const std::filesystem::path &, uint64_t) { return false; }

bool identityOf(const std::filesystem::path &name, FileIdentity &identity) {
    HANDLE handle = openToRead(name, FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool ok = identityFrom(handle, identity);
    CloseHandle(handle);
    return ok;
}

bool readWithIdentity(const std::filesystem::path &name, std::string &text, FileIdentity &identity) {
    HANDLE handle = openToRead(name, GENERIC_READ);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool ok = identityFrom(handle, identity);
    text.clear();
    char buf[8192];
    DWORD n = 0;
    while (ok && ReadFile(handle, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
    CloseHandle(handle);
    return ok;
}

void replaceFile(const std::filesystem::path &from, const std::filesystem::path &to) {
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const std::string why = reason();
        DeleteFileW(from.c_str());
        throw BoardError("cannot replace " + to.string() + ": " + why);
    }
}

}  // namespace board::os

#endif
