// The board's NOR flash: two 16-bit command-set devices side by side on the
// 32-bit bus, 64 MB together from physical address 0. The low half of every
// bus word belongs to device 0, the high half to device 1.
//
// The array lives in <board>/flash.bin (little-endian 32-bit words as on the
// bus, 0xFF when erased) and the devices' state in <board>/flash.state; both
// are mapped shared, so every process running on a board drives the same pair
// of devices. A process-shared lock in the state page makes each bus access
// atomic across processes and threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace board {

namespace os {
class Mapping;
class RecordFile;
}  // namespace os

class Board;
class Clock;

// One bus access, as the trace records it.
struct BusAccess {
    bool write = false;
    uint32_t address = 0;  // physical byte address
    uint32_t value = 0;    // the word written, or the word the bus returned
    uint64_t timeNs = 0;   // board time of the access
    bool operator==(const BusAccess &) const = default;
};

class FlashPair {
  public:
    static constexpr uint32_t kSize = 64u << 20;
    static constexpr uint32_t kBlockSize = 0x40000;  // 128 KB per device
    static constexpr uint32_t kBlockCount = kSize / kBlockSize;
    static constexpr uint32_t kBufferSpan = 64;  // 32 bytes per device

    // Lays down flash.bin (all erased) and flash.state (devices at power-up)
    // in a new board's folder.
    static void create(const std::filesystem::path &boardDir);

    // Opens the pair of the board in `boardDir`. Timing and injected faults
    // are read from the board's settings here, once.
    explicit FlashPair(const std::filesystem::path &boardDir);
    ~FlashPair();
    FlashPair(const FlashPair &) = delete;
    FlashPair &operator=(const FlashPair &) = delete;

    const std::filesystem::path &boardDir() const { return dir_; }
    std::filesystem::path arrayFile() const { return dir_ / "flash.bin"; }

    // Bus accesses: one aligned 32-bit word at a physical address. Each one
    // advances the board clock by the bus access time. A read that finds a
    // device busy takes longer, up to when the devices' state changes, as on
    // a bus whose ready line holds it (unless the board's /flash/exact_polling
    // setting asks for one access time per read, busy or not).
    uint32_t read32(uint32_t address);
    void write32(uint32_t address, uint32_t value);

    // Both devices back to read array, status ready, nothing pending. Lock
    // bits and injected faults stay: they come from the settings.
    void powerUp();

    // The factory programmer: reads and writes the array directly, without
    // the devices' rules, bus time or trace (boot loader, test contents).
    void writeArray(uint32_t physOffset, std::span<const uint8_t> bytes);
    std::vector<uint8_t> readArray(uint32_t physOffset, size_t length) const;
    void readArray(uint32_t physOffset, std::span<uint8_t> into) const;

    // The bus trace is kept in <board>/flash.trace and switched on for the
    // whole board, so accesses made by programs running on it are seen too.
    // Records reach the file in batches; trace(), switching tracing off and
    // the end of each FlashPair put the waiting ones there.
    void setTracing(bool on);
    bool tracing() const;
    std::vector<BusAccess> trace() const;
    void clearTrace();

    // Writes whose halves carried different commands (faults of the driver,
    // also logged as "flash_fault" events). Kept across power-ups.
    uint32_t driverFaults() const;
    // Bus accesses made since the board was created, by every process.
    uint64_t busAccesses() const;

    // The devices' work since the board was made, by every process: block
    // erases and bytes programmed that the devices began without an error
    // (in <board>/flash.work). Nothing when the board has no such record.
    struct Work {
        uint64_t blocksErased = 0;
        uint64_t bytesProgrammed = 0;
    };
    static std::optional<Work> work(const std::filesystem::path &boardDir);

  private:
    struct State;
    struct Settings;
    class Guard;

    uint32_t readLocked(uint32_t address, uint64_t now);
    uint64_t holdWhileBusy(Clock &clock, uint64_t now);
    void writeLocked(uint32_t address, uint32_t value, uint64_t now);
    void record(bool write, uint32_t address, uint32_t value, uint64_t now);
    void flushTraceLocked() const;
    void countWork(uint32_t modes, const uint32_t filled[2], uint64_t now);

    std::filesystem::path dir_;
    std::unique_ptr<Board> board_;  // clock, event log and settings of the board
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<os::Mapping> arrayMapping_;
    std::unique_ptr<os::Mapping> stateMapping_;
    mutable std::unique_ptr<os::RecordFile> trace_;  // opened at the first batch written
    uint8_t *array_ = nullptr;
    State *state_ = nullptr;
    std::unique_ptr<os::Mapping> workMapping_;
    Work *work_ = nullptr;  // null on a board that cannot keep it (read-only)
};

}  // namespace board
