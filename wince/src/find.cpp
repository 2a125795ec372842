// Enumeration of board folders: FindFirstFileW / FindNextFileW / FindClose.
// A pattern is a folder and a last name with "*" and "?", matched without
// regard to case. "." and ".." are never reported, nor names a board path
// cannot spell or that do not fit the record's name field.
#include <sys/stat.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "files_internal.h"
#include "handles.h"
#include "wince/host.h"

namespace wince {
namespace {

class FindObject : public KernelObject {
  public:
    FindObject(std::string folder, std::vector<board::BoardEntry> entries)
        : folder_(std::move(folder)), entries_(std::move(entries)), times_(currentBoard()) {}

    // Fills the record with the next entry that still exists; false at the end.
    bool next(WIN32_FIND_DATAW *data) {
        while (next_ < entries_.size()) {
            const auto &entry = entries_[next_++];
            if (fill(entry, data)) return true;
        }
        return false;
    }

  private:
    bool fill(const board::BoardEntry &entry, WIN32_FIND_DATAW *data) const {
        struct stat st = {};
        if (!board::statBoardEntry(entry, st)) return false;  // gone since the listing
        const std::u16string name = toUtf16(entry.name);
        std::memset(data, 0, sizeof *data);
        data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if (!(st.st_mode & S_IWUSR)) data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
        const uint64_t written = board::fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        const std::string path = folder_ + "\\" + entry.name;
        data->ftCreationTime = toFileTime(times_.find(path).value_or(written));
        data->ftLastAccessTime = toFileTime(board::fileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec));
        data->ftLastWriteTime = toFileTime(written);
        if (!S_ISDIR(st.st_mode)) {
            data->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
            data->nFileSizeLow = static_cast<DWORD>(st.st_size);
        }
        std::memcpy(data->cFileName, name.data(), name.size() * sizeof(WCHAR));
        data->cFileName[name.size()] = 0;
        return true;
    }

    std::string folder_;
    std::vector<board::BoardEntry> entries_;
    board::KeptCreationTimes times_;  // as they were when the enumeration began
    size_t next_ = 0;
};

// A name the record can carry and a board path can spell back.
bool reportable(const std::string &name) {
    const std::u16string wide = toUtf16(name);
    return wide.size() < MAX_PATH && toUtf8(wide) == name;
}

}  // namespace
}  // namespace wince

using wince::fail;

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    const auto path = wince::boardPathArg(lpFileName);
    if (!path) return INVALID_HANDLE_VALUE;
    if (lpFindFileData == nullptr) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    const size_t cut = path->find_last_of("\\/");
    // The folder as spelled: an exact spelling wins over other cases on the host.
    const std::string folder = cut == std::string::npos || cut == 0 ? "\\" : path->substr(0, cut);
    const std::string pattern = cut == std::string::npos ? *path : path->substr(cut + 1);
    if (pattern.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);

    auto &board = wince::currentBoard();
    auto listing = board::listBoardFolder(board, folder);
    if (!listing) {
        const auto lookup = board::lookupBoardPath(board, folder);
        const DWORD error = lookup.status == board::PathStatus::Found ? ERROR_PATH_NOT_FOUND  // not a folder
                                                                      : wince::lookupError(lookup.status);
        return fail(error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error, INVALID_HANDLE_VALUE);
    }
    std::vector<board::BoardEntry> matches;
    for (auto &entry : *listing)
        if (board::nameMatches(entry.name, pattern) && wince::reportable(entry.name))
            matches.push_back(std::move(entry));

    auto find = std::make_shared<wince::FindObject>(folder, std::move(matches));
    if (!find->next(lpFindFileData)) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    return wince::newHandle(find);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    auto find = wince::objectAs<wince::FindObject>(hFindFile);
    if (!find) return FALSE;
    if (lpFindFileData == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!find->next(lpFindFileData)) return fail(ERROR_NO_MORE_FILES, FALSE);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    if (!wince::objectAs<wince::FindObject>(hFindFile)) return FALSE;
    return wince::closeHandle(hFindFile) ? TRUE : FALSE;
}
