// AutoCopy and AutoRun: what the agent does with a mounted volume. Every
// failure is silent and only skips the item concerned.
#include <windows.h>

#include "autorun.h"

// Bytes of a shortcut file that are read.
#define SHORTCUT_BYTES 255

// Formats one path into a buffer of MAX_PATH characters. Returns its length,
// or -1 when it would not fit: such a path is skipped, never cut short into
// the name of some other file.
static int FormatPath(LPWSTR pszPath, LPCWSTR pszFormat, LPCWSTR pszFirst, LPCWSTR pszSecond)
{
    int cch = _snwprintf(pszPath, MAX_PATH, pszFormat, pszFirst, pszSecond);

    if (cch < 0 || cch >= MAX_PATH) {
        pszPath[0] = 0;
        return -1;
    }
    pszPath[cch] = 0;
    return cch;
}

// One open folder of the copy: its path and its enumeration, which stays
// open while the walk is inside its subfolders. The open folders are kept on
// the heap, not on the stack, so no depth of tree can exhaust the stack.
typedef struct _OPEN_FOLDER {
    struct _OPEN_FOLDER *pParent;
    HANDLE hFind;
    WCHAR szPath[MAX_PATH];
} OPEN_FOLDER;

// Starts the enumeration of pszFolder on top of *ppTop, with its first entry
// in *pFindData. FALSE when the folder cannot be enumerated or there is no
// memory for it: the folder is then skipped.
static BOOL OpenFolder(OPEN_FOLDER **ppTop, LPCWSTR pszFolder, WIN32_FIND_DATAW *pFindData)
{
    OPEN_FOLDER *pFolder;
    WCHAR szPattern[MAX_PATH];

    if (FormatPath(szPattern, TEXT("%s\\*"), pszFolder, NULL) < 0) {
        return FALSE;
    }
    pFolder = (OPEN_FOLDER *)LocalAlloc(LMEM_FIXED, sizeof(OPEN_FOLDER));
    if (pFolder == NULL) {
        return FALSE;
    }
    pFolder->hFind = FindFirstFileW(szPattern, pFindData);
    if (pFolder->hFind == INVALID_HANDLE_VALUE) {
        LocalFree(pFolder);
        return FALSE;
    }
    FormatPath(pFolder->szPath, TEXT("%s"), pszFolder, NULL);
    pFolder->pParent = *ppTop;
    *ppTop = pFolder;
    return TRUE;
}

// Ends the enumeration on top and returns to its parent folder.
static void CloseFolder(OPEN_FOLDER **ppTop)
{
    OPEN_FOLDER *pFolder = *ppTop;

    *ppTop = pFolder->pParent;
    FindClose(pFolder->hFind);
    LocalFree(pFolder);
}

// Copies every file under pszFolder to its path with the first cchPrefix
// characters removed. Folders are not made at the destination. The order is
// that of a recursive walk: a subfolder is walked as soon as the enumeration
// meets it, and the enumeration of its parent goes on after it.
static void CopyTree(LPCWSTR pszFolder, int cchPrefix)
{
    WCHAR szPath[MAX_PATH];
    WIN32_FIND_DATAW FindData;
    OPEN_FOLDER *pTop = NULL;
    BOOL fEntry;

    fEntry = OpenFolder(&pTop, pszFolder, &FindData);
    while (pTop != NULL) {
        if (!fEntry) {
            // This folder is done: go on in its parent.
            CloseFolder(&pTop);
            fEntry = (pTop != NULL) && FindNextFileW(pTop->hFind, &FindData);
            continue;
        }
        if (FormatPath(szPath, TEXT("%s\\%s"), pTop->szPath, FindData.cFileName) >= 0) {
            if (FindData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (OpenFolder(&pTop, szPath, &FindData)) {
                    continue;  // its first entry is in FindData
                }
            } else {
                // The destination is the source without the copy root.
                CopyFileW(szPath, szPath + cchPrefix, FALSE);
            }
        }
        fEntry = FindNextFileW(pTop->hFind, &FindData);
    }
}

