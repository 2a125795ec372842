// Runs the update tool's image check on the host. This is the only file of
// the inspector that sees the platform's types.
#include "judge.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "image_check.h"

namespace binimage {

namespace {

struct Source {
    const ImageSource *image;
    FlashQuery flash;
    void *context;
    uint64_t flashWordsRead;
};

DWORD readImage(void *context, DWORD offset, BYTE *buffer, DWORD size) {
    const auto *s = static_cast<const Source *>(context);
    return static_cast<DWORD>(s->image->read(offset, buffer, size));
}

DWORD readFlash(void *context, DWORD flashAddress) {
    auto *s = static_cast<Source *>(context);
    ++s->flashWordsRead;
    return s->flash != nullptr ? s->flash(s->context, flashAddress) : 0xFFFFFFFF;
}

static_assert(IMAGE_WRITABLE == kWritable && IMAGE_NOT_BINARY == kNotBinary && IMAGE_ENDS_EARLY == kEndsEarly &&
              IMAGE_NOT_WRITABLE == kNotWritable);
static_assert(CHECK_SHORT_SIGNATURE == kShortSignature && CHECK_BITS_NOT_CLEARABLE == kBitsNotClearable &&
              CHECK_TOO_MANY_RECORDS == kTooManyRecords && CHECK_RECORD_OUTSIDE == kRecordOutside);

}  // namespace

uint32_t maxRecords() { return IMAGE_MAX_RECORDS; }

Judgement judge(const ImageSource &image, FlashQuery flash, void *context) {
    Source source{&image, flash, context, 0};
    IMAGE_CHECK check;
    Judgement j;
    DWORD verdict = CheckImageHeader(readImage, &source, &check);
    if (verdict == IMAGE_WRITABLE) {
        // Offsets are 32-bit, as on the board: the image ends at 4 GB.
        const DWORD size = static_cast<DWORD>(std::min<uint64_t>(image.size(), 0xFFFFFFFFu));
        // The check reads back only the records it kept in this call: the
        // table is kept from call to call, as the tool keeps its own.
        thread_local std::vector<IMAGE_RECORD> table(IMAGE_MAX_RECORDS);
        verdict = CheckImageRecords(readImage, readFlash, &source, size, table.data(), IMAGE_MAX_RECORDS, &check);
    }
    j.verdict = verdict;
    j.reason = check.reason;
    j.start = check.start;
    j.length = check.length;
    j.offset = check.offset;
    j.record = check.record;
    j.address = check.address;
    j.held = check.held;
    j.wanted = check.wanted;
    j.heldFrom = check.heldFrom;
    j.flashWordsRead = source.flashWordsRead;
    return j;
}

}  // namespace binimage
