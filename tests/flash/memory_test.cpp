// The board's memory map as the programs see it: reserving, binding to the
// flash, reading it, the register macros, and what counts as a violation.
#include <windows.h>
#include <ceddk.h>
#include <pkfuncs.h>

#include <gtest/gtest.h>

#include <cstring>

#include "flash_fixture.h"

namespace flashtest {
namespace {

class MemoryMap : public BootedBoard {};

TEST_F(MemoryMap, ReservationsStartOn64KBBoundaries) {
    ASSERT_NO_FATAL_FAILURE(boot());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(window_) % 0x10000, 0u);
    for (DWORD size : {1u, 0x1000u, 0x12345u}) {
        void *p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 0x10000, 0u) << size;
        EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    }
}

TEST_F(MemoryMap, EveryWindowOntoTheFlashShowsTheArray) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const auto loader = contents(0, 0x20000);
    const auto image = contents(kWindowPhys + 4 * kBlock, 0x1000);
    EXPECT_EQ(std::memcmp(window_ + 4 * kBlock, image.data(), image.size()), 0) << "the worker's window";

    struct Bind {
        const char *name;
        uintptr_t source;
        DWORD protect;
    } binds[] = {
        {"physical", 0, PAGE_READWRITE | PAGE_NOCACHE | PAGE_PHYSICAL},
        {"cached", 0x9C000000, PAGE_READWRITE},
        {"uncached", 0xBC000000, PAGE_READONLY | PAGE_NOCACHE},
    };
    for (const Bind &b : binds) {
        void *view = VirtualAlloc(nullptr, 0x20000, MEM_RESERVE, PAGE_NOACCESS);
        ASSERT_TRUE(VirtualCopy(view, reinterpret_cast<LPVOID>(b.source), 0x20000, b.protect)) << b.name;
        EXPECT_EQ(std::memcmp(view, loader.data(), loader.size()), 0) << b.name;
        EXPECT_TRUE(VirtualFree(view, 0, MEM_RELEASE));
    }
}

TEST_F(MemoryMap, ReadsSeeTheArrayWhateverModeTheDevicesAreIn) {
    ASSERT_NO_FATAL_FAILURE(boot());
    const auto image = contents(kWindowPhys + 4 * kBlock, 64);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(window_ + 4 * kBlock), both(0x70));
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(window_ + 4 * kBlock)), kReady);
    EXPECT_EQ(std::memcmp(window_ + 4 * kBlock, image.data(), image.size()), 0);
}

TEST_F(MemoryMap, VirtualCopyRefusesWhatTheMapLacks) {
    ASSERT_NO_FATAL_FAILURE(boot());
    void *small = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(small, nullptr);
    BYTE *inside = static_cast<BYTE *>(small) + 0x1000;
    struct Case {
        const char *name;
        void *dest;
        uintptr_t source;
        DWORD size;
        DWORD protect;
    } cases[] = {
        {"below the cached window", small, 0x9BFFF000, 0x1000, PAGE_READWRITE},
        {"past the cached window", small, 0xA0000000, 0x1000, PAGE_READWRITE},
        {"past the uncached window", small, 0xC0000000, 0x1000, PAGE_READWRITE},
        {"ordinary memory", small, 0x80000000, 0x1000, PAGE_READWRITE},
        {"running off the end of the flash", small, 0x9FFFF000, 0x2000, PAGE_READWRITE},
        {"physical past the flash", small, 0x04000000 >> 8, 0x1000, PAGE_READWRITE | PAGE_PHYSICAL},
        {"physical running off the end", small, 0x03FFF000 >> 8, 0x2000, PAGE_READWRITE | PAGE_PHYSICAL},
        {"source not on a page", small, 0x9CA00010, 0x1000, PAGE_READWRITE},
        {"destination not on a page", inside + 0x10, 0x9CA00000, 0x1000, PAGE_READWRITE},
        {"larger than the reservation", small, 0x9CA00000, 0x10001, PAGE_READWRITE},
        {"running out of the reservation", inside, 0x9CA00000, 0x10000, PAGE_READWRITE},
        {"nothing reserved there", reinterpret_cast<void *>(0x1000), 0x9CA00000, 0x1000, PAGE_READWRITE},
        {"no access asked", small, 0x9CA00000, 0x1000, PAGE_NOACCESS},
        {"size zero", small, 0x9CA00000, 0, PAGE_READWRITE},
        {"already bound there", window_ + 0x10000, 0x9CA00000, 0x1000, PAGE_READWRITE},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        EXPECT_FALSE(VirtualCopy(c.dest, reinterpret_cast<LPVOID>(c.source), c.size, c.protect)) << c.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.name;
    }
    EXPECT_TRUE(VirtualCopy(inside, reinterpret_cast<LPVOID>(0x9CA00000), 0x1000, PAGE_READWRITE)) << "the control";
    EXPECT_TRUE(VirtualFree(small, 0, MEM_RELEASE));
}

