// Device registers: each macro call is one bus access to the device behind
// the address, that is the flash pair through a range VirtualCopy bound.
#include <windows.h>
#include <ceddk.h>

#include <cstdio>
#include <string>

#include "memory.h"
#include "wince/host.h"

namespace {

std::string hex(const volatile void *p) {
    char text[32];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

[[noreturn]] void violation(const char *macro, volatile ULONG *reg) {
    if (reinterpret_cast<uintptr_t>(reg) % sizeof(ULONG) != 0)
        wince::fatal(std::string("access violation: ") + macro + " at " + hex(reg) + " is not aligned to 4 bytes");
    wince::fatal(std::string("access violation: ") + macro + " at " + hex(reg) +
                 ", where no device is bound (VirtualCopy)");
}

// The device behind `reg`; anything else is the program's access violation.
inline wince::BusTarget deviceAt(const char *macro, volatile ULONG *reg) {
    wince::BusTarget target;
    if (reinterpret_cast<uintptr_t>(reg) % sizeof(ULONG) != 0 || !wince::busTarget(reg, sizeof(ULONG), target))
        violation(macro, reg);
    return target;
}

}  // namespace

ULONG READ_REGISTER_ULONG(volatile ULONG *Register) {
    wince::BusTarget target = deviceAt("READ_REGISTER_ULONG", Register);
    try {
        return target.flash->read32(target.address);
    } catch (const std::exception &e) {
        wince::boardFailed(e.what());
    }
}

void WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value) {
    wince::BusTarget target = deviceAt("WRITE_REGISTER_ULONG", Register);
    try {
        target.flash->write32(target.address, Value);
    } catch (const std::exception &e) {
        wince::boardFailed(e.what());
    }
}
