// Internals of the host's memory map: which host addresses VirtualCopy bound
// to the board's flash, for the register accesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "board/flash.h"

namespace wince {

struct BusTarget {
    board::FlashPair *flash = nullptr;  // kept alive by the binding it was found in
    uint32_t address = 0;               // physical
};

// The flash location behind `size` bytes at host address `p`, when all of
// them lie in one bound range; otherwise false.
bool busTarget(const volatile void *p, size_t size, BusTarget &target);

}  // namespace wince
