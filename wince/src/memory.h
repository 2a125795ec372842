// Internals of the host's memory map: which host addresses VirtualCopy bound
// to the board's flash, for the register accesses.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "board/flash.h"

namespace wince {

struct BusTarget {
    board::FlashPair *flash = nullptr;  // kept alive by the binding it was found in
    uint32_t address = 0;               // physical
};

// Register accesses come by the million from one or two threads, nearly all
// into the binding the thread used last: each thread keeps that one, and
// trusts it as long as no binding was taken away since.
struct LastBinding {
    uint64_t unbound = 0;
    uintptr_t base = 0;
    size_t size = 0;
    uint32_t phys = 0;
    board::FlashPair *flash = nullptr;
};
extern thread_local LastBinding t_lastBinding;
extern std::atomic<uint64_t> g_unbound;  // counts the times bindings went away

bool busTargetLookUp(const volatile void *p, size_t size, BusTarget &target);

// The flash location behind `size` bytes at host address `p`, when all of
// them lie in one bound range; otherwise false.
inline bool busTarget(const volatile void *p, size_t size, BusTarget &target) {
    const auto address = reinterpret_cast<uintptr_t>(p);
    const LastBinding &last = t_lastBinding;
    if (last.unbound == g_unbound.load(std::memory_order_acquire) && address - last.base < last.size &&
        size <= last.size - (address - last.base)) {
        target.flash = last.flash;
        target.address = static_cast<uint32_t>(last.phys + (address - last.base));
        return true;
    }
    return busTargetLookUp(p, size, target);
}

}  // namespace wince
