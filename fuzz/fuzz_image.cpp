// The image check and reader: any bytes as the image file of an update, run
// by the update tool's own dialog and worker on one board kept across inputs.
// After every input:
//   - an image the tool refused (it showed a message) left the flash exactly
//     as it was: the bus saw no write but read-array commands;
//   - no bus access lay outside the 32 MB window the worker maps;
//   - the "NorFlash" mutex is free and the devices answer in read mode.
// An accepted image changes the flash; the blocks it touched are put back.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "board/flash.h"
#include "fuzz_support.h"
#include "wince/host.h"
#include "wince/operator.h"

extern "C" const wince::ModuleResources wince_program_module;
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

namespace {

constexpr uint32_t kWindow = 0xA00000;  // physical start of the worker's window
constexpr uint32_t kWindowSize = 0x2000000;
constexpr uint32_t kBlock = board::FlashPair::kBlockSize;

// Accepts the file offered, dismisses every message and counts them.
class Person : public wince::Operator {
  public:
    wince::Action onDialog(const wince::DialogView &) override { return {}; }
    void onMessageBox(const wince::MessageBoxView &) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++messages_;
    }
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override { return u"\\fuzz.bin"; }
    int takeMessages() {
        std::lock_guard<std::mutex> lock(mutex_);
        const int n = messages_;
        messages_ = 0;
        return n;
    }

  private:
    std::mutex mutex_;
    int messages_ = 0;
};

struct Bench {
    std::shared_ptr<Person> person = std::make_shared<Person>();
    std::unique_ptr<board::FlashPair> flash;
    std::vector<uint8_t> window;  // what the window holds between inputs

    Bench() {
        // Short busy times: the devices still go busy and report through
        // their status register, but the driver's polling no longer costs
        // millions of bus accesses per erase.
        const auto &dir = fuzz::board({{"hal", {{"reboot", "return"}}},
                                       {"flash", {{"timing", {{"erase_ns", 2000}, {"program_ns", 1000}}}}}});
        flash = std::make_unique<board::FlashPair>(dir);
        // An older image fills the window but for two blank blocks, so that
        // both the blank check and the erase are reached cheaply.
        window.resize(kWindowSize);
        for (size_t i = 0; i < window.size(); ++i) window[i] = static_cast<uint8_t>((i >> 2) * 0x9E3779B1u >> 24);
        for (uint32_t b : {8u, 9u}) std::fill_n(window.begin() + b * kBlock, kBlock, 0xFF);
        flash->writeArray(kWindow, window);
        flash->setTracing(true);
        flash->clearTrace();
        wince::boot(dir, person, "image-update-tool");
    }

    void restoreBlock(uint32_t phys) {
        const uint32_t block = phys & ~(kBlock - 1);
        if (block < kWindow || block >= kWindow + kWindowSize) return;
        flash->writeArray(block, std::span<const uint8_t>(window.data() + (block - kWindow), kBlock));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Bench bench;
    static unsigned count = 0;
    fuzz::writeBytes(fuzz::boardDirStore() / "files" / "fuzz.bin", data, size);

    std::u16string commandLine = u"/u \\fuzz.bin";
    WinMain(reinterpret_cast<HINSTANCE>(const_cast<wince::ModuleResources *>(&wince_program_module)), nullptr,
            commandLine.data(), SW_SHOW);
    const bool refused = bench.person->takeMessages() != 0;

    const auto trace = bench.flash->trace();
    bench.flash->clearTrace();
    std::set<uint32_t> touched;
    for (const auto &a : trace) {
        if (a.address < kWindow || a.address >= kWindow + kWindowSize)
            fuzz::finding("a bus access outside the window at physical " + std::to_string(a.address));
        if (a.write && a.value != 0x00FF00FF) touched.insert(a.address & ~(kBlock - 1));
    }
    if (refused && !touched.empty()) fuzz::finding("a refused image changed the flash");

    // The lock is free again...
    HANDLE lock = CreateMutexW(NULL, FALSE, u"NorFlash");
    if (lock == NULL || WaitForSingleObject(lock, 0) != WAIT_OBJECT_0) fuzz::finding("the NorFlash mutex is held");
    ReleaseMutex(lock);
    CloseHandle(lock);
    // ...and the devices answer with the array.
    const auto word = bench.flash->readArray(kWindow, 4);
    const uint32_t array = word[0] | word[1] << 8 | word[2] << 16 | static_cast<uint32_t>(word[3]) << 24;
    if (bench.flash->read32(kWindow) != array) fuzz::finding("the devices are not in read mode");
    bench.flash->clearTrace();

    for (uint32_t block : touched) bench.restoreBlock(block);
    fuzz::trimEventLog(count);
    return 0;
}
