// NOR flash command driver. Every command goes to both devices at once: the
// 8-bit command sits in both 16-bit halves of the bus word. Each read and
// write below is exactly one bus access, made once and in this order.
#include <windows.h>
#include <ceddk.h>

#include "flash.h"

#define CMD_READ_ARRAY      0x00FF00FF
#define CMD_ERASE_SETUP     0x00200020
#define CMD_CONFIRM         0x00D000D0
#define CMD_WRITE_TO_BUFFER 0x00E800E8

#define STATUS_READY          0x00800080  // bit 7 of each half
#define STATUS_ERASE_ERRORS   0x002A002A  // bits 1, 3, 5: locked, voltage, erase
#define STATUS_PROGRAM_ERRORS 0x001A001A  // bits 1, 3, 4: locked, voltage, program

#define TIME_LIMIT_MS 10000  // for each erase and each buffer program
#define ERASE_POLL_MS 100
#define BUFFER_WORDS  (FLASH_BUFFER_BYTES / FLASH_BUS_WIDTH)

DWORD FlashReadWord(volatile DWORD *address)
{
    return READ_REGISTER_ULONG((volatile ULONG *)address);
}

void FlashWriteWord(volatile DWORD *address, DWORD word)
{
    WRITE_REGISTER_ULONG((volatile ULONG *)address, word);
}

void FlashSetReadArray(volatile DWORD *address)
{
    FlashWriteWord(address, CMD_READ_ARRAY);
}

static BOOL IsAligned(volatile DWORD *address)
{
    return ((UINT_PTR)address & (FLASH_BUS_WIDTH - 1)) == 0;
}

// Ready only when both devices are: bits 7 and 23 set.
static BOOL IsReady(DWORD status)
{
    return ((status ^ 0xFFFFFFFF) & STATUS_READY) == 0;
}

// Reads the status at address until both devices are ready, sleeping
// pollMs between reads (0: busy-poll). Fails once TIME_LIMIT_MS have passed
// since start; the unsigned difference stays right across the tick's wrap.
static BOOL WaitReady(volatile DWORD *address, DWORD start, DWORD pollMs, DWORD *status)
{
    for (;;) {
        *status = FlashReadWord(address);
        if (IsReady(*status))
            return TRUE;
        if (pollMs != 0)
            Sleep(pollMs);
        if (GetTickCount() - start >= TIME_LIMIT_MS)
            return FALSE;
    }
}

BOOL FlashBlockIsBlank(volatile DWORD *address, DWORD size)
{
    DWORD i;

    if (!IsAligned(address))
        return FALSE;
    FlashSetReadArray(address);
    for (i = 0; i < size / FLASH_BUS_WIDTH; i++) {
        if (FlashReadWord(address + i) != 0xFFFFFFFF)
            return FALSE;
    }
    return TRUE;
}

BOOL FlashEraseBlock(volatile DWORD *address)
{
    DWORD start;
    DWORD status;

    if (!IsAligned(address))
        return FALSE;
    if (FlashBlockIsBlank(address, FLASH_BLOCK_BYTES))
        return TRUE;

    FlashWriteWord(address, CMD_ERASE_SETUP);
    FlashWriteWord(address, CMD_CONFIRM);
    start = GetTickCount();
    if (GetTickCount() - start >= TIME_LIMIT_MS)
        return FALSE;
    if (!WaitReady(address, start, ERASE_POLL_MS, &status))
        return FALSE;

    // The block stays in status mode; the next blank check or the caller's
    // read array command leaves it.
    status = FlashReadWord(address);
    return (status & STATUS_ERASE_ERRORS) == 0;
}

// The next source word, little-endian. A last word of fewer than 4 bytes is
// filled up with 0xFF, which leaves the flash bits under it as they are.
static DWORD SourceWord(const BYTE *source, DWORD length)
{
    DWORD word = 0xFFFFFFFF;
    DWORD i;

    for (i = 0; i < FLASH_BUS_WIDTH && i < length; i++)
        word = (word & ~((DWORD)0xFF << (8 * i))) | ((DWORD)source[i] << (8 * i));
    return word;
}

BOOL FlashProgram(const BYTE *source, volatile DWORD *address, DWORD length)
{
    DWORD words;
    DWORD offset;
    DWORD start;
    DWORD status;
    DWORD i;

    if (!IsAligned(address))
        return FALSE;

    // The first burst ends on a buffer boundary, the others fill a buffer.
    words = (length + FLASH_BUS_WIDTH - 1) / FLASH_BUS_WIDTH;
    if (words > BUFFER_WORDS)
        words = BUFFER_WORDS;
    offset = (DWORD)((UINT_PTR)address % FLASH_BUFFER_BYTES);
    if (offset != 0 && words > (FLASH_BUFFER_BYTES - offset) / FLASH_BUS_WIDTH)
        words = (FLASH_BUFFER_BYTES - offset) / FLASH_BUS_WIDTH;

    while (length != 0) {
        FlashWriteWord(address, CMD_WRITE_TO_BUFFER);
        start = GetTickCount();
        if (!WaitReady(address, start, 0, &status))
            return FALSE;

        FlashWriteWord(address, (words - 1) | ((words - 1) << 16));
        for (i = 0; i < words; i++) {
            FlashWriteWord(address, SourceWord(source, length));
            address++;
            if (length > FLASH_BUS_WIDTH) {
                source += FLASH_BUS_WIDTH;
                length -= FLASH_BUS_WIDTH;
            } else {
                length = 0;
            }
        }
        FlashWriteWord(address - 1, CMD_CONFIRM);

        // The burst counts only when it ended without a lock, voltage or
        // program error in either device.
        if (!WaitReady(address, start, 0, &status))
            return FALSE;
        if ((status & STATUS_PROGRAM_ERRORS) != 0)
            return FALSE;

        words = (length + FLASH_BUS_WIDTH - 1) / FLASH_BUS_WIDTH;
        if (words > BUFFER_WORDS)
            words = BUFFER_WORDS;
    }
    return TRUE;
}
