// Placeholder until this part of the tool lands.
#include <windows.h>

#include "update_tool.h"

WCHAR ImagePath[IMAGE_PATH_CHARS];
volatile LONG AbortRequested;

BOOL CALLBACK UpdateDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    (void)lParam;
    if (message == WM_INITDIALOG) {
        MessageBoxW(dialog, TEXT("Image update is not built yet"), TEXT("ERROR"), MB_OK);
        EndDialog(dialog, 0);
    }
    return FALSE;
}
