// A board booted in this process with the flash window mapped as the update
// worker maps it, for the driver and memory map tests; and the flash pair
// model alone, for the tests of the devices' rules.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/flash.h"
#include "test_support.h"
#include "wince/host.h"
#include "wince/operator.h"

namespace flashtest {

constexpr uint32_t kBlock = board::FlashPair::kBlockSize;
constexpr uint32_t kWindowPhys = 0xA00000;  // flash address 0x9CA00000
constexpr uint32_t kWindowSize = 0x2000000;
constexpr uint32_t kReady = 0x00800080;

inline uint32_t both(uint32_t command) { return command | (command << 16); }

// Nobody is at the board: the driver never asks for anyone.
class NoOperator : public wince::Operator {
  public:
    wince::Action onDialog(const wince::DialogView &) override;
    void onMessageBox(const wince::MessageBoxView &) override;
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override;
};

class BootedBoard : public ::testing::Test {
  protected:
    // Makes the board with these settings, seeds it (block 0 holds a boot
    // loader, some blocks in the window hold data), boots the platform on it
    // and maps the window. Every test calls it first.
    void boot(const nlohmann::json &settings = nlohmann::json::object());
    void TearDown() override;

    // Only [first, first + length) of the flash may differ after the test.
    void mayTouch(uint32_t first, uint32_t length);
    volatile DWORD *at(uint32_t phys) const;
    void seed(uint32_t phys, const std::vector<uint8_t> &bytes);
    std::vector<uint8_t> contents(uint32_t phys, uint32_t length) const;
    std::vector<board::BusAccess> trace() const { return flash_->trace(); }
    board::FlashPair &flash() { return *flash_; }
    board::Board &board() { return wince::currentBoard(); }

    std::unique_ptr<vtest::TempBoard> temp_;
    BYTE *window_ = nullptr;
    std::unique_ptr<board::FlashPair> flash_;

  private:
    const uint8_t *arrayView();
    uint8_t *view_ = nullptr;
    std::vector<uint8_t> before_;
    std::vector<std::pair<uint32_t, uint32_t>> touchable_;
};

// A pattern that is neither blank nor the same from word to word.
std::vector<uint8_t> pattern(uint32_t length, uint32_t seed);

// Short busy times so that waiting for them by polling stays cheap.
inline nlohmann::json quick(nlohmann::json more = nlohmann::json::object()) {
    nlohmann::json settings = {
        {"flash", {{"timing", {{"erase_ns", 20000}, {"program_ns", 2000}, {"access_ns", 100}}}}}};
    settings.merge_patch(more);
    return settings;
}

inline nlohmann::json faults(nlohmann::json list) { return quick({{"flash", {{"faults", std::move(list)}}}}); }

// The flash pair model alone on a new board, driven by bus accesses.
struct Pair {
    vtest::TempBoard board;
    board::FlashPair flash;
    explicit Pair(const nlohmann::json &settings = quick()) : board(settings), flash(board.dir()) {}

    uint32_t word(uint32_t address) const {
        const auto bytes = flash.readArray(address, 4);
        uint32_t w;
        std::memcpy(&w, bytes.data(), 4);
        return w;
    }
    void seed(uint32_t address, uint32_t w) {
        uint8_t bytes[4];
        std::memcpy(bytes, &w, 4);
        flash.writeArray(address, bytes);
    }
    uint32_t waitReady(uint32_t address) {
        for (int i = 0; i < 100000; ++i) {
            const uint32_t s = flash.read32(address);
            if ((s & kReady) == kReady) return s;
        }
        ADD_FAILURE() << "the devices never became ready";
        return 0;
    }
    uint32_t erase(uint32_t address) {
        flash.write32(address, both(0x20));
        flash.write32(address, both(0xD0));
        return waitReady(address);
    }
    // A whole write-to-buffer sequence; the status it ends with.
    uint32_t program(uint32_t address, const std::vector<uint32_t> &words) {
        flash.write32(address, both(0xE8));
        EXPECT_EQ(flash.read32(address) & kReady, kReady) << "buffer not available";
        const uint32_t n = static_cast<uint32_t>(words.size()) - 1;
        flash.write32(address, n | (n << 16));
        for (size_t i = 0; i < words.size(); ++i) flash.write32(address + 4 * static_cast<uint32_t>(i), words[i]);
        flash.write32(address, both(0xD0));
        return waitReady(address);
    }
    uint32_t status(uint32_t address) {
        flash.write32(address, both(0x70));
        return flash.read32(address);
    }
    uint64_t now() const { return board::Board::open(board.dir())->clock().nowNs(); }
};

}  // namespace flashtest
