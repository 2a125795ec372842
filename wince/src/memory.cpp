// Virtual memory: reserved host address space and its binding to the board's
// flash. A bound range is the flash file mapped read-only at that place, so
// reads see the array while a direct store faults, as it must: commands reach
// the devices only through the register macros.
#include <windows.h>
#include <pkfuncs.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "memory.h"
#include "wince/host.h"

namespace wince {
namespace {

constexpr uintptr_t kGranule = 0x10000;  // the platform reserves on 64 KB boundaries

// Kernel virtual windows onto the flash, cached and uncached.
constexpr uint64_t kCachedFlash = 0x9C000000;
constexpr uint64_t kUncachedFlash = 0xBC000000;
constexpr uint64_t kFlashWindow = board::FlashPair::kSize;

uintptr_t pageSize() {
    static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    return size;
}
uintptr_t roundUp(uintptr_t v, uintptr_t to) { return (v + to - 1) / to * to; }

struct Binding {
    uintptr_t base;
    size_t size;
    uint32_t phys;
    std::shared_ptr<board::FlashPair> flash;
};

struct Region {
    size_t size;
    std::vector<Binding> bindings;
};

std::mutex g_mutex;
std::map<uintptr_t, Region> g_regions;      // by base address
std::shared_ptr<board::FlashPair> g_flash;  // the pair of the board last bound to

// --- What the fault handler may look at: no locks, only atomics. -----------

enum RangeKind : int { kReserved = 1, kBound = 2 };
struct FaultRange {
    std::atomic<uintptr_t> base{0};  // 0: slot free
    std::atomic<uintptr_t> end{0};
    std::atomic<int> kind{0};
};
FaultRange g_faultRanges[128];

void addFaultRange(uintptr_t base, uintptr_t end, RangeKind kind) {
    for (FaultRange &r : g_faultRanges) {
        if (r.base.load() != 0) continue;
        r.end.store(end);
        r.kind.store(kind);
        r.base.store(base);
        return;
    }
    // A full table only costs the fault message its detail.
}

// Forgets the ranges of `kind` (or of any kind, with 0) that begin in [base, end).
void removeFaultRanges(uintptr_t base, uintptr_t end, int kind) {
    for (FaultRange &r : g_faultRanges) {
        const uintptr_t b = r.base.load();
        if (b != 0 && b >= base && b < end && (kind == 0 || r.kind.load() == kind)) r.base.store(0);
    }
}

void appendHex(char *&out, uintptr_t v) {
    *out++ = '0';
    *out++ = 'x';
    for (int shift = static_cast<int>(sizeof v * 8) - 4; shift >= 0; shift -= 4)
        *out++ = "0123456789abcdef"[(v >> shift) & 0xF];
}

void appendText(char *&out, const char *text) {
    while (*text != 0) *out++ = *text++;
}

// A touch of a reserved range or a store into a flash view stops the program
// with one line, as the board stops a program that violates its memory.
struct sigaction g_previous[2];  // SIGSEGV, SIGBUS

void onMemoryFault(int signal, siginfo_t *info, void *) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    int kind = 0;
    for (FaultRange &r : g_faultRanges) {
        const uintptr_t b = r.base.load();
        if (b != 0 && address >= b && address < r.end.load() && r.kind.load() > kind) kind = r.kind.load();
    }
    if (kind == 0) {
        // Not the memory map's business: the fault happens again on return,
        // under whatever handled it before (a crash report, a core).
        ::sigaction(signal, &g_previous[signal == SIGSEGV ? 0 : 1], nullptr);
        return;
    }
    char line[256];
    char *out = line;
    appendText(out, messagePrefix());
    appendText(out, ": access violation at ");
    appendHex(out, address);
    appendText(out, kind == kBound ? ": a direct store into the flash mapping (the flash takes writes "
                                     "only through WRITE_REGISTER_ULONG)\n"
                                   : ": reserved address space with nothing bound to it\n");
    ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<size_t>(out - line));
    (void)ignored;
    ::_exit(70);
}

void installFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onMemoryFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGSEGV, &action, &g_previous[0]);
        ::sigaction(SIGBUS, &action, &g_previous[1]);
    });
}

// ---------------------------------------------------------------------------

