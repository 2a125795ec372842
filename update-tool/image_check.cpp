// The check an image must pass before the update erases anything; see
// image_check.h for what it decides.
#include <windows.h>
#include <string.h>

#include "image_check.h"

// The record is compared with what the flash will hold in pieces this big.
#define PIECE_BYTES 2048

static const BYTE ImageSignature[7] = {'B', '0', '0', '0', 'F', 'F', '\n'};

static DWORD ReadLe32(const BYTE *p)
{
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

static DWORD Refuse(IMAGE_CHECK *check, DWORD verdict, DWORD reason)
{
    check->verdict = verdict;
    check->reason = reason;
    return verdict;
}

DWORD TranslateImageAddress(const IMAGE_CHECK *check, DWORD address)
{
    return address != 0 ? address + check->offset : 0;
}

// TRUE when [address, address + length) and `room` bytes after it lie in
// the window.
static BOOL InsideWindow(DWORD address, DWORD length, DWORD room)
{
    DWORD offset;
    if (address < IMAGE_FLASH_BASE)
        return FALSE;
    offset = address - IMAGE_FLASH_BASE;
    if (offset >= IMAGE_WINDOW_SIZE)
        return FALSE;
    return length <= IMAGE_WINDOW_SIZE - room - offset;
}

// The update erases the blocks that begin inside the image range.
static BOOL IsErasedByUpdate(const IMAGE_CHECK *check, DWORD address)
{
    DWORD block = IMAGE_FLASH_BASE + ((address - IMAGE_FLASH_BASE) & ~(IMAGE_BLOCK_SIZE - 1));
    return block - check->start < check->length;
}

// The part of `record` inside [at, at + size), as offsets from at.
static BOOL Intersect(const IMAGE_RECORD *record, DWORD at, DWORD size, DWORD *from, DWORD *to)
{
    DWORD lo = record->address > at ? record->address : at;
    DWORD recordEnd = record->address + record->length;
    DWORD hi = recordEnd < at + size ? recordEnd : at + size;
    if (lo >= hi)
        return FALSE;
    *from = lo - at;
    *to = hi - at;
    return TRUE;
}

static BOOL OverlapsEarlier(const IMAGE_RECORD *table, DWORD count, const IMAGE_RECORD *record)
{
    DWORD from;
    DWORD to;
    DWORD i;
    for (i = 0; i < count; i++) {
        if (Intersect(&table[i], record->address, record->length, &from, &to))
            return TRUE;
    }
    return FALSE;
}

// The latest earlier record that writes the byte at `address`, or 0.
static DWORD LastWriterOf(const IMAGE_RECORD *table, DWORD count, DWORD address)
{
    DWORD from;
    DWORD to;
    while (count-- > 0) {
        if (Intersect(&table[count], address, 1, &from, &to))
            return table[count].index;
    }
    return 0;
}

// Fills held[0, size) with what the flash holds at `at` just before the
// record is programmed there: the latest earlier record's byte, else 0xFF
// where the block is erased, else the old contents. Returns FALSE when the
// file could not be read.
static BOOL ReadHeldBytes(IMAGE_READ_PROC readImage, FLASH_READ_PROC readFlash, void *context,
                          const IMAGE_CHECK *check, const IMAGE_RECORD *table, DWORD count, BOOL overlaps,
                          DWORD at, DWORD size, BYTE *held)
{
    BYTE filled[PIECE_BYTES];
    DWORD filledCount = 0;
    DWORD k;
    DWORD j;

    memset(filled, 0, size);
    // Latest record first: each byte takes the value of the last writer.
    for (j = count; overlaps && j-- > 0 && filledCount < size;) {
        DWORD from;
        DWORD to;
        if (!Intersect(&table[j], at, size, &from, &to))
            continue;
        k = from;
        while (k < to) {
            DWORD end = k;
            if (filled[k]) {
                k++;
                continue;
            }
            while (end < to && !filled[end])
                end++;
            if (readImage(context, table[j].dataOffset + (at + k - table[j].address), held + k, end - k) !=
                end - k)
                return FALSE;
            memset(filled + k, 1, end - k);
            filledCount += end - k;
            k = end;
        }
    }
    for (k = 0; k < size && filledCount < size; k += 4) {
        DWORD word = IsErasedByUpdate(check, at + k) ? 0xFFFFFFFF : readFlash(context, at + k);
        DWORD b;
        for (b = 0; b < 4 && k + b < size; b++) {
            if (!filled[k + b])
                held[k + b] = (BYTE)(word >> (8 * b));
        }
    }
    return TRUE;
}

// Whether programming `record` after the earlier ones leaves its bytes in
// the flash exactly.
static DWORD CheckRecordBits(IMAGE_READ_PROC readImage, FLASH_READ_PROC readFlash, void *context,
                             IMAGE_CHECK *check, const IMAGE_RECORD *table, DWORD count,
                             const IMAGE_RECORD *record)
{
    BYTE held[PIECE_BYTES];
    BYTE wanted[PIECE_BYTES];
    BOOL overlaps = OverlapsEarlier(table, count, record);
    DWORD done = 0;

    while (done < record->length) {
        DWORD at = record->address + done;
        DWORD size = record->length - done < PIECE_BYTES ? record->length - done : PIECE_BYTES;
        BOOL allSet = TRUE;
        DWORD k;

        // Erased flash takes anything: nothing to compare.
        if (overlaps || !IsErasedByUpdate(check, at) || !IsErasedByUpdate(check, at + size - 1)) {
            if (!ReadHeldBytes(readImage, readFlash, context, check, table, count, overlaps, at, size, held))
                return Refuse(check, IMAGE_ENDS_EARLY, CHECK_SHORT_RECORD_DATA);
            for (k = 0; k < size && allSet; k++)
                allSet = held[k] == 0xFF;
        }
        if (!allSet) {
            if (readImage(context, record->dataOffset + done, wanted, size) != size)
                return Refuse(check, IMAGE_ENDS_EARLY, CHECK_SHORT_RECORD_DATA);
            for (k = 0; k < size; k++) {
                if ((held[k] & wanted[k]) != wanted[k]) {
                    check->address = at + k;
                    check->held = held[k];
                    check->wanted = wanted[k];
                    check->heldFrom = LastWriterOf(table, count, at + k);
                    return Refuse(check, IMAGE_NOT_WRITABLE, CHECK_BITS_NOT_CLEARABLE);
                }
            }
        }
        done += size;
    }
    return IMAGE_WRITABLE;
}

DWORD CheckImageHeader(IMAGE_READ_PROC readImage, void *context, IMAGE_CHECK *check)
{
    BYTE header[IMAGE_HEADER_BYTES];
    DWORD got;

    memset(check, 0, sizeof(*check));
    got = readImage(context, 0, header, sizeof(header));
    if (got < sizeof(ImageSignature))
        return Refuse(check, IMAGE_NOT_BINARY, CHECK_SHORT_SIGNATURE);
    if (memcmp(header, ImageSignature, sizeof(ImageSignature)) != 0)
        return Refuse(check, IMAGE_NOT_BINARY, CHECK_WRONG_SIGNATURE);
    if (got < IMAGE_HEADER_BYTES)
        return Refuse(check, IMAGE_ENDS_EARLY, CHECK_SHORT_HEADER);
    check->start = ReadLe32(header + 7);
    check->length = ReadLe32(header + 11);
    check->offset = check->start < 0xBCA00000UL ? 0x1C980000UL : 0xE0000000UL;
    check->start += check->offset;
    return IMAGE_WRITABLE;
}

DWORD CheckImageRecords(IMAGE_READ_PROC readImage, FLASH_READ_PROC readFlash, void *context, DWORD fileSize,
                        IMAGE_RECORD *table, DWORD tableSize, IMAGE_CHECK *check)
{
    DWORD position = IMAGE_HEADER_BYTES;
    DWORD index = 0;
    BYTE header[IMAGE_RECORD_HEADER_BYTES];

    check->records = 0;
    if (check->length != 0 && !InsideWindow(check->start, check->length, 0))
        return Refuse(check, IMAGE_NOT_WRITABLE, CHECK_RANGE_OUTSIDE);
    for (;;) {
        IMAGE_RECORD record;
        DWORD verdict;

        index++;
        check->record = index;
        check->address = 0;
        if (position > fileSize || fileSize - position < sizeof(header) ||
            readImage(context, position, header, sizeof(header)) != sizeof(header))
            return Refuse(check, IMAGE_ENDS_EARLY, CHECK_SHORT_RECORD_HEADER);
        position += sizeof(header);
        record.address = TranslateImageAddress(check, ReadLe32(header));
        record.length = ReadLe32(header + 4);
        record.dataOffset = position;
        record.index = index;
        check->address = record.address;
        if (record.address == 0)
            break;
        if (record.length > fileSize - position)
            return Refuse(check, IMAGE_ENDS_EARLY, CHECK_SHORT_RECORD_DATA);
        if (record.length != 0) {
            if ((record.address & 3) != 0)
                return Refuse(check, IMAGE_NOT_WRITABLE, CHECK_UNALIGNED_RECORD);
            // The driver reads the status at the word after the last one.
            if (!InsideWindow(record.address, record.length, 4))
                return Refuse(check, IMAGE_NOT_WRITABLE, CHECK_RECORD_OUTSIDE);
            if (check->records == tableSize)
                return Refuse(check, IMAGE_NOT_WRITABLE, CHECK_TOO_MANY_RECORDS);
            verdict = CheckRecordBits(readImage, readFlash, context, check, table, check->records, &record);
            if (verdict != IMAGE_WRITABLE)
                return verdict;
            table[check->records++] = record;
        }
        position += record.length;
    }
    check->record = 0;
    check->address = 0;
    check->verdict = IMAGE_WRITABLE;
    check->reason = CHECK_OK;
    return IMAGE_WRITABLE;
}
