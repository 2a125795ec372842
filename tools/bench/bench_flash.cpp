// Erasing, blank-checking, programming and reading back 32 MB of flash that
// held data, through the driver and the update worker's window, on a fresh
// board in a temporary folder: once as the board runs by default (busy polls
// held), once with exact polling (one bus access per status read).
//
// Reported per mode and phase (erase_, blank_, program_, readback_):
//   host_ns_per_access   host CPU time of the phase / bus accesses it made
//   accesses_per_byte    bus accesses / bytes programmed
//   board_over_busy      board time / the devices' own busy time (block
//                        erases and buffer programs at the board's timing)
// and on the last lines the figures of the default mode against their
// targets. --benchmark_filter=Default skips the slow exact mode.
#include <windows.h>
#include <pkfuncs.h>

#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
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
    explicit BenchBoard(bool exactPolling) {
        char name[] = "/tmp/vboard-bench-XXXXXX";
        if (::mkdtemp(name) == nullptr) throw std::runtime_error("cannot make a temporary board folder");
        dir_ = name;
        board::Board::create(
            dir_,
            {{"flash",
              {{"exact_polling", exactPolling}, {"timing", {{"erase_ns", kEraseNs}, {"program_ns", kBufferNs}}}}}});
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

double threadCpuNs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

struct Phase {
    double cpuNs = 0;
    double wallNs = 0;
    uint64_t accesses = 0;
    uint64_t boardNs = 0;
    Phase &operator+=(const Phase &o) {
        cpuNs += o.cpuNs;
        wallNs += o.wallNs;
        accesses += o.accesses;
        boardNs += o.boardNs;
        return *this;
    }
};

template <typename Work> Phase measure(BenchBoard &b, Work work) {
    const uint64_t accesses = b.flash().busAccesses();
    const uint64_t boardNs = b.boardNs();
    const double cpu = threadCpuNs();
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    return Phase{threadCpuNs() - cpu, std::chrono::duration<double, std::nano>(end - start).count(),
                 b.flash().busAccesses() - accesses, b.boardNs() - boardNs};
}

// What the last lines report: the default mode's whole run.
std::optional<Phase> g_default;

void eraseProgramAndReadBack(benchmark::State &state, bool exactPolling) {
    BenchBoard b(exactPolling);
    const std::vector<uint8_t> image = pattern(kBytes, 7);
    Phase erase, blank, program, readBack;
    for (auto _ : state) {
        state.PauseTiming();
        b.flash().writeArray(kWindowPhys, pattern(kBytes, 3));  // old contents: nothing is blank
        state.ResumeTiming();

        bool ok = true;
        erase = measure(b, [&] {
            for (uint32_t block = 0; block < kBytes; block += FLASH_BLOCK_BYTES)
                ok = ok && FlashEraseBlock(b.at(block));
        });
        blank = measure(b, [&] {
            for (uint32_t block = 0; block < kBytes; block += FLASH_BLOCK_BYTES)
                ok = ok && FlashBlockIsBlank(b.at(block), FLASH_BLOCK_BYTES);
        });
        program = measure(b, [&] {
            for (uint32_t done = 0; done < kBytes; done += kChunk)
                ok = ok && FlashProgram(image.data() + done, b.at(done), kChunk);
        });
        bool same = true;
        readBack = measure(b, [&] {
            FlashSetReadArray(b.at(0));
            for (uint32_t done = 0; done < kBytes; done += FLASH_BUS_WIDTH) {
                const DWORD expected = static_cast<DWORD>(image[done]) | static_cast<DWORD>(image[done + 1]) << 8 |
                                       static_cast<DWORD>(image[done + 2]) << 16 |
                                       static_cast<DWORD>(image[done + 3]) << 24;
                same = same && FlashReadWord(b.at(done)) == expected;
            }
        });

        state.PauseTiming();
        if (!ok || !same || b.flash().readArray(kWindowPhys, kBytes) != image)
            state.SkipWithError("the flash does not hold the image");
        state.ResumeTiming();
    }
    const double eraseBusy = static_cast<double>(kBytes / FLASH_BLOCK_BYTES) * kEraseNs;
    const double programBusy = static_cast<double>(kBytes / FLASH_BUFFER_BYTES) * kBufferNs;
    const auto perAccess = [](const Phase &p) { return p.cpuNs / static_cast<double>(p.accesses); };
    const auto perByte = [](const Phase &p) { return static_cast<double>(p.accesses) / kBytes; };
    state.counters["erase_host_ns_per_access"] = perAccess(erase);
    state.counters["erase_board_over_busy"] = static_cast<double>(erase.boardNs) / eraseBusy;
    state.counters["blank_accesses_per_byte"] = perByte(blank);
    state.counters["program_host_ns_per_access"] = perAccess(program);
    state.counters["program_accesses_per_byte"] = perByte(program);
    state.counters["program_board_over_busy"] = static_cast<double>(program.boardNs) / programBusy;
    state.counters["readback_accesses_per_byte"] = perByte(readBack);
    Phase all = erase;
    all += blank;
    all += program;
    all += readBack;
    state.counters["host_ns_per_access"] = perAccess(all);
    state.counters["accesses_per_byte"] = perByte(all);
    state.counters["board_over_busy"] = static_cast<double>(all.boardNs) / (eraseBusy + programBusy);
    state.counters["accesses"] = static_cast<double>(all.accesses);
    if (!exactPolling) g_default = all;
}

void BM_EraseProgramReadBack32MB_Default(benchmark::State &state) { eraseProgramAndReadBack(state, false); }
void BM_EraseProgramReadBack32MB_ExactPolling(benchmark::State &state) { eraseProgramAndReadBack(state, true); }

BENCHMARK(BM_EraseProgramReadBack32MB_Default)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_EraseProgramReadBack32MB_ExactPolling)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_default) {
        const Phase &p = *g_default;
        const double busy = static_cast<double>(kBytes / FLASH_BLOCK_BYTES) * kEraseNs +
                            static_cast<double>(kBytes / FLASH_BUFFER_BYTES) * kBufferNs;
        std::printf("default mode, 32 MB erased, blank-checked, programmed and read back:\n");
        std::printf("bus accesses per programmed byte: %.3f  (%llu accesses; target <= 0.9)\n",
                    static_cast<double>(p.accesses) / kBytes, static_cast<unsigned long long>(p.accesses));
        std::printf("host ns per bus access:           %.1f CPU, %.1f wall  (target <= 25)\n",
                    p.cpuNs / static_cast<double>(p.accesses), p.wallNs / static_cast<double>(p.accesses));
        std::printf("board s / devices' busy s:        %.1f / %.1f = %.4f  (target <= 1.02)\n",
                    static_cast<double>(p.boardNs) / 1e9, busy / 1e9, static_cast<double>(p.boardNs) / busy);
    }
    return 0;
}
