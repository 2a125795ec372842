// The image check and reader: any bytes as the image file of an update, run
// by the update tool's own worker on one board kept across inputs. The
// worker is called as the update dialog starts it once the file is chosen
// (that path, no abort asked for), but on this thread and with no dialog:
// its progress goes nowhere and its messages reach the operator unowned.
// Through the dialog every input waited on thread hand-offs and the
// operator's turns; the update tests drive the dialog itself.
// Before every input the inspector's judgement (the tool's check, run on the
// host against the board's flash) predicts what the tool will do. After it:
//   - a predicted refusal is the message the tool showed, and the flash is
//     exactly as it was: the bus saw no write but read-array commands;
//   - a predicted write ended without a message, and every block the update
//     erased or a record reached holds the records' bytes (the later record
//     where they overlap), 0xFF where it erased, the old data elsewhere;
//   - no bus access lay outside the 32 MB window the worker maps;
//   - the "NorFlash" mutex is free and the devices answer in read mode.
// An accepted image changes the flash; the blocks it touched are put back.
#include <sys/mman.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "board/flash.h"
#include "fuzz_support.h"
#include "image.h"
#include "update_tool.h"
#include "wince/host.h"
#include "wince/operator.h"

namespace {

constexpr uint32_t kWindow = 0xA00000;    // physical start of the worker's window
constexpr uint32_t kKernel = 0x9C000000;  // kernel address of physical 0
constexpr uint32_t kWindowSize = 0x2000000;
constexpr uint32_t kBlock = board::FlashPair::kBlockSize;

// Dismisses every message and keeps its text. The worker runs on the
// fuzzer's thread and shows no dialog or file-open request.
class Person : public wince::Operator {
  public:
    wince::Action onDialog(const wince::DialogView &) override { return {}; }
    void onMessageBox(const wince::MessageBoxView &box) override { messages_.push_back(wince::toUtf8(box.text)); }
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override { return std::nullopt; }
    std::vector<std::string> takeMessages() { return std::exchange(messages_, {}); }

  private:
    std::vector<std::string> messages_;
};

struct Bench {
    std::shared_ptr<Person> person = std::make_shared<Person>();
    std::unique_ptr<board::FlashPair> flash;
    // What the window holds between inputs. It is kept outside the heap:
    // the leak checks libFuzzer makes now and then would otherwise scan all
    // 32 MB of it for pointers each time.
    std::span<uint8_t> window;

    Bench() {
        // Short busy times: the devices still go busy and report through
        // their status register, but the driver's polling no longer costs
        // millions of bus accesses per erase.
        const auto &dir =
            fuzz::board({{"hal", {{"reboot", "return"}}},
                         {"boot", {{"without_image", true}}},  // the window holds an older image without a table
                         {"flash", {{"timing", {{"erase_ns", 2000}, {"program_ns", 1000}}}}}});
        flash = std::make_unique<board::FlashPair>(dir);
        // An older image fills the window but for two blank blocks, so that
        // both the blank check and the erase are reached cheaply.
        void *memory = ::mmap(nullptr, kWindowSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) fuzz::finding("cannot map memory for the window's contents");
        window = std::span<uint8_t>(static_cast<uint8_t *>(memory), kWindowSize);
        fillOlderImage(window);
        for (uint32_t b : {8u, 9u}) std::fill_n(window.begin() + b * kBlock, kBlock, 0xFF);
        flash->writeArray(kWindow, window);
        flash->setTracing(true);
        flash->clearTrace();
        wince::boot(dir, person, "image-update-tool");
    }

    // Four equal bytes per word, a different value from word to word. (Left
    // out of the coverage feedback: with a counted compare per word, filling
    // the 32 MB took longer than the first few hundred inputs.)
    __attribute__((no_sanitize("coverage"))) static void fillOlderImage(std::span<uint8_t> bytes) {
        for (size_t w = 0; w < bytes.size() / 4; ++w) {
            const uint32_t value = static_cast<uint8_t>(w * 0x9E3779B1u >> 24) * 0x01010101u;
            std::memcpy(bytes.data() + 4 * w, &value, 4);
        }
    }

