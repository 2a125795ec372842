// vboard flash: what the board's flash pair has seen, and its bus trace.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "board/board.h"
#include "board/boot.h"
#include "board/flash.h"
#include "commands.h"

namespace vboard {

namespace {

// Commands as a driver puts them on the 32-bit bus: the same byte to both
// devices.
constexpr uint32_t kEraseSetup = 0x00200020;
constexpr uint32_t kWriteToBuffer = 0x00E800E8;
constexpr uint32_t kConfirm = 0x00D000D0;

struct TraceSummary {
    uint64_t reads = 0, writes = 0;
    uint64_t erases = 0;          // erase set-up followed by its confirm
    uint64_t bufferPrograms = 0;  // write-to-buffer, count, data, confirm
    std::optional<uint32_t> lowest, highest;
};

// Follows the command sequences among the writes; reads between them
// (status polls) do not break a sequence.
TraceSummary summarize(const std::vector<board::BusAccess> &trace) {
    enum class Seq { None, EraseSetup, BufferCount, BufferData, BufferConfirm } seq = Seq::None;
    uint32_t dataLeft = 0;
    TraceSummary s;
    for (const board::BusAccess &a : trace) {
        s.lowest = s.lowest ? std::min(*s.lowest, a.address) : a.address;
        s.highest = s.highest ? std::max(*s.highest, a.address) : a.address;
        if (!a.write) {
            ++s.reads;
            continue;
        }
        ++s.writes;
        switch (seq) {
        case Seq::EraseSetup:
            if (a.value == kConfirm) ++s.erases;
            seq = Seq::None;
            continue;
        case Seq::BufferCount:
            // The count is one less than the words to come, in each half.
            dataLeft = (a.value & 0xFFFF) + 1;
            seq = dataLeft <= 16 ? Seq::BufferData : Seq::None;
            continue;
        case Seq::BufferData:
            if (--dataLeft == 0) seq = Seq::BufferConfirm;
            continue;
        case Seq::BufferConfirm:
            if (a.value == kConfirm) ++s.bufferPrograms;
            seq = Seq::None;
            continue;
        case Seq::None:
            break;
        }
        if (a.value == kEraseSetup) seq = Seq::EraseSetup;
        if (a.value == kWriteToBuffer) seq = Seq::BufferCount;
    }
    return s;
}

}  // namespace

std::string lastBootLine(const std::string &dir) {
    const auto b = board::Board::open(dir);
    const auto boot = board::lastBoot(*b);
    return std::string("last boot:       ") + (boot ? boot->line() : "none since the board was made");
}

int cmdFlash(const Args &args) {
    if (args.empty()) return usageError("flash needs a board folder");
    board::FlashPair flash(args[0]);
    if (args.size() == 3 && args[1] == "--trace" && (args[2] == "on" || args[2] == "off")) {
        // A new trace starts empty.
        if (args[2] == "on") flash.clearTrace();
        flash.setTracing(args[2] == "on");
        return 0;
    }
    if (args.size() != 1) return usageError("flash takes a board folder and at most --trace on|off");
    auto b = board::Board::open(args[0]);
    std::printf("board time:      %.3f s\n", static_cast<double>(b->clock().nowNs()) / 1e9);
    std::printf("bus accesses:    %llu\n", static_cast<unsigned long long>(flash.busAccesses()));
    std::printf("driver faults:   %u\n", flash.driverFaults());
    std::printf("tracing:         %s\n", flash.tracing() ? "on" : "off");
    std::printf("%s\n", lastBootLine(args[0]).c_str());
    const auto trace = flash.trace();
    if (trace.empty()) return 0;
    const TraceSummary s = summarize(trace);
    std::printf("traced accesses: %llu (%llu reads, %llu writes)\n", static_cast<unsigned long long>(trace.size()),
                static_cast<unsigned long long>(s.reads), static_cast<unsigned long long>(s.writes));
    std::printf("block erases:    %llu\n", static_cast<unsigned long long>(s.erases));
    std::printf("buffer programs: %llu\n", static_cast<unsigned long long>(s.bufferPrograms));
    std::printf("addresses:       0x%08X - 0x%08X\n", *s.lowest, *s.highest);
    return 0;
}

}  // namespace vboard
