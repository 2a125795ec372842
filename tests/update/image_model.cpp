#include "image_model.h"

#include <algorithm>

namespace vtest::model {

namespace {

uint32_t blockOf(uint32_t address) { return address - (address - kWindow) % kBlock; }

}  // namespace

void Prediction::apply(uint32_t at, std::string &flash) const {
    if (!message.empty()) return;
    const uint64_t end = uint64_t{at} + flash.size();
    auto put = [&](uint64_t from, uint64_t to, const char *bytes) {
        const uint64_t lo = std::max<uint64_t>(from, at), hi = std::min(to, end);
        if (lo >= hi) return;
        if (bytes == nullptr) std::fill_n(flash.begin() + (lo - at), hi - lo, '\xFF');
        else std::copy_n(bytes + (lo - from), hi - lo, flash.begin() + (lo - at));
    };
    for (uint64_t block = kWindow; block < kWindowEnd; block += kBlock)
        if (erases(static_cast<uint32_t>(block))) put(block, block + kBlock, nullptr);
    for (const auto &[pageAt, bytes] : pages) put(pageAt, uint64_t{pageAt} + kPage, bytes.data());
}

Prediction predict(const std::string &file, const OldFlash &old) {
    Prediction p;
    auto refuse = [&p](const char *message, Reason reason) {
        p.message = message;
        p.reason = reason;
        p.pages.clear();
        return p;
    };
    const char *const kNotBinary = "Not a WinCE Binary Image file!";
    const char *const kEndsEarly = "Unexpected end of file!";
    const char *const kNotWritable = "Error writing to Flash!";
    const uint64_t size = file.size();
    auto byteAt = [&](uint64_t at) { return static_cast<uint8_t>(file[at]); };
    auto le32 = [&](uint64_t at) {
        return byteAt(at) | byteAt(at + 1) << 8 | byteAt(at + 2) << 16 | static_cast<uint32_t>(byteAt(at + 3)) << 24;
    };

    if (size < 7) return refuse(kNotBinary, kShortSignature);
    if (file.compare(0, 7, "B000FF\n") != 0) return refuse(kNotBinary, kWrongSignature);
    if (size < 15) return refuse(kEndsEarly, kShortHeader);
    const uint32_t rawStart = le32(7);
    const uint32_t offset = rawStart < 0xBCA00000u ? 0x1C980000u : 0xE0000000u;
    p.start = rawStart + offset;
    p.length = le32(11);
    if (p.length != 0 && (p.start < kWindow || uint64_t{p.start} + p.length > kWindowEnd))
        return refuse(kNotWritable, kRangeOutside);

    // A page as the update finds it: blank in an erased block, else the old
    // bytes; with it, how many records have written each of its bytes.
    std::map<uint32_t, std::string> writers;
    auto page = [&](uint32_t pageAt) -> std::pair<char *, char *> {
        auto [it, added] = p.pages.try_emplace(pageAt, kPage, '\xFF');
        if (added) {
            if (!p.erases(blockOf(pageAt))) old(pageAt, it->second.data(), kPage);
            writers[pageAt].assign(kPage, '\0');
        }
        return {it->second.data(), writers[pageAt].data()};
    };

    uint64_t pos = 15;
    uint32_t withData = 0;
    for (uint32_t index = 1;; ++index) {
        p.record = index;
        if (pos + 12 > size) return refuse(kEndsEarly, kShortRecordHeader);
        const uint32_t raw = le32(pos), length = le32(pos + 4);
        pos += 12;
        const uint32_t at = raw != 0 ? raw + offset : 0;
        p.address = at;
        if (at == 0) break;  // the end of the image
        p.recordLength = length;
        p.dataEnd = pos + length;
        if (pos + length > size) return refuse(kEndsEarly, kShortRecordData);
        if (length != 0) {
            if (at % 4 != 0) return refuse(kNotWritable, kUnalignedRecord);
            // The driver reads the status at the word after the last one.
            if (at < kWindow || uint64_t{at} + length + 4 > kWindowEnd) return refuse(kNotWritable, kRecordOutside);
            if (++withData > 2048) return refuse(kNotWritable, kTooManyRecords);
            const bool startErased = p.erases(blockOf(at));
            for (uint32_t done = 0; done < length;) {
                const uint32_t a = at + done;
                const uint32_t pageAt = a - a % kPage;
                const uint32_t n = std::min(length - done, pageAt + kPage - a);
                auto [held, count] = page(pageAt);
                held += a - pageAt;
                count += a - pageAt;
                for (uint32_t i = 0; i < n; ++i) {
                    const uint8_t was = static_cast<uint8_t>(held[i]), want = byteAt(pos + done + i);
                    if ((was & want) != want) {
                        p.address = a + i;
                        p.writersUnder = static_cast<uint8_t>(count[i]);
                        p.keptUnderErasedStart = startErased && !p.erases(blockOf(a + i));
                        return refuse(kNotWritable, kBitsNotClearable);
                    }
                    if (count[i] == 0 && was != 0xFF && !p.erases(blockOf(a + i))) p.overOldData = true;
                    held[i] = static_cast<char>(was & want);
                    if (static_cast<uint8_t>(count[i]) < 255) ++count[i];
                    p.mostWriters = std::max<uint32_t>(p.mostWriters, static_cast<uint8_t>(count[i]));
                }
                done += n;
            }
        }
        pos += length;
    }
    p.record = 0;
    p.address = 0;
    p.recordLength = 0;
    p.dataEnd = 0;
    return p;
}

}  // namespace vtest::model
