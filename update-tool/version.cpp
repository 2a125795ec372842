// Placeholder until this part of the tool lands.
#include <windows.h>

#include "update_tool.h"

void ShowBspVersion(HWND owner)
{
    MessageBoxW(owner, TEXT("BSP version report is not built yet"), TEXT("BSP Verison"), MB_OK);
}
