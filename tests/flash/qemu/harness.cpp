// Bare-metal harness for the flash driver on an emulated ARM machine whose
// second flash bank is a pair of 16-bit devices on a 32-bit bus, like the
// board's. The command line (after the program's name) picks what it does:
//
//   driver              the driver as the update worker uses it: erase,
//                       program many ranges, read back, restore read mode;
//                       every word of the bank is checked against a copy.
//   replay OPS READS    replays the bus operations in the host file OPS
//                       (records of three little-endian words: 0 for a read
//                       or 1 for a write, the byte offset in the bank, the
//                       value written) and writes each value read to READS.
//
// Output and files go through semihosting; the exit status is 0 only when
// everything passed.
#include <stdint.h>
#include <string.h>

#include "flash.h"

extern "C" int harness_main();
extern "C" void harness_exit(int status);

namespace {

const uint32_t kBankBase = 0x04000000;
const uint32_t kBankBytes = 0x04000000;
const uint32_t kBankWords = kBankBytes / 4;
// The copy of the bank and the replay buffers, in RAM above the harness.
uint32_t *const kShadow = reinterpret_cast<uint32_t *>(0x44000000);
uint8_t *const kScratch = reinterpret_cast<uint8_t *>(0x48000000);
const uint32_t kScratchBytes = 0x04000000;

// --- semihosting ---------------------------------------------------------

enum {
    SYS_OPEN = 0x01,
    SYS_CLOSE = 0x02,
    SYS_WRITE0 = 0x04,
    SYS_WRITE = 0x05,
    SYS_READ = 0x06,
    SYS_FLEN = 0x0C,
    SYS_CLOCK = 0x10,
    SYS_GET_CMDLINE = 0x15,
    SYS_EXIT = 0x18,
};

uint32_t semihost(uint32_t op, const void *param)
{
    register uint32_t r0 __asm__("r0") = op;
    register const void *r1 __asm__("r1") = param;
#if defined(__thumb__)
    __asm__ volatile("svc 0xAB" : "+r"(r0) : "r"(r1) : "memory", "lr");
#else
    __asm__ volatile("svc 0x123456" : "+r"(r0) : "r"(r1) : "memory", "lr");
#endif
    return r0;
}

void print(const char *text)
{
    semihost(SYS_WRITE0, text);
}

void printNumber(uint32_t value, unsigned base)
{
    char digits[12];
    char *p = digits + sizeof digits - 1;
    *p = 0;
    do {
        *--p = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    if (base == 16) {
        *--p = 'x';
        *--p = '0';
    }
    print(p);
}

void printDec(uint32_t value)
{
    printNumber(value, 10);
}

void printHex(uint32_t value)
{
    printNumber(value, 16);
}

int openFile(const char *name, uint32_t mode)
{
    uint32_t block[3] = {reinterpret_cast<uint32_t>(name), mode, (uint32_t)strlen(name)};
    return (int)semihost(SYS_OPEN, block);
}

// Reads the whole file into kScratch; its length, or -1.
int readFile(const char *name)
{
    int fd = openFile(name, 1);  // "rb"
    if (fd < 0)
        return -1;
    uint32_t block[3] = {(uint32_t)fd, 0, 0};
    int length = (int)semihost(SYS_FLEN, block);
    if (length < 0 || (uint32_t)length > kScratchBytes / 2)
        return -1;
    block[1] = reinterpret_cast<uint32_t>(kScratch);
    block[2] = (uint32_t)length;
    uint32_t left = semihost(SYS_READ, block);
    semihost(SYS_CLOSE, block);
    return left == 0 ? length : -1;
}

bool writeFile(const char *name, const void *data, uint32_t length)
{
    int fd = openFile(name, 5);  // "wb"
    if (fd < 0)
        return false;
    uint32_t block[3] = {(uint32_t)fd, reinterpret_cast<uint32_t>(data), length};
    uint32_t left = semihost(SYS_WRITE, block);
    semihost(SYS_CLOSE, block);
    return left == 0;
}

// --- the bank --------------------------------------------------------------

volatile DWORD *bank(uint32_t offset)
{
    return reinterpret_cast<volatile DWORD *>(kBankBase + offset);
}

uint32_t failures = 0;

void fail(const char *what, uint32_t offset, uint32_t got, uint32_t want)
{
    if (++failures > 20)
        return;
    print("FAIL ");
    print(what);
    print(" at offset ");
    printHex(offset);
    print(": read ");
    printHex(got);
    print(", expected ");
    printHex(want);
    print("\n");
}

void check(bool ok, const char *what, uint32_t offset)
{
    if (!ok)
        fail(what, offset, 0, 1);
}

// Compares every word of the bank, in read array mode, with the copy.
void compareBank()
{
    FlashSetReadArray(bank(0));
    for (uint32_t i = 0; i < kBankWords; i++) {
        uint32_t got = FlashReadWord(bank(4 * i));
        if (got != kShadow[i])
            fail("bank contents", 4 * i, got, kShadow[i]);
    }
}

uint32_t random32(uint32_t *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state;
}

// One range the update worker could program: the bytes go to the copy as
// the flash takes them (programming only clears bits; the bytes after the
// last one stay as they were).
struct Range {
    uint32_t offset;
    uint32_t length;
};

const uint32_t kBlock = FLASH_BLOCK_BYTES;
const uint32_t kFirstBlock = 8;
const uint32_t kBlocks = 8;  // erased: blocks 8 to 15

const Range kRanges[] = {
    // Block 8 in the worker's 16 KB chunks, one after the other.
    {8 * kBlock + 0x0000, 0x4000},
    {8 * kBlock + 0x4000, 0x4000},
    {8 * kBlock + 0x8000, 0x4000},
    {8 * kBlock + 0xC000, 0x4000},
    {8 * kBlock + 0x10000, 0x30000},
    // Block 10: short lengths, lengths that are not multiples of the burst
    // or of the bus word, and starts at every word of a buffer.
    {10 * kBlock + 0x000, 4},
    {10 * kBlock + 0x040, 1},
    {10 * kBlock + 0x080, 2},
    {10 * kBlock + 0x0C0, 3},
    {10 * kBlock + 0x100, 5},
    {10 * kBlock + 0x144, 60},
    {10 * kBlock + 0x1C8, 64},
    {10 * kBlock + 0x23C, 65},
    {10 * kBlock + 0x2F8, 63},
    {10 * kBlock + 0x400, 127},
    {10 * kBlock + 0x504, 129},
    {10 * kBlock + 0x630, 1000},
    {10 * kBlock + 0xA34, 4093},
    {10 * kBlock + 0x2000, 64 * 17 + 7},
    // Across the boundaries of blocks 11/12 and 12/13.
    {12 * kBlock - 100, 300},
    {13 * kBlock - 0x2004, 0x4000},
    // A 16 KB chunk that starts off a buffer boundary, and the last bytes of
    // the last block erased.
    {13 * kBlock + 0x2104, 0x4000},
    {16 * kBlock - 36, 36},
};

int runDriver()
{
    // The bank as the host laid it down.
    FlashSetReadArray(bank(0));
    for (uint32_t i = 0; i < kBankWords; i++)
        kShadow[i] = FlashReadWord(bank(4 * i));

    // Erase, one block after another.
    for (uint32_t b = kFirstBlock; b < kFirstBlock + kBlocks; b++) {
        check(FlashEraseBlock(bank(b * kBlock)) == TRUE, "erase", b * kBlock);
        memset(&kShadow[b * kBlock / 4], 0xFF, kBlock);
    }
    FlashSetReadArray(bank(0));
    for (uint32_t b = kFirstBlock; b < kFirstBlock + kBlocks; b++)
        check(FlashBlockIsBlank(bank(b * kBlock), kBlock) == TRUE, "blank after erase", b * kBlock);

    // Program, a range at a time.
    uint32_t seed = 0x2545F491u;
    uint32_t programmed = 0;
    uint8_t *source = kScratch;
    for (uint32_t r = 0; r < sizeof kRanges / sizeof kRanges[0]; r++) {
        const Range &range = kRanges[r];
        for (uint32_t i = 0; i < range.length; i++)
            source[i] = (uint8_t)(random32(&seed) >> 24);
        check(FlashProgram(source, bank(range.offset), range.length) == TRUE, "program", range.offset);
        uint8_t *copy = reinterpret_cast<uint8_t *>(kShadow) + range.offset;
        for (uint32_t i = 0; i < range.length; i++)
            copy[i] &= source[i];
        programmed += range.length;
    }

    // Read mode is back once the caller asks for it; a programmed block is
    // no longer blank, an erased one left alone still is.
    check(FlashBlockIsBlank(bank(10 * kBlock), kBlock) == FALSE, "programmed block not blank", 10 * kBlock);
    check(FlashBlockIsBlank(bank(14 * kBlock), kBlock) == TRUE, "untouched erased block blank", 14 * kBlock);
    compareBank();

    // A second erase of a programmed block and of a blank one.
    check(FlashEraseBlock(bank(10 * kBlock)) == TRUE, "erase again", 10 * kBlock);
    check(FlashEraseBlock(bank(14 * kBlock)) == TRUE, "erase a blank block", 14 * kBlock);
    memset(&kShadow[10 * kBlock / 4], 0xFF, kBlock);
    compareBank();

    print("driver: ");
    printDec(kBlocks);
    print(" blocks erased, ");
    printDec(sizeof kRanges / sizeof kRanges[0]);
    print(" ranges (");
    printDec(programmed);
    print(" bytes) programmed, ");
    printDec(kBankWords);
    print(" words compared, ");
    printDec(failures);
    print(" failures\n");
    return failures == 0 ? 0 : 1;
}

int runReplay(const char *opsFile, const char *readsFile)
{
    int length = readFile(opsFile);
    if (length < 0 || length % 12 != 0) {
        print("replay: cannot read the operations file\n");
        return 1;
    }
    const uint32_t *ops = reinterpret_cast<const uint32_t *>(kScratch);
    uint32_t *reads = reinterpret_cast<uint32_t *>(kScratch + kScratchBytes / 2);
    uint32_t count = (uint32_t)length / 12;
    uint32_t readCount = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t *op = ops + 3 * i;
        if (op[1] >= kBankBytes || op[1] % 4 != 0) {
            print("replay: bad offset\n");
            return 1;
        }
        if (op[0] == 0)
            reads[readCount++] = FlashReadWord(bank(op[1]));
        else
            FlashWriteWord(bank(op[1]), op[2]);
    }
    if (!writeFile(readsFile, reads, readCount * 4)) {
        print("replay: cannot write the reads file\n");
        return 1;
    }
    return 0;
}

// Splits the command line in place; the program's name comes first.
uint32_t splitArgs(char *line, char **args, uint32_t max)
{
    uint32_t n = 0;
    while (*line != 0 && n < max) {
        while (*line == ' ')
            *line++ = 0;
        if (*line == 0)
            break;
        args[n++] = line;
        while (*line != 0 && *line != ' ')
            line++;
    }
    return n;
}

}  // namespace

// --- the platform calls the driver makes -----------------------------------

DWORD GetTickCount(void)
{
    return semihost(SYS_CLOCK, 0) * 10;
}

void Sleep(DWORD ms)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
    }
}

extern "C" void harness_exit(int status)
{
    semihost(SYS_EXIT, reinterpret_cast<const void *>(status == 0 ? 0x20026 : 0x20023));
    for (;;) {
    }
}

extern "C" int harness_main()
{
    static char line[512];
    uint32_t block[2] = {reinterpret_cast<uint32_t>(line), sizeof line};
    if (semihost(SYS_GET_CMDLINE, block) != 0) {
        print("harness: no command line\n");
        return 1;
    }
    char *args[4];
    uint32_t n = splitArgs(line, args, 4);
    if (n == 2 && strcmp(args[1], "driver") == 0)
        return runDriver();
    if (n == 4 && strcmp(args[1], "replay") == 0)
        return runReplay(args[2], args[3]);
    print("harness: use 'driver' or 'replay OPS READS'\n");
    return 2;
}
