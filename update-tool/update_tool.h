// Shared declarations of the image update tool.
#ifndef UPDATE_TOOL_H
#define UPDATE_TOOL_H

#include <windows.h>

#define IMAGE_PATH_CHARS 260

// Entry and main dialog
extern HINSTANCE AppInstance;
int RunDialog(int resource, HWND owner, DLGPROC proc);
void SaveRegistry(HWND owner);
BOOL CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Image update
extern WCHAR ImagePath[IMAGE_PATH_CHARS];
extern volatile LONG AbortRequested;
BOOL CALLBACK UpdateDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI UpdateThread(LPVOID parameter);

// Version report
void ShowBspVersion(HWND owner);

#endif