int hostProtection(DWORD protect) {
    switch (protect & ~static_cast<DWORD>(PAGE_NOCACHE | PAGE_GUARD)) {
    case PAGE_READONLY:
    case PAGE_EXECUTE_READ:
        return PROT_READ;
    case PAGE_READWRITE:
    case PAGE_EXECUTE_READWRITE:
        return PROT_READ | PROT_WRITE;
    default:
        return PROT_NONE;
    }
}

// The region that holds all of [p, p + size), or end().
std::map<uintptr_t, Region>::iterator regionHolding(uintptr_t p, size_t size) {
    auto it = g_regions.upper_bound(p);
    if (it == g_regions.begin()) return g_regions.end();
    --it;
    if (p - it->first > it->second.size || size > it->second.size - (p - it->first)) return g_regions.end();
    return it;
}

bool overlapsBinding(const Region &region, uintptr_t p, size_t size) {
    for (const Binding &b : region.bindings)
        if (p < b.base + b.size && b.base < p + size) return true;
    return false;
}

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::shared_ptr<board::FlashPair> flashOfCurrentBoard() {
    board::Board &b = currentBoard();
    if (!g_flash || g_flash->boardDir() != b.dir()) {
        try {
            g_flash = std::make_shared<board::FlashPair>(b.dir());
        } catch (const std::exception &e) {
            boardFailed(std::string("the board's flash cannot be opened: ") + e.what());
        }
    }
    return g_flash;
}

}  // namespace

std::atomic<uint64_t> g_unbound{1};
thread_local LastBinding t_lastBinding;

bool busTargetLookUp(const volatile void *p, size_t size, BusTarget &target) {
    const auto address = reinterpret_cast<uintptr_t>(p);
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = regionHolding(address, size);
    if (it == g_regions.end()) return false;
    for (const Binding &b : it->second.bindings) {
        if (address >= b.base && address - b.base < b.size && size <= b.size - (address - b.base)) {
            target.flash = b.flash.get();
            target.address = static_cast<uint32_t>(b.phys + (address - b.base));
            t_lastBinding =
                LastBinding{g_unbound.load(std::memory_order_relaxed), b.base, b.size, b.phys, b.flash.get()};
            return true;
        }
    }
    return false;
}

}  // namespace wince