TEST_F(MemoryMap, VirtualFreeReleasesOnlyWholeReservations) {
    ASSERT_NO_FATAL_FAILURE(boot());
    void *p = VirtualAlloc(nullptr, 0x20000, MEM_RESERVE, PAGE_NOACCESS);
    EXPECT_FALSE(VirtualFree(p, 0x20000, MEM_RELEASE)) << "a size with MEM_RELEASE";
    EXPECT_FALSE(VirtualFree(static_cast<BYTE *>(p) + 0x10000, 0, MEM_RELEASE)) << "not the base";
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE)) << "released twice";
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_RESERVE, PAGE_NOACCESS), nullptr);
}

TEST_F(MemoryMap, CommittedMemoryIsOrdinaryMemory) {
    ASSERT_NO_FATAL_FAILURE(boot());
    auto *p = static_cast<BYTE *>(VirtualAlloc(nullptr, 0x3000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0x2FFF], 0);
    p[0x2FFF] = 7;
    EXPECT_EQ(p[0x2FFF], 7);
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST_F(MemoryMap, RegisterMacrosReachTheDeviceAtThePhysicalAddress) {
    ASSERT_NO_FATAL_FAILURE(boot());
    void *view = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_TRUE(VirtualCopy(view, reinterpret_cast<LPVOID>(0x200000 >> 8), 0x10000,
                            PAGE_READWRITE | PAGE_NOCACHE | PAGE_PHYSICAL));
    flash().setTracing(true);
    auto *reg = reinterpret_cast<volatile ULONG *>(static_cast<BYTE *>(view) + 0x24);
    WRITE_REGISTER_ULONG(reg, both(0x70));
    EXPECT_EQ(READ_REGISTER_ULONG(reg), kReady);
    WRITE_REGISTER_ULONG(reg, both(0xFF));
    uint32_t array;
    std::memcpy(&array, contents(kWindowPhys + 4 * kBlock, 4).data(), 4);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(window_ + 4 * kBlock)), array)
        << "read array reached the devices through the other window";
    const auto t = trace();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0], (board::BusAccess{true, 0x200024, both(0x70), t[0].timeNs}));
    EXPECT_EQ(t[1], (board::BusAccess{false, 0x200024, kReady, t[1].timeNs}));
    EXPECT_EQ(t[2], (board::BusAccess{true, 0x200024, both(0xFF), t[2].timeNs}));
    EXPECT_EQ(t[3].address, kWindowPhys + 4 * kBlock);
    EXPECT_TRUE(VirtualFree(view, 0, MEM_RELEASE));
}

// --- Violations stop the program with one clear line and exit code 70 ------------

using MemoryMapDeathTest = MemoryMap;

TEST_F(MemoryMapDeathTest, ADirectStoreIntoTheFlashIsAFault) {
    ASSERT_NO_FATAL_FAILURE(boot());
    volatile DWORD *word = reinterpret_cast<volatile DWORD *>(window_ + 0x40);
    EXPECT_EXIT(*word = 0x00FF00FF, ::testing::ExitedWithCode(70),
                "access violation at 0x[0-9a-f]+: a direct store into the flash mapping");
}

TEST_F(MemoryMapDeathTest, TouchingReservedSpaceIsAFault) {
    ASSERT_NO_FATAL_FAILURE(boot());
    volatile BYTE *p = static_cast<BYTE *>(VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS));
    EXPECT_EXIT((void)p[5], ::testing::ExitedWithCode(70), "access violation at 0x[0-9a-f]+: reserved address space");
    VirtualFree(const_cast<BYTE *>(p), 0, MEM_RELEASE);
}

TEST_F(MemoryMapDeathTest, RegisterAccessesOutsideEveryBoundRangeAreViolations) {
    ASSERT_NO_FATAL_FAILURE(boot());
    auto *reserved = static_cast<BYTE *>(VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS));
    EXPECT_EXIT(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(reserved)), ::testing::ExitedWithCode(70),
                "access violation: READ_REGISTER_ULONG at 0x[0-9a-f]+, where no device is bound");
    EXPECT_EXIT(WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(window_ + kWindowSize), 0),
                ::testing::ExitedWithCode(70), "access violation: WRITE_REGISTER_ULONG");
    EXPECT_EXIT(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(window_ + 2)), ::testing::ExitedWithCode(70),
                "access violation: READ_REGISTER_ULONG at 0x[0-9a-f]+ is not aligned");
    VirtualFree(reserved, 0, MEM_RELEASE);
}

TEST_F(MemoryMapDeathTest, AReleasedWindowReachesNothing) {
    ASSERT_NO_FATAL_FAILURE(boot());
    void *view = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_TRUE(VirtualCopy(view, reinterpret_cast<LPVOID>(0xBC000000), 0x10000, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_TRUE(VirtualFree(view, 0, MEM_RELEASE));
    EXPECT_EXIT(READ_REGISTER_ULONG(static_cast<volatile ULONG *>(view)), ::testing::ExitedWithCode(70),
                "access violation: READ_REGISTER_ULONG");
}

}  // namespace
}  // namespace flashtest