    static uint32_t word(void *context, uint32_t flashAddress) {
        uint8_t b[4];
        static_cast<board::FlashPair *>(context)->readArray(flashAddress - kKernel, b);
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }

    // Whether the window's block at `phys` holds what it must after the
    // tool wrote an image it accepted. The buffers are kept from input to
    // input: a fresh pair of blocks each time costs more than the check.
    bool holdsUpdate(uint32_t phys, const std::string &image, const binimage::Report &report) {
        expected.assign(reinterpret_cast<const char *>(window.data()) + (phys - kWindow), kBlock);
        binimage::applyUpdate(expected, phys + kKernel, image, report);
        held.resize(kBlock);
        flash->readArray(phys, held);
        return expected.size() == kBlock && std::memcmp(held.data(), expected.data(), kBlock) == 0;
    }
    std::string expected;
    std::vector<uint8_t> held;

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
    const std::string image(reinterpret_cast<const char *>(data), size);
    const binimage::Report predicted = binimage::inspect(image, Bench::word, bench.flash.get());

    // What the update dialog hands its worker once the file is chosen.
    const std::u16string path = u"\\fuzz.bin";
    std::copy(path.c_str(), path.c_str() + path.size() + 1, ImagePath);
    AbortRequested = 0;
    UpdateThread(nullptr);
    const std::vector<std::string> shown = bench.person->takeMessages();
    const bool refused = !shown.empty();
    if (predicted.refusal && shown != std::vector<std::string>{*predicted.refusal})
        fuzz::finding("predicted the refusal \"" + *predicted.refusal + "\", but the tool showed " +
                      (refused ? "\"" + shown[0] + "\"" : std::string("nothing")));
    if (!predicted.refusal && refused)
        fuzz::finding("predicted a write, but the tool refused with \"" + shown[0] + "\"");

    const auto trace = bench.flash->trace();
    bench.flash->clearTrace();
    std::set<uint32_t> touched;
    for (const auto &a : trace) {
        if (a.address < kWindow || a.address >= kWindow + kWindowSize)
            fuzz::finding("a bus access outside the window at physical " + std::to_string(a.address));
        if (a.write && a.value != 0x00FF00FF) touched.insert(a.address & ~(kBlock - 1));
    }
    if (refused && !touched.empty()) fuzz::finding("a refused image changed the flash");
    if (!refused) {
        // Every block the update erased or a record reached, and every block
        // the bus wrote to, holds what the prediction says.
        for (uint32_t block : predicted.eraseBlocks) touched.insert(block - kKernel);
        for (const auto &r : predicted.records) {
            const uint64_t end = uint64_t{r.flashAddress} + r.length;
            for (uint64_t at = r.flashAddress & ~(kBlock - 1); r.flashAddress != 0 && at < end; at += kBlock)
                touched.insert(static_cast<uint32_t>(at - kKernel));
        }
        for (uint32_t block : touched) {
            if (block < kWindow || block >= kWindow + kWindowSize) continue;
            if (!bench.holdsUpdate(block, image, predicted))
                fuzz::finding("the flash block at physical " + std::to_string(block) +
                              " does not hold what the accepted image should leave there");
        }
    }

    // The lock is free again. The worker ran on this thread, and a mutex is
    // taken again at once by the thread that holds it: once taken and given
    // back here, a second release must fail, or the worker still holds it.
    HANDLE lock = CreateMutexW(NULL, FALSE, u"NorFlash");
    if (lock == NULL || WaitForSingleObject(lock, 0) != WAIT_OBJECT_0) fuzz::finding("the NorFlash mutex is held");
    ReleaseMutex(lock);
    if (ReleaseMutex(lock)) fuzz::finding("the NorFlash mutex is still held by the worker's thread");
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
