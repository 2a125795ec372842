// The flash pair on its own: which status reads the devices hold while they
// are busy, and which still take one bus access.
#include <gtest/gtest.h>

#include <functional>

#include "board/board.h"
#include "board/clock.h"
#include "board/flash.h"
#include "flash_fixture.h"

namespace {

using board::FlashPair;
using nlohmann::json;

using flashtest::both;
using flashtest::kBlock;
using flashtest::kReady;

constexpr uint64_t kAccess = 100;
constexpr uint64_t kErase = 20000;

struct Pair {
    vtest::TempBoard board;
    FlashPair flash;
    std::unique_ptr<board::Board> open = board::Board::open(board.dir());
    explicit Pair(bool exact)
        : board(json{{"flash",
                      {{"exact_polling", exact},
                       {"timing", {{"erase_ns", kErase}, {"program_ns", 2000}, {"access_ns", kAccess}}}}}}),
          flash(board.dir()) {}
    uint64_t now() const { return open->clock().nowNs(); }
    // Starts an erase of block 1 and returns the board time of its confirm.
    uint64_t startErase() {
        flash.write32(kBlock, both(0x20));
        flash.write32(kBlock, both(0xD0));
        return now();
    }
};

TEST(FlashBusHold, ASecondReadOfTheBusyWordEndsWhenTheDevicesAreReady) {
    Pair p(false);
    const uint64_t confirm = p.startErase();
    p.flash.setTracing(true);
    const uint64_t accesses = p.flash.busAccesses();
    EXPECT_EQ(p.flash.read32(kBlock), 0u) << "a first look answers at once: busy";
    EXPECT_EQ(p.flash.read32(kBlock), kReady);
    EXPECT_EQ(p.now(), confirm + kErase) << "the held read ends as the erase ends";
    EXPECT_EQ(p.flash.busAccesses() - accesses, 2u);
    const std::vector<board::BusAccess> trace = {{false, kBlock, 0, confirm + kAccess},
                                                 {false, kBlock, kReady, confirm + kErase}};
    EXPECT_EQ(p.flash.trace(), trace);
    EXPECT_EQ(p.flash.read32(kBlock), kReady);
    EXPECT_EQ(p.now(), confirm + kErase + kAccess) << "the devices are idle: one access";
}

TEST(FlashBusHold, WithExactPollingEveryReadIsOneAccess) {
    Pair p(true);
    const uint64_t confirm = p.startErase();
    for (uint64_t i = 1; i < kErase / kAccess; ++i) ASSERT_EQ(p.flash.read32(kBlock), 0u) << i;
    EXPECT_EQ(p.now(), confirm + kErase - kAccess);
    EXPECT_EQ(p.flash.read32(kBlock), kReady);
}

TEST(FlashBusHold, ReadsOfIdleDevicesAreNeverHeld) {
    Pair p(false);
    const uint64_t start = p.now();
    for (int i = 0; i < 50; ++i) p.flash.read32(2 * kBlock);
    p.flash.write32(2 * kBlock, both(0x70));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(p.flash.read32(2 * kBlock), kReady);
    EXPECT_EQ(p.now() - start, 101 * kAccess);
}

// Anything between two reads of the busy word makes the second a first look
// again: one access, busy; only the read after it is held.
struct Between {
    const char *name;
    std::function<void(Pair &)> act;
    uint64_t takesNs;
};
void PrintTo(const Between &c, std::ostream *os) { *os << c.name; }

class FlashBusHoldBetween : public ::testing::TestWithParam<Between> {};

TEST_P(FlashBusHoldBetween, MakesTheNextReadAFirstLook) {
    Pair p(false);
    const uint64_t confirm = p.startErase();
    EXPECT_EQ(p.flash.read32(kBlock), 0u);
    GetParam().act(p);
    EXPECT_EQ(p.flash.read32(kBlock), 0u);
    EXPECT_EQ(p.now(), confirm + 2 * kAccess + GetParam().takesNs);
    EXPECT_EQ(p.flash.read32(kBlock), kReady);
    EXPECT_EQ(p.now(), confirm + kErase);
}

INSTANTIATE_TEST_SUITE_P(
    Model, FlashBusHoldBetween,
    ::testing::Values(Between{"ARead of another word", [](Pair &p) { p.flash.read32(kBlock + 4); }, kAccess},
                      Between{"AWrite", [](Pair &p) { p.flash.write32(kBlock, both(0x70)); }, kAccess},
                      Between{"ASleep", [](Pair &p) { p.open->clock().advanceNs(1000); }, 1000}),
    [](const auto &info) {
        std::string name = info.param.name;
        std::erase(name, ' ');
        return name;
    });

}  // namespace