using namespace wince;

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, DWORD dwSize, DWORD flAllocationType, DWORD flProtect) {
    if (dwSize == 0 || (flAllocationType & ~static_cast<DWORD>(MEM_RESERVE | MEM_COMMIT)) != 0 ||
        (flAllocationType & (MEM_RESERVE | MEM_COMMIT)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const int protection = (flAllocationType & MEM_COMMIT) ? hostProtection(flProtect) : PROT_NONE;
    std::lock_guard<std::mutex> lock(g_mutex);
    installFaultHandler();

    if (lpAddress != nullptr) {
        // Committing pages of a reservation; reserving at a chosen address
        // is nothing the board's programs do.
        const auto p = reinterpret_cast<uintptr_t>(lpAddress);
        auto it = regionHolding(p, dwSize);
        if (!(flAllocationType & MEM_COMMIT) || it == g_regions.end() || overlapsBinding(it->second, p, dwSize)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        const uintptr_t first = p / pageSize() * pageSize();
        if (::mprotect(reinterpret_cast<void *>(first), roundUp(p + dwSize, pageSize()) - first, protection) != 0) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return reinterpret_cast<LPVOID>(first);
    }

    // Take a granule more than asked and trim it to a 64 KB boundary.
    const size_t size = roundUp(dwSize, pageSize());
    void *raw = ::mmap(nullptr, size + kGranule, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const auto rawBase = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t base = roundUp(rawBase, kGranule);
    if (base > rawBase) ::munmap(raw, base - rawBase);
    const uintptr_t tail = rawBase + size + kGranule - (base + size);
    if (tail > 0) ::munmap(reinterpret_cast<void *>(base + size), tail);
    if (protection != PROT_NONE) ::mprotect(reinterpret_cast<void *>(base), size, protection);

    g_regions[base] = Region{size, {}};
    addFaultRange(base, base + size, kReserved);
    return reinterpret_cast<LPVOID>(base);
}

BOOL WINAPI VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect) {
    if (cbSize == 0) return failWith(ERROR_INVALID_PARAMETER);
    if (currentBoard().setting<bool>("/memory/virtual_copy_fails", false)) return failWith(ERROR_NOT_ENOUGH_MEMORY);
    // Where the source lies in the flash: a physical address >> 8, or one of
    // the kernel's windows onto it. The map holds nothing else.
    const auto source = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(lpvSrc));
    uint64_t phys = 0;
    if (fdwProtect & PAGE_PHYSICAL) {
        phys = source << 8;
    } else if (source >= kCachedFlash && source < kCachedFlash + kFlashWindow) {
        phys = source - kCachedFlash;
    } else if (source >= kUncachedFlash && source < kUncachedFlash + kFlashWindow) {
        phys = source - kUncachedFlash;
    } else {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (phys >= kFlashWindow || cbSize > kFlashWindow - phys) return failWith(ERROR_INVALID_PARAMETER);
    if (hostProtection(fdwProtect & ~static_cast<DWORD>(PAGE_PHYSICAL)) == PROT_NONE)
        return failWith(ERROR_INVALID_PARAMETER);
    const auto dest = reinterpret_cast<uintptr_t>(lpvDest);
    if (dest % pageSize() != 0 || phys % pageSize() != 0) return failWith(ERROR_INVALID_PARAMETER);

    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = regionHolding(dest, cbSize);
    if (it == g_regions.end() || overlapsBinding(it->second, dest, cbSize)) return failWith(ERROR_INVALID_PARAMETER);
    std::shared_ptr<board::FlashPair> flash = flashOfCurrentBoard();

    const int fd = ::open(flash->arrayFile().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        boardFailed("cannot open the board's flash " + flash->arrayFile().string() + ": " + std::strerror(errno));
    void *view =
        ::mmap(lpvDest, roundUp(cbSize, pageSize()), PROT_READ, MAP_SHARED | MAP_FIXED, fd, static_cast<off_t>(phys));
    ::close(fd);
    if (view == MAP_FAILED) return failWith(ERROR_NOT_ENOUGH_MEMORY);

    it->second.bindings.push_back(Binding{dest, cbSize, static_cast<uint32_t>(phys), flash});
    addFaultRange(dest, dest + cbSize, kBound);
    return TRUE;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, DWORD dwSize, DWORD dwFreeType) {
    const auto p = reinterpret_cast<uintptr_t>(lpAddress);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (dwFreeType == MEM_RELEASE) {
        auto it = g_regions.find(p);
        if (dwSize != 0 || it == g_regions.end()) return failWith(ERROR_INVALID_PARAMETER);
        g_unbound.fetch_add(1, std::memory_order_release);
        ::munmap(lpAddress, it->second.size);
        removeFaultRanges(p, p + it->second.size, 0);
        g_regions.erase(it);
        return TRUE;
    }
    if (dwFreeType == MEM_DECOMMIT) {
        // Back to reserved: whole bindings in the range are dropped with it.
        auto it = regionHolding(p, dwSize);
        if (it == g_regions.end()) return failWith(ERROR_INVALID_PARAMETER);
        const uintptr_t first = p / pageSize() * pageSize();
        const uintptr_t end = dwSize == 0 ? it->first + it->second.size : roundUp(p + dwSize, pageSize());
        std::vector<Binding> &bindings = it->second.bindings;
        for (const Binding &b : bindings)
            if (b.base < end && first < b.base + b.size && (b.base < first || b.base + b.size > end))
                return failWith(ERROR_INVALID_PARAMETER);
        if (::mmap(reinterpret_cast<void *>(first), end - first, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == MAP_FAILED)
            return failWith(ERROR_NOT_ENOUGH_MEMORY);
        g_unbound.fetch_add(1, std::memory_order_release);
        for (size_t i = bindings.size(); i-- > 0;) {
            if (bindings[i].base >= first && bindings[i].base < end) {
                removeFaultRanges(bindings[i].base, bindings[i].base + 1, kBound);
                bindings.erase(bindings.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        return TRUE;
    }
    return failWith(ERROR_INVALID_PARAMETER);
}
