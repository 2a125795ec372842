// The flash command driver on a booted board, through the update worker's
// window: the exact bus accesses of each operation, its time limits on the
// board clock, and what the devices' faults make of it.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>

#include "flash.h"
#include "flash_fixture.h"

namespace flashtest {
namespace {

using board::BusAccess;
using nlohmann::json;

// One expected step of a bus trace.
struct Step {
    enum Kind { Write, Read, WaitReady } kind;
    uint32_t address;
    uint32_t value;
};
Step W(uint32_t address, uint32_t value) { return {Step::Write, address, value}; }
Step R(uint32_t address) { return {Step::Read, address, 0}; }
// One or more status reads at address, ready (both halves) only at the last.
Step Wait(uint32_t address) { return {Step::WaitReady, address, 0}; }

std::string describe(const BusAccess &a) {
    std::ostringstream out;
    out << (a.write ? "write " : "read ") << std::hex << "0x" << a.address << (a.write ? " <- 0x" : " -> 0x")
        << a.value;
    return out.str();
}

// Empty when the trace is exactly the steps; otherwise where it departs.
std::string mismatch(const std::vector<BusAccess> &trace, const std::vector<Step> &steps) {
    size_t i = 0;
    for (size_t s = 0; s < steps.size(); ++s) {
        const Step &step = steps[s];
        std::ostringstream where;
        where << "step " << s << ", access " << i << ": ";
        if (i >= trace.size()) return where.str() + "the trace ended early";
        const BusAccess &a = trace[i];
        switch (step.kind) {
        case Step::Write:
            if (!a.write || a.address != step.address || a.value != step.value) {
                std::ostringstream want;
                want << std::hex << "write 0x" << step.address << " <- 0x" << step.value;
                return where.str() + "wanted " + want.str() + ", got " + describe(a);
            }
            ++i;
            break;
        case Step::Read:
            if (a.write || a.address != step.address) return where.str() + "wanted a read, got " + describe(a);
            ++i;
            break;
        case Step::WaitReady:
            while (i < trace.size() && !trace[i].write && trace[i].address == step.address &&
                   (trace[i].value & kReady) != kReady)
                ++i;
            if (i >= trace.size() || trace[i].write || trace[i].address != step.address)
                return where.str() + "wanted status reads until ready, got " +
                       (i < trace.size() ? describe(trace[i]) : std::string("the end"));
            ++i;
            break;
        }
    }
    if (i != trace.size()) return "after the last step comes " + describe(trace[i]);
    return "";
}

// The steps of one buffered burst of `words` words at `phys`.
void burst(std::vector<Step> &steps, uint32_t phys, const std::vector<uint32_t> &words) {
    const uint32_t n = static_cast<uint32_t>(words.size()) - 1;
    steps.push_back(W(phys, both(0xE8)));
    steps.push_back(Wait(phys));
    steps.push_back(W(phys, n | (n << 16)));
    for (size_t i = 0; i < words.size(); ++i) steps.push_back(W(phys + 4 * static_cast<uint32_t>(i), words[i]));
    steps.push_back(W(phys + 4 * n, both(0xD0)));
    steps.push_back(Wait(phys + 4 * (n + 1)));
}

uint32_t wordOf(const std::vector<uint8_t> &bytes, size_t at) {
    uint32_t w = 0xFFFFFFFF;
    for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i)
        w = (w & ~(0xFFu << (8 * i))) | (static_cast<uint32_t>(bytes[at + i]) << (8 * i));
    return w;
}

class FlashDriver : public BootedBoard {};

// --- Blank check --------------------------------------------------------------

TEST_F(FlashDriver, BlankCheckBelowOneWordComparesNothing) {
    ASSERT_NO_FATAL_FAILURE(boot());
    flash().setTracing(true);
    const uint32_t nonBlank = kWindowPhys + 4 * kBlock;
    for (DWORD size : {0u, 1u, 3u}) {
        flash().clearTrace();
        EXPECT_TRUE(FlashBlockIsBlank(at(nonBlank), size)) << size;
        EXPECT_EQ(mismatch(trace(), {W(nonBlank, both(0xFF))}), "") << size;
    }
}

TEST_F(FlashDriver, BlankCheckStopsAtTheFirstWordThatIsNotErased) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const uint32_t b = kWindowPhys + kBlock;
    seed(b + 8, {0xFF, 0xFF, 0xFE, 0xFF});
    flash().setTracing(true);
    EXPECT_FALSE(FlashBlockIsBlank(at(b), kBlock));
    EXPECT_EQ(mismatch(trace(), {W(b, both(0xFF)), R(b), R(b + 4), R(b + 8)}), "");
}

