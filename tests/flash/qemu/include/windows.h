// The few platform types and calls the flash driver uses, for the bare-metal
// harness: the tick and the sleep run on the harness's own clock.
#ifndef HARNESS_WINDOWS_H
#define HARNESS_WINDOWS_H

#include <stdint.h>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uintptr_t UINT_PTR;

#define TRUE  1
#define FALSE 0

DWORD GetTickCount(void);
void Sleep(DWORD ms);

#endif
