// The bus trace on its way to <board>/flash.trace: records wait in the shared
// state page and reach the file in batches, yet every reader sees the whole
// trace in bus order, whoever made the accesses and however they ended.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "board/board.h"
#include "board/clock.h"
#include "board/flash.h"
#include "test_support.h"

namespace {

using board::BusAccess;
using board::FlashPair;
using nlohmann::json;

constexpr uint64_t kAccessNs = 100;
constexpr size_t kRecordBytes = 24;

const json kSettings = {{"flash", {{"timing", {{"access_ns", kAccessNs}}}}}};

uint64_t now(const vtest::TempBoard &board) { return board::Board::open(board.dir())->clock().nowNs(); }

uint64_t fileSize(const FlashPair &flash) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(flash.boardDir() / "flash.trace", ec);
    return ec ? 0 : size;
}

// `count` reads of the erased words from kBase on, through `flash`.
constexpr uint32_t kBase = 0x2000000;
uint32_t wordAt(uint32_t i) { return kBase + i * 4 % 0x100000; }
void readWords(FlashPair &flash, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) flash.read32(wordAt(i));
}

// What `readWords(count)` leaves in the trace, from board time `from`.
std::vector<BusAccess> wordReads(uint32_t count, uint64_t from) {
    std::vector<BusAccess> out;
    for (uint32_t i = 0; i < count; ++i) out.push_back({false, wordAt(i), 0xFFFFFFFF, from + (i + 1) * kAccessNs});
    return out;
}

TEST(FlashTraceFile, ManyBatchesComeBackWholeAndInOrderAndTheFileKeepsItsFormat) {
    vtest::TempBoard board(kSettings);
    FlashPair flash(board.dir());
    flash.setTracing(true);
    const uint64_t t = now(board);
    constexpr uint32_t kCount = 10001;  // several batches and a part of one
    readWords(flash, kCount);
    flash.write32(0x40, 0x00FF00FF);
    auto expected = wordReads(kCount, t);
    expected.push_back({true, 0x40, 0x00FF00FF, t + (kCount + 1) * kAccessNs});
    EXPECT_EQ(flash.trace(), expected);

    // Switched off, the file holds every record, as outside readers expect.
    flash.setTracing(false);
    ASSERT_EQ(fileSize(flash), expected.size() * kRecordBytes);
    std::ifstream in(flash.boardDir() / "flash.trace", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(kCount * kRecordBytes));
    unsigned char last[kRecordBytes];
    ASSERT_TRUE(in.read(reinterpret_cast<char *>(last), kRecordBytes));
    uint64_t time;
    uint32_t address, value, write, zero;
    std::memcpy(&time, last, 8);
    std::memcpy(&address, last + 8, 4);
    std::memcpy(&value, last + 12, 4);
    std::memcpy(&write, last + 16, 4);
    std::memcpy(&zero, last + 20, 4);
    EXPECT_EQ(time, expected.back().timeNs);
    EXPECT_EQ(address, 0x40u);
    EXPECT_EQ(value, 0x00FF00FFu);
    EXPECT_EQ(write, 1u);
    EXPECT_EQ(zero, 0u);
}

TEST(FlashTraceFile, WaitingRecordsAreSharedByEveryOpeningOfTheBoard) {
    vtest::TempBoard board(kSettings);
    FlashPair reader(board.dir());
    reader.setTracing(true);
    const uint64_t t = now(board);
    {
        FlashPair writer(board.dir());
        readWords(writer, 10);
        EXPECT_EQ(reader.trace(), wordReads(10, t)) << "read while the writer is still open";
        readWords(writer, 5);
    }
    // The writer has gone: its last records are in the file.
    EXPECT_EQ(fileSize(reader), 15 * kRecordBytes);

    // Clearing from one opening drops what waits for another, too.
    FlashPair other(board.dir());
    readWords(other, 7);
    reader.clearTrace();
    EXPECT_TRUE(other.trace().empty());
    const uint64_t u = now(board);
    readWords(other, 3);
    EXPECT_EQ(reader.trace(), wordReads(3, u));
}

TEST(FlashTraceFile, AProcessKilledWhileTracingLeavesItsRecords) {
    vtest::TempBoard board(kSettings);
    FlashPair flash(board.dir());
    flash.setTracing(true);
    const uint64_t t = now(board);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FlashPair mine(board.dir());
        readWords(mine, 5000);
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(flash.trace(), wordReads(5000, t));
}

// A writer that died between writing a batch and counting it leaves bytes
// the board does not count: they are not read, and the next batch goes over
// them.
TEST(FlashTraceFile, BytesLeftBeyondTheCountedRecordsAreNotRead) {
    vtest::TempBoard board(kSettings);
    FlashPair flash(board.dir());
    flash.setTracing(true);
    const uint64_t t = now(board);
    readWords(flash, 4);
    flash.setTracing(false);
    {
        std::ofstream out(flash.boardDir() / "flash.trace", std::ios::binary | std::ios::app);
        const std::string stray(3 * kRecordBytes + 5, '\x5A');
        out << stray;
    }
    EXPECT_EQ(flash.trace(), wordReads(4, t));

    flash.setTracing(true);
    const uint64_t u = now(board);
    readWords(flash, 6);
    flash.setTracing(false);
    auto expected = wordReads(4, t);
    for (const auto &a : wordReads(6, u)) expected.push_back(a);
    EXPECT_EQ(flash.trace(), expected);
}

}  // namespace