TEST_F(FlashDriver, ABlankBlockIsReportedErasedWithReadArrayAndReadsOnly) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const uint32_t b = kWindowPhys + kBlock;
    flash().setTracing(true);
    EXPECT_TRUE(FlashEraseBlock(at(b)));
    std::vector<Step> steps = {W(b, both(0xFF))};
    for (uint32_t i = 0; i < kBlock; i += 4) steps.push_back(R(b + i));
    EXPECT_EQ(mismatch(trace(), steps), "");
}

// --- Erase ------------------------------------------------------------------------

TEST_F(FlashDriver, EraseSetsUpConfirmsPollsEvery100msAndReadsTheStatusOnceMore) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const uint32_t b = kWindowPhys + 4 * kBlock;  // seeded
    mayTouch(b, kBlock);
    flash().setTracing(true);
    EXPECT_TRUE(FlashEraseBlock(at(b)));
    const auto t = trace();
    EXPECT_EQ(mismatch(t, {W(b, both(0xFF)), R(b), W(b, both(0x20)), W(b, both(0xD0)), Wait(b), R(b)}), "");
    EXPECT_EQ(contents(b, kBlock), std::vector<uint8_t>(kBlock, 0xFF));

    // A second apart by default, polled every 100 ms: about 11 polls.
    ASSERT_GE(t.size(), 6u);
    const size_t firstPoll = 4, lastPoll = t.size() - 2;
    EXPECT_GE(lastPoll - firstPoll + 1, 10u);
    EXPECT_LE(lastPoll - firstPoll + 1, 12u);
    for (size_t i = firstPoll + 1; i <= lastPoll; ++i) EXPECT_GE(t[i].timeNs - t[i - 1].timeNs, 100000000u);
    EXPECT_GE(t[lastPoll].timeNs - t[3].timeNs, 1000000000u) << "ready before the erase time";
}

struct EraseFault {
    const char *name;
    json faults;
    bool dataKept;  // in the whole block (both devices failed)
};
void PrintTo(const EraseFault &c, std::ostream *os) { *os << c.name; }

class FlashDriverEraseFaults : public FlashDriver, public ::testing::WithParamInterface<EraseFault> {};

