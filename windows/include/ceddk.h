// Device register access. Each call is one bus access to the board's flash
// model, as on the virtual board.
#ifndef CEDDK_H
#define CEDDK_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

ULONG READ_REGISTER_ULONG(volatile ULONG *Register);
void WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value);

#ifdef __cplusplus
}
#endif

#endif
