// Device notifications.
#pragma once
#include <windows.h>

typedef struct {
    GUID guidDevClass;
    DWORD dwReserved;
    BOOL fAttached;
    int cbName;
    WCHAR szName[1];
} DEVDETAIL, *PDEVDETAIL;

HANDLE WINAPI RequestDeviceNotifications(LPCGUID devclass, HANDLE hMsgQ, BOOL fAll);
BOOL WINAPI StopDeviceNotifications(HANDLE h);
