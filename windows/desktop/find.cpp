// Folder enumeration with the board's meaning: "." and ".." are never
// reported (a walk that took ".." for a subfolder would climb out of the
// tree it was given).
#include <windows.h>

#include "ce_desktop.h"

#undef FindFirstFileW
#undef FindNextFileW

namespace {

bool isDotEntry(const WIN32_FIND_DATAW &data) {
    const WCHAR *name = data.cFileName;
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

}  // namespace

BOOL WINAPI CeFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
    for (;;) {
        if (!FindNextFileW(find, data)) return FALSE;
        if (!isDotEntry(*data)) return TRUE;
    }
}

HANDLE WINAPI CeFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    HANDLE find = FindFirstFileW(pattern, data);
    if (find == INVALID_HANDLE_VALUE || !isDotEntry(*data)) return find;
    if (CeFindNextFileW(find, data)) return find;
    // Nothing but dot entries: as on the board, the pattern matched nothing.
    FindClose(find);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}
