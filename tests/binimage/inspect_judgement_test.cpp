// The inspector's verdict is the update tool's check: records over each
// other, records over old flash, the limit of records, and what the flash
// holds after an accepted image.
#include <gtest/gtest.h>

#include "image.h"

namespace {

using nlohmann::json;

// A flash that holds `fill` everywhere but for the words set in `words`.
struct FakeFlash {
    uint32_t fill = 0xFFFFFFFF;
    std::map<uint32_t, uint32_t> words;
    static uint32_t word(void *context, uint32_t at) {
        const auto *f = static_cast<FakeFlash *>(context);
        const auto w = f->words.find(at);
        return w != f->words.end() ? w->second : f->fill;
    }
};

json twoRecords(uint32_t start, const char *first, uint32_t secondAt, const char *second) {
    return {{"start", start},
            {"length", 0x1000},
            {"records", {{{"address", start}, {"hex", first}}, {{"address", secondAt}, {"hex", second}}}}};
}

TEST(InspectJudgement, RecordsOverEachOtherAndOverOldFlash) {
    struct Case {
        const char *name;
        json image;
        uint32_t oldFill;     // the flash outside the erased blocks
        const char *refusal;  // null: written
        const char *finding;  // part of the refusal's reason
    };
    const std::vector<Case> cases = {
        {"same bytes twice", twoRecords(0x80080000, "11223344", 0x80080000, "11223344"), 0, nullptr, ""},
        {"later clears more bits", twoRecords(0x80080000, "ff0f", 0x80080000, "0f0f"), 0, nullptr, ""},
        {"later sets a bit", twoRecords(0x80080000, "0f", 0x80080000, "f0"), 0, "Error writing to Flash!",
         "record 2: the byte at 9ca00000 holds 0f and cannot become f0 (written by record 1)"},
        {"overlap in the middle", twoRecords(0x80080000, "0000000000000000", 0x80080004, "00000001"), 0,
         "Error writing to Flash!", "the byte at 9ca00007 holds 00 and cannot become 01"},
        {"beside each other", twoRecords(0x80080000, "000000", 0x80080004, "ffffffff"), 0, nullptr, ""},
        // The image starts part-way into block 0, which keeps its old data.
        {"zeros over old zeros", twoRecords(0x80081000, "00000000", 0x80081004, "00"), 0x00000000, nullptr, ""},
        {"a bit over old zeros", twoRecords(0x80081000, "00000000", 0x80081004, "01"), 0x00000000,
         "Error writing to Flash!", "(old data in a block the update does not erase)"},
        {"the same over an erased block", twoRecords(0x80080000, "01", 0x80080004, "01"), 0x00000000, nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FakeFlash flash{c.oldFill, {}};
        const auto r = binimage::inspect(binimage::build(c.image), FakeFlash::word, &flash);
        if (c.refusal == nullptr) {
            EXPECT_FALSE(r.refusal) << r.findings[0].message;
            continue;
        }
        EXPECT_EQ(r.refusal.value_or("written"), c.refusal);
        ASSERT_FALSE(r.findings.empty());
        EXPECT_NE(r.findings[0].message.find(c.finding), std::string::npos) << r.findings[0].message;
    }
}

// The check keeps every record with data to find overlaps; beyond what it
// keeps it refuses rather than guess.
TEST(InspectJudgement, AnImageMayHaveUpTo2048RecordsWithData) {
    for (uint32_t count : {2048u, 2049u}) {
        json d = {{"start", 0x80080000u}, {"length", 0x10000u}, {"records", json::array()}};
        for (uint32_t i = 0; i < count; ++i) {
            d["records"].push_back({{"address", 0x80080000u + 4 * i}, {"hex", "01020304"}});
            d["records"].push_back({{"address", 0x80090000u}, {"size", 0}});  // empty records do not count
        }
        const auto r = binimage::inspect(binimage::build(d));
        if (count == 2048) {
            EXPECT_FALSE(r.refusal) << r.findings[0].message;
        } else {
            EXPECT_EQ(r.refusal.value_or("written"), "Error writing to Flash!");
            EXPECT_EQ(r.faultRecord, 2 * count - 1);
        }
    }
}

TEST(InspectJudgement, WrittenContentsLetTheLaterRecordWin) {
    const std::string bytes = binimage::build(json{{"start", 0x80080000u},
                                                   {"records",
                                                    {{{"address", 0x80080000u}, {"hex", "ffffffffffffffff"}},
                                                     {{"address", 0x80080004u}, {"hex", "0102"}},
                                                     {{"address", 0x80080000u}, {"hex", "aa"}}}}});
    const auto report = binimage::inspect(bytes);
    ASSERT_FALSE(report.refusal);
    const auto written = binimage::writtenContents(bytes, report);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].second, std::string("\xAA\xFF\xFF\xFF\x01\x02\xFF\xFF", 8));
    EXPECT_EQ(written[1].second, "\x01\x02");
    EXPECT_EQ(written[2].second, "\xAA");

    // Read back by image address, across the records and past their end.
    char at[8];
    EXPECT_TRUE(binimage::readAtImageAddress(binimage::MemoryImage(bytes), report, 0x80080000u, at, 8));
    EXPECT_EQ(std::string(at, 8), written[0].second);
    char past[10];
    EXPECT_FALSE(binimage::readAtImageAddress(binimage::MemoryImage(bytes), report, 0x80080000u, past, 10));
    EXPECT_EQ(std::string(past, 10), written[0].second + std::string(2, '\0'));

    // Applied to a flash: the erased block is blank but for the records.
    std::string flash(0x40010, '\x00');
    binimage::applyUpdate(flash, 0x9CA00000u - 0x10, bytes, report);
    EXPECT_EQ(flash.substr(0, 0x10), std::string(0x10, '\0'));  // below the image: not erased
    EXPECT_EQ(flash.substr(0x10, 8), written[0].second);
    EXPECT_EQ(flash.substr(0x18), std::string(0x40000 - 8, '\xFF'));
}

}  // namespace
