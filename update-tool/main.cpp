// Entry, command line and main dialog of the image update tool.
#include <windows.h>
#include <commctrl.h>
#include <pkfuncs.h>

#include "resource.h"
#include "update_tool.h"

#define IOCTL_OEM_CLEAR_REGISTRY CTL_CODE(FILE_DEVICE_HAL, 2052, METHOD_BUFFERED, FILE_ANY_ACCESS)

HINSTANCE AppInstance;

int RunDialog(int resource, HWND owner, DLGPROC proc)
{
    HRSRC info = FindResourceW(AppInstance, MAKEINTRESOURCE(resource), RT_DIALOG);
    LPCDLGTEMPLATE dialogTemplate = (LPCDLGTEMPLATE)LoadResource(AppInstance, info);
    return DialogBoxIndirectParamW(AppInstance, dialogTemplate, owner, proc, 0);
}

void SaveRegistry(HWND owner)
{
    if (RegFlushKey(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS)
        MessageBoxW(owner, TEXT("Registry Succesfully Saved"), TEXT("Registry"), MB_OK);
    else
        MessageBoxW(owner, TEXT("Registry Save FAILED!"), TEXT("Registry"), MB_OK);
}

static void ClearRegistry(HWND owner)
{
    if (KernelIoControl(IOCTL_OEM_CLEAR_REGISTRY, NULL, 0, NULL, 0, NULL))
        MessageBoxW(owner, TEXT("Registry Succesfully Cleared"), TEXT("Registry"), MB_OK);
    else
        MessageBoxW(owner, TEXT("Registry Clear FAILED!"), TEXT("Registry"), MB_OK);
}

static void Reboot(void)
{
    KernelIoControl(IOCTL_HAL_REBOOT, NULL, 0, NULL, 0, NULL);
}

BOOL CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_CLEAR_REGISTRY:
            ClearRegistry(dialog);
            break;
        case IDC_SAVE_REGISTRY:
            SaveRegistry(dialog);
            break;
        case IDC_UPDATE_IMAGE:
            ImagePath[0] = 0;  // the user picks the file afresh
            RunDialog(IDD_UPDATE, dialog, UpdateDlgProc);
            break;
        case IDC_REBOOT:
            Reboot();
            break;
        case IDC_BSP_VERSION:
            ShowBspVersion(dialog);
            break;
        case IDCANCEL:
            EndDialog(dialog, 0);
            break;
        }
        return TRUE;
    }
    return FALSE;
}

// Copies the "/u" argument (from the fourth character on) into ImagePath,
// cut to fit; a command line of two or three characters leaves it empty.
static void SetImagePathFromArgument(LPCWSTR commandLine)
{
    int length = lstrlenW(commandLine);
    ImagePath[0] = 0;
    if (length > 3)
        lstrcpynW(ImagePath, commandLine + 3, IMAGE_PATH_CHARS);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show)
{
    (void)previous;
    (void)show;
    AppInstance = instance;
    InitCommonControls();

    if (commandLine == NULL || commandLine[0] != TEXT('/')) {
        RunDialog(IDD_MAIN, NULL, MainDlgProc);
    } else if (commandLine[1] == TEXT('u')) {
        SetImagePathFromArgument(commandLine);
        RunDialog(IDD_UPDATE, NULL, UpdateDlgProc);
        Reboot();
    } else if (commandLine[1] == TEXT('f')) {
        SaveRegistry(NULL);
    } else if (commandLine[1] == TEXT('r')) {
        Reboot();
    }
    return 1;
}