TEST_P(FlashDriverEraseFaults, FailAfterTheDevicesBecameReady) {
    ASSERT_NO_FATAL_FAILURE(boot({{"flash", {{"faults", GetParam().faults}}}}));
    const uint32_t b = kWindowPhys + 4 * kBlock;
    const auto old = contents(b, kBlock);
    mayTouch(b, kBlock);
    flash().setTracing(true);
    EXPECT_FALSE(FlashEraseBlock(at(b)));
    EXPECT_EQ(mismatch(trace(), {W(b, both(0xFF)), R(b), W(b, both(0x20)), W(b, both(0xD0)), Wait(b), R(b)}), "");
    if (GetParam().dataKept) {
        EXPECT_EQ(contents(b, kBlock), old);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Driver, FlashDriverEraseFaults,
    ::testing::Values(
        EraseFault{"EraseFailsInTheLowDevice", {{"erase_fails", {{{"block", 44}, {"device", 0}}}}}, false},
        EraseFault{"EraseFailsInTheHighDevice", {{"erase_fails", {{{"block", 44}, {"device", 1}}}}}, false},
        EraseFault{"Locked", {{"locked", {44}}}, true},
        EraseFault{"LockedHighDevice", {{"locked", {{{"block", 44}, {"device", 1}}}}}, false},
        EraseFault{"LowVoltage", {{"low_voltage", {44}}}, true},
        EraseFault{"StuckBitInTheLowDevice", {{"stuck_at_0", {{{"address", 44 * kBlock + 0x88}, {"bit", 3}}}}}, false},
        EraseFault{"StuckBitInTheHighDevice", {{"stuck_at_0", {{{"address", 44 * kBlock}, {"bit", 30}}}}}, false}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Time limits, on the board clock and across the tick's wrap ----------------------

class FlashDriverTimeLimits : public FlashDriver, public ::testing::WithParamInterface<uint32_t> {
  protected:
    void bootWith(json flash) {
        json settings = {{"clock", {{"start_tick", GetParam()}}}, {"flash", std::move(flash)}};
        ASSERT_NO_FATAL_FAILURE(boot(settings));
    }
    // The limit is 10000 ticks of 1 ms from a tick read just after the
    // command: the wait may end up to a tick early, and one access late.
    static void expectTenSeconds(uint64_t from, uint64_t to, uint64_t accessNs) {
        EXPECT_GE(to - from, 9999000000u);
        EXPECT_LE(to - from, 10001000000u + accessNs);
    }
};

TEST_P(FlashDriverTimeLimits, AnEraseReadyInOneHalfOnlyTimesOutAfterTenSeconds) {
    ASSERT_NO_FATAL_FAILURE(bootWith({{"faults", {{"stuck_busy", {{{"block", 44}, {"device", 1}}}}}}}));
    const uint32_t b = kWindowPhys + 4 * kBlock;
    mayTouch(b, kBlock);
    flash().setTracing(true);
    EXPECT_FALSE(FlashEraseBlock(at(b)));
    const auto t = trace();
    ASSERT_EQ(mismatch(std::vector<BusAccess>(t.begin(), t.begin() + 4),
                       {W(b, both(0xFF)), R(b), W(b, both(0x20)), W(b, both(0xD0))}),
              "");
    for (size_t i = 4; i < t.size(); ++i) {
        ASSERT_FALSE(t[i].write);
        ASSERT_EQ(t[i].address, b);
        ASSERT_EQ(t[i].value & 0x00800000u, 0u) << "the high device never becomes ready";
    }
    EXPECT_EQ(t.back().value, 0x00000080u) << "the low device is ready by then";
    EXPECT_GE(t.size() - 4, 99u);
    EXPECT_LE(t.size() - 4, 101u);
    expectTenSeconds(t[3].timeNs, t.back().timeNs + 100000000, 120);  // the last sleep follows the last poll
}

TEST_P(FlashDriverTimeLimits, ABurstThatNeverEndsTimesOutAfterTenSeconds) {
    // A slow bus keeps the busy-poll short.
    ASSERT_NO_FATAL_FAILURE(bootWith({{"timing", {{"access_ns", 50000}}}, {"faults", {{"stuck_busy", {44}}}}}));
    const uint32_t p = kWindowPhys + 4 * kBlock + 0x40;
    mayTouch(p, 64);
    const auto source = pattern(64, 9);
    flash().setTracing(true);
    EXPECT_FALSE(FlashProgram(source.data(), at(p), 128));
    const auto t = trace();
    ASSERT_GT(t.size(), 20u);
    std::vector<uint32_t> words;
    for (size_t i = 0; i < 64; i += 4) words.push_back(wordOf(source, i));
    std::vector<Step> steps;
    burst(steps, p, words);
    steps.pop_back();
    const size_t head = 20;  // E8, a ready read, count, 16 words, confirm
    EXPECT_EQ(mismatch(std::vector<BusAccess>(t.begin(), t.begin() + head), steps), "");
    for (size_t i = head; i < t.size(); ++i) {
        ASSERT_FALSE(t[i].write);
        ASSERT_EQ(t[i].address, p + 64) << "the wait reads the word after the burst";
        ASSERT_EQ(t[i].value & kReady, 0u);
    }
    expectTenSeconds(t[0].timeNs, t.back().timeNs, 50000);
}

TEST_P(FlashDriverTimeLimits, ABufferThatNeverBecomesAvailableTimesOutAfterTenSeconds) {
    ASSERT_NO_FATAL_FAILURE(bootWith({{"timing", {{"access_ns", 50000}, {"erase_ns", 3600000000000}}}}));
    const uint32_t b = kWindowPhys + 4 * kBlock;
    mayTouch(b, kBlock);
    // An erase still running: the write-to-buffer command finds the devices busy.
    FlashWriteWord(at(b), both(0x20));
    FlashWriteWord(at(b), both(0xD0));
    flash().setTracing(true);
    const auto source = pattern(64, 10);
    EXPECT_FALSE(FlashProgram(source.data(), at(b + 0x100), 64));
    const auto t = trace();
    ASSERT_GT(t.size(), 2u);
    EXPECT_EQ(describe(t[0]), describe({true, b + 0x100, both(0xE8), t[0].timeNs}));
    for (size_t i = 1; i < t.size(); ++i) {
        ASSERT_FALSE(t[i].write) << "nothing more may be written";
        ASSERT_EQ(t[i].address, b + 0x100);
    }
    expectTenSeconds(t[0].timeNs, t.back().timeNs, 50000);
}

INSTANTIATE_TEST_SUITE_P(Driver, FlashDriverTimeLimits,
                         ::testing::Values(0u, 0xFFFFFFFFu - 3000u, 0xFFFFFFFFu - 9990u, 0xFFFFFFFFu),
                         [](const auto &info) { return "StartTick" + std::to_string(info.param); });

// --- Programming ----------------------------------------------------------------------

struct ProgramCase {
    const char *name;
    uint32_t offset;  // from a 64-byte boundary in the window
    uint32_t length;
    std::vector<uint32_t> bursts;  // words in each burst
};
void PrintTo(const ProgramCase &c, std::ostream *os) { *os << c.name; }

class FlashDriverProgram : public FlashDriver, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(FlashDriverProgram, WritesBurstsEndingOnBufferBoundaries) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const ProgramCase &c = GetParam();
    const uint32_t p = kWindowPhys + 2 * kBlock + 0x1000 + c.offset;
    const uint32_t covered = (c.length + 3) / 4 * 4;
    mayTouch(p, covered);
    // What lies under the filled-up end of a last partial word must stay.
    std::vector<uint8_t> tail(covered - c.length, 0x5A);
    if (!tail.empty()) seed(p + c.length, tail);

    const auto source = pattern(c.length, c.length);
    flash().setTracing(true);
    EXPECT_TRUE(FlashProgram(source.data(), at(p), c.length));

    std::vector<Step> steps;
    uint32_t done = 0;
    for (uint32_t n : c.bursts) {
        std::vector<uint32_t> words;
        for (uint32_t i = 0; i < n; ++i) words.push_back(wordOf(source, done + 4 * i));
        burst(steps, p + done, words);
        done += 4 * n;
    }
    EXPECT_EQ(mismatch(trace(), steps), "");
    std::vector<uint8_t> expected = source;
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(contents(p, covered), expected);
}

INSTANTIATE_TEST_SUITE_P(Driver, FlashDriverProgram,
                         ::testing::Values(ProgramCase{"EightBytesBelowABoundary", 56, 8 + 128, {2, 16, 16}},
                                           ProgramCase{"HundredBytesAtABoundary", 0, 100, {16, 9}},
                                           ProgramCase{"OneWordBelowABoundary", 60, 12, {1, 2}},
                                           ProgramCase{"ExactlyOneBuffer", 0, 64, {16}},
                                           ProgramCase{"PartialLastWord", 0, 70, {16, 2}},
                                           ProgramCase{"OneByte", 8, 1, {1}},
                                           ProgramCase{"ThreeBytesBelowABoundary", 60, 3, {1}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(FlashDriver, ProgramOfNothingIssuesNoCommand) {
    ASSERT_NO_FATAL_FAILURE(boot());
    flash().setTracing(true);
    const BYTE unused = 0;
    EXPECT_TRUE(FlashProgram(&unused, at(kWindowPhys + 0x40), 0));
    EXPECT_TRUE(trace().empty());
}

TEST_F(FlashDriver, AnAddressThatIsNotAWordFailsWithoutAnyAccess) {
    ASSERT_NO_FATAL_FAILURE(boot());
    flash().setTracing(true);
    const auto source = pattern(64, 5);
    for (uint32_t skew : {1u, 2u, 3u}) {
        volatile DWORD *odd = reinterpret_cast<volatile DWORD *>(window_ + kBlock + skew);
        EXPECT_FALSE(FlashProgram(source.data(), odd, 64)) << skew;
        EXPECT_FALSE(FlashEraseBlock(odd)) << skew;
        EXPECT_FALSE(FlashBlockIsBlank(odd, kBlock)) << skew;
    }
    EXPECT_TRUE(trace().empty());
}

struct ProgramFault {
    const char *name;
    json faults;
    bool halfWritten;  // the healthy device took its half of the first burst
};
void PrintTo(const ProgramFault &c, std::ostream *os) { *os << c.name; }

class FlashDriverProgramFaults : public FlashDriver, public ::testing::WithParamInterface<ProgramFault> {};

TEST_P(FlashDriverProgramFaults, StopAfterTheFailedBurst) {
    ASSERT_NO_FATAL_FAILURE(boot({{"flash", {{"faults", GetParam().faults}}}}));
    const uint32_t p = kWindowPhys + 5 * kBlock - 0x40;  // the last burst of block 44 and on into 45
    mayTouch(p, 64);
    const auto source = pattern(200, 6);
    flash().setTracing(true);
    EXPECT_FALSE(FlashProgram(source.data(), at(p), 200));

    std::vector<uint32_t> words;
    for (size_t i = 0; i < 64; i += 4) words.push_back(wordOf(source, i));
    std::vector<Step> steps;
    burst(steps, p, words);
    EXPECT_EQ(mismatch(trace(), steps), "") << "nothing after the failed burst";
    const auto now = contents(p, 64);
    const auto seeded = pattern(kBlock, 3);
    for (size_t i = 0; i < 64; ++i) {
        const bool lowHalf = (i % 4) < 2;
        const uint8_t old = seeded[kBlock - 0x40 + i];
        const uint8_t programmed = old & source[i];
        const bool written = GetParam().halfWritten && !lowHalf;  // faults below hit the low device
        ASSERT_EQ(now[i], written ? programmed : old) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Driver, FlashDriverProgramFaults,
    ::testing::Values(ProgramFault{"Locked", {{"locked", {44}}}, false},
                      ProgramFault{"LockedLowDeviceOnly", {{"locked", {{{"block", 44}, {"device", 0}}}}}, true},
                      ProgramFault{"LowVoltage", {{"low_voltage", {44}}}, false},
                      ProgramFault{"ProgramFails", {{"program_fails", {44}}}, false},
                      ProgramFault{
                          "ProgramFailsLowDeviceOnly", {{"program_fails", {{{"block", 44}, {"device", 0}}}}}, true}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Together, as the image update uses them -----------------------------------------

TEST_F(FlashDriver, ErasedAndProgrammedBlocksReadBackThroughTheWindow) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const uint32_t first = kWindowPhys + 4 * kBlock;
    mayTouch(first, 2 * kBlock);
    seed(first + kBlock, pattern(kBlock, 8));
    ASSERT_TRUE(FlashEraseBlock(at(first)));
    ASSERT_TRUE(FlashEraseBlock(at(first + kBlock)));
    const auto image = pattern(kBlock + 5000, 7);
    for (uint32_t done = 0; done < image.size(); done += 16384) {
        const uint32_t n = std::min<uint32_t>(16384, static_cast<uint32_t>(image.size()) - done);
        ASSERT_TRUE(FlashProgram(image.data() + done, at(first + done), n)) << done;
    }
    FlashSetReadArray(at(kWindowPhys));
    EXPECT_EQ(std::memcmp(const_cast<const DWORD *>(at(first)), image.data(), image.size()), 0);
    EXPECT_EQ(FlashReadWord(at(first)), wordOf(image, 0));
    EXPECT_EQ(contents(first + image.size(), 16), std::vector<uint8_t>(16, 0xFF));
}

}  // namespace
}  // namespace flashtest
