// The entry point and the board's dialog procedure shape.
#include <windows.h>

#include "ce_desktop.h"
#include "desktop.h"

#undef WinMain
#undef DLGPROC

// The C runtime's wide entry (-municode) hands the command line after the
// program's name, as the board does, to the program's own entry. The board
// folder is opened first, so a missing board is told before any window, and
// a stop of the board ends the program from then on.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
    desktop::BoardFolder::get().endOnBoardStop();
    return CeWinMain(instance, previous, commandLine, show);
}

namespace {

const WCHAR kProcProperty[] = L"vboard.CeDlgProc";

struct DialogStart {
    CE_DLGPROC proc;
    LPARAM param;
};

// Calls the board-shaped procedure and widens its BOOL. The procedure rides
// in on WM_INITDIALOG's parameter and stays on the window until it goes.
// Messages before WM_INITDIALOG (WM_SETFONT) get the default handling.
INT_PTR CALLBACK DialogThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto *start = static_cast<DialogStart *>(GetPropW(dialog, kProcProperty));
    if (message == WM_INITDIALOG) {
        start = reinterpret_cast<DialogStart *>(lParam);
        SetPropW(dialog, kProcProperty, start);
        lParam = start->param;
    }
    if (start == nullptr) return FALSE;
    const BOOL result = start->proc(dialog, message, wParam, lParam);
    if (message == WM_NCDESTROY) RemovePropW(dialog, kProcProperty);
    return result;
}

}  // namespace

int CeDialogBoxIndirectParam(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner, CE_DLGPROC proc,
                             LPARAM param) {
    // The start record outlives the dialog: DialogBoxIndirectParamW returns
    // only after the window is gone.
    DialogStart start{proc, param};
    return static_cast<int>(
        ::DialogBoxIndirectParamW(instance, dialogTemplate, owner, DialogThunk, reinterpret_cast<LPARAM>(&start)));
}
