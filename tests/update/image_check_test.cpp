// What the check before the first erase lets through, on a board: records
// over each other, records over old data in blocks the update does not
// erase, and the same image written again. Every run is also held against
// the tests' own model of the update (image_model.h).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "image.h"
#include "image_helpers.h"
#include "image_model.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using namespace vtest::images;
using nlohmann::json;
namespace model = vtest::model;

struct Outcome {
    std::vector<std::string> boxes;
    std::string before, after;
};

// Runs "/u" with `image` on `board`, whose image flash first gets `old`
// at kBase (when given).
Outcome update(const TempBoard &board, const std::string &image, const std::string &old = {}) {
    if (!old.empty()) {
        auto flash = flashContents(board);
        flash.replace(kBase - 0x9C000000u, old.size(), old);
        writeFile(board.dir() / "flash.bin", flash);
    }
    writeFile(board.files() / "x.bin", image);
    Outcome run;
    run.before = flashContents(board);
    auto op = std::make_shared<RecordingOperator>();
    op->choice = u"\\x.bin";
    runUpdateTool(board, op, u"/u");
    for (const auto &b : op->boxes()) run.boxes.push_back(wince::toUtf8(b.text));
    run.after = flashContents(board);

    const auto predicted = model::predict(
        image, [&run](uint32_t at, char *out, size_t size) { run.before.copy(out, size, at - kArrayBase); });
    std::string expected = run.before;
    predicted.apply(kArrayBase, expected);
    EXPECT_EQ(run.boxes,
              predicted.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{predicted.message})
        << "the model's reason: " << predicted.reason << " at record " << predicted.record;
    EXPECT_TRUE(run.after == expected) << "the flash is not what the model predicts";
    return run;
}

std::string unhex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

// The flash holds every record as the tool leaves it, by inspectbin --verify.
void expectVerified(const TempBoard &board, const std::string &image) {
    writeFile(board.dir() / "verify.bin", image);
    auto v =
        vtest::run("inspectbin", {(board.dir() / "verify.bin").string(), "--board", board.dir().string(), "--verify"});
    EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
}

TEST(ImageCheck, RecordsTheFlashCannotTakeOverEachOtherAreRefusedBeforeAnyErase) {
    TempBoard board(kReturningReboot);
    // An image already there: the refusal must leave it whole.
    std::string old(2 * kBlock, '\0');
    for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<char>(i * 7);
    const std::string image = binimage::build(json::parse(R"({"start":"0x80080000","length":"0x40000","records":[
        {"address":"0x80080000","size":64,"fill":"0x0F"},{"address":"0x80080000","size":64,"fill":"0xF0"}]})"));
    const Outcome run = update(board, image, old);
    EXPECT_EQ(run.boxes, std::vector<std::string>{"Error writing to Flash!"});
    EXPECT_TRUE(run.after == run.before) << "the flash changed";
    EXPECT_EQ(board.events("reboot").size(), 1u);
}

// Overlaps the flash can take are written in file order: the later record
// wins and every record's bytes are what the flash ends up holding.
TEST(ImageCheck, RecordsOverEachOtherAreWrittenWhereTheBitsAllowIt) {
    struct Case {
        const char *name;
        const char *first, *second;  // hex of records at kBase and kBase + 4
    };
    const std::vector<Case> cases = {
        {"the same bytes again", "0f1e2d3c4b5a6978", "4b5a6978"},
        {"bits only cleared", "ffffffffff7fff7f", "0000ff3f"},
        {"an erased gap filled later", "01020304ffffffff05060708", "a1a2a3a4"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempBoard board(kReturningReboot);
        const json d = {
            {"start", 0x80080000u},
            {"length", 0x1000u},
            {"records", {{{"address", 0x80080000u}, {"hex", c.first}}, {{"address", 0x80080004u}, {"hex", c.second}}}}};
        const std::string image = binimage::build(d);
        const Outcome run = update(board, image);
        EXPECT_TRUE(run.boxes.empty()) << run.boxes[0];
        std::string expected = unhex(c.first);
        expected.replace(4, std::strlen(c.second) / 2, unhex(c.second));
        EXPECT_EQ(flashAt(run.after, kBase, expected.size()), expected);
        expectVerified(board, image);
    }
}

// In a block the update does not erase a word takes a record's value when
// (old AND new) = new; bytes a short last word leaves out keep their bits.
TEST(ImageCheck, OldDataInABlockThatIsNotErasedTakesWhatProgrammingCanClear) {
    struct Case {
        const char *name;
        std::string old;   // at kBase + 0x1000
        const char *data;  // hex of the record there
        bool written;
    };
    const std::vector<Case> cases = {
        {"blank", std::string(8, '\xFF'), "12345678", true},
        {"the same bytes", "\x12\x34\x56\x78", "12345678", true},
        {"a subset of the bits", std::string("\xF7\x3F\xFF\x00", 4), "33050000", true},
        {"a short last word over zeros", std::string(4, '\0'), "000000", true},
        {"one bit to set", std::string("\xF7\x3F\xFF\x00", 4), "33050001", false},
        {"one bit in the second word", std::string("\xFF\xFF\xFF\xFF\xFE\xFF\xFF\xFF", 8), "ffffffffffffffff", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempBoard board(kReturningReboot);
        // The image starts at kBase + 0x1000, part-way into a block the
        // update therefore leaves as it is.
        const json d = {
            {"start", 0x80081000u}, {"length", 0x1000u}, {"records", {{{"address", 0x80081000u}, {"hex", c.data}}}}};
        std::string old(0x1000, '\x5A');
        old += c.old;
        const Outcome run = update(board, binimage::build(d), old);
        if (c.written) {
            EXPECT_TRUE(run.boxes.empty()) << run.boxes[0];
            expectVerified(board, binimage::build(d));
            // Nothing else changed: not the bytes a short last word leaves
            // out, not the rest of the block.
            std::string expected = run.before;
            expected.replace(kBase + 0x1000 - 0x9C000000u, std::strlen(c.data) / 2, unhex(c.data));
            EXPECT_TRUE(run.after == expected);
        } else {
            EXPECT_EQ(run.boxes, std::vector<std::string>{"Error writing to Flash!"});
            EXPECT_TRUE(run.after == run.before) << "the flash changed";
        }
    }
}

// The image whose start falls part-way into a block, written twice: the
// second run meets the first run's bytes in the block it does not erase.
TEST(ImageCheck, AnImageWithAnUnalignedStartCanBeWrittenAgain) {
    TempBoard board(kReturningReboot);
    const std::string image = binimage::build({{"start", 0x80081000u},
                                               {"length", 0x80000u},
                                               {"records",
                                                {{{"address", 0x80081000u}, {"size", 70001}},
                                                 {{"address", 0x800C1000u}, {"size", 1000}, {"fill", "counter"}}}}});
    for (int pass = 1; pass <= 2; ++pass) {
        SCOPED_TRACE(pass);
        const Outcome run = update(board, image);
        EXPECT_TRUE(run.boxes.empty()) << run.boxes[0];
        expectVerified(board, image);
    }
}

}  // namespace
