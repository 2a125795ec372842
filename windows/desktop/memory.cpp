// VirtualCopy and the register macros. A range the program reserved is
// replaced by a read-only view of the board's flash file at the same
// address, so that reads see the array and a direct store faults, as on the
// virtual board; register accesses through the range reach the device model,
// one call per bus access.
#include <windows.h>

#include <ceddk.h>
#include <pkfuncs.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "desktop.h"
#include "flash_bus.h"

#undef VirtualFree

namespace desktop {
namespace {

// The board's memory map: the flash at physical 0 and at two kernel addresses.
constexpr uint32_t kFlashCached = 0x9C000000;
constexpr uint32_t kFlashUncached = 0xBC000000;
// Views of a file start on the allocation granularity.
constexpr uint32_t kGranule = 0x10000;

struct Binding {
    uintptr_t base;
    size_t size;
    uint32_t physical;
};

std::mutex g_lock;
std::vector<Binding> g_bindings;

// The physical address behind a kernel or physical source, or false when
// the memory map has nothing there.
bool physicalAddress(uintptr_t source, DWORD protect, uint32_t &physical) {
    if (protect & PAGE_PHYSICAL) {
        if (source > (FlashBus::kSize >> 8)) return false;
        physical = static_cast<uint32_t>(source << 8);
        return true;
    }
    for (uint32_t base : {kFlashCached, kFlashUncached}) {
        if (source >= base && source - base < FlashBus::kSize) {
            physical = static_cast<uint32_t>(source - base);
            return true;
        }
    }
    return false;
}

bool findBinding(uintptr_t address, uint32_t &physical) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Binding &b : g_bindings) {
        if (address >= b.base && address - b.base < b.size) {
            physical = b.physical + static_cast<uint32_t>(address - b.base);
            return true;
        }
    }
    return false;
}

}  // namespace
}  // namespace desktop

using namespace desktop;

extern "C" BOOL WINAPI VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect) {
    uint32_t physical = 0;
    if (!physicalAddress(reinterpret_cast<uintptr_t>(lpvSrc), fdwProtect, physical) || cbSize == 0 ||
        cbSize > FlashBus::kSize - physical || physical % kGranule != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The destination must be the start of a reserved range large enough.
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(lpvDest, &info, sizeof info) == 0 || info.State != MEM_RESERVE || info.AllocationBase != lpvDest ||
        info.RegionSize < cbSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE section = FlashBus::get().section();
    std::lock_guard<std::mutex> guard(g_lock);
    // Nothing else can take the range between the release and the view:
    // every reservation of this process that could goes through here.
    if (!VirtualFree(lpvDest, 0, MEM_RELEASE)) return FALSE;
    void *view = MapViewOfFileEx(section, FILE_MAP_READ, 0, physical, cbSize, lpvDest);
    if (view != lpvDest) {
        if (view != nullptr) UnmapViewOfFile(view);
        VirtualAlloc(lpvDest, cbSize, MEM_RESERVE, PAGE_NOACCESS);  // give the range back as it was
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_bindings.push_back(Binding{reinterpret_cast<uintptr_t>(lpvDest), cbSize, physical});
    return TRUE;
}

BOOL WINAPI CeVirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto it = g_bindings.begin(); it != g_bindings.end(); ++it) {
            if (it->base != reinterpret_cast<uintptr_t>(address)) continue;
            if (size != 0 || freeType != MEM_RELEASE) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            g_bindings.erase(it);
            return UnmapViewOfFile(address);
        }
    }
    return VirtualFree(address, size, freeType);
}

extern "C" ULONG READ_REGISTER_ULONG(volatile ULONG *Register) {
    uint32_t physical = 0;
    if (findBinding(reinterpret_cast<uintptr_t>(Register), physical)) return FlashBus::get().read32(physical);
    return *Register;  // not the flash: plain memory
}

extern "C" void WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value) {
    uint32_t physical = 0;
    if (findBinding(reinterpret_cast<uintptr_t>(Register), physical)) {
        FlashBus::get().write32(physical, Value);
        return;
    }
    *Register = Value;
}
