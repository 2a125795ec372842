// Included ahead of every program source in the Windows build (-include).
// The programs are written against the board's SDK; where the desktop
// headers spell a declaration differently, the board's shape is put back
// here, after the real <windows.h>, so the program sources stay as they are.
#ifndef CE_DESKTOP_H
#define CE_DESKTOP_H

#include <windows.h>

#ifndef RC_INVOKED

// The board's <windows.h> declares the bounded wide formatters
// (_snwprintf); here they live in <stdio.h>, with the platform's meaning of
// %s (wide) and %S (8-bit) as long as the runtime's own printf is used.
#include <stdio.h>

// The board's dialog procedures return BOOL; the desktop's return INT_PTR,
// which on 64-bit Windows is another type. The board's DLGPROC is kept and
// DialogBoxIndirectParamW gets an overload that takes it.
typedef BOOL(CALLBACK *CE_DLGPROC)(HWND, UINT, WPARAM, LPARAM);
#define DLGPROC CE_DLGPROC
int CeDialogBoxIndirectParam(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner, CE_DLGPROC proc,
                             LPARAM param);
inline int DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner, CE_DLGPROC proc,
                                   LPARAM param) {
    return CeDialogBoxIndirectParam(instance, dialogTemplate, owner, proc, param);
}

// A range bound to the flash by VirtualCopy is a view of the board's flash
// file here; VirtualFree releases such a range as the board's does.
#define VirtualFree CeVirtualFree
BOOL WINAPI CeVirtualFree(LPVOID address, SIZE_T size, DWORD freeType);

// The board's CreateProcessW takes no start-up information (NULL) and hands
// the new program its command line as given, without the program's name;
// the desktop's wants both. The desktop layer puts the name in front.
#define CreateProcessW CeCreateProcessW
BOOL WINAPI CeCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                             LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                             LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                             LPPROCESS_INFORMATION processInformation);

// The board's folder enumeration never reports "." and "..", and the
// programs rely on it; the desktop's does report them. They are left out.
#define FindFirstFileW CeFindFirstFileW
#define FindNextFileW CeFindNextFileW
HANDLE WINAPI CeFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL WINAPI CeFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);

// On the board a flush of the registry saves it into the store kept in
// flash; the desktop layer does that on the board folder.
#define RegFlushKey CeRegFlushKey
LONG WINAPI CeRegFlushKey(HKEY key);

// On the board the entry point takes the wide command line under the name
// WinMain. Here the C runtime calls wWinMain (-municode), which the desktop
// layer provides and which calls the program's CeWinMain.
#define WinMain CeWinMain
int WINAPI CeWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

#endif  // RC_INVOKED
#endif  // CE_DESKTOP_H
