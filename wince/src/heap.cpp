// The local heap: LocalAlloc and LocalFree on the host's allocator, with a
// limit a test can set to play a board short of memory.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "wince/host.h"

namespace wince {
namespace {

// Every block carries its size in front, for the count of bytes held.
struct alignas(std::max_align_t) BlockHeader {
    size_t size;
};

std::atomic<size_t> g_limit{std::numeric_limits<size_t>::max()};
std::atomic<size_t> g_held{0};

}  // namespace

void setLocalHeapLimit(size_t bytes) { g_limit = bytes; }
size_t localHeapHeld() { return g_held; }

}  // namespace wince

HLOCAL WINAPI LocalAlloc(UINT uFlags, UINT uBytes) {
    if ((uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) != LMEM_FIXED) {
        SetLastError(ERROR_INVALID_PARAMETER);  // only fixed blocks are kept here
        return nullptr;
    }
    const size_t held = wince::g_held.fetch_add(uBytes) + uBytes;
    auto *header = held > wince::g_limit
                       ? nullptr
                       : static_cast<wince::BlockHeader *>(std::malloc(sizeof(wince::BlockHeader) + uBytes));
    if (header == nullptr) {
        wince::g_held -= uBytes;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    header->size = uBytes;
    if (uFlags & LMEM_ZEROINIT) std::memset(header + 1, 0, uBytes);
    return header + 1;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    if (hMem == nullptr) return nullptr;
    auto *header = static_cast<wince::BlockHeader *>(hMem) - 1;
    wince::g_held -= header->size;
    std::free(header);
    return nullptr;
}
