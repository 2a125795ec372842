// Kernel functions of the board that the desktop does not have: control
// codes to the board's adaptation layer and binding virtual memory to the
// flash. The desktop layer implements them over the board folder.
#ifndef PKFUNCS_H
#define PKFUNCS_H

#include <windows.h>
#include <winioctl.h>

#ifndef FILE_DEVICE_HAL
#define FILE_DEVICE_HAL 0x00000101
#endif

#define IOCTL_HAL_REBOOT CTL_CODE(FILE_DEVICE_HAL, 15, METHOD_BUFFERED, FILE_ANY_ACCESS)

// VirtualCopy: the source is a physical address shifted right by 8.
#define PAGE_PHYSICAL 0x400

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf, DWORD nOutBufSize,
                            LPDWORD lpBytesReturned);
BOOL WINAPI VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);

#ifdef __cplusplus
}
#endif

#endif
