// The image maker and inspector used by tests, demos and service engineers.
#include <gtest/gtest.h>

#include <span>

#include "board/flash.h"
#include "image.h"
#include "test_support.h"

namespace {

using nlohmann::json;

TEST(BinImage, BuildWritesTheLayoutTheToolReads) {
    const json d = {
        {"start", "0x80080000"}, {"length", 100}, {"records", {{{"address", "0x80080000"}, {"hex", "01020304"}}}}};
    const std::string b = binimage::build(d);
    const std::string expected(
        "B000FF\n"
        "\x00\x00\x08\x80"
        "\x64\x00\x00\x00"
        "\x00\x00\x08\x80"
        "\x04\x00\x00\x00"
        "\x0a\x00\x00\x00"
        "\x01\x02\x03\x04"
        "\x00\x00\x00\x00"
        "\x00\x00\x00\x00"
        "\x00\x00\x00\x00",
        7 + 8 + 16 + 12);
    EXPECT_EQ(b, expected);
}

struct InspectCase {
    const char *name;
    json description;
    const char *refusal;  // null: accepted
};

TEST(BinImage, InspectorRefusesWhatTheToolRefuses) {
    const std::vector<InspectCase> cases = {
        {"good", {{"start", 0x80080000u}, {"records", {{{"address", 0x80080000u}, {"size", 64}}}}}, nullptr},
        {"high start", {{"start", 0xBCA00000u}, {"records", {{{"address", 0xBCA00000u}, {"size", 64}}}}}, nullptr},
        {"wrong signature", {{"signature", "B000FE\n"}, {"records", json::array()}}, "Not a WinCE Binary Image file!"},
        {"truncated data",
         {{"start", 0x80080000u}, {"records", {{{"address", 0x80080000u}, {"size", 64}}}}, {"truncate", 40}},
         "Unexpected end of file!"},
        {"no end record",
         {{"start", 0x80080000u}, {"terminate", false}, {"records", {{{"address", 0x80080000u}, {"size", 8}}}}},
         "Unexpected end of file!"},
        {"outside window",
         {{"start", 0x80080000u}, {"length", 16}, {"records", {{{"address", 0x82080000u}, {"size", 8}}}}},
         "Error writing to Flash!"},
        {"unaligned",
         {{"start", 0x80080000u}, {"length", 16}, {"records", {{{"address", 0x80080001u}, {"size", 8}}}}},
         "Error writing to Flash!"},
    };
    for (const auto &c : cases) {
        const auto r = binimage::inspect(binimage::build(c.description));
        if (c.refusal == nullptr) {
            EXPECT_FALSE(r.refusal.has_value()) << c.name << ": " << r.refusal.value_or("");
            EXPECT_EQ(r.start, 0x9CA00000u) << c.name;
        } else {
            EXPECT_EQ(r.refusal.value_or("accepted"), c.refusal) << c.name;
        }
    }
}

TEST(BinImage, ChecksumIsTheSumOfTheDataBytes) {
    const json d = {{"start", 0x80080000u}, {"records", {{{"address", 0x80080000u}, {"hex", "ff01ff01"}}}}};
    const auto r = binimage::inspect(binimage::build(d));
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[0].checksum, 0x200u);
    EXPECT_TRUE(r.records[0].checksumValid);
    json bad = d;
    bad["records"][0]["checksum"] = "bad";
    EXPECT_FALSE(binimage::inspect(binimage::build(bad)).records[0].checksumValid);
}

TEST(BinImage, CommandLineToolsMakeAndJudgeImages) {
    vtest::TempBoard board;
    const auto out = board.dir() / "scratch" / "sample.bin";
    std::filesystem::create_directories(out.parent_path());
    auto made = vtest::run("mkbin", {"--sample", "2M", out.string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    auto ok = vtest::run("inspectbin", {out.string(), "--board", board.dir().string()});
    EXPECT_EQ(ok.exitCode, 0) << ok.out << ok.err;
    EXPECT_NE(ok.out.find("the update tool writes this image"), std::string::npos) << ok.out;

    vtest::writeFile(out, vtest::readFile(out).substr(0, 1000));
    auto cut = vtest::run("inspectbin", {out.string()});
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_NE(cut.out.find("\"Unexpected end of file!\""), std::string::npos) << cut.out;
    EXPECT_EQ(vtest::run("inspectbin", {}).exitCode, 2);

    // Past 4 GB (sparse) after the end record: read as it comes, the true size told.
    ASSERT_EQ(vtest::run("mkbin", {"--sample", "2M", out.string()}).exitCode, 0);
    std::filesystem::resize_file(out, 5ull << 30);
    auto huge = vtest::run("inspectbin", {out.string()}, {}, 30);
    EXPECT_EQ(huge.exitCode, 0) << huge.out << huge.err;
    EXPECT_NE(huge.out.find("(5368709120 bytes)"), std::string::npos) << huge.out;
}

// --verify reads the board's flash: blank, holding the image, and holding it
// with one byte changed.
TEST(BinImage, InspectorVerifiesTheImageInTheBoardsFlash) {
    vtest::TempBoard board;
    const auto out = board.dir() / "scratch" / "verify.bin";
    std::filesystem::create_directories(out.parent_path());
    ASSERT_EQ(vtest::run("mkbin", {"--sample", "256K", out.string()}).exitCode, 0);
    const std::vector<std::string> args = {out.string(), "--board", board.dir().string(), "--verify"};

    auto blank = vtest::run("inspectbin", args);
    EXPECT_EQ(blank.exitCode, 1) << blank.out << blank.err;
    EXPECT_NE(blank.out.find("does NOT hold"), std::string::npos) << blank.out;

    // The factory programmer puts every record where the tool would.
    const std::string bytes = vtest::readFile(out);
    const auto report = binimage::inspect(bytes);
    constexpr uint32_t kFlashKernelBase = 0x9C000000;
    uint32_t lastAt = 0;
    {
        board::FlashPair flash(board.dir());
        for (const auto &r : report.records) {
            if (r.flashAddress == 0) continue;
            const auto *data = reinterpret_cast<const uint8_t *>(bytes.data() + r.dataOffset);
            flash.writeArray(r.flashAddress - kFlashKernelBase, std::span<const uint8_t>(data, r.length));
            lastAt = r.flashAddress - kFlashKernelBase + r.length - 1;
        }
    }
    auto holds = vtest::run("inspectbin", args);
    EXPECT_EQ(holds.exitCode, 0) << holds.out << holds.err;
    EXPECT_NE(holds.out.find("records match byte for byte"), std::string::npos) << holds.out;

    {
        board::FlashPair flash(board.dir());
        const uint8_t changed = static_cast<uint8_t>(flash.readArray(lastAt, 1)[0] ^ 0x01);
        flash.writeArray(lastAt, std::span<const uint8_t>(&changed, 1));
    }
    auto differs = vtest::run("inspectbin", args);
    EXPECT_EQ(differs.exitCode, 1) << differs.out << differs.err;

    auto noBoard = vtest::run("inspectbin", {out.string(), "--board", (board.dir() / "none").string(), "--verify"});
    EXPECT_EQ(noBoard.exitCode, 2) << noBoard.out << noBoard.err;
}

}  // namespace
