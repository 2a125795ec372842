// The driver's waits on a board that holds busy-polls (the default) against
// one that answers every status read in one bus access (exact polling): the
// driver must end each wait with the same result at the same board time, and
// only the number of reads may differ.
#include <windows.h>
#include <pkfuncs.h>

#include <gtest/gtest.h>

#include <functional>

#include "board/board.h"
#include "board/clock.h"
#include "flash.h"
#include "flash_fixture.h"

namespace flashtest {
namespace {

using board::BusAccess;
using nlohmann::json;

constexpr uint64_t kMs = 1000000;
constexpr uint32_t kBlock44 = kWindowPhys + 4 * kBlock;  // seeded with data

// What one driver call did, as seen from outside the driver.
struct Outcome {
    bool ok = false;
    uint64_t startNs = 0;  // board time when the call began
    uint64_t endNs = 0;    // board time when it returned
    uint64_t reads = 0;
    uint64_t writes = 0;
    std::vector<BusAccess> trace;  // when traced
};

// Makes a board with `settings`, maps the worker's window, moves the board
// clock to `startNs`, lets `before` and then `call` drive the flash, and
// takes everything down again, so that one test can compare two boards.
Outcome runOn(const json &settings, uint64_t startNs, bool traced, const std::function<void(BYTE *)> &before,
              const std::function<BOOL(BYTE *)> &call) {
    Outcome out;
    vtest::TempBoard temp(settings);
    board::FlashPair flash(temp.dir());
    flash.writeArray(kBlock44, pattern(kBlock, 3));
    wince::boot(temp.dir(), std::make_shared<NoOperator>(), "test");
    BYTE *window = static_cast<BYTE *>(VirtualAlloc(nullptr, kWindowSize, MEM_RESERVE, PAGE_NOACCESS));
    EXPECT_NE(window, nullptr);
    EXPECT_TRUE(VirtualCopy(window, reinterpret_cast<LPVOID>(0x9CA00000), kWindowSize, PAGE_READWRITE | PAGE_NOCACHE));
    board::Clock &clock = wince::currentBoard().clock();
    before(window);
    EXPECT_LE(clock.nowNs(), startNs);
    clock.advanceNs(startNs - clock.nowNs());
    flash.setTracing(traced);
    const uint64_t accesses = flash.busAccesses();
    out.startNs = clock.nowNs();
    out.ok = call(window) != FALSE;
    out.endNs = clock.nowNs();
    if (traced) out.trace = flash.trace();
    for (const BusAccess &a : out.trace) ++(a.write ? out.writes : out.reads);
    if (!traced) out.reads = flash.busAccesses() - accesses;
    EXPECT_TRUE(VirtualFree(window, 0, MEM_RELEASE));
    wince::shutdown();
    return out;
}

json withMode(json settings, bool exact) {
    settings["flash"]["exact_polling"] = exact;
    return settings;
}

volatile DWORD *at(BYTE *window, uint32_t phys) {
    return reinterpret_cast<volatile DWORD *>(window + (phys - kWindowPhys));
}

// --- A device that never becomes ready: the 10 s limit, to the nanosecond -----

struct StuckCase {
    const char *name;
    uint32_t startTick;
    uint64_t commandAtNs;  // where in its millisecond the write-to-buffer command ends
    bool bufferNeverFree;  // an erase is still running: the buffer never becomes available
};
void PrintTo(const StuckCase &c, std::ostream *os) { *os << c.name; }

class StuckDevice : public ::testing::TestWithParam<StuckCase> {};

TEST_P(StuckDevice, TheTimeLimitRunsOutAtTheSameBoardTimeWithAFewHundredReadsAtMost) {
    const StuckCase &c = GetParam();
    constexpr uint64_t kAccess = 5000;  // keeps the exact run at two million reads
    json settings = {{"clock", {{"start_tick", c.startTick}}}, {"flash", {{"timing", {{"access_ns", kAccess}}}}}};
    if (c.bufferNeverFree) settings["flash"]["timing"]["erase_ns"] = 3600000 * kMs;
    else settings["flash"]["faults"] = {{"stuck_busy", {44}}};
    // The burst's command comes one access after the call begins.
    const uint64_t start = 7000 * kMs + c.commandAtNs - kAccess;
    const uint32_t p = kBlock44 + 0x40;
    const auto source = pattern(4, 1);
    const auto before = [&](BYTE *w) {
        if (!c.bufferNeverFree) return;
        FlashWriteWord(at(w, kBlock44), 0x00200020);
        FlashWriteWord(at(w, kBlock44), 0x00D000D0);
    };
    const auto program = [&](BYTE *w) { return FlashProgram(source.data(), at(w, p), 4); };

    const Outcome exact = runOn(withMode(settings, true), start, false, before, program);
    const Outcome held = runOn(withMode(settings, false), start, false, before, program);

    // Polled one access at a time, the driver gives up on the first read
    // that ends once its tick, read after the command, is 10000 ms on.
    const uint64_t command = start + kAccess;
    const uint64_t lastWrite = c.bufferNeverFree ? command : command + 4 * kAccess;  // the confirm
    const uint64_t limit = (command / kMs + 10000) * kMs;
    const uint64_t giveUp = lastWrite + (limit - lastWrite + kAccess - 1) / kAccess * kAccess;
    EXPECT_FALSE(exact.ok);
    EXPECT_FALSE(held.ok);
    EXPECT_EQ(exact.endNs, giveUp);
    EXPECT_EQ(held.endNs, giveUp) << "held polls moved the end of the wait by "
                                  << static_cast<int64_t>(held.endNs - giveUp) << " ns";
    EXPECT_GT(exact.reads, 1000000u);
    EXPECT_LE(held.reads, 300u);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, StuckDevice,
    ::testing::Values(StuckCase{"BurstMidMillisecond", 0, 500000, false}, StuckCase{"BurstOnATick", 0, 0, false},
                      StuckCase{"BurstWhoseConfirmFallsInTheNextTick", 0, kMs - 8000, false},
                      StuckCase{"BurstAcrossTheTickWrap", 0xFFFFFFFFu - 5000 - 7000, kMs - 8000, false},
                      StuckCase{"BufferMidMillisecond", 0, 300000, true},
                      StuckCase{"BufferJustBeforeATick", 0xFFFFFFFFu - 7000, kMs - 1000, true}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Polls per burst ---------------------------------------------------------------

struct BurstCase {
    const char *name;
    uint64_t programNs;
    uint64_t accessNs;
};
void PrintTo(const BurstCase &c, std::ostream *os) { *os << c.name; }

class BurstPolls : public ::testing::TestWithParam<BurstCase> {};

TEST_P(BurstPolls, OneAccessPerReadExactlyTwoReadsHeldAndTheSameReadyTime) {
    const BurstCase &c = GetParam();
    const json settings = {{"flash", {{"timing", {{"program_ns", c.programNs}, {"access_ns", c.accessNs}}}}}};
    const uint32_t p = kWindowPhys + 2 * kBlock;  // blank
    const auto source = pattern(64, 2);
    const auto program = [&](BYTE *w) { return FlashProgram(source.data(), at(w, p), 64); };
    const auto nothing = [](BYTE *) {};
    const Outcome exact = runOn(withMode(settings, true), 1000 * kMs, true, nothing, program);
    const Outcome held = runOn(withMode(settings, false), 1000 * kMs, true, nothing, program);

    // Write-to-buffer, one read (free at once), count, 16 words, confirm, then
    // the wait: reads until the first one that ends at or after the busy time.
    const uint64_t waitReads = (c.programNs + c.accessNs - 1) / c.accessNs;
    const uint64_t expectedExact = waitReads == 0 ? 1 : waitReads;
    const uint64_t expectedHeld = std::min<uint64_t>(expectedExact, 2);
    for (const Outcome *o : {&exact, &held}) {
        ASSERT_TRUE(o->ok);
        ASSERT_EQ(o->writes, 19u);
        ASSERT_GE(o->trace.size(), 21u);
        EXPECT_FALSE(o->trace[1].write) << "the buffer's availability is read once";
        EXPECT_EQ(o->trace[1].value & kReady, kReady);
    }
    EXPECT_EQ(exact.reads - 1, expectedExact);
    EXPECT_EQ(held.reads - 1, expectedHeld);
    // The burst ends at the same board time in both, on the access grid.
    const uint64_t confirm = exact.trace[19].timeNs;
    EXPECT_EQ(held.trace[19].timeNs, confirm);
    EXPECT_EQ(exact.trace.back().timeNs - confirm, expectedExact * c.accessNs);
    EXPECT_EQ(held.trace.back().timeNs, exact.trace.back().timeNs);
    EXPECT_EQ(held.trace.back().value & kReady, kReady);
    EXPECT_EQ(held.endNs, exact.endNs);
    // Only the last read of the wait says ready.
    for (size_t i = 20; i + 1 < held.trace.size(); ++i) EXPECT_EQ(held.trace[i].value & kReady, 0u) << i;
}

INSTANTIATE_TEST_SUITE_P(Driver, BurstPolls,
                         ::testing::Values(BurstCase{"BoardDefaults", 218000, 120},
                                           BurstCase{"BusyForAFewAccesses", 1000, 100},
                                           BurstCase{"BusyTimeNotAWholeNumberOfAccesses", 1050, 100},
                                           BurstCase{"ReadyBeforeTheFirstRead", 50, 120}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- The erase polls 100 ms apart: nothing about it changes -------------------------

struct EraseCase {
    const char *name;
    json flash;  // timing and faults
    bool ok;
};
void PrintTo(const EraseCase &c, std::ostream *os) { *os << c.name; }

class ErasePolls : public ::testing::TestWithParam<EraseCase> {};

TEST_P(ErasePolls, SameReadsAtTheSameTimesAndTheSameResultInBothModes) {
    const EraseCase &c = GetParam();
    const json settings = {{"flash", c.flash}};
    const auto erase = [&](BYTE *w) { return FlashEraseBlock(at(w, kBlock44)); };
    const auto nothing = [](BYTE *) {};
    const Outcome exact = runOn(withMode(settings, true), 3 * kMs + 777, true, nothing, erase);
    const Outcome held = runOn(withMode(settings, false), 3 * kMs + 777, true, nothing, erase);
    EXPECT_EQ(exact.ok, c.ok);
    EXPECT_EQ(held.ok, c.ok);
    EXPECT_EQ(held.endNs, exact.endNs);
    ASSERT_EQ(held.trace.size(), exact.trace.size());
    for (size_t i = 0; i < held.trace.size(); ++i) ASSERT_EQ(held.trace[i], exact.trace[i]) << "access " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Driver, ErasePolls,
    ::testing::Values(EraseCase{"OneSecond", json::object(), true},
                      EraseCase{"SlowButSeenBeforeTheLimit", {{"timing", {{"erase_ns", 9850 * kMs}}}}, true},
                      EraseCase{"SlowAndSeenOnlyAfterTheLimit", {{"timing", {{"erase_ns", 9950 * kMs}}}}, false},
                      EraseCase{
                          "StuckInOneDevice", {{"faults", {{"stuck_busy", {{{"block", 44}, {"device", 1}}}}}}}, false},
                      EraseCase{"FailsItsVerify", {{"faults", {{"erase_fails", {44}}}}}, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace flashtest
