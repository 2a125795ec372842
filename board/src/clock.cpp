#include "board/clock.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "board/board.h"
#include "os.h"

namespace board {

namespace {
constexpr uint64_t kMagic = 0x4b434f4c43425600ull;  // "\0VBCLOCK"
// A paced process looks at the wall clock once per this much board time:
// bus accesses come far more often than the host can sleep that briefly.
constexpr uint64_t kPaceSliceNs = 1000000;

std::atomic<bool> g_paced{false};

// Where the paced run began, on the wall clock and on the board's.
struct PaceOrigin {
    std::once_flag once;
    std::chrono::steady_clock::time_point wall;
    uint64_t boardNs = 0;
    std::atomic<uint64_t> nextLookNs{0};
};
PaceOrigin g_origin;

void startPace(uint64_t boardNs) {
    std::call_once(g_origin.once, [boardNs] {
        g_origin.wall = std::chrono::steady_clock::now();
        g_origin.boardNs = boardNs;
    });
}
}  // namespace

// The board time is the sum of two counters: what sleeps and the like
// added, and what the flash bus added under its own lock, with a plain
// store since only one holder writes it at a time.
struct Clock::Page {
    uint64_t magic;
    uint32_t startTick;
    uint32_t reserved;
    std::atomic<uint64_t> ns;
    std::atomic<uint64_t> busNs;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the clock page is shared between processes");

Clock::Clock(const std::filesystem::path &file, uint32_t startTick)
    : mapping_(std::make_unique<os::Mapping>(file, sizeof(Page), os::Mapping::Open::Create)),
      page_(static_cast<Page *>(mapping_->data())) {
    // A fresh (zero-filled) page becomes a clock at startTick. Two processes
    // racing here both write the same values.
    if (page_->magic != kMagic) {
        page_->startTick = startTick;
        page_->ns.store(0);
        page_->busNs.store(0);
        page_->magic = kMagic;
    }
    if (paced()) startPace(nowNs());
}

Clock::~Clock() = default;

uint64_t Clock::nowNs() const {
    return page_->ns.load(std::memory_order_relaxed) + page_->busNs.load(std::memory_order_relaxed);
}

uint64_t Clock::advanceNs(uint64_t ns) {
    const uint64_t other = page_->ns.fetch_add(ns, std::memory_order_relaxed) + ns;
    return other + page_->busNs.load(std::memory_order_relaxed);
}

uint64_t Clock::advanceOneWriterNs(uint64_t ns) {
    const uint64_t bus = page_->busNs.load(std::memory_order_relaxed) + ns;
    page_->busNs.store(bus, std::memory_order_relaxed);
    return page_->ns.load(std::memory_order_relaxed) + bus;
}

void Clock::keepPace() const {
    if (!g_paced.load(std::memory_order_relaxed)) return;
    const uint64_t now = nowNs();
    if (now < g_origin.nextLookNs.load(std::memory_order_relaxed)) return;
    g_origin.nextLookNs.store(now + kPaceSliceNs, std::memory_order_relaxed);
    startPace(now);
    if (now <= g_origin.boardNs) return;
    // Sleeping against the deadline, not for each step, keeps the host's
    // own time (and a sleep's overshoot) from adding up.
    std::this_thread::sleep_until(g_origin.wall + std::chrono::nanoseconds(now - g_origin.boardNs));
}

uint32_t Clock::tickMs() const { return static_cast<uint32_t>(page_->startTick + nowNs() / 1000000u); }

void Clock::setPaced(bool paced) { g_paced.store(paced); }
bool Clock::paced() { return g_paced.load(); }

}  // namespace board
