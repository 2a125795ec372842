// Device register access. On the board these are single volatile 32-bit
// accesses; on the virtual board each call is one bus access to the device.
#pragma once
#include <windows.h>

ULONG READ_REGISTER_ULONG(volatile ULONG *Register);
void WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value);
