#include "board/clock.h"

#include <chrono>
#include <thread>

#include "board/board.h"
#include "os.h"

namespace board {

namespace {
constexpr uint64_t kMagic = 0x4b434f4c43425600ull;  // "\0VBCLOCK"
std::atomic<bool> g_paced{false};
}  // namespace

struct Clock::Page {
    uint64_t magic;
    uint32_t startTick;
    uint32_t reserved;
    std::atomic<uint64_t> ns;
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
        page_->magic = kMagic;
    }
}

Clock::~Clock() = default;

uint64_t Clock::nowNs() const { return page_->ns.load(std::memory_order_relaxed); }

void Clock::advanceNs(uint64_t ns) {
    page_->ns.fetch_add(ns, std::memory_order_relaxed);
    if (!g_paced.load(std::memory_order_relaxed)) return;
    // Paced: wait the same time for real. Tiny steps (bus accesses) are
    // collected per thread and waited out once they add up to a millisecond.
    thread_local uint64_t debt = 0;
    debt += ns;
    if (debt >= 1000000) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(debt));
        debt = 0;
    }
}

uint32_t Clock::tickMs() const {
    return static_cast<uint32_t>(page_->startTick + nowNs() / 1000000u);
}

void Clock::setPaced(bool paced) { g_paced.store(paced); }
bool Clock::paced() { return g_paced.load(); }

}  // namespace board
