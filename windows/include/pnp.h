// Device notifications of the board: the desktop layer announces the board
// folder's mounted volumes.
#ifndef PNP_H
#define PNP_H

#include <windows.h>

typedef struct {
    GUID guidDevClass;
    DWORD dwReserved;
    BOOL fAttached;
    int cbName;
    WCHAR szName[1];
} DEVDETAIL, *PDEVDETAIL;

#ifdef __cplusplus
extern "C" {
#endif

HANDLE WINAPI RequestDeviceNotifications(LPCGUID devclass, HANDLE hMsgQ, BOOL fAll);
BOOL WINAPI StopDeviceNotifications(HANDLE h);

#ifdef __cplusplus
}
#endif

#endif
