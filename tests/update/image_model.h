// What an image update must do, worked out byte by byte from the file and
// the old flash alone: the tests' own model, which shares nothing with the
// tool's check. The update erases the 256 KB blocks that begin inside the
// image range, then programs the records in file order; programming makes
// each byte old AND new, so a record byte is refused where that is not the
// byte the record wants. Bounds are 64-bit sums, so nothing wraps.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace vtest::model {

constexpr uint32_t kWindow = 0x9CA00000;              // flash address of the window
constexpr uint64_t kWindowEnd = kWindow + 0x2000000;  // 32 MB
constexpr uint32_t kBlock = 0x40000;
constexpr uint32_t kPage = 0x1000;  // the model keeps the bytes it touches in pages this big

// Why an image is refused, numbered as inspectbin reports it.
enum Reason : uint32_t {
    kWritten = 0,
    kShortSignature,
    kWrongSignature,
    kShortHeader,
    kRangeOutside,
    kShortRecordHeader,
    kShortRecordData,
    kUnalignedRecord,
    kRecordOutside,
    kTooManyRecords,
    kBitsNotClearable,
};

// Fills `out` with `size` bytes of the flash as it is before the update,
// from flash address `at` on (inside the window).
using OldFlash = std::function<void(uint32_t at, char *out, size_t size)>;

struct Prediction {
    std::string message;  // the tool's message box; empty: the image is written
    Reason reason = kWritten;
    uint32_t record = 0;                // the record at fault, 1 = the first in the file
    uint32_t address = 0;               // the refused byte, or the record's flash address
    uint32_t writersUnder = 0;          // with kBitsNotClearable: records that wrote that byte before
    bool keptUnderErasedStart = false;  // ... and it lies in a kept block, the record's first byte in an erased one
    // With a record at fault: its length and where its data would end in the file.
    uint32_t recordLength = 0;
    uint64_t dataEnd = 0;
    uint32_t start = 0, length = 0;  // the image range, translated
    // Written images only: the most records over one byte, and whether a
    // record byte went over old data that was not blank.
    uint32_t mostWriters = 0;
    bool overOldData = false;
    // The pages the records wrote, as the update leaves them.
    std::map<uint32_t, std::string> pages;

    bool erases(uint32_t blockAddress) const {
        return blockAddress >= start && uint64_t{blockAddress} < uint64_t{start} + length;
    }
    // Turns `flash`, the old contents from flash address `at` on, into what
    // the update leaves there.
    void apply(uint32_t at, std::string &flash) const;
};

Prediction predict(const std::string &file, const OldFlash &old);

}  // namespace vtest::model
