// The flash pair model on its own: the devices' rules as the bus shows them.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "board/board.h"
#include "board/flash.h"
#include "flash_fixture.h"

namespace {

using board::FlashPair;
using nlohmann::json;
using namespace flashtest;

TEST(FlashModel, NewBoardIsErasedPastTheBootBlockAndInReadArray) {
    Pair p;
    const auto all = p.flash.readArray(0, FlashPair::kSize);
    EXPECT_EQ(all.size(), FlashPair::kSize);
    // But for the default image in the first 4 KB of the image flash.
    constexpr size_t kImage = 0xA00000, kImageEnd = kImage + 0x1000;
    EXPECT_TRUE(std::all_of(all.begin() + kBlock, all.begin() + kImage, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(std::string(all.begin() + kImage + 0x40, all.begin() + kImage + 0x44), "ECEC");
    EXPECT_TRUE(std::all_of(all.begin() + kImageEnd, all.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(p.flash.read32(kBlock + 0x1234 * 4), 0xFFFFFFFFu);
    EXPECT_EQ(p.flash.read32(0), p.word(0));
}

TEST(FlashModel, EachBusAccessAdvancesTheBoardClock) {
    Pair p(quick({{"flash", {{"timing", {{"access_ns", 777}}}}}}));
    const uint64_t before = p.now();
    p.flash.read32(0);
    p.flash.write32(0, both(0xFF));
    EXPECT_EQ(p.now() - before, 2u * 777u);
    EXPECT_EQ(p.flash.busAccesses(), 2u);
}

TEST(FlashModel, ProgrammingOnlyClearsBits) {
    Pair p;
    p.seed(kBlock + 0x40, 0xF0F0FF00);
    p.seed(kBlock + 0x44, 0x00000000);
    EXPECT_EQ(p.program(kBlock + 0x40, {0x0FF0F0F0, 0xFFFFFFFF}), kReady);
    p.flash.write32(kBlock, both(0xFF));
    EXPECT_EQ(p.flash.read32(kBlock + 0x40), 0x00F0F000u);
    EXPECT_EQ(p.flash.read32(kBlock + 0x44), 0x00000000u) << "programming set bits";
    EXPECT_EQ(p.word(kBlock + 0x48), 0xFFFFFFFFu) << "a word outside the buffer changed";

    // A word program (under either of its codes) takes the next write as the
    // word, where it is written, and reads status once it has begun.
    p.seed(kBlock + 0x84, 0xF0F0FF00);
    const std::pair<uint32_t, uint32_t> words[] = {{0x40, kBlock + 0x84}, {0x10, kBlock + 0x8C}};
    for (const auto &[code, address] : words) {
        p.flash.write32(kBlock, both(code));
        p.flash.write32(address, 0x0FF0F0F0);
        EXPECT_EQ(p.waitReady(kBlock), kReady) << "word program " << std::hex << code;
    }
    p.flash.write32(kBlock, both(0xFF));
    EXPECT_EQ(p.flash.read32(kBlock + 0x84), 0x00F0F000u);
    EXPECT_EQ(p.flash.read32(kBlock + 0x8C), 0x0FF0F0F0u);
    EXPECT_EQ(p.word(kBlock + 0x88), 0xFFFFFFFFu) << "a word program reached past its word";
    EXPECT_EQ(p.flash.driverFaults(), 0u) << "the word's halves differ as data do";
}

TEST(FlashModel, EraseSetsTheWholeBlockOfBothDevicesAndNothingElse) {
    Pair p;
    p.seed(kBlock - 4, 0x11111111);
    p.seed(kBlock, 0x22222222);
    p.seed(2 * kBlock - 4, 0x33333333);
    p.seed(2 * kBlock, 0x44444444);
    EXPECT_EQ(p.erase(kBlock + 0x100), kReady) << "erase confirmed anywhere in the block";
    EXPECT_EQ(p.word(kBlock - 4), 0x11111111u);
    EXPECT_EQ(p.word(kBlock), 0xFFFFFFFFu);
    EXPECT_EQ(p.word(2 * kBlock - 4), 0xFFFFFFFFu);
    EXPECT_EQ(p.word(2 * kBlock), 0x44444444u);
}

TEST(FlashModel, WhileBusyReadsGiveStatusWithoutReadyAndCommandsAreIgnored) {
    // One access per read, busy or not: every read of the busy time is seen.
    Pair p(quick({{"flash", {{"exact_polling", true}, {"timing", {{"program_ns", 1000}, {"access_ns", 100}}}}}}));
    p.seed(0x80, 0x12345678);
    p.flash.write32(0x80, both(0xE8));
    p.flash.read32(0x80);
    p.flash.write32(0x80, 0);
    p.flash.write32(0x80, 0x00000000);
    p.flash.write32(0x80, both(0xD0));
    const uint64_t confirmed = p.now();
    // Busy for 1000 ns: nine more accesses of 100 ns see it busy, read array included.
    p.flash.write32(0x80, both(0xFF));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p.flash.read32(0x80), 0u) << "access " << i;
    EXPECT_LT(p.now(), confirmed + 1000);
    EXPECT_EQ(p.flash.read32(0x80), kReady);
    EXPECT_EQ(p.word(0x80), 0u);
    EXPECT_EQ(p.flash.read32(0x80), kReady) << "read array given while busy must have been ignored";
}

TEST(FlashModel, EraseSetupWithoutConfirmIsASequenceErrorAndKeepsTheData) {
    Pair p;
    p.seed(kBlock, 0xA5A5A5A5);
    p.flash.write32(kBlock, both(0x20));
    EXPECT_EQ(p.flash.read32(kBlock), kReady) << "erase set-up reads status";
    p.flash.write32(kBlock, both(0xFF));  // not the confirm
    EXPECT_EQ(p.flash.read32(kBlock), kReady | both(0x30));
    EXPECT_EQ(p.word(kBlock), 0xA5A5A5A5u);
}

// Each broken write-to-buffer sequence sets bits 4 and 5 and programs nothing.
struct BrokenBuffer {
    const char *name;
    std::vector<std::pair<uint32_t, uint32_t>> writes;  // after 0xE8 at kBlock + 0x40
};
void PrintTo(const BrokenBuffer &c, std::ostream *os) { *os << c.name; }

class FlashBufferErrors : public ::testing::TestWithParam<BrokenBuffer> {};

TEST_P(FlashBufferErrors, SetSequenceErrorAndProgramNothing) {
    Pair p;
    const uint32_t base = kBlock + 0x40;
    p.flash.write32(base, both(0xE8));
    for (const auto &[address, value] : GetParam().writes) p.flash.write32(address, value);
    const uint32_t status = p.waitReady(base);
    EXPECT_EQ(status & both(0x30), both(0x30));
    for (uint32_t a = kBlock; a < kBlock + 0x100; a += 4) ASSERT_EQ(p.word(a), 0xFFFFFFFFu) << std::hex << a;
    for (uint32_t a = 2 * kBlock; a < 2 * kBlock + 0x100; a += 4) ASSERT_EQ(p.word(a), 0xFFFFFFFFu) << std::hex << a;
}

INSTANTIATE_TEST_SUITE_P(
    Model, FlashBufferErrors,
    ::testing::Values(
        BrokenBuffer{"CountAbove15", {{kBlock + 0x40, both(16)}, {kBlock + 0x40, 0}, {kBlock + 0x40, both(0xD0)}}},
        BrokenBuffer{"DataOutsideTheWindow",
                     {{kBlock + 0x40, both(1)}, {kBlock + 0x40, 0}, {kBlock + 0x80, 0}, {kBlock + 0x40, both(0xD0)}}},
        BrokenBuffer{"DataInTheNextWindowOfTheBlock",
                     {{kBlock + 0x40, both(1)}, {kBlock + 0x7C, 0}, {kBlock + 0x80, 0}, {kBlock + 0x40, both(0xD0)}}},
        BrokenBuffer{"BufferCrossingIntoAnotherBlock",
                     {{kBlock + 0x40, both(0)}, {2 * kBlock + 0x40, 0}, {kBlock + 0x40, both(0xD0)}}},
        BrokenBuffer{"ConfirmInAnotherBlock", {{kBlock + 0x40, both(0)}, {kBlock + 0x40, 0}, {2 * kBlock, both(0xD0)}}},
        BrokenBuffer{"NoConfirm", {{kBlock + 0x40, both(0)}, {kBlock + 0x40, 0}, {kBlock + 0x40, both(0xFF)}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FlashModel, ErrorBitsStayUntilClearStatusAndRefuseBufferProgramsMeanwhile) {
    Pair p;
    p.flash.write32(kBlock, both(0x20));
    p.flash.write32(kBlock, both(0x70));  // breaks the erase sequence
    p.flash.write32(kBlock, both(0xFF));
    EXPECT_EQ(p.status(kBlock), kReady | both(0x30)) << "read array must not clear the error";
    EXPECT_EQ(p.erase(2 * kBlock) & both(0x30), both(0x30)) << "a good erase must not clear it either";

    // Refused: nothing is programmed and the program error stands.
    EXPECT_EQ(p.program(kBlock + 0x40, {0}) & both(0x10), both(0x10));
    EXPECT_EQ(p.word(kBlock + 0x40), 0xFFFFFFFFu);

    p.flash.write32(kBlock, both(0x50));
    EXPECT_EQ(p.status(kBlock), kReady);
    EXPECT_EQ(p.program(kBlock + 0x40, {0}), kReady);
    EXPECT_EQ(p.word(kBlock + 0x40), 0u);
}

// Faults injected by the settings, one block at a time: the status each
// operation ends with and what the words under it hold afterwards.
struct InjectedFault {
    const char *name;
    json faults;
    uint32_t eraseStatus, afterErase;      // word seeded 0x5A5A5A5A
    uint32_t programStatus, afterProgram;  // 0x01020304 programmed over 0xFFFFFFFF
};
void PrintTo(const InjectedFault &c, std::ostream *os) { *os << c.name; }

class FlashInjectedFaults : public ::testing::TestWithParam<InjectedFault> {};

TEST_P(FlashInjectedFaults, FailWithTheirStatusBitsAndKeepTheData) {
    const InjectedFault &c = GetParam();
    Pair p(faults(c.faults));
    const uint32_t bad = 3 * kBlock;
    p.seed(bad + 0x100, 0x5A5A5A5A);
    EXPECT_EQ(p.erase(bad), c.eraseStatus);
    EXPECT_EQ(p.word(bad + 0x100), c.afterErase);
    p.flash.write32(bad, both(0x50));
    p.seed(bad + 0x200, 0xFFFFFFFF);
    EXPECT_EQ(p.program(bad + 0x200, {0x01020304}), c.programStatus);
    EXPECT_EQ(p.word(bad + 0x200), c.afterProgram);

    // The neighbours work as ever.
    p.flash.write32(bad, both(0x50));
    p.seed(4 * kBlock, 0);
    EXPECT_EQ(p.erase(4 * kBlock), kReady);
    EXPECT_EQ(p.word(4 * kBlock), 0xFFFFFFFFu);
    EXPECT_EQ(p.program(2 * kBlock, {0x01020304}), kReady);
    EXPECT_EQ(p.word(2 * kBlock), 0x01020304u);
}

constexpr uint32_t kHigh(uint32_t bits) { return bits << 16; }

INSTANTIATE_TEST_SUITE_P(
    Model, FlashInjectedFaults,
    ::testing::Values(
        InjectedFault{"Locked", {{"locked", {3}}}, kReady | both(0x22), 0x5A5A5A5A, kReady | both(0x12), 0xFFFFFFFF},
        InjectedFault{
            "LowVoltage", {{"low_voltage", {3}}}, kReady | both(0x28), 0x5A5A5A5A, kReady | both(0x18), 0xFFFFFFFF},
        InjectedFault{"EraseFails", {{"erase_fails", {3}}}, kReady | both(0x20), 0x5A5A5A5A, kReady, 0x01020304},
        InjectedFault{"ProgramFails", {{"program_fails", {3}}}, kReady, 0xFFFFFFFF, kReady | both(0x10), 0xFFFFFFFF},
        InjectedFault{"LockedInTheLowDeviceOnly",
                      {{"locked", {{{"block", 3}, {"device", 0}}}}},
                      kReady | 0x22,
                      0xFFFF5A5A,
                      kReady | 0x12,
                      0x0102FFFF},
        InjectedFault{"EraseFailsInTheHighDeviceOnly",
                      {{"erase_fails", {{{"block", 3}, {"device", 1}}}}},
                      kReady | kHigh(0x20),
                      0x5A5AFFFF,
                      kReady,
                      0x01020304}),
    [](const auto &info) { return std::string(info.param.name); });

// For the faults whose data survives only partly, the table above can't say it.
TEST(FlashModel, AnEraseFailsWithTheStuckBitLeftAtZero) {
    Pair p(faults({{"stuck_at_0", {{{"address", 5 * kBlock + 0x10}, {"bit", 17}}}}}));
    p.seed(5 * kBlock + 0x10, 0);
    p.seed(5 * kBlock + 0x20, 0);
    EXPECT_EQ(p.erase(5 * kBlock), kReady | (0x20u << 16)) << "only the high device fails its verify";
    EXPECT_EQ(p.word(5 * kBlock + 0x10), ~(1u << 17));
    EXPECT_EQ(p.word(5 * kBlock + 0x20), 0xFFFFFFFFu);
}

TEST(FlashModel, StuckBusyNeverEndsUntilPowerUp) {
    Pair p(faults({{"stuck_busy", {{{"block", 2}, {"device", 1}}}}}));
    p.seed(2 * kBlock, 0x12345678);
    p.flash.write32(2 * kBlock, both(0x20));
    p.flash.write32(2 * kBlock, both(0xD0));
    board::Board::open(p.board.dir())->clock().advanceNs(3600ull * 1000000000ull);
    EXPECT_EQ(p.flash.read32(2 * kBlock), 0x00000080u) << "ready in the low half only";
    p.flash.write32(2 * kBlock, both(0xFF));
    EXPECT_EQ(p.flash.read32(2 * kBlock), 0x0000FFFFu) << "the busy device ignores read array";
    p.flash.powerUp();
    EXPECT_EQ(p.flash.read32(2 * kBlock), 0x1234FFFFu) << "the stuck device never erased";
}

TEST(FlashModel, PowerUpResetsModeStatusAndBufferButNotTheLocks) {
    Pair p(faults({{"locked", {1}}}));
    const uint32_t a = 2 * kBlock;
    p.flash.write32(a, both(0x20));
    p.flash.write32(a, both(0x00));  // sequence error
    p.flash.write32(a + 0x40, both(0xE8));
    p.flash.write32(a + 0x40, both(3));
    p.flash.write32(a + 0x40, 0);  // a half-filled buffer
    p.flash.powerUp();
    EXPECT_EQ(p.flash.read32(a + 0x40), 0xFFFFFFFFu) << "read array after power-up";
    EXPECT_EQ(p.status(a), kReady) << "error bits cleared";
    p.flash.write32(a + 0x44, both(0xD0));
    EXPECT_EQ(p.status(a) & both(0x30), both(0x30)) << "the buffer sequence must be gone: a lone confirm is an error";
    p.flash.write32(a, both(0x50));
    EXPECT_EQ(p.erase(kBlock), kReady | both(0x22)) << "the lock stays";
}

TEST(FlashModel, PowerUpOfTheBoardResetsTheDevices) {
    Pair p;
    p.flash.write32(kBlock, both(0x70));
    EXPECT_EQ(p.flash.read32(kBlock), kReady);
    board::Board::open(p.board.dir())->powerUp();
    EXPECT_EQ(p.flash.read32(kBlock), 0xFFFFFFFFu);
}

TEST(FlashModel, ACommandReachingOneHalfIsRecordedAsADriverFault) {
    Pair p;
    p.seed(0x40, 0x12345678);
    p.flash.write32(0x40, 0x00FF0070);  // status to the low device, read array to the high
    EXPECT_EQ(p.flash.driverFaults(), 1u);
    EXPECT_EQ(p.flash.read32(0x40), 0x12340080u) << "each device acts on its own half";
    const auto events = p.board.events("flash_fault");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["address"], 0x40);
    EXPECT_EQ(events[0]["value"], 0x00FF0070);

    // Data words of a buffer sequence differ between the halves by nature.
    p.flash.write32(0x40, both(0x50));
    EXPECT_EQ(p.program(0x40, {0x00000000, 0x12340000}), kReady);
    EXPECT_EQ(p.flash.driverFaults(), 1u);
    EXPECT_EQ(p.board.events("flash_fault").size(), 1u);
}

TEST(FlashModel, TheTraceRecordsEveryAccessInOrder) {
    Pair p(quick({{"flash", {{"timing", {{"access_ns", 100}}}}}}));
    p.flash.read32(0);  // before tracing: not recorded
    p.flash.setTracing(true);
    EXPECT_TRUE(p.flash.tracing());
    const uint64_t t = p.now();
    p.flash.write32(0x10, both(0x70));
    p.flash.read32(0x10);
    const std::vector<board::BusAccess> expected = {{true, 0x10, both(0x70), t + 100}, {false, 0x10, kReady, t + 200}};
    EXPECT_EQ(p.flash.trace(), expected);

    p.flash.clearTrace();
    EXPECT_TRUE(p.flash.trace().empty());
    p.flash.setTracing(false);
    p.flash.read32(0);
    EXPECT_TRUE(p.flash.trace().empty());
}

// Two processes on one board drive one pair of devices, one access at a time.
TEST(FlashModel, ProcessesShareTheDevicesAndTakeTurnsOnTheBus) {
    Pair p(quick({{"flash", {{"timing", {{"access_ns", 10}}}}}}));
    p.flash.write32(kBlock, both(0x70));
    EXPECT_EQ(FlashPair(p.board.dir()).read32(kBlock), kReady) << "another opening sees the status mode";

    p.flash.setTracing(true);
    constexpr int kEach = 20000;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FlashPair mine(p.board.dir());
        for (int i = 0; i < kEach; ++i) mine.read32(0x1000);
        ::_exit(0);
    }
    for (int i = 0; i < kEach; ++i) p.flash.read32(0x2000);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const auto trace = p.flash.trace();
    ASSERT_EQ(trace.size(), 2u * kEach);
    for (size_t i = 1; i < trace.size(); ++i)
        ASSERT_EQ(trace[i].timeNs, trace[i - 1].timeNs + 10) << "access " << i << " overlapped another";
}

TEST(FlashModel, TheFactoryProgrammerWritesRawBytesAndChecksItsRange) {
    Pair p;
    const std::vector<uint8_t> loader = {0x00, 0x11, 0x22, 0x33, 0x44};
    p.flash.writeArray(FlashPair::kSize - 5, loader);
    EXPECT_EQ(p.flash.readArray(FlashPair::kSize - 5, 5), loader);
    EXPECT_EQ(p.flash.read32(FlashPair::kSize - 4), 0x44332211u);
    EXPECT_THROW(p.flash.writeArray(FlashPair::kSize - 4, loader), board::BoardError);
    EXPECT_THROW(p.flash.readArray(FlashPair::kSize, 1), board::BoardError);
    EXPECT_THROW(p.flash.read32(FlashPair::kSize), board::BoardError);
    EXPECT_THROW(p.flash.write32(2, 0), board::BoardError);
    EXPECT_EQ(p.flash.busAccesses(), 1u);
}

TEST(FlashModel, BadFaultSettingsAreReportedInOneLine) {
    const std::pair<json, const char *> cases[] = {
        {{{"locked", {256}}}, "block 256 is beyond the flash"},
        {{{"locked", 3}}, "must be a list of blocks"},
        {{{"erase_fails", {{{"block", 1}, {"device", 2}}}}}, "\"device\" must be 0 or 1"},
        {{{"stuck_at_0", {{{"address", 0}, {"bit", 32}}}}}, "outside the flash or the bus word"},
    };
    for (const auto &[list, message] : cases) {
        vtest::TempBoard b;
        board::Board::open(b.dir())->saveSettings(faults(list));
        try {
            FlashPair f(b.dir());
            ADD_FAILURE() << "accepted " << list.dump();
        } catch (const board::BoardError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
