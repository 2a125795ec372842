// The update tool's own image check (update-tool/image_check.cpp), run on
// image bytes held in memory and a flash read through a query.
#pragma once

#include <cstdint>
#include <string>

#include "image.h"

namespace binimage {

struct Judgement {
    uint32_t verdict = 0, reason = 0;  // image_check.h's IMAGE_... and CHECK_...
    uint32_t start = 0, length = 0, offset = 0;
    uint32_t record = 0, address = 0;  // the record at fault (1 = the first) and where
    uint8_t held = 0, wanted = 0;
    uint32_t heldFrom = 0;
    uint64_t flashWordsRead = 0;  // outside the erased blocks, not under an earlier record
};

// Verdicts, as image_check.h numbers them.
enum : uint32_t { kWritable = 0, kNotBinary = 1, kEndsEarly = 2, kNotWritable = 3 };
// Reasons that the inspector words itself.
enum : uint32_t {
    kShortSignature = 1,
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
uint32_t maxRecords();

// Without a query the flash reads 0xFFFFFFFF everywhere.
Judgement judge(const ImageSource &image, FlashQuery flash, void *context);

}  // namespace binimage
