// NOR flash command driver: blank check, block erase, buffered programming
// and read mode, for the pair of 16-bit devices side by side on the 32-bit
// bus. Every address is a byte address in the caller's uncached mapping of
// the flash and must be a multiple of 4.
#ifndef FLASH_H
#define FLASH_H

#include <windows.h>

#define FLASH_BUS_WIDTH    4        // one bus word: a 16-bit word of each device
#define FLASH_BLOCK_BYTES  0x40000  // one erase block: 128 KB of each device
#define FLASH_BUFFER_BYTES 64       // one write buffer: 32 bytes of each device

DWORD FlashReadWord(volatile DWORD *address);
void FlashWriteWord(volatile DWORD *address, DWORD word);
void FlashSetReadArray(volatile DWORD *address);
BOOL FlashBlockIsBlank(volatile DWORD *address, DWORD size);
BOOL FlashEraseBlock(volatile DWORD *address);
BOOL FlashProgram(const BYTE *source, volatile DWORD *address, DWORD length);

#endif