void AutoCopyVolume(LPCWSTR pszVolume)
{
    WCHAR szRoot[MAX_PATH];
    int cchRoot;

    cchRoot = FormatPath(szRoot, TEXT("%s\\AutoCopy"), pszVolume, NULL);
    if (cchRoot < 0) {
        return;
    }
    CopyTree(szRoot, cchRoot);
}

// Replaces the contents of pszPath (a shortcut file's path) with the
// command line the shortcut holds: the text after its first "#".
static BOOL ReadShortcut(LPWSTR pszPath)
{
    CHAR szText[SHORTCUT_BYTES + 1];
    DWORD cbRead = 0;
    HANDLE hFile;
    int i;

    hFile = CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    if (!ReadFile(hFile, szText, SHORTCUT_BYTES, &cbRead, NULL) || cbRead > SHORTCUT_BYTES) {
        cbRead = 0;
    }
    szText[cbRead] = 0;
    CloseHandle(hFile);

    for (i = 0; szText[i] != 0 && szText[i] != '#'; i++) {
    }
    if (szText[i] == 0) {
        return FALSE;
    }

    // At most 254 bytes, one character each: always fits.
    i = _snwprintf(pszPath, MAX_PATH, TEXT("%S"), szText + i + 1);
    if (i < 0 || i >= MAX_PATH) {
        return FALSE;
    }
    pszPath[i] = 0;
    return TRUE;
}

// Splits a shortcut's command line in place into the program and its
// arguments (NULL when there are none). A quoted program runs to its
// closing quote; text between that quote and the next space is dropped.
static void SplitCommandLine(LPWSTR pszLine, LPWSTR *ppszProgram, LPWSTR *ppszArgs)
{
    LPWSTR p = pszLine;

    if (*p == TEXT('"')) {
        p++;
        *ppszProgram = p;
        while (*p != 0 && *p != TEXT('"')) {
            p++;
        }
        if (*p == TEXT('"')) {
            *p = 0;
            p++;
        }
    } else {
        *ppszProgram = p;
    }

    while (*p != 0 && *p != TEXT(' ')) {
        p++;
    }
    if (*p == TEXT(' ')) {
        *p = 0;
        p++;
    }

    *ppszArgs = (*p != 0) ? p : NULL;
}

// Starts a program and lets it go: its handles are closed at once.
static void StartProgram(LPCWSTR pszProgram, LPWSTR pszArgs)
{
    PROCESS_INFORMATION ProcInfo;

    if (CreateProcessW(pszProgram, pszArgs, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &ProcInfo)) {
        CloseHandle(ProcInfo.hThread);
        CloseHandle(ProcInfo.hProcess);
    }
}

void RunAutoRun(LPCWSTR pszVolume, int nKind)
{
    WCHAR szPath[MAX_PATH];
    WIN32_FIND_DATAW FindData;
    LPCWSTR pszPattern;
    LPWSTR pszProgram;
    LPWSTR pszArgs;
    HANDLE hFind;

    if (nKind == AUTORUN_EXECUTABLES) {
        pszPattern = TEXT("%s\\AutoRun\\*.exe");
    } else if (nKind == AUTORUN_SHORTCUTS) {
        pszPattern = TEXT("%s\\AutoRun\\*.lnk");
    } else {
        return;
    }

    if (FormatPath(szPath, pszPattern, pszVolume, NULL) < 0) {
        return;
    }
    hFind = FindFirstFileW(szPath, &FindData);
    if (hFind == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (FindData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        if (FormatPath(szPath, TEXT("%s\\AutoRun\\%s"), pszVolume, FindData.cFileName) < 0) {
            continue;
        }
        if (nKind == AUTORUN_EXECUTABLES) {
            StartProgram(szPath, NULL);
        } else if (ReadShortcut(szPath)) {
            SplitCommandLine(szPath, &pszProgram, &pszArgs);
            StartProgram(pszProgram, pszArgs);
        }
    } while (FindNextFileW(hFind, &FindData));
    FindClose(hFind);
}
