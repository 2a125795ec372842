// Register access for the bare-metal harness: the flash is reached with the
// MMU off, so every access is a plain device access, made once and in order.
#ifndef HARNESS_CEDDK_H
#define HARNESS_CEDDK_H

#include <windows.h>

static inline ULONG READ_REGISTER_ULONG(volatile ULONG *reg)
{
    return *reg;
}

static inline void WRITE_REGISTER_ULONG(volatile ULONG *reg, ULONG value)
{
    *reg = value;
}

#endif
