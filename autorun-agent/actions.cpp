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

// Folders of the copy still to visit. The walk keeps them on the heap, not
// on its stack, so no depth of tree can exhaust the stack.
typedef struct _PENDING_FOLDER {
    struct _PENDING_FOLDER *pNext;
    WCHAR szPath[1];
} PENDING_FOLDER;

static BOOL PushFolder(PENDING_FOLDER **ppHead, LPCWSTR pszPath, int cchPath)
{
    PENDING_FOLDER *pFolder;
    int i;

    pFolder = (PENDING_FOLDER *)new BYTE[sizeof(PENDING_FOLDER) + cchPath * sizeof(WCHAR)];
    if (pFolder == NULL) {
        return FALSE;
    }
    for (i = 0; i < cchPath; i++) {
        pFolder->szPath[i] = pszPath[i];
    }
    pFolder->szPath[cchPath] = 0;
    pFolder->pNext = *ppHead;
    *ppHead = pFolder;
    return TRUE;
}

static void FreeFolder(PENDING_FOLDER *pFolder)
{
    delete[] (BYTE *)pFolder;
}

// Copies the files of one folder and queues its subfolders.
static void CopyFolder(LPCWSTR pszFolder, int cchPrefix, PENDING_FOLDER **ppPending)
{
    WCHAR szPath[MAX_PATH];
    WIN32_FIND_DATAW FindData;
    HANDLE hFind;
    int cchPath;

    if (FormatPath(szPath, TEXT("%s\\*"), pszFolder, NULL) < 0) {
        return;
    }
    hFind = FindFirstFileW(szPath, &FindData);
    if (hFind == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        cchPath = FormatPath(szPath, TEXT("%s\\%s"), pszFolder, FindData.cFileName);
        if (cchPath < 0) {
            continue;
        }
        if (FindData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            PushFolder(ppPending, szPath, cchPath);
        } else {
            // The destination is the source without the copy root.
            CopyFileW(szPath, szPath + cchPrefix, FALSE);
        }
    } while (FindNextFileW(hFind, &FindData));
    FindClose(hFind);
}

// Copies every file under pszFolder to its path with the first cchPrefix
// characters removed. Folders are not made at the destination.
static void CopyTree(LPCWSTR pszFolder, int cchPrefix)
{
    PENDING_FOLDER *pPending = NULL;
    PENDING_FOLDER *pFolder;

    if (!PushFolder(&pPending, pszFolder, lstrlenW(pszFolder))) {
        return;
    }
    while (pPending != NULL) {
        pFolder = pPending;
        pPending = pFolder->pNext;
        CopyFolder(pFolder->szPath, cchPrefix, &pPending);
        FreeFolder(pFolder);
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
