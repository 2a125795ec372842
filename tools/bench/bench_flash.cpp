// Erasing and programming 32 MB of flash that holds data, through the driver
// and the update worker's window, on a fresh board in a temporary folder.
//
// Reported per phase (erase_, program_) and in all:
//   host_ns_per_access   host time of the phase / bus accesses it made
//   accesses_per_byte    bus accesses / bytes programmed (program phase)
//   board_over_busy      board time of the phase / the devices' own busy time
//                        (block erases and buffer programs at the board's timing)
#include <windows.h>
#include <pkfuncs.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "board/board.h"
#include "board/flash.h"
#include "flash.h"
#include "wince/host.h"
#include "wince/operator.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kWindowPhys = 0xA00000;  // flash address 0x9CA00000
constexpr uint32_t kBytes = 32u << 20;
constexpr uint32_t kMapped = kBytes + FLASH_BLOCK_BYTES;
constexpr uint32_t kChunk = 16384;  // what the image update programs per call
constexpr uint64_t kEraseNs = 1000000000;
constexpr uint64_t kBufferNs = 218000;

class NoOperator : public wince::Operator {
  public:
    wince::Action onDialog(const wince::DialogView &) override { return {wince::Action::Close, 0}; }
    void onMessageBox(const wince::MessageBoxView &) override {}
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override { return std::nullopt; }
};

std::vector<uint8_t> pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

// A board booted in this process with the worker's 32 MB window mapped.
class BenchBoard {
  public:
    BenchBoard() {
        char name[] = "/tmp/vboard-bench-XXXXXX";
        if (::mkdtemp(name) == nullptr) throw std::runtime_error("cannot make a temporary board folder");
        dir_ = name;
        board::Board::create(dir_, {{"flash", {{"timing", {{"erase_ns", kEraseNs}, {"program_ns", kBufferNs}}}}}});
        wince::boot(dir_, std::make_shared<NoOperator>(), "bench_flash");
        flash_ = std::make_unique<board::FlashPair>(dir_);
        // A block more than is written: the wait after the last burst reads
        // the word after it.
        window_ = static_cast<BYTE *>(VirtualAlloc(nullptr, kMapped, MEM_RESERVE, PAGE_NOACCESS));
        if (window_ == nullptr ||
            !VirtualCopy(window_, reinterpret_cast<LPVOID>(0x9CA00000), kMapped, PAGE_READWRITE | PAGE_NOCACHE))
            throw std::runtime_error("cannot map the flash window");
    }
    ~BenchBoard() {
        VirtualFree(window_, 0, MEM_RELEASE);
        flash_.reset();
        wince::shutdown();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    board::FlashPair &flash() { return *flash_; }
    volatile DWORD *at(uint32_t offset) { return reinterpret_cast<volatile DWORD *>(window_ + offset); }
    uint64_t boardNs() { return wince::currentBoard().clock().nowNs(); }

  private:
    fs::path dir_;
    std::unique_ptr<board::FlashPair> flash_;
    BYTE *window_ = nullptr;
};

struct Phase {
    double hostNs = 0;
    uint64_t accesses = 0;
    uint64_t boardNs = 0;
};

template <typename Work>
Phase measure(BenchBoard &b, Work work) {
    const uint64_t accesses = b.flash().busAccesses();
    const uint64_t boardNs = b.boardNs();
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    return Phase{std::chrono::duration<double, std::nano>(end - start).count(), b.flash().busAccesses() - accesses,
                 b.boardNs() - boardNs};
}

void BM_EraseAndProgram32MB(benchmark::State &state) {
    BenchBoard b;
    const std::vector<uint8_t> image = pattern(kBytes, 7);
    Phase erase, program;
    for (auto _ : state) {
        state.PauseTiming();
        b.flash().writeArray(kWindowPhys, pattern(kBytes, 3));  // old contents: nothing is blank
        state.ResumeTiming();

        bool ok = true;
        erase = measure(b, [&] {
            for (uint32_t block = 0; block < kBytes; block += FLASH_BLOCK_BYTES)
                ok = ok && FlashEraseBlock(b.at(block));
        });
        program = measure(b, [&] {
            for (uint32_t done = 0; done < kBytes; done += kChunk)
                ok = ok && FlashProgram(image.data() + done, b.at(done), kChunk);
            FlashSetReadArray(b.at(0));
        });

        state.PauseTiming();
        if (!ok || b.flash().readArray(kWindowPhys, kBytes) != image)
            state.SkipWithError("the flash does not hold the image");
        state.ResumeTiming();
    }
    const double eraseBusy = static_cast<double>(kBytes / FLASH_BLOCK_BYTES) * kEraseNs;
    const double programBusy = static_cast<double>(kBytes / FLASH_BUFFER_BYTES) * kBufferNs;
    state.counters["erase_host_ns_per_access"] = erase.hostNs / static_cast<double>(erase.accesses);
    state.counters["erase_board_over_busy"] = static_cast<double>(erase.boardNs) / eraseBusy;
    state.counters["program_host_ns_per_access"] = program.hostNs / static_cast<double>(program.accesses);
    state.counters["program_accesses_per_byte"] = static_cast<double>(program.accesses) / kBytes;
    state.counters["program_board_over_busy"] = static_cast<double>(program.boardNs) / programBusy;
    state.counters["host_ns_per_access"] =
        (erase.hostNs + program.hostNs) / static_cast<double>(erase.accesses + program.accesses);
    state.counters["board_over_busy"] =
        static_cast<double>(erase.boardNs + program.boardNs) / (eraseBusy + programBusy);
    state.counters["accesses"] = static_cast<double>(erase.accesses + program.accesses);
}

BENCHMARK(BM_EraseAndProgram32MB)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
