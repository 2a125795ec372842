// The check an image must pass before the update erases anything.
//
// It walks the whole file and decides whether the update will end with the
// flash holding every record byte for byte, given what the flash holds now:
// a refused image must never cost the board the image it has.
//
// The update erases the blocks that begin inside the image's range and
// then programs the records in file order. Programming only clears bits, so
// a byte can take a record's value only when (held AND wanted) = wanted,
// where `held` is what the byte holds just before: 0xFF in an erased block,
// the old contents in a block the update does not erase, or what an earlier
// record left there. Records may overlap where this holds: the later record
// wins, and every chunk reads back as written. An overlap the flash cannot
// take (the later record would need a bit set that the earlier one cleared)
// refuses the image.
//
// The check reads the file and the flash only through the procedures the
// caller passes, so the host's image inspector runs this very code.
#ifndef IMAGE_CHECK_H
#define IMAGE_CHECK_H

#include <windows.h>

#define IMAGE_FLASH_BASE          0x9CA00000UL  // kernel address of the image flash
#define IMAGE_WINDOW_SIZE         0x2000000UL   // 32 MB mapped by the update worker
#define IMAGE_BLOCK_SIZE          0x40000UL     // one erase block of the device pair
#define IMAGE_HEADER_BYTES        15            // signature, start, length
#define IMAGE_RECORD_HEADER_BYTES 12            // load address, length, checksum
// Records with data that one image may have; a real image has a few dozen.
#define IMAGE_MAX_RECORDS 2048

// Verdicts. Each refusal stands for one of the update's messages.
#define IMAGE_WRITABLE     0
#define IMAGE_NOT_BINARY   1  // "Not a WinCE Binary Image file!"
#define IMAGE_ENDS_EARLY   2  // "Unexpected end of file!"
#define IMAGE_NOT_WRITABLE 3  // "Error writing to Flash!"

// Why, in more detail, for the inspector.
#define CHECK_OK                  0
#define CHECK_SHORT_SIGNATURE     1  // fewer than 7 bytes
#define CHECK_WRONG_SIGNATURE     2
#define CHECK_SHORT_HEADER        3  // ends inside the image start or length
#define CHECK_RANGE_OUTSIDE       4  // the image range leaves the window
#define CHECK_SHORT_RECORD_HEADER 5
#define CHECK_SHORT_RECORD_DATA   6
#define CHECK_UNALIGNED_RECORD    7   // load address not a multiple of 4
#define CHECK_RECORD_OUTSIDE      8   // record (and the status word after it) leaves the window
#define CHECK_TOO_MANY_RECORDS    9   // more than the caller's record table holds
#define CHECK_BITS_NOT_CLEARABLE  10  // a byte would need a bit set that is clear

// Reads up to `size` bytes of the image file from `offset` on into
// `buffer`; returns how many arrived.
typedef DWORD (*IMAGE_READ_PROC)(void *context, DWORD offset, BYTE *buffer, DWORD size);
// The flash word at `flashAddress` (a multiple of 4 inside the window) as
// it is now, before anything is erased.
typedef DWORD (*FLASH_READ_PROC)(void *context, DWORD flashAddress);

// A record with data, as the check keeps it to find overlaps.
typedef struct {
    DWORD address;  // flash address
    DWORD length;
    DWORD dataOffset;  // in the file
    DWORD index;       // 1 = the first record in the file
} IMAGE_RECORD;

typedef struct {
    DWORD verdict;  // IMAGE_WRITABLE or a refusal
    DWORD reason;   // CHECK_...
    DWORD start;    // image start, translated
    DWORD length;   // image length
    DWORD offset;   // translation added to every load address but 0
    DWORD records;  // records with data taken so far
    // With a refusal of a record: which one (1 = the first in the file,
    // counting every record) and where.
    DWORD record;
    DWORD address;
    // With CHECK_BITS_NOT_CLEARABLE: the byte at `address` holds `held`
    // (left by record `heldFrom`, or 0: by the flash as the update finds or
    // erases it) and the record wants `wanted` there.
    BYTE held;
    BYTE wanted;
    DWORD heldFrom;
} IMAGE_CHECK;

// Signature and header. Fills start, length and offset.
DWORD CheckImageHeader(IMAGE_READ_PROC readImage, void *context, IMAGE_CHECK *check);

// Every record up to the terminating one, for a file of `fileSize` bytes
// whose header CheckImageHeader took. `table` has room for `tableSize`
// records.
DWORD CheckImageRecords(IMAGE_READ_PROC readImage, FLASH_READ_PROC readFlash, void *context, DWORD fileSize,
                        IMAGE_RECORD *table, DWORD tableSize, IMAGE_CHECK *check);

// The translation of a load address: 0 stays 0 (it ends the image).
DWORD TranslateImageAddress(const IMAGE_CHECK *check, DWORD address);

#endif
